// The real binary in a temporary working directory.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <thread>

#include <asio/ip/tcp.hpp>

#include "support/fake_engine.h"
#include "support/process.h"
#include "support/tcp_peer.h"
#include "support/temp_dir.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;
using test::Process;

bool WaitForLog(const std::string& path, const std::string& text) {
  for (int i = 0; i < 3000; ++i) {
    if (test::ReadFile(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

const char* kMinimal =
    "[HARVOX]\r\nTRACE=1\r\n"
    "[AGW]\r\nPORT=1\r\n"  // nobody listens there: the links fail quietly
    "[TELNET]\r\nNODEPORT=1\r\nNODECALL=node\r\nPORT=0\r\nENABLED=NO\r\n"
    "[MONITOR]\r\nENABLED=NO\r\n"
    "[TELNET.CLIENT]\r\nGATE=10.0.0.5:6300,60000,,TRUE\r\nBAD=:23\r\nNONE=\r\n";

// No HARVOX.INI where Harvox runs (the working directory, or --dir's):
// the error names the folder, and no log is left there.
TEST(Program, MissingConfigurationNamesTheFolderAndLeavesNoLog) {
  test::TempDir dir;
  const struct {
    std::vector<std::string> argv;
    std::string cwd;
    int status;
    std::string error;
  } cases[] = {
      {{HARVOX_BINARY}, dir.Path(), 1, "Configuration Error!: HARVOX.INI not found in " + dir.Path() + "\n"},
      {{HARVOX_BINARY, "--dir", dir.Path()}, "/", 1,
       "Configuration Error!: HARVOX.INI not found in " + dir.Path() + "\n"},
      {{HARVOX_BINARY, "--dir", dir.File("none")}, dir.Path(), 1,
       "harvox: --dir " + dir.File("none") + ": No such file or directory\n"},
  };
  for (const auto& c : cases) {
    Process p(c.argv, c.cwd);
    EXPECT_EQ(p.Wait(30s), c.status);
    EXPECT_EQ(p.Stderr(), c.error);
    EXPECT_FALSE(test::Exists(dir.File("HARVOX.LOG")));
  }
}

TEST(Program, StartsLogsTheDumpAndRoutesAndStopsCleanlyOnSigterm) {
  test::TempDir dir;
  test::WriteFile(dir.File("harvox.ini"), kMinimal);  // found without regard to case
  test::WriteFile(dir.File("HARVOX.LOG"), "the last run\r\n");  // kept as HARVOX.LOG.1 ...
  test::WriteFile(dir.File("HARVOX.LOG.1"), "the run before\r\n");  // ... in place of this one
  Process p({HARVOX_BINARY}, dir.Path());
  const std::string log_path = dir.File("HARVOX.LOG");
  EXPECT_TRUE(WaitForLog(log_path, "Default Client"));
  EXPECT_FALSE(p.Wait(100ms).has_value()) << p.Stderr();
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(30s), 0);
  const std::string log = test::ReadFile(log_path);
  EXPECT_NE(log.find(" Create: Starting Harvox Version 1.20.00\r\n"), std::string::npos);
  EXPECT_NE(log.find(" Create: Parameters\r\n"), std::string::npos);
  EXPECT_NE(log.find("       NODECALL:    NODE\r\n"), std::string::npos);
  EXPECT_EQ(log.find("Create: Telnet Server Created"), std::string::npos);
  EXPECT_NE(log.find(" Create: Default Client Listener Created\r\n"), std::string::npos);
  EXPECT_NE(log.find(" Create: Route Call(GATE) Address(10.0.0.5:6300)\r\n"), std::string::npos);
  EXPECT_NE(log.find(" Create: Telnet Listener for Call(GATE) Mapped to (10.0.0.5:6300) Quiet(TRUE)\r\n"),
            std::string::npos);
  EXPECT_NE(log.find(" Create: Route Call(BAD) Address(:23)\r\n"), std::string::npos);
  EXPECT_EQ(log.find("Call(NONE)"), std::string::npos);
  EXPECT_NE(log.find(" Create: Gateway T destinations, ALLOW: none\r\n"), std::string::npos);
  EXPECT_EQ(log.find("Exception"), std::string::npos);
  EXPECT_EQ(test::ReadFile(dir.File("HARVOX.LOG.1")), "the last run\r\n");
}

// A hang-up is said in the log and changes nothing: the program runs on.
TEST(Program, SighupIsLoggedAndIgnored) {
  test::TempDir dir;
  test::WriteFile(dir.File("HARVOX.INI"), kMinimal);
  Process p({HARVOX_BINARY}, dir.Path());
  const std::string log = dir.File("HARVOX.LOG");
  ASSERT_TRUE(WaitForLog(log, "Default Client"));
  EXPECT_TRUE(WaitForLog(log, "Create: Open file limit"));
  p.Signal(SIGHUP);
  EXPECT_TRUE(WaitForLog(log, "Signal: SIGHUP ignored, nothing needs reloading"));
  EXPECT_FALSE(p.Wait(100ms).has_value());
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(10s), 0);
}

TEST(Program, OverlongNumberTakesTheFallbackInsteadOfStoppingStartUp) {
  test::TempDir dir;
  test::WriteFile(dir.File("HARVOX.INI"),
                  "[HARVOX]\nTRACE=1\n[AGW]\nPORT=99999999999\n[TELNET]\nNODEPORT=1\nNODECALL=N\n"
                  "ENABLED=NO\n[MONITOR]\nENABLED=NO\n");
  Process p({HARVOX_BINARY}, dir.Path());
  EXPECT_TRUE(WaitForLog(dir.File("HARVOX.LOG"), "Default Client Listener Created"));
  p.Signal(SIGINT);
  EXPECT_EQ(p.Wait(30s), 0);
  EXPECT_NE(test::ReadFile(dir.File("HARVOX.LOG")).find("      PORT:        8000\r\n"), std::string::npos);
}

// Values start-up refuses: status 1 and a line naming file, section, key
// and value, on standard error and in the log, where the values it only
// warns about are told as well.  A FIFO is no configuration file.
TEST(Program, RefusesWhatItDoesNotUnderstand) {
  const std::string base = "[HARVOX]\nTRACE=1\n[AGW]\nPORT=1\n[TELNET]\nNODEPORT=1\nNODECALL=N\nENABLED=NO\n"
                           "[MONITOR]\nENABLED=NO\n";
  const struct {
    std::string ini;  // none: HARVOX.INI is a FIFO
    std::string error, log;
  } cases[] = {
      {"[TELNET]\nSECURITY=YES ; only listed users\n" + base,
       "/HARVOX.INI [TELNET] SECURITY=YES ; only listed users was not understood", "Create: Configuration Error: "},
      {"[TELNET]\nENABLED=YES\nPORT=0\n" + base, "[TELNET] PORT 0 is no TCP port", ""},
      {"[MONITOR]\nBIND=::1, bogus\n" + base, "/HARVOX.INI [MONITOR] BIND=::1, bogus: 'bogus' is no IP address",
       "Create: Configuration Error: "},
      {"[MONITOR]\nENABLED=on\nPORT=65536\n[TELNET]\nMAXUSERS=5 ; users\n" + base, "[MONITOR] PORT 65536 is no TCP port",
       "Create: [TELNET] MAXUSERS=5 ; users was not understood (a comment must stand on a line of its own); "
       "the default 10 is used\r\n"},
      {"[GATEWAY]\nDENY=10.0.0.0/8, 10.1.2.3/8\n" + base,
       "[GATEWAY] DENY entry '10.1.2.3/8' is not an address, block or port",
       "HARVOX.INI [GATEWAY] DENY entry '10.1.2.3/8'"},
      {"", "HARVOX.INI can not be read", ""},
      {"[TELNET]\nNODECALL=\n" + base, "Default Node Data Not Configured: [TELNET] NODECALL is required in /",
       "/HARVOX.INI\r\n"},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    if (c.ini.empty()) {
      ASSERT_EQ(::mkfifo(dir.File("HARVOX.INI").c_str(), 0600), 0);
    } else {
      test::WriteFile(dir.File("HARVOX.INI"), c.ini);
    }
    Process p({HARVOX_BINARY}, dir.Path());
    EXPECT_EQ(p.Wait(30s), 1) << c.error;
    EXPECT_NE(p.Stderr().find("Configuration Error!: "), std::string::npos) << p.Stderr();
    EXPECT_NE(p.Stderr().find(c.error), std::string::npos) << p.Stderr();
    EXPECT_NE(test::ReadFile(dir.File("HARVOX.LOG")).find(c.log), std::string::npos) << c.log;
  }
}

TEST(Program, VersionAndUsage) {
  test::TempDir dir;
  Process v({HARVOX_BINARY, "--version"}, dir.Path());
  EXPECT_EQ(v.Wait(30s), 0);
  EXPECT_EQ(v.Stdout(), "Harvox 1.20.00\n");
  Process bad({HARVOX_BINARY, "--frobnicate"}, dir.Path());
  EXPECT_EQ(bad.Wait(30s), 2);
  EXPECT_NE(bad.Stderr().find("Usage"), std::string::npos);
}

}  // namespace
}  // namespace harvox

