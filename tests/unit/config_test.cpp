#include <gtest/gtest.h>

#include <functional>

#include "shell/config.h"

namespace harvox {
namespace {

Settings Read(const std::string& text) { return ReadSettings(IniFile::Parse(text)); }

TEST(Config, DefaultsWhenNothingIsConfigured) {
  const Settings s = Read("");
  EXPECT_EQ(s.LogFile, "HARVOX.LOG");
  EXPECT_EQ(s.AgwPort, 8000);
  EXPECT_EQ(s.TelnetPort, 23);
  EXPECT_EQ(s.MonitorPort, 8123);
  EXPECT_EQ(s.Mask, "IUSC");
  EXPECT_FALSE(s.CrLf);
  EXPECT_TRUE(s.Recover);
  EXPECT_FALSE(DefaultNodeConfigured(s));
}

TEST(Config, RoutesBeyondTheKeyListAreReportedOnce) {
  std::string routes = "\xEF\xBB\xBF[TELNET.CLIENT]\n";
  for (int i = 0; i < 3000; ++i) routes += "GATE" + std::to_string(1000 + i) + "=10.0.0.5\n";
  const Settings s = Read(routes);
  EXPECT_EQ(s.Routes.size(), IniFile::kMaxKeyList / 9);
  ASSERT_EQ(s.Notes.size(), 1u);
  EXPECT_EQ(s.Notes[0],
            "Create: Section TELNET.CLIENT holds more route names than 16384 bytes, later routes are ignored");
  EXPECT_TRUE(Read("[TELNET.CLIENT]\nGATE=10.0.0.5\n").Notes.empty());
}

TEST(Config, ReadingRules) {
  const Settings s = Read(
      "[HARVOX]\nCRLF=yes\nRECOVER=on\nTRACE=3\n"
      "[AGW]\nPORT=-1\n"
      "[TELNET]\nMAXTIME=1h\nTIMEOUT=\nNODECALL=node-1\nNODEPORT=2\nSERVER_CALLSIGN=tel\n"
      "ENABLED=no\nMAXUSERS=99999999999\nWELCOME=Hello There\n"
      "[MONITOR]\nMASK=ius\nSPLIT=FALSE\n");
  EXPECT_FALSE(s.CrLf);
  EXPECT_TRUE(s.Recover);
  EXPECT_EQ(s.Trace, 3);
  EXPECT_EQ(s.AgwPort, 8000);
  EXPECT_EQ(s.MaxTime, 3600000);
  EXPECT_EQ(s.Timeout, 600000);
  EXPECT_EQ(s.MaxUsers, 10);  // too long for 32 bits: the fallback
  EXPECT_EQ(s.NodeCall, "NODE-1");
  EXPECT_EQ(s.ServerCallsign, "TEL");
  EXPECT_EQ(s.Welcome, "Hello There");
  EXPECT_FALSE(s.TelnetEnabled);
  EXPECT_EQ(s.Mask, "IUS");
  EXPECT_FALSE(s.Split);
  EXPECT_TRUE(DefaultNodeConfigured(s));
  EXPECT_TRUE(Read("[HARVOX]\nCRLF=YES\n").CrLf);
  EXPECT_FALSE(Read("[HARVOX]\nRECOVER=\n").Recover);
}

TEST(Config, ParameterDumpLines) {
  Settings s = Read("[AGW]\nPASSW=secret\nLOGIN=me\n[TELNET]\nNODECALL=N\nNODEPORT=1\n");
  const auto lines = ParameterDump(s);
  ASSERT_EQ(lines.size(), 32u);
  EXPECT_EQ(lines[0], "Create: Starting Harvox Version 1.20.00");
  EXPECT_EQ(lines[3], "      LOGFILE:     HARVOX.LOG");
  EXPECT_EQ(lines[5], "      RECOVER:     TRUE");
  EXPECT_EQ(lines[10], "      LOGIN:       me");
  EXPECT_EQ(lines[11], "      PASSWORD:    ****");
  EXPECT_EQ(lines[13], "      SERVER CALL  TELNET");
  EXPECT_EQ(lines[17], "      MAX TIME:    3600000");
  EXPECT_EQ(lines[25], "  MONITOR");
  EXPECT_EQ(lines[29], "      CRLF:        FALSE");
  EXPECT_EQ(lines[31], "      DETAILS:     TRUE");
  for (size_t i = 3; i < lines.size(); ++i) {
    if (lines[i].rfind("      ", 0) == 0) {
      EXPECT_GE(lines[i].size(), 19u) << i;
    }
  }
  s.AgwPassword.clear();
  EXPECT_EQ(ParameterDump(s)[11], "      PASSWORD:    ");
}

TEST(Config, ListenAddresses) {
  const struct {
    std::string ini;
    std::vector<std::string> telnet, monitor;
    std::string error;
  } cases[] = {
      {"", {"0.0.0.0"}, {"0.0.0.0"}, ""},
      {"[TELNET]\nBIND= 0.0.0.0 ,\t:: \n[MONITOR]\nBIND=127.0.0.1,::1,0:0::1,::ffff:127.0.0.2\n",
       {"0.0.0.0", "::"}, {"127.0.0.1", "::1", "127.0.0.2"}, ""},
      {"[TELNET]\nBIND=::1,localhost\n", {}, {"0.0.0.0"}, "[TELNET] BIND=::1,localhost: 'localhost' is no IP address"},
      {"[MONITOR]\nBIND=127.1\n", {"0.0.0.0"}, {}, "[MONITOR] BIND=127.1: '127.1' is no IP address"},
      {"[MONITOR]\nBIND=\n", {"0.0.0.0"}, {}, "[MONITOR] BIND=: an entry is empty"},
      {"[TELNET]\nBIND=::1,\n", {}, {"0.0.0.0"}, "[TELNET] BIND=::1,: an entry is empty"},
      {"[TELNET]\nBIND=::1,::\n", {}, {"0.0.0.0"}, "[TELNET] BIND=::1,::: :: already covers ::1"},
  };
  for (const auto& c : cases) {
    const Settings s = Read(c.ini);
    EXPECT_EQ(s.TelnetBind, c.telnet) << c.ini;
    EXPECT_EQ(s.MonitorBind, c.monitor) << c.ini;
    EXPECT_EQ(s.Errors, c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error});
  }
}

TEST(Config, RouteLines) {
  Route r = ParseRoute("GATE=10.0.0.5:6300,60000,,TRUE", 600000, 3600000);
  EXPECT_EQ(RouteLogLine(r), "Create: Route Call(GATE) Address(10.0.0.5:6300)");
  ASSERT_TRUE(r.Valid());
  EXPECT_EQ(r.Target.Port, 6300);
  EXPECT_EQ(r.Target.Timeout, 60000);
  EXPECT_EQ(r.Target.MaxTime, 3600000);
  EXPECT_TRUE(r.Target.Quiet);
  EXPECT_EQ(ListenerLogLine(r.Target),
            "Create: Telnet Listener for Call(GATE) Mapped to (10.0.0.5:6300) Quiet(TRUE)");

  r = ParseRoute("GATE=:23", 1, 2);
  EXPECT_EQ(RouteLogLine(r), "Create: Route Call(GATE) Address(:23)");
  EXPECT_FALSE(r.Valid());

  r = ParseRoute("gate=host,,,true", 1, 2);
  EXPECT_EQ(r.Call, "gate");
  EXPECT_FALSE(r.Target.Quiet);
  EXPECT_EQ(RouteLogLine(r), "Create: Route Call(gate) Address(host:)");
  EXPECT_EQ(r.Target.Port, 23);

  r = ParseRoute("GATE=10.0.0.5:6300, 60000", 600000, 3600000);
  EXPECT_EQ(r.Target.Timeout, 600000);
  r = ParseRoute("GATE=h:99999999999,99999999999", 5, 6);
  EXPECT_EQ(r.Target.Port, 23);
  EXPECT_EQ(r.Target.Timeout, 5);
}

}  // namespace
}  // namespace harvox

