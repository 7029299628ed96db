// The Telnet server under abuse, on loopback with the fake engine: an
// engine that stops reading, bursts of callers, the descriptor limit, and
// large users and text files.  Timings are generous bounds.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "agw/l2.h"
#include "agw/tcp_client.h"
#include "support/fake_engine.h"
#include "support/tcp_peer.h"
#include "support/temp_dir.h"
#include "telmond/telmond.h"
#include "telnetd/telnetd.h"
#include "util/message_file.h"
#include "util/event_loop.h"
#include "util/log.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;
using test::FakeEngine;
using test::IsKind;
using test::TcpPeer;

size_t OpenDescriptors() {
  size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

long ResidentKiB() {
  std::ifstream in("/proc/self/statm");
  long pages = 0, resident = 0;
  in >> pages >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

int PortOf(int fd, bool peer) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  const int rc = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len)
                      : ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return rc == 0 && a.sin_family == AF_INET ? ntohs(a.sin_port) : -1;
}

struct FrontDoor : ::testing::Test {
  test::WorkDir wd;
  TLog log;
  FakeEngine engine{FakeEngine::Options{.receive_buffer = 16384}};  // backs up soon
  std::unique_ptr<TTelnetD> server;

  void SetUp() override {
    test::OpenLog(log, wd.File("HARVOX.LOG"), 1);
    test::WriteFile(wd.File("USERS.INI"), "[USERS]\r\nDEMO=demo\r\nPLAIN=pw\r\n");
    server = std::make_unique<TTelnetD>(&log);
    server->ListenPort = 0;
    server->MaxUsers = 200;
    server->PromptsPerAddress = 200;  // every caller here comes from 127.0.0.1
    server->DefNodePort = 1;
    server->DefNodeCall = "NODE";
    server->AGWAddress = "127.0.0.1";
    server->AGWPort = engine.Port();
    server->SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return server->Link().Active == 1; }));
  }
  void TearDown() override {
    server.reset();
    RunFor(20ms);
  }
  std::unique_ptr<TcpPeer> Connect() { return std::make_unique<TcpPeer>(server->BoundPort()); }
  bool Await(TcpPeer& p, const std::string& text, std::chrono::milliseconds t = 5000ms) {
    return RunUntil([&] { return p.Has(text); }, t);
  }
  std::unique_ptr<TcpPeer> AtPassword(const std::string& id) {
    auto p = Connect();
    EXPECT_TRUE(Await(*p, "Login:"));
    p->Send(id + "\r");
    EXPECT_TRUE(Await(*p, "Password:"));
    return p;
  }
  size_t Logged(const std::string& text) {
    const std::string all = test::ReadFile(log.FileName);
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
  }
};

// One user pasting into an engine that stopped reading: his input is held
// (memory flat, the engine queue near its mark) and another user's login
// goes through as soon as the engine reads again.  An engine that stays
// stalled while output still grows is dropped and the users are told.
TEST_F(FrontDoor, EngineBacklogHoldsInputAndAnotherLoginCompletes) {
  auto a = AtPassword("demo");
  a->Send("demo\r");
  ASSERT_TRUE(Await(*a, "Users logged in."));
  ASSERT_TRUE(engine.RunLoopUntilCount(1, 5000ms, IsKind('D')));
  // The link's own flow control would hold this one user first; without
  // it, the engine connection's backlog is what holds him.  Forgotten while
  // it still waits for the engine's count, it would hold him for good.
  ASSERT_TRUE(RunUntil([&] { return !server->Link().FlowHeld(1, "DEMO", "NODE"); }));
  server->Link().ForgetFlow(1, "DEMO", "NODE");
  std::string paste;
  while (paste.size() < 256 * 1024) paste += std::string(70, 'p') + "\r";
  size_t offset = 0;
  auto keep_pasting = [&] {
    offset = (offset + a->SendSome(std::string_view(paste).substr(offset))) % paste.size();
  };
  TTCPClient& transport = server->Link().Transport();
  engine.SetReading(false);
  [[maybe_unused]] const long rss_before = ResidentKiB();
  size_t most_pending = 0;
  auto paste_while = [&](auto go_on) {
    while (go_on()) {
      keep_pasting();
      RunFor(2ms);
      most_pending = std::max(most_pending, transport.PendingOutput());
    }
  };
  const auto give_up = std::chrono::steady_clock::now() + 20s;
  paste_while([&] { return !transport.Backlogged() && std::chrono::steady_clock::now() < give_up; });
  ASSERT_TRUE(transport.Backlogged());
  const auto end = std::chrono::steady_clock::now() + 2s;
  paste_while([&] { return std::chrono::steady_clock::now() < end; });
  EXPECT_TRUE(transport.Backlogged());
  EXPECT_LT(most_pending, 256u * 1024);  // was: everything pasted, 17 MB/s
#ifndef __SANITIZE_ADDRESS__  // the sanitizer keeps freed blocks resident for a while
  EXPECT_LT(ResidentKiB() - rss_before, 32 * 1024);
#endif

  auto b = Connect();  // greeted while input is held; what he types waits
  ASSERT_TRUE(Await(*b, "Login:"));
  b->Send("plain\rpw\r");
  engine.SetReading(true);
  EXPECT_TRUE(RunUntil([&] { keep_pasting(); return b->Has("Users logged in."); }, 15000ms));

  // Output that keeps growing while the engine does not read trips the cap.
  // Users' input is held at the hold mark, so the growth comes from what
  // the program still sends for a link (a node's data, control frames).
  transport.MaxPending = 2 * transport.HoldMark;
  engine.SetReading(false);
  const std::string chunk(4096, 'n');
  EXPECT_TRUE(RunUntil([&] {
    keep_pasting();
    if (server->Link().Active == 1) server->Link().SendData(1, 0xF0, "DEMO", "NODE", chunk);
    RunFor(1ms);
    return b->Has("Packet engine link lost");
  }, 60000ms));
  EXPECT_EQ(Logged("{TCPIP} Engine is not reading"), 1u);
  EXPECT_TRUE(a->Has("Packet engine link lost"));
}

