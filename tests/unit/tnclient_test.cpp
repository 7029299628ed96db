// The gateway with the fake engine and real local Telnet hosts: the node
// prompt and its commands, where T may lead, routes quiet and not, and
// registration.
#include "tnclient_fixture.h"

#include <filesystem>

#include "gateway/l2cli.h"
#include "net/lookup_pool.h"
#include "net/winsock.h"

#include <condition_variable>
#include <mutex>

namespace harvox::test {
namespace {

using namespace std::chrono_literals;
using net::test::RawListener;
using net::test::RawPeer;
const std::string P = "{N0CALL de GATE}:\r";

Destinations Allowing(const std::string& entries) {
  std::vector<std::string> errors;
  return Destinations::Parse(entries, "", errors);
}

std::string Times(const std::string& s, int n) { return n ? s + Times(s, n - 1) : ""; }
const std::string W = "Welcome to Harvox Version 0.1B Beta.00";

TEST_F(GatewayFixture, PromptHelpAndQuit) {
  struct Case {
    std::string file, content;  // a TEXT/ file present for the case
    std::string input;
    std::string expected;  // what the station gets after the prompt
  };
  const std::string list = "\rT Telnet\rB Disconnect\r";
  const std::vector<Case> cases = {
      {"", "", "?\r", "\rHelp file not found\rtelnet>" + P},
      {"HELP.TNC", "Line1\r\nLine2\r\n", "h\r", "Line1\rLine2\r\rtelnet>" + P},
      {"TOPIC", "About T\n", "? topic\r", "About T\r" + list + P},
      {"", "", "? none\r", "\r*** No help about topic available\r\r" + list + P},
      {"", "", "? ../HARVOX.LOG\r", "\r*** No help about topic available\r\r" + list + P},
      {"", "", "ping 10.0.0.1\r", "*** ERROR, Not authorized for command <PING>\r" + P},
      {"", "", "t\r", "*** ERROR, Invalid or missing argument\r" + P},
      {"", "", "t :23\r", "\rInvalid or no Address given\r" + P},
      {"", "", "t 1.2.3.4:99999999999\r", "\r--Exception on Command Processor--\r" + P},
      {"GOODBYE.TNC", "So long\r\n", "b\r", "So long\r\r73!" + P},
      {"", "", "q\r", "73!\r\r73!" + P},
      {"", "", Times("\r\n", 128), Times(W + "\r", 8) + "\r*** Only 8 lines at a time\r" + Times(P, 8)},
  };
  Start();
  int n = 0;
  for (const auto& c : cases) {
    const std::string station = "N0CALL";
    if (!c.file.empty()) WriteFile(wd.File("TEXT/" + c.file), c.content);
    engine.Clear();
    Connect(station);
    ASSERT_TRUE(Await("Welcome to Harvox Version 0.1B Beta.00\rtelnet>\r")) << c.input;
    engine.Clear();
    Say(c.input);
    EXPECT_TRUE(Await(c.expected)) << c.input << " got " << Got();
    EXPECT_EQ(Got(), c.expected) << c.input;
    if (c.input == "b\r" || c.input == "q\r") {
      // The goodbye and the reply first, then the link ends, our call first.
      EXPECT_TRUE(AwaitDisconnect());
      RunUntil([&] { return gw->Table().Count() == 0; });
    } else {
      Leave();
      RunUntil([&] { return gw->Table().Count() == 0; });
    }
    EXPECT_EQ(gw->Table().Count(), 0u) << c.input;
    if (!c.file.empty()) std::remove(wd.File("TEXT/" + c.file).c_str());
    ++n;
  }
  EXPECT_FALSE(gw->Table().Head());
  EXPECT_EQ(gw->Processor().Welcome, "Welcome to Harvox Version 0.1B Beta.00");
}

// The texts shipped in examples/TEXT: the welcome points at ?, which answers with them.
TEST_F(GatewayFixture, ShippedTextsAnswerHelp) {
  const std::string shipped = HARVOX_SOURCE_DIR "/examples/TEXT/";
  std::filesystem::copy(shipped, wd.File("TEXT"));
  auto text = [&](const std::string& name) {  // missing: empty; CR LF reaches the station as CR
    std::string t = ReadFile(shipped + name);
    return std::erase(t, '\n') > 0 ? t : std::string();
  };
  EXPECT_NE(text("WELCOME.TNC").find("? for help"), std::string::npos);
  Start();
  for (const std::string file : {"HELP.TNC", "T", "PING", "B", "Q"}) {
    Connect("N0CALL");
    ASSERT_TRUE(Await(text("WELCOME.TNC") + "telnet>\r"));
    engine.Clear();
    Say(file == "HELP.TNC" ? "?\r" : "? " + file + "\r");
    EXPECT_TRUE(Await(P));
    EXPECT_TRUE(!text(file).empty() && Got().starts_with(text(file))) << file << ": " << Got();
    Leave();
    ASSERT_TRUE(RunUntil([&] { return gw->Table().Count() == 0; }));
  }
}

TEST_F(GatewayFixture, TCommandReachesHostsByAddressAndName) {
  struct Case {
    std::string target;  // host part of T
    std::string notice;  // what the station is told first
    std::string more;    // further lines in the T's frame: the host's first data
  };
  RawListener host;
  const std::string port = std::to_string(host.Port());
  const std::string second = "T 127.0.0.2:" + port + "\r\n";
  const std::vector<Case> cases = {
      {"127.0.0.1", "\r*** Connecting with <127.0.0.1:" + port + ">" + P, ""},
      {"localhost", "\r*** Resolving Host Address <localhost:" + port + ">\r" + P +
                        "\r*** Connecting with <127.0.0.1:" + port + ">", ""},
      {"127.0.0.1", "\r*** Connecting with <127.0.0.1:" + port + ">" + P + "\r*** Linked", second},
      {"localhost", "Address <localhost:" + port + ">\r" + P + "\r*** Connecting", second},
  };
  gw->Policy = Allowing("127.0.0.1:" + port);
  Start();
  for (const auto& c : cases) {
    engine.Clear();
    Connect("N0CALL");
    ASSERT_TRUE(Await("telnet>\r"));
    engine.Clear();
    Say("T " + c.target + ":" + port + (c.more.empty() ? "\r" : "\r\n" + c.more));
    RawPeer peer = host.Accept();
    EXPECT_TRUE(Await(c.notice)) << Got();
    EXPECT_TRUE(Await("\r*** Linked with <127.0.0.1:" + port + ">\r"));
    Say("hello\r");
    ASSERT_TRUE(net::test::PeerGets(peer, c.more.size() + 6));
    EXPECT_EQ(peer.received, c.more + "hello\r");
    peer.Send("bye\n");
    EXPECT_TRUE(Await("bye\n"));
    peer.Close();
    EXPECT_TRUE(AwaitDisconnect());
    EXPECT_TRUE(RunUntil([&] { return gw->Table().Count() == 0; }));
  }
}

// Loopback in every spelling is refused after the lookup; the station keeps
// its link and its prompt, and nothing reaches the host until it is allowed.
TEST_F(GatewayFixture, TRefusedByTheDestinationRules) {
  RawListener host;
  const std::string port = std::to_string(host.Port());
  const auto resolving = [&](const std::string& name) {
    return "\r*** Resolving Host Address <" + name + ":" + port + ">\r" + P;
  };
  const struct {
    std::string host, before, logged;
  } cases[] = {
      {"127.0.0.1", "", "127.0.0.1 refused by loopback 127.0.0.0/8"},
      {"0.0.0.0", "", "0.0.0.0 refused by unspecified 0.0.0.0/8"},
      {"localhost", resolving("localhost"), "127.0.0.1 refused by loopback 127.0.0.0/8"},
      {"127.1", resolving("127.1"), "127.0.0.1 refused by loopback 127.0.0.0/8"},
  };
  Start();
  Connect("N0CALL");
  ASSERT_TRUE(Await("telnet>\r"));
  for (const auto& c : cases) {
    engine.Clear();
    const std::string target = c.host + ":" + port;
    Say("T " + target + "\r");
    const std::string expected = c.before + "\r*** Host <" + target + "> is not allowed\r" + P;
    EXPECT_TRUE(RunUntil([&] { return Got() == expected; }, 20s)) << Got();
    EXPECT_TRUE(Logged("{TNClient} Station N0CALL may not reach Host(" + target + "): " + c.logged));
  }
  EXPECT_EQ(Disconnects(), 0u);
  ASSERT_EQ(gw->Table().Count(), 1u);
  gw->Policy = Allowing(" 127.0.0.1:" + port + " ");
  engine.Clear();
  Say("T 127.1:" + port + "\r");
  ASSERT_TRUE(RunUntil([&] { return Got().find("\r*** Linked with <127.0.0.1:") != std::string::npos; }, 20s));
  RawPeer peer = host.Accept();  // the first connection the host ever saw
  Say("hello\r");
  EXPECT_TRUE(net::test::PeerGets(peer, 6, 20s));
  EXPECT_EQ(peer.received, "hello\r");
}

TEST_F(GatewayFixture, UnresolvableNameGivesThePromptBack) {
  Start();
  Connect("N0CALL");
  ASSERT_TRUE(Await("telnet>\r"));
  Say("T bad..name:23\r");
  EXPECT_TRUE(Await("\rUnknown Host can not be resolved\r{N0CALL de GATE}:\r"));
  EXPECT_TRUE(Logged("{TNClient} DNS can not resolve Host(bad..name)"));
  EXPECT_EQ(gw->Table().Count(), 1);
  engine.Clear();
  Say("?\r");  // still at the prompt
  EXPECT_TRUE(Await("{N0CALL de GATE}:\r"));
}

// Names whose server never answers hold up only their own stations, each
// told at the deadline; a station has one lookup at a time, also after it
// left one; a station gone before its answer never hears of it.
TEST_F(GatewayFixture, LookupsRunSideBySide) {
  // Names starting with "dead" answer only when the gate opens (at the end,
  // whatever happens); every other name is 127.0.0.1.
  struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    net::detail::NameResolver system;
    ~Gate() { net::detail::LookupPool::Get().SetResolver(system); }
    void Open() {
      std::lock_guard<std::mutex> hold(m);
      open = true;
      cv.notify_all();
    }
  };
  auto gate = std::make_shared<Gate>();
  std::unique_ptr<Gate, void (*)(Gate*)> opener(gate.get(), [](Gate* g) { g->Open(); });
  auto& pool = net::detail::LookupPool::Get();
  gate->system = pool.SetResolver([g = std::weak_ptr<Gate>(gate)](
      const std::string& name, bool, std::vector<std::string>& found) {
    if (name.rfind("dead", 0) != 0) return found.push_back("127.0.0.1"), 0;
    if (auto gate = g.lock()) {
      std::unique_lock<std::mutex> hold(gate->m);
      gate->cv.wait(hold, [&] { return gate->open; });
    }
    return net::kWSATRY_AGAIN;
  });
  RawListener host;
  const std::string port = std::to_string(host.Port());
  const std::string unknown = "\rUnknown Host can not be resolved\r";
  const auto ask = [&](const std::string& station, const std::string& name, uint32_t limit,
                       bool connect = true) {
    gw->LookupLimit = limit;
    if (connect) {
      Connect(station);
      ASSERT_TRUE(Await("telnet>\r", station));
    }
    Say("T " + name + "\r", station);
    // Started with its limit, and the prompt after the notice is out.
    ASSERT_TRUE(RunUntil([&] {
      const std::string got = Got(station), notice = "Address <" + name + ">\r";
      return got.find(notice + "{" + station + " de GATE}:\r") != std::string::npos ||
             got.find(notice + unknown) != std::string::npos;  // refused at once
    })) << station << ": " << Got(station);
  };
  gw->Policy = Allowing("127.0.0.1:" + port);
  Start();
  for (const std::string station : {"N1A", "N1B", "N1C"}) ask(station, "dead:23", 2000);
  ask("N0CALL", "good:" + port, 60000);  // not held up by the three
  RawPeer peer = host.Accept();
  EXPECT_TRUE(Await("\r*** Linked with <127.0.0.1:" + port + ">\r"));
  for (const std::string station : {"N1A", "N1B", "N1C"}) {
    EXPECT_TRUE(Await(unknown + "{" + station + " de GATE}:\r", station)) << station;
  }
  EXPECT_TRUE(Logged("{TNClient} DNS can not resolve Host(dead): Connection timed out (10060)"));
  // N1A's first lookup still holds its thread: the next is refused at once.
  engine.Clear();
  ask("N1A", "good:" + port, 60000, false);
  EXPECT_TRUE(Await(unknown, "N1A"));
  EXPECT_TRUE(Logged("{TNClient} DNS can not resolve Host(good): good: can't start DNS lookup"));
  // A station gone before its answer never hears of it.
  ask("N1D", "dead:23", 60000);
  ASSERT_TRUE(RunUntil([&] { return pool.Busy("N1D"); }));
  Leave("N1D");
  ASSERT_TRUE(RunUntil([&] { return !gw->Table().FindByCall("N1D"); }));
  const std::string told = Got("N1D");
  gate->Open();
  EXPECT_TRUE(RunUntil([&] { return !pool.Busy("N1D") && !pool.Busy("N1A"); }));
  RunFor(100ms);
  EXPECT_EQ(Got("N1D"), told);
}

TEST_F(GatewayFixture, RoutesQuietAndNot) {
  struct Case {
    bool quiet;
    std::string address;
    std::string host_says;   // the host's first data
    std::string station_gets;
    std::string host_gets;   // station data held before the link, then "y\r"
  };
  RawListener host;
  const std::string port = std::to_string(host.Port());
  const std::vector<Case> cases = {
      {false, "127.0.0.1", "login:\n", "\r*** Connecting with <127.0.0.1:" + port + ">" +
           "\r*** Linked with <127.0.0.1:" + port + ">\rlogin:\n", "early\rconvers\ry\r"},
      {false, "localhost", "hi\r\n", "\r*** Resolving Host Address <localhost:" + port + ">" +
           "\r*** Connecting with <127.0.0.1:" + port + ">\r*** Linked with <127.0.0.1:" + port +
           ">\rhi\r\n", "early\rconvers\ry\r"},
      // Quiet: no notices, CONVERS dropped, an LF host gets LF for CR.
      {true, "127.0.0.1", "login:\n", "login:\r\n", "early\ny\n"},
      {true, "localhost", "hi\r\n", "hi\r\n", "early\ry\r"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    gw->IsrtClient("ROUTE" + std::to_string(i), cases[i].address, host.Port(), 0, 0, cases[i].quiet);
  }
  Start();
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    const std::string route = "ROUTE" + std::to_string(i);
    engine.Clear();
    Connect("N0CALL", route);
    Say("early\r", "N0CALL", route);
    Say("convers\r", "N0CALL", route);
    RawPeer peer = host.Accept();
    if (!c.quiet) {
      ASSERT_TRUE(Await("\r*** Linked with", "N0CALL", route));
    }
    RunFor(std::chrono::milliseconds(50));
    peer.Pump();
    // A quiet circuit holds the station's data until the host has spoken.
    EXPECT_EQ(peer.received, c.quiet ? "" : "early\rconvers\r") << i;
    peer.Send(c.host_says);
    EXPECT_TRUE(Await(c.host_says == "login:\n" && c.quiet ? "login:\r\n" : c.host_says, "N0CALL",
                      route));
    Say("y\r", "N0CALL", route);
    EXPECT_TRUE(net::test::PeerGets(peer, c.host_gets.size())) << i << ": " << peer.received;
    EXPECT_EQ(peer.received, c.host_gets) << i;
    EXPECT_EQ(Got("N0CALL", route), c.station_gets) << i;
    Leave("N0CALL", route);
    EXPECT_TRUE(RunUntil([&] { peer.Pump(); return peer.eof; })) << i;
    EXPECT_TRUE(RunUntil([&] { return gw->Table().Count() == 0; }));
  }
}

TEST_F(GatewayFixture, RefusalsNameOurCallFirst) {
  gw->IsrtClient("NOPORT", "127.0.0.1", 0, 0, 0, false);
  gw->IsrtClient("lower", "127.0.0.1", 23, 0, 0, false);
  Start();
  for (const std::string to : {"NOPORT", "UNKNOWN", "LOWER"}) {
    Connect("N0CALL", to);
    EXPECT_TRUE(AwaitDisconnect("N0CALL", to)) << to;
  }
  Say("stray\r", "N0CALL", "GATE");  // no circuit for it
  EXPECT_TRUE(AwaitDisconnect("N0CALL", "GATE"));
  EXPECT_EQ(gw->Table().Count(), 0u);
  EXPECT_EQ(engine.Count([](const AgwFrame& f) { return f.kind == 'd' && f.from == "N0CALL"; }), 0u);
}

TEST_F(GatewayFixture, LastFailedRegistrationRefusesEveryone) {
  gw->IsrtClient("ROUTE", "127.0.0.1", 23, 0, 0, false);
  engine.SetRegisterResult("ROUTE", 0);
  gw->SetActive(true);
  ASSERT_TRUE(RunUntil([&] { return engine.Count(IsKind('X')) >= 2; }));
  ASSERT_TRUE(RunUntil([&] { return Logged("Failure to register call <ROUTE>"); }));
  EXPECT_FALSE(gw->Active);
  Connect("N0CALL", "GATE");
  EXPECT_TRUE(AwaitDisconnect("N0CALL", "GATE"));
  EXPECT_EQ(gw->Table().Count(), 0u);
}

TEST_F(GatewayFixture, ListenerUpdateAndActivationFloors) {
  gw->IsrtClient("GATE", "", 0, 5, 6, true);
  EXPECT_EQ(gw->Hooks().size(), 1u);
  EXPECT_TRUE(gw->Hooks()[0].Quiet);
  gw->TimeoutFloor = 60000;
  gw->MaxTimeFloor = 600000;
  gw->Timeout = 1000;
  gw->SetActive(true);
  EXPECT_EQ(gw->Timeout, 60000u);
  EXPECT_EQ(gw->MaxTime, 600000u);
  EXPECT_EQ(gw->Processor().NodeCall, "GATE");
}

}  // namespace
}  // namespace harvox::test
