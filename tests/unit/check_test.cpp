// The configuration check on good and broken working directories.
#include <gtest/gtest.h>

#include "shell/check.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;

std::string Joined(const CheckReport& r) {
  std::string all;
  for (const auto& l : r.Lines) all += l + "\n";
  return all;
}

const char* kGood =
    "[AGW]\r\nPORT=8001\r\nPASSW=hunter2\r\n[TELNET]\r\nNODEPORT=1\r\nNODECALL=n0node\r\n"
    "[TELNET.CLIENT]\r\nBBS=127.0.0.1:6300\r\n";

TEST(Check, FindingsOneByOne) {
  struct Case {
    const char* name;
    std::string ini;
    bool usable;
    std::vector<std::string> says, never;
  } cases[] = {
      {"good", kGood, true,
       {"[AGW] PORT = 8001  (from the file)", "[TELNET] TIMEOUT = 600000  (default)",
        "[TELNET] NODECALL = N0NODE", "[AGW] PASSW = ****", "Configuration usable."},
       {"hunter2", "WARNING", "ERROR"}},
      {"no node", "[TELNET]\r\nNODECALL=X\r\n", false,
       {"ERROR: [TELNET] NODEPORT and NODECALL are required"}, {}},
      {"fallbacks", std::string(kGood) + "[HARVOX]\r\nTRACE=1h\r\nCRLF=yes\r\nRECOVER=maybe\r\n", true,
       {"WARNING: [HARVOX] TRACE=1h was not understood", "[HARVOX] TRACE = 0  (DEFAULT",
        "WARNING: [HARVOX] CRLF=yes", "WARNING: [HARVOX] RECOVER=maybe"},
       {}},
      {"bad port", std::string("[MONITOR]\r\nPORT=70000\r\n") + kGood, false,
       {"ERROR: [MONITOR] PORT 70000 is no TCP port"}, {}},
      {"duplicates", std::string(kGood) + "[AGW]\r\nport=1\r\n", true,
       {"WARNING: HARVOX.INI [AGW] port stands more than once", "[AGW] PORT = 8001"}, {}},
      {"routes",
       std::string(kGood) + "GATE=:23\r\nbbs2=127.0.0.1:23\r\nWEB=127.0.0.1:http\r\n", true,
       {"route GATE has no host", "route callsign bbs2 has lower-case letters",
        "route WEB port 'http' is no number"},
       {"route BBS"}},
      {"gateway rules",
       std::string(kGood) + "[GATEWAY]\r\nALLOW=127.0.0.1:2424\r\nDENY=10.1.2.3/8\r\nDENY=*\r\n", false,
       {"  DENY: none", "  ALLOW: 127.0.0.1:2424", "  refused, loopback: 127.0.0.0/8, ::1",
        "the engine's address, every port: 127.0.0.1", "(Harvox's own ports: 23, 8123)",
        "ERROR: [GATEWAY] DENY entry '10.1.2.3/8' is not an address, block or port (Harvox will not start)",
        "ERROR: [GATEWAY] DENY stands more than once"},
       {"ALLOW stands"}},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    test::WriteFile(dir.File("harvox.ini"), c.ini);
    test::WriteFile(dir.File("USERS.INI"), "[USERS]\r\nGOOD=pw\r\n");
    test::WriteFile(dir.File("TEXT/BUSY.TNS"), "busy\r\n");
    const CheckReport r = CheckConfiguration(dir.Path() + "/");
    const std::string all = Joined(r);
    EXPECT_EQ(r.Usable, c.usable) << c.name << "\n" << all;
    for (const auto& s : c.says) EXPECT_NE(all.find(s), std::string::npos) << c.name << ": " << s << "\n" << all;
    for (const auto& s : c.never) EXPECT_EQ(all.find(s), std::string::npos) << c.name << ": " << s;
    EXPECT_NE(all.find("TEXT/ files found: BUSY.TNS\n"), std::string::npos) << c.name;
  }
}

TEST(Check, UsersThatCanNeverLogIn) {
  test::TempDir dir;
  test::WriteFile(dir.File("HARVOX.INI"), kGood);
  test::WriteFile(dir.File("users.ini"),
                  "[USERS]\r\nGOOD=secret1\r\nAL-PHA=pw\r\nNOPASS=,N0CALL\r\nDOTTED=p.w\r\nGOOD=zq9second\r\n");
  const std::string all = Joined(CheckConfiguration(dir.Path() + "/"));
  for (const char* s : {"user AL-PHA can never log in: the id has characters",
                        "user NOPASS can never log in: no password",
                        "user DOTTED can never log in: the password has characters",
                        "USERS.INI [USERS] GOOD stands more than once",
                        "USERS.INI: 1 of 4 users can log in"}) {
    EXPECT_NE(all.find(s), std::string::npos) << s << "\n" << all;
  }
  EXPECT_EQ(all.find("secret1"), std::string::npos);  // passwords never printed
  EXPECT_EQ(all.find("zq9second"), std::string::npos);
}

TEST(Check, TheProgramPrintsTheReportAndExitsByUsability) {
  test::TempDir dir;
  test::WriteFile(dir.File("HARVOX.INI"), kGood);
  test::Process good({HARVOX_BINARY, "--check"}, dir.Path());
  EXPECT_EQ(good.Wait(10s), 0);
  EXPECT_NE(good.Stdout().find("Configuration usable."), std::string::npos);
  EXPECT_EQ(test::Exists(dir.File("HARVOX.LOG")), false);  // a check writes nothing
  test::TempDir empty;
  test::Process bad({HARVOX_BINARY, "--check"}, empty.Path());
  EXPECT_EQ(bad.Wait(10s), 1);
}

}  // namespace
}  // namespace harvox