// A burst of callers all get greeted (the backlog holds them), and every
// socket, the engine connection's too, sends without Nagle's delay.
TEST_F(FrontDoor, BurstOfCallersAllGreetedAndSocketsSendAtOnce) {
  std::vector<std::unique_ptr<TcpPeer>> callers;
  for (int i = 0; i < 100; ++i) callers.push_back(Connect());  // before the loop accepts any
  EXPECT_TRUE(RunUntil([&] {
    return std::all_of(callers.begin(), callers.end(), [](auto& p) { return p->Has("Login:"); });
  }, 15000ms));
  int checked = 0;
  for (int fd = 0; fd < 4096; ++fd) {
    int listening = 0, nodelay = 0;
    socklen_t len = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || listening) continue;
    const bool accepted = PortOf(fd, false) == server->BoundPort();
    const bool to_engine = PortOf(fd, true) == engine.Port() && PortOf(fd, false) != engine.Port();
    if (!accepted && !to_engine) continue;
    len = sizeof nodelay;
    ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
    EXPECT_TRUE(nodelay) << "descriptor " << fd;
    ++checked;
  }
  EXPECT_EQ(checked, 101);
}

// Refused callers give their descriptors back within a second.  At the
// descriptor limit a caller is still answered and the log still written;
// a users file that can not be read then is a system error, not a failed
// attempt of the user.
TEST_F(FrontDoor, RefusalsFreeDescriptorsAndTheLimitIsSurvived) {
  server->MaxUsers = 2;
  auto user = AtPassword("plain");
  user->Send("pw\r");
  ASSERT_TRUE(Await(*user, "Users logged in."));
  auto holder = AtPassword("demo");
  server->MaxUsers = 1;  // reached: callers are turned away at the accept
  const size_t base = OpenDescriptors();
  std::vector<std::unique_ptr<TcpPeer>> refused;
  for (int i = 0; i < 30; ++i) refused.push_back(Connect());  // they never close
  for (auto& p : refused) EXPECT_TRUE(Await(*p, "Maximum users logged in"));
  // was: +60 for ten seconds
  EXPECT_TRUE(RunUntil([&] { return OpenDescriptors() <= base + 30; }, 8000ms));

  refused.clear();
  test::WriteFile(wd.File("USERS.INI"), "[USERS]\r\nDEMO=demo,N0CALL\r\n");  // must be read again
  auto late = Connect();  // waits in the backlog
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  rlimit low = saved;
  low.rlim_cur = OpenDescriptors() + 16;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
  EXPECT_TRUE(Await(*late, "\r\nSystem Error, Try Later\r\n"));
  holder->Send("demo\r");
  EXPECT_TRUE(Await(*holder, "\r\nSystem Error, Try Later\r\n"));
  EXPECT_TRUE(RunUntil([&] { return holder->Closed(); }));
  for (int fd : fillers) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &saved);

  EXPECT_EQ(Logged("{TCPIP} Out of descriptors, refusing a caller"), 1u);
  EXPECT_EQ(Logged("{TelnetD} Security verification Failed, USERS file can not be read"), 1u);
  EXPECT_EQ(Logged("Invalid attempt"), 0u);
  server->MaxUsers = 2;
  auto after = AtPassword("demo");
  after->Send("demo\r");
  EXPECT_TRUE(Await(*after, "as N0CALL"));
}