namespace harvox {
namespace {

// A port free now, for the program to listen on (port 0 stops start-up).
int FreePort() {
  asio::io_context io;
  asio::ip::tcp::acceptor probe(io, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), 0));
  return probe.local_endpoint().port();
}

std::string TelnetConfig(int telnet_port, int engine_port) {
  return "[HARVOX]\nTRACE=1\n[AGW]\nPORT=" + std::to_string(engine_port) +
         "\n[TELNET]\nNODEPORT=1\nNODECALL=N0NODE\nPORT=" + std::to_string(telnet_port) +
         "\n[MONITOR]\nENABLED=NO\n";
}

TEST(Program, TelnetPortInUseIsAStartUpFailureAndEndsTheProgram) {
  asio::io_context io;
  asio::ip::tcp::acceptor busy(io, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), 0));
  test::TempDir dir;
  test::WriteFile(dir.File("HARVOX.INI"), TelnetConfig(busy.local_endpoint().port(), 1));
  test::Process p({HARVOX_BINARY}, dir.Path());
  EXPECT_EQ(p.Wait(std::chrono::seconds(10)), 1);
  const std::string port = std::to_string(busy.local_endpoint().port());
  const std::string cause = "start-up failed: Telnet server on port " + port + ": bind 0.0.0.0:" + port +
                            ": Address already in use\n";
  EXPECT_EQ(p.Stderr(), "harvox: " + cause);
  const std::string log = test::ReadFile(dir.File("HARVOX.LOG"));
  EXPECT_NE(log.find("Create: Exception on Initialization Module"), std::string::npos);
  EXPECT_NE(log.find("Create: " + cause.substr(0, cause.size() - 1) + "\r\n"), std::string::npos);
  EXPECT_NE(log.find("{TND} Telnet Server Object Released"), std::string::npos);
}