namespace harvox {
namespace {

// Every value as the reader takes it, and what it says about the ones it
// does not understand.
TEST(Config, FlagAndNumberValues) {
  struct Case {
    std::string ini;
    std::function<int64_t(const Settings&)> got;
    int64_t want;
    const char* warning;  // a substring of the one warning, or none
    const char* error;    // a substring of the one error, or none
  } cases[] = {
      {"[TELNET]\nSECURITY= no \n", [](auto& s) { return s.Security; }, 0, nullptr, nullptr},
      {"[TELNET]\nSECURITY=Off\n", [](auto& s) { return s.Security; }, 0, nullptr, nullptr},
      {"[TELNET]\nSECURITY=YES ; only listed users\n", [](auto& s) { return s.Security; }, 1, nullptr,
       "[TELNET] SECURITY=YES ; only listed users was not understood (a comment"},
      {"[TELNET]\nSECURITY=\n", [](auto& s) { return s.Security; }, 1, nullptr, "[TELNET] SECURITY= was"},
      {"[MONITOR]\nSPLIT=1\n", [](auto& s) { return s.Split; }, 0, "[MONITOR] SPLIT=1 was not understood; taken as NO", nullptr},
      {"[MONITOR]\nOWN=maybe\n", [](auto& s) { return s.MonitorOwn; }, 0, "[MONITOR] OWN=maybe was not understood; taken as NO", nullptr},
      {"[MONITOR]\nRAW=yes\nTIMESTAMP=On\n", [](auto& s) { return s.MonitorRaw + s.MonitorTimestamp; }, 2, nullptr, nullptr},
      {"[HARVOX]\nRECOVER=true\n", [](auto& s) { return s.Recover; }, 1, nullptr, nullptr},
      {"[HARVOX]\nCRLF=On\n", [](auto& s) { return s.CrLf; }, 0, "CRLF=On was not understood; taken as NO (on only", nullptr},
      {"[HARVOX]\nCRLF=OFF\n", [](auto& s) { return s.CrLf; }, 0, nullptr, nullptr},
      {"[TELNET]\nPORT=2323 ; telnet port\n", [](auto& s) { return s.TelnetPort; }, 23,
       "[TELNET] PORT=2323 ; telnet port was not understood (a comment must stand on a line of its own); the default 23 is used", nullptr},
      {"[TELNET]\nMAXUSERS=+5\n", [](auto& s) { return s.MaxUsers; }, 10, "MAXUSERS=+5 was not understood; the default 10", nullptr},
      {"[TELNET]\nPORT=0\n", [](auto& s) { return s.TelnetPort; }, 0, nullptr, "[TELNET] PORT 0 is no TCP port"},
      {"[TELNET]\nPORT=0\nENABLED=NO\n", [](auto& s) { return s.TelnetPort; }, 0, nullptr, nullptr},
      {"[MONITOR]\nPORT=65536\n", [](auto& s) { return s.MonitorPort; }, 65536, nullptr, "[MONITOR] PORT 65536 is no"},
      {"[AGW]\nPORT=65535\n", [](auto& s) { return s.AgwPort; }, 65535, nullptr, nullptr},
      {"[GATEWAY]\nMAXCIRCUITS=-1\n", [](auto& s) { return s.MaxCircuits; }, 256, "[GATEWAY] MAXCIRCUITS=-1 was not understood; the default 256", nullptr},
      {"[GATEWAY]\nMAXCIRCUITS=40\n", [](auto& s) { return s.MaxCircuits; }, 40, nullptr, nullptr},
      {"[TELNET]\nMAXUSER=5\n", [](auto& s) { return s.MaxUsers; }, 10, "[TELNET] MAXUSER is no setting of Harvox (MAXUSERS?)", nullptr},
      {"[TELNETT]\nPORT=5\n", [](auto& s) { return s.TelnetPort; }, 23, "[TELNETT] is no section of Harvox (TELNET?)", nullptr},
      {"[TELNET]\nMASK=U\n", [](auto& s) { return s.Mask.size(); }, 4, "[TELNET] MASK is no setting of Harvox (a key of [MONITOR])", nullptr},
      {"[GATEWAY]\nALLOW=10.0.0.1\n[status]\nbind=::1\n[TELNET.CLIENT]\nANY=h\n", [](auto& s) { return s.Routes.size(); }, 1, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    const Settings s = Read(c.ini);
    EXPECT_EQ(c.got(s), c.want) << c.ini;
    ASSERT_EQ(s.Warnings.size(), c.warning ? 1u : 0u) << c.ini << (s.Warnings.empty() ? "" : s.Warnings[0]);
    if (c.warning) {
      EXPECT_NE(s.Warnings[0].find(c.warning), std::string::npos) << s.Warnings[0];
    }
    ASSERT_EQ(s.Errors.size(), c.error ? 1u : 0u) << c.ini;
    if (c.error) {
      EXPECT_NE(s.Errors[0].find(c.error), std::string::npos) << s.Errors[0];
    }
  }
}

}  // namespace
}  // namespace harvox