// Prompt sessions and monitor viewers per source address and in all.  A
// caller past a prompt limit closes the oldest prompt session in his way
// (his own address's, else the oldest of all); a viewer past one is refused.
TEST_F(FrontDoor, PromptAndViewerLimitsPerAddressAndInAll) {
  server->MaxUsers = 6;
  server->PromptsPerAddress = 4;  // the default
  TTelMonD monitor(&log);
  monitor.ListenPort = 0;
  monitor.AGWAddress = "127.0.0.1";
  monitor.AGWPort = engine.Port();
  monitor.MaxViewers = 10;  // and 8 per address by default
  monitor.SetActive(true);
  ASSERT_TRUE(RunUntil([&] { return monitor.Link().Active == 1; }, 15s));
  struct Row {
    bool viewers;
    std::vector<int> from;  // 127.0.0.<n> of each caller, in the order they call
    std::string kept;       // of each caller: 'o' stays, '-' is told busy and closed
  } rows[] = {
      {false, {2, 2, 2, 2, 2}, "-oooo"},          // a fifth from one address
      {false, {3, 2, 2, 2, 2, 2}, "o-oooo"},      // ... closes its own oldest, not the oldest of all
      {false, {2, 3, 4, 5, 6, 7, 8}, "-oooooo"},  // the seventh in all closes the oldest of all
      {true, {2, 2, 2, 2, 2, 2, 2, 2, 2}, "oooooooo-"},
      {true, {2, 2, 2, 2, 2, 2, 2, 2, 3, 4, 5}, "oooooooooo-"},
  };
  for (const auto& row : rows) {
    const int port = row.viewers ? monitor.BoundPort() : server->BoundPort();
    std::vector<std::unique_ptr<TcpPeer>> callers;
    for (int from : row.from) {
      callers.push_back(std::make_unique<TcpPeer>(port, ("127.0.0." + std::to_string(from)).c_str()));
      TcpPeer& p = *callers.back();
      ASSERT_TRUE(RunUntil([&] { return p.Has(row.viewers ? "Monitor" : "Login:") || p.Closed(); }, 15s));
    }
    for (size_t i = 0; i < callers.size(); ++i) {
      if (row.kept[i] == '-') RunUntil([&] { return callers[i]->Closed(); }, 15s);
    }
    std::string kept;
    for (auto& p : callers) kept += p->Closed() && p->Has("Server Busy") ? '-' : 'o';
    EXPECT_EQ(kept, row.kept);
    callers.clear();
    ASSERT_TRUE(RunUntil([&] { return server->UserCount == 0 && monitor.Viewers().Count() == 0; }, 15s));
  }
}

// A users file of many sections and ids is read once, not at every
// attempt; an edit counts at the next attempt; what the key list leaves
// out is said once.  A huge text file is sent only as its first 64 KiB.
TEST_F(FrontDoor, LargeUsersAndTextFiles) {
  std::string users;
  for (int i = 0; i < 20000; ++i) users += "[S" + std::to_string(i) + "]\r\nK=V\r\n";
  users += "[USERS]\r\nDEMO=demo\r\n";
  for (int i = 0; i < 3000; ++i) users += "U" + std::to_string(1000000 + i) + "=pw\r\n";
  test::WriteFile(wd.File("USERS.INI"), users);
  auto a = AtPassword("demo");
  for (int i = 0; i < 2; ++i) {
    a->Send("wrong\r");
    ASSERT_TRUE(Await(*a, "Invalid Login"));
    a->Clear();
    a->Send("demo\r");
    ASSERT_TRUE(Await(*a, "Password:"));
  }
  auto b = AtPassword("demo");
  b->Send("demo\r");
  EXPECT_TRUE(Await(*b, "Users logged in."));
  EXPECT_EQ(Logged("USERS file holds more user ids than 16384 bytes of names"), 1u);

  test::WriteFile(wd.File("USERS.INI"), "[USERS]\r\nDEMO=changed\r\n");
  b->Close();  // one session per callsign: b's must end before a's can start
  ASSERT_TRUE(RunUntil([&] { return server->Sessions().FindByCall("DEMO") == nullptr; }));
  a->Send("changed\r");
  EXPECT_TRUE(Await(*a, "Users logged in."));

  std::string text;
  while (text.size() < 200 * 1024) text += std::string(99, 'w') + "\r\n";
  test::WriteFile(wd.File("TEXT/WELCOME.TNS"), text);
  for (int i = 0; i < 2; ++i) {
    auto c = Connect();
    ASSERT_TRUE(Await(*c, "Login:"));
    const size_t greeting = c->Received().size() - 6;
    EXPECT_GE(greeting, 65000u);
    EXPECT_LE(greeting, kMaxTextFile + 2);  // the cut line gets its line end
  }
  EXPECT_EQ(Logged("bytes, only its start is sent"), 1u);
}

}  // namespace
}  // namespace harvox