TEST(Program, SigtermReleasesTheTelnetServer) {
  test::FakeEngine engine;
  test::TempDir dir;
  test::WriteFile(dir.File("HARVOX.INI"), TelnetConfig(FreePort(), engine.Port()));
  test::Process p({HARVOX_BINARY}, dir.Path());
  const std::string log = dir.File("HARVOX.LOG");
  EXPECT_TRUE(WaitForLog(log, "{TelnetD} Event <OnAX25AGWUp> AGWPE(TELNET)"));
  EXPECT_TRUE(test::ReadFile(log).find("Create: Telnet Server Created") != std::string::npos);
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(std::chrono::seconds(10)), 0);
  const std::string text = test::ReadFile(log);
  EXPECT_NE(text.find("{TND} Telnet Server Object Released"), std::string::npos);
  EXPECT_EQ(text.find("Exception"), std::string::npos);
}

// The program (as installed, HARVOX_PROGRAM, e.g. /usr/bin/harvox from the
// package, or as built) with one Telnet user logged in through the engine.
struct LoggedIn {
  test::FakeEngine engine;
  test::TempDir dir;
  int port = 0;
  std::unique_ptr<test::Process> program;
  std::unique_ptr<test::TcpPeer> user;

  bool Shows(const std::string& text) {
    for (int i = 0; i < 3000 && !user->Has(text); ++i) std::this_thread::sleep_for(10ms);
    return user->Has(text);
  }
  void Start() {
    {
      asio::io_context io;  // a port free now, for the program to listen on
      asio::ip::tcp::acceptor probe(io, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), 0));
      port = probe.local_endpoint().port();
    }
    test::WriteFile(dir.File("HARVOX.INI"), TelnetConfig(port, engine.Port()));
    test::WriteFile(dir.File("USERS.INI"), "[USERS]\nDEMO=demo,N0CALL-7\n");
    const char* installed = std::getenv("HARVOX_PROGRAM");
    program = std::make_unique<test::Process>(
        std::vector<std::string>{installed ? installed : HARVOX_BINARY}, dir.Path());
    ASSERT_TRUE(WaitForLog(dir.File("HARVOX.LOG"), "{TelnetD} Event <OnAX25AGWUp>"));
    user = std::make_unique<test::TcpPeer>(port);
    ASSERT_TRUE(Shows("Login:"));
    user->Send("demo\r\ndemo\r\n");
    ASSERT_TRUE(Shows("as N0CALL-7\r\n1 Users logged in."));
    ASSERT_TRUE(engine.WaitFor(test::IsKind('C')).has_value());
  }
};

