// The configuration check on good and broken working directories.
#include <gtest/gtest.h>

#include <sys/stat.h>

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

// Routes GATE1000 ... (each name 9 bytes of the key list), GATE1000 twice more.
std::string RepeatedRoutes(int n) {
  std::string routes;
  for (int i = 0; i < n; ++i) routes += "GATE" + std::to_string(1000 + i) + "=10.0.0.5\r\n";
  return routes + "GATE1000=a\r\nGATE1000=b\r\n";
}

const char* kGood =
    "[AGW]\r\nPORT=8001\r\nPASSW=hunter2\r\n[TELNET]\r\nNODEPORT=1\r\nNODECALL=gb7xyz\r\n"
    "[TELNET.CLIENT]\r\nBBS=127.0.0.1:6300\r\n";

TEST(Check, FindingsOneByOne) {
  struct Case {
    const char* name;
    std::string ini;
    bool usable;
    std::vector<std::string> says, never;
    std::string users = "[USERS]\r\nGOOD=pw\r\n";
    const char* fifo = nullptr;  // made a FIFO instead of a file (and ini left out)
  } cases[] = {
      {"good", kGood, true,
       {"[AGW] PORT = 8001  (from the file)", "[TELNET] TIMEOUT = 600000  (default)",
        "[TELNET] NODECALL = GB7XYZ", "[AGW] PASSW = ****", "Configuration usable."},
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
      {"unknown names", std::string(kGood) + "[TELNET]\r\nMAXUSER=5\r\n[TELNETT]\r\nX=1\r\n", true,
       {"WARNING: [TELNET] MAXUSER is no setting of Harvox (MAXUSERS?)",
        "WARNING: [TELNETT] is no section of Harvox (TELNET?)"}, {}},
      {"comment after SECURITY", "[TELNET]\r\nSECURITY=YES ; only listed users\r\n" + std::string(kGood), false,
       {"ERROR: [TELNET] SECURITY=YES ; only listed users was not understood",
        "[TELNET] SECURITY = YES ; only listed users  (NOT UNDERSTOOD"}, {}},
      {"routes beyond the key list", kGood + RepeatedRoutes(3000), true,
       {"[TELNET.CLIENT] holds 3001 route names; only the first 1821 are read",
        "Routes registered: 1821 (", "\n  GATE2819 -> 10.0.0.5:23, timeout 600000 ms, maxtime 3600000 ms\n",
        "WARNING: HARVOX.INI [TELNET.CLIENT] GATE1000 stands more than once"},
       {"GATE2820 ->", "counts\nWARNING: HARVOX.INI [TELNET.CLIENT] GATE1000"}},
      {"doors left open", kGood, true,
       {"user DEMO is the example's login", "user DEMO callsign N0CALL-7 is a placeholder",
        "user BOB can never log in: no password"}, {},
       "[USERS]\r\nDEMO=demo,N0CALL-7\r\nBOB=\r\n"},
      {"no users", kGood, true, {"SECURITY=YES and no user can log in"}, {}, "[USERS]\r\n;DEMO=demo\r\n"},
      {"FIFO", "", false, {"HARVOX.INI is no regular file"}, {}, "", "HARVOX.INI"},
      {"listen lists", std::string(kGood) + "[TELNET]\r\nBIND=0.0.0.0,::\r\n[MONITOR]\r\nBIND=127.0.0.1, x\r\n", false,
       {"Telnet server listens on 0.0.0.0:23, [::]:23", "ERROR: [MONITOR] BIND=127.0.0.1, x: 'x' is no IP address"},
       {"Monitor server listens"}},
      {"status page", std::string(kGood) + "[STATUS]\r\nPORT=8124\r\nBIND=0.0.0.0\r\n", true,
       {"Status page listens on 0.0.0.0:8124", "WARNING: the status page has no login"}, {}},
      {"status page not understood", std::string(kGood) + "[STATUS]\r\nPORT=8124\r\nBIND=::1,127.0.0.1\r\n", false,
       {"ERROR: [STATUS] BIND takes one address, not a list"}, {"Status page listens"}},
      {"packaged", test::ReadFile(HARVOX_SOURCE_DIR "/examples/HARVOX.INI"), true,
       {"Telnet server listens on 0.0.0.0:2323, [::]:2323", "Monitor server listens on 127.0.0.1:8123, [::1]:8123"},
       {"ERROR"}},
      {"gateway rules",
       std::string(kGood) + "[GATEWAY]\r\nALLOW=127.0.0.1:2424\r\nDENY=10.1.2.3/8\r\nDENY=*\r\n", false,
       {"  DENY: none", "  ALLOW: 127.0.0.1:2424", "  refused, loopback: 127.0.0.0/8, ::1",
        "the engine's address, every port: 127.0.0.1", "(Harvox's own ports: 23, 8123)",
        "ERROR: [GATEWAY] DENY entry '10.1.2.3/8' is not an address, block or port (Harvox will not start)",
        "ERROR: [GATEWAY] DENY stands more than once"},
       {"ALLOW stands"}},
      {"engine here, not shared", kGood, true, {"NOTE: the engine runs on this machine: [AGW] SHARED=YES"}, {}},
      {"shared, a callsign twice", std::string(kGood) + "[AGW]\r\nSHARED=YES\r\n", false,
       {"[AGW] SHARED = YES", "ERROR: [AGW] SHARED=YES: callsign BBS is both the route BBS of the gateway "
        "and user GOOD's in USERS.INI"},
       {"NOTE: the engine runs"}, "[USERS]\r\nGOOD=pw,bbs\r\n"},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    if (c.fifo) {
      ASSERT_EQ(::mkfifo(dir.File(c.fifo).c_str(), 0600), 0);
    } else {
      test::WriteFile(dir.File("harvox.ini"), c.ini);
    }
    test::WriteFile(dir.File("USERS.INI"), c.users);
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
                  "[USERS]\r\nGOOD=secret1\r\nAL-PHA=pw\r\nNOPASS=,N0CALL\r\nDOTTED=p.w\r\nGOOD=zq9second\r\n"
                  "HASHED=$5$hArvOxSaLt5$vGBEBoiLouDclu1ZuET3kqEccpqWbWTnu/rkeMpurb6\r\n");
  const std::string all = Joined(CheckConfiguration(dir.Path() + "/"));
  for (const char* s : {"user AL-PHA can never log in: the id has characters",
                        "user NOPASS can never log in: no password",
                        "user DOTTED can never log in: the password has characters",
                        "USERS.INI [USERS] GOOD stands more than once",
                        "NOTE: 1 of the users have clear-text passwords in USERS.INI; `harvox --hash-password`",
                        "USERS.INI: 2 of 5 users can log in"}) {
    EXPECT_NE(all.find(s), std::string::npos) << s << "\n" << all;
  }
  EXPECT_EQ(all.find("secret1"), std::string::npos);  // passwords never printed
  EXPECT_EQ(all.find("zq9second"), std::string::npos);
  EXPECT_EQ(all.find("hArvOxSaLt5"), std::string::npos);
}

TEST(Check, TheProgramPrintsTheReportAndExitsByUsability) {
  test::TempDir dir;
  test::WriteFile(dir.File("HARVOX.INI"), kGood);
  test::Process good({HARVOX_BINARY, "--check"}, dir.Path());
  EXPECT_EQ(good.Wait(30s), 0);
  EXPECT_NE(good.Stdout().find("Configuration usable."), std::string::npos);
  EXPECT_EQ(test::Exists(dir.File("HARVOX.LOG")), false);  // a check writes nothing
  test::TempDir empty;
  test::Process bad({HARVOX_BINARY, "--check"}, empty.Path());
  EXPECT_EQ(bad.Wait(30s), 1);
  test::Process elsewhere({HARVOX_BINARY, "--check", dir.Path()}, empty.Path());
  EXPECT_EQ(elsewhere.Wait(30s), 0);
  EXPECT_NE(elsewhere.Stdout().find("Configuration: " + dir.File("HARVOX.INI")), std::string::npos);
}

}  // namespace
}  // namespace harvox
