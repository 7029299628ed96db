// What systemd hears: the status line, the notify messages of the real
// program (a datagram socket stands in for systemd) and the journal's
// priorities on standard error.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "shell/systemd.h"
#include "support/fake_engine.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;

TEST(Systemd, StatusSummaryCountsInWords) {
  const struct {
    ServiceCounts counts;
    const char* text;
  } cases[] = {
      {{0, 0, 0, 0, 3}, "0 users, 0 circuits, 0 viewers, engine down"},
      {{1, 1, 1, 3, 3}, "1 user, 1 circuit, 1 viewer, engine up"},
      {{3, 2, 12, 2, 3}, "3 users, 2 circuits, 12 viewers, engine 2 of 3 up"},
      {{0, 0, 0, 0, 0}, "0 users, 0 circuits, 0 viewers, engine down"},
  };
  for (const auto& c : cases) EXPECT_EQ(StatusSummary(c.counts), c.text);
}

// The program under a stand-in for systemd: READY=1 with the status, the
// status again when the engine links are up, WATCHDOG=1 while WATCHDOG_USEC
// is set, STOPPING=1 at SIGTERM.
TEST(Systemd, ProgramNotifiesReadyStatusWatchdogAndStopping) {
  test::FakeEngine engine;
  test::TempDir dir;
  const std::string path = dir.File("notify");
  const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval wait{1, 0};
  ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  test::WriteFile(dir.File("HARVOX.INI"), "[AGW]\nPORT=" + std::to_string(engine.Port()) +
                                              "\n[TELNET]\nNODEPORT=1\nNODECALL=N0NODE\nENABLED=NO\n"
                                              "[MONITOR]\nENABLED=NO\n");
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  ::setenv("WATCHDOG_USEC", "400000", 1);
  test::Process p({HARVOX_BINARY}, dir.Path());
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  std::vector<std::string> got;
  const auto await = [&](const std::string& text) {
    for (const auto until = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < until;) {
      for (const auto& m : got) {
        if (m == text) return true;
      }
      char buf[512];
      const ssize_t n = ::recv(sock, buf, sizeof buf, 0);
      if (n > 0) got.emplace_back(buf, static_cast<size_t>(n));
    }
    return false;
  };
  ASSERT_TRUE(await("READY=1\nSTATUS=0 users, 0 circuits, 0 viewers, engine down"));
  EXPECT_EQ(got.front().substr(0, 8), "READY=1\n");
  EXPECT_TRUE(await("STATUS=0 users, 0 circuits, 0 viewers, engine up"));
  EXPECT_TRUE(await("WATCHDOG=1"));
  p.Signal(SIGTERM);
  EXPECT_TRUE(await("STOPPING=1\nSTATUS=Shutting down: ending every link"));
  EXPECT_EQ(p.Wait(30s), 0);
  ::close(sock);
}

// With standard error as the journal's stream, each level-1 line goes there
// too, with its syslog priority.
TEST(Systemd, UnderTheJournalLevelOneLinesCarryTheirPriority) {
  test::TempDir dir;
  test::WriteFile(dir.File("HARVOX.INI"),
                  "[HARVOX]\nTRACE=1\n[AGW]\nPORT=1\n[TELNET]\nNODEPORT=1\nNODECALL=N\nENABLED=NO\n"
                  "MAXUSERS=5 ; users\n[MONITOR]\nENABLED=NO\n");
  const std::string run = "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec " + std::string(HARVOX_BINARY);
  test::Process p({"/bin/sh", "-c", run}, dir.Path());
  const std::string refused = "<3>{L2} <AGWError> Socket Error from AGWPE Addr(127.0.0.1:1): Connection refused";
  for (int i = 0; i < 3000 && p.Stderr().find(refused) == std::string::npos; ++i) std::this_thread::sleep_for(10ms);
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(30s), 0);
  const std::string err = p.Stderr();
  EXPECT_NE(err.find("<6>Create: Starting Harvox Version 1.20.00\n"), std::string::npos) << err;
  EXPECT_NE(err.find(refused), std::string::npos);
  EXPECT_NE(err.find("\n<4>Create: [TELNET] MAXUSERS=5 ; users was not understood"), std::string::npos);
  EXPECT_NE(err.find("\n<6>{TNClient} Engine link: next try in 60 s, at "), std::string::npos);
}

}  // namespace
}  // namespace harvox