TEST(Program, ServesATelnetLogin) {
  LoggedIn run;
  run.Start();
  run.program->Signal(SIGTERM);
  EXPECT_EQ(run.program->Wait(30s), 0);
}

TEST(Program, SigtermTellsUsersAndEndsEveryLinkWithinFiveSeconds) {
  LoggedIn run;
  run.engine.SetOutstanding({1});  // the link never drains
  run.Start();
  run.user->Send("last line\r\n");
  ASSERT_TRUE(run.engine.WaitFor(test::IsKind('D')).has_value());
  const auto t0 = std::chrono::steady_clock::now();
  run.program->Signal(SIGTERM);
  EXPECT_EQ(run.program->Wait(60s), 0) << run.program->Stderr();
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, 4500ms);  // it waited for the drain ...
  EXPECT_LT(took, 30s);     // ... but not for ever (the bound is 5 s; a busy machine adds to it)
  EXPECT_TRUE(run.Shows("\r\n*** Harvox is shutting down\r\n"));
  std::string kinds;
  for (const auto& f : run.engine.Frames()) {
    if ((f.kind == 'd' || f.kind == 'x') && f.from == "N0CALL-7") kinds += f.kind;
  }
  EXPECT_EQ(kinds, "dx");  // the link ended with a DISC before the engine connection closed
}

TEST(Program, GatewayStartsRegistersAndIsReleasedAfterTheTelnetServer) {
  test::FakeEngine engine;
  test::TempDir dir;
  test::WriteFile(dir.File("HARVOX.INI"), TelnetConfig(FreePort(), engine.Port()) +
                                              "[TELNET.CLIENT]\nGATE=127.0.0.1:6300\n");
  test::Process p({HARVOX_BINARY}, dir.Path());
  const std::string log = dir.File("HARVOX.LOG");
  EXPECT_TRUE(WaitForLog(log, "{TNClient} Event <OnAGWUp> AGWPE(TNCLI)"));
  EXPECT_TRUE(engine.WaitForCount(2, 5s, [](const test::AgwFrame& f) {
    return f.kind == 'X' && (f.from == "TNCLI" || f.from == "GATE");
  }));
  p.Signal(SIGINT);
  EXPECT_EQ(p.Wait(std::chrono::seconds(10)), 0);
  const std::string text = test::ReadFile(log);
  size_t at = 0;
  for (const char* line : {"Create: Telnet Server Created", "Create: Telnet Client Created",
                           "Create: Default Client Listener Created",
                           "{TND} Telnet Server Object Released", "{TNClient} AGW Timer Stopped",
                           "{TNClient} Call(TNCLI) Unregistered", "{TNClient} Call(GATE) Unregistered",
                           "{TNClient} Telnet client stopped"}) {
    const size_t found = text.find(line, at);
    EXPECT_NE(found, std::string::npos) << line;
    if (found != std::string::npos) at = found;
  }
  EXPECT_EQ(text.find("Exception"), std::string::npos);
}

}  // namespace
}  // namespace harvox

