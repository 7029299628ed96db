// The load driver against the real Telnet server and the fake engine (many
// users relaying at once: no line lost, none delivered to the wrong user),
// against the echo sink, a refusing port and a hand-played server that
// splits its prompts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "agw/l2.h"
#include "util/log.h"
#include "support/echo_sink.h"
#include "support/fake_engine.h"
#include "support/load_driver.h"
#include "support/load_echo.h"
#include "support/temp_dir.h"
#include "telnetd/telnetd.h"
#include "util/event_loop.h"

namespace harvox::test {
namespace {

using namespace std::chrono_literals;

template <typename Pred>
bool SleepUntil(Pred pred, std::chrono::milliseconds limit = 5s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return pred();
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(LoadDriver, SessionCallsigns) {
  EXPECT_EQ(UserIdOf(0), "U0001");
  EXPECT_EQ(UserIdOf(999), "U1000");
  EXPECT_EQ(SessionOfCall("U0001-11", 1000), 0u);
  EXPECT_EQ(SessionOfCall("U1000-11", 1000), 999u);
  EXPECT_EQ(UserIdOf(9999), "U10000");
  EXPECT_EQ(SessionOfCall("U10000-11", 10000), 9999u);
  for (const char* call : {"U1001-11", "U0000-11", "U0001-1", "U0001-12", "NODE-1", "U00A1-11", "",
                           "U10001-11", "U100000-11"})
    EXPECT_FALSE(SessionOfCall(call, 1000)) << call;
}

TEST(LoadDriver, ManyUsersThroughTheTelnetServerLoseAndMixUpNothing) {
  constexpr uint32_t kSessions = 20, kPaced = 5;
  WorkDir wd;
  WriteFile(wd.File("USERS.INI"), "[USERS]\r\n");
  TLog log;
  LoadShared shared(kSessions, kPaced);
  auto echo = std::make_shared<EngineEcho>(shared);
  FakeEngine engine;
  engine.SetScript([echo](FakeEngine& e, int client, const AgwFrame& f) { echo->OnFrame(e, client, f); });
  TTelnetD server(&log);
  server.ListenPort = 0;
  server.MaxUsers = kSessions;
  server.PromptsPerAddress = kSessions;  // every simulated user comes from 127.0.0.1
  server.Secure = false;
  server.DefNodePort = 1;
  server.DefNodeCall = "NODE-1";
  server.AGWAddress = "127.0.0.1";
  server.AGWPort = engine.Port();
  server.SetActive(true);
  ASSERT_TRUE(RunUntil([&] { return server.Link().Active == 1; }));
  {
    LoadDriver driver(shared);
    // In two steps, as a run that grows its population does.
    driver.Connect(static_cast<uint16_t>(server.BoundPort()), true, 4, kSessions / 2);
    ASSERT_TRUE(RunUntil([&] { return shared.FirstDataSeen() == kSessions / 2; }, 30s));
    RunFor(50ms);
    EXPECT_EQ(driver.Ready(), kSessions / 2);
    driver.Connect(static_cast<uint16_t>(server.BoundPort()), true, 4);
    auto all_connected = [&] {
      for (uint32_t i = 0; i < kSessions; ++i)
        if (!shared.first_data[i]) return false;
      return driver.Ready() == kSessions;
    };
    ASSERT_TRUE(RunUntil(all_connected, 30s));

    driver.Pace(kPaced, 10);
    ASSERT_TRUE(RunUntil([&] { return driver.PaceDone() && driver.InFlight() == 0; }, 30s));
    EXPECT_EQ(driver.Typed(), kSessions * kPaced);
    EXPECT_EQ(shared.at_engine, kSessions * kPaced);
    EXPECT_EQ(shared.echoed, kSessions * kPaced);
    for (size_t i = 0; i < kSessions * kPaced; ++i) EXPECT_GT(shared.engine_ns[i].load(), 0) << i;
    const auto trips = driver.TakeRoundTrips();
    EXPECT_EQ(trips.size(), kSessions * kPaced);
    for (int64_t ns : trips) EXPECT_GT(ns, 0);

    driver.Saturate(4);
    const uint64_t some_more = uint64_t{kSessions} * (kPaced + 4);
    ASSERT_TRUE(RunUntil([&] { return driver.Typed() > some_more; }, 30s));
    driver.StopSending();
    ASSERT_TRUE(RunUntil([&] { return driver.InFlight() == 0; }, 30s));
    EXPECT_EQ(shared.at_engine, driver.Typed());
    EXPECT_EQ(shared.echoed, driver.Typed());
    EXPECT_EQ(driver.Stray(), 0u);
    EXPECT_EQ(driver.Failed(), 0u);
    driver.CloseAll();
    EXPECT_TRUE(RunUntil([&] { return server.UserCount == 0; }));
  }
  engine.SetScript({});
  EXPECT_EQ(echo->Violations() + engine.Violations().size(), 0u);
}

TEST(LoadDriver, WithoutLoginAgainstTheEchoSink) {
  EchoSink sink;
  LoadShared shared(10, 0);
  LoadDriver driver(shared);
  driver.Connect(sink.Port(), false, 3);
  ASSERT_TRUE(SleepUntil([&] { return driver.Ready() == 10 && sink.Connections() == 10; }));
  driver.Saturate(3);
  std::this_thread::sleep_for(100ms);
  driver.StopSending();
  ASSERT_TRUE(SleepUntil([&] { return driver.InFlight() == 0; }));
  EXPECT_GE(driver.Typed(), 30u);
  EXPECT_EQ(sink.Lines(), driver.Typed());
  EXPECT_EQ(shared.echoed, driver.Typed());
  EXPECT_EQ(driver.Stray(), 0u);
}

// Every attempt is made even when all are refused: failures free their
// place in the window of attempts.
TEST(LoadDriver, RefusedConnectionsAreCountedAndDoNotStallTheRest) {
  EchoSink closed;
  const uint16_t port = closed.Port();
  closed.Stop();
  LoadShared shared(12, 0);
  LoadDriver driver(shared);
  driver.Connect(port, true, 2);
  EXPECT_TRUE(SleepUntil([&] { return driver.Failed() == 12; }));
  EXPECT_EQ(driver.Ready(), 0u);
}

// A server that answers in small pieces: prompts split across reads still
// lead the session through, and an echo of a line never typed is stray.
TEST(LoadDriver, PromptsSplitAcrossReads) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t len = sizeof a;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  LoadShared shared(1, 1);
  LoadDriver driver(shared);
  driver.Connect(ntohs(a.sin_port), true, 1);
  const int fd = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(fd, 0);
  std::string got;
  auto say = [&](const std::string& text) {
    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(5ms);
  };
  auto hear = [&](const std::string& want) {
    char buf[256];
    while (got.find(want) == std::string::npos) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      got.append(buf, static_cast<size_t>(n));
    }
    return true;
  };
  for (const char* piece : {"\r\nHi\r\nLo", "gin", ":"}) say(piece);
  ASSERT_TRUE(hear("U0001\r"));
  for (const char* piece : {"\r\nPass", "word:"}) say(piece);
  ASSERT_TRUE(hear("pw\r"));
  for (const char* piece : {"\r\nLogged in at now as U0001-11\r\n1 Users logg", "ed in.\r", "\n\r\nL0-0\r\n"})
    say(piece);
  EXPECT_TRUE(SleepUntil([&] { return driver.Ready() == 1 && driver.Stray() == 1; }));
  driver.Pace(1, 1);
  ASSERT_TRUE(hear("L0-0\r"));
  say("L0-0\r\n");
  EXPECT_TRUE(SleepUntil([&] { return driver.InFlight() == 0; }));
  EXPECT_EQ(driver.Stray(), 1u);
  ::close(fd);
  ::close(listener);
}

}  // namespace
}  // namespace harvox::test