namespace harvox {
namespace {

TEST(Program, MonitorServerIsCreatedAfterTheTelnetServerAndShowsFrames) {
  test::FakeEngine engine;
  test::TempDir dir;
  asio::io_context io;
  int monitor_port = 0;
  {
    asio::ip::tcp::acceptor probe(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    monitor_port = probe.local_endpoint().port();
  }
  test::WriteFile(dir.File("HARVOX.INI"),
                  "[HARVOX]\nTRACE=1\n[AGW]\nPORT=" + std::to_string(engine.Port()) +
                      "\n[TELNET]\nNODEPORT=1\nNODECALL=N0NODE\nPORT=" + std::to_string(FreePort()) + "\n[MONITOR]\nPORT=" +
                      std::to_string(monitor_port) + "\nMASK=u\nSPLIT=NO\n");
  test::Process p({HARVOX_BINARY}, dir.Path());
  const std::string log = dir.File("HARVOX.LOG");
  ASSERT_TRUE(WaitForLog(log, "{TelMonD} Event <OnAX25AGWUp> AGWPE(MON-0)"));
  const std::string text = test::ReadFile(log);
  EXPECT_LT(text.find("Create: Telnet Server Created"), text.find("Create: Monitor Telnet Server Created"));
  EXPECT_LT(text.find("{TelnetD} TelnetD Server Ready."), text.find("{TelMonD} TelnetD Server Ready."));
  // The monitor's link is the one that asked for raw frames.
  const auto k = engine.WaitFor(test::IsKind('k'));
  ASSERT_TRUE(k.has_value());
  int monitor_client = -1;
  for (const auto& r : engine.Log()) {
    if (r.frame.kind == 'k') monitor_client = r.client;
  }
  asio::ip::tcp::socket viewer(io);
  viewer.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(monitor_port)));
  std::string got;
  const std::string welcome = "\r\nWelcome to the AX.25 Monitor Telnet Server\r\n";
  char buf[512];
  while (got.size() < welcome.size()) got.append(buf, viewer.read_some(asio::buffer(buf)));
  test::AgwFrame ui;
  ui.kind = 'K';
  ui.data = std::string("\0\x9c\x9e\x88\x8a\x40\x40\x60\x9c\x60\x86\x82\x98\x98\x63\x03\xf0hi", 19);
  engine.Send(ui, monitor_client);
  const std::string line = "N0CALL-1>NODE {UI} Pid(F0): hi\r";  // MASK and SPLIT as configured
  while (got.size() < welcome.size() + line.size()) got.append(buf, viewer.read_some(asio::buffer(buf)));
  EXPECT_EQ(got.substr(welcome.size()), line);
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(std::chrono::seconds(10)), 0);
  const std::string after = test::ReadFile(log);
  // The log ends with the Telnet server's release; the monitor goes silently.
  EXPECT_EQ(after.find("Released"), after.rfind("Released"));
  EXPECT_EQ(after.find("Exception"), std::string::npos);
}

// --status against the running program's page, against none, and a page
// port in use, which stops start-up with the page and port named.
TEST(Program, StatusCommandPrintsTheRunningPageOrSaysWhyNot) {
  test::FakeEngine engine;
  test::TempDir dir;
  const int port = FreePort();
  const std::string config = TelnetConfig(FreePort(), engine.Port());
  const auto status = [&](const std::string& ini, int code, const std::string& out, const std::string& err) {
    test::WriteFile(dir.File("HARVOX.INI"), ini);
    Process s({HARVOX_BINARY, "--status", dir.Path()}, "/");
    EXPECT_EQ(s.Wait(30s), code) << s.Stderr();
    EXPECT_NE(s.Stdout().find(out), std::string::npos) << s.Stdout();
    EXPECT_NE(s.Stderr().find(err), std::string::npos) << s.Stderr();
  };
  const std::string with_page = config + "[STATUS]\nPORT=" + std::to_string(port) + "\n";
  status(config, 1, "", "the status page is not configured ([STATUS] PORT in " + dir.File("HARVOX.INI"));
  status(with_page, 1, "", "http://127.0.0.1:" + std::to_string(port) + "/status.json is not reachable");
  {
    Process p({HARVOX_BINARY}, dir.Path());
    ASSERT_TRUE(WaitForLog(dir.File("HARVOX.LOG"), "{Status} Status page on http://127.0.0.1:"));
    ASSERT_TRUE(WaitForLog(dir.File("HARVOX.LOG"), "Connected with AGWPE"));
    status(with_page, 0, "Engine links: 2\n  service", "");
    test::TempDir other;
    test::WriteFile(other.File("HARVOX.INI"),
                    TelnetConfig(FreePort(), engine.Port()) + "[STATUS]\nPORT=" + std::to_string(port) + "\n");
    Process busy({HARVOX_BINARY}, other.Path());
    EXPECT_EQ(busy.Wait(30s), 1);
    EXPECT_NE(busy.Stderr().find("status page: bind 127.0.0.1:" + std::to_string(port) + ": Address already in use"),
              std::string::npos) << busy.Stderr();
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(30s), 0);
  }
}

}  // namespace
}  // namespace harvox
