// The pieces the load tools count with: line tags, the line splitter,
// percentiles, /proc status figures, and the echo sink on real sockets.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/echo_sink.h"
#include "support/load_stats.h"

namespace harvox::test {
namespace {

using namespace std::chrono_literals;

TEST(LoadTags, RoundTripAndRejectEverythingElse) {
  EXPECT_EQ(LineTag(0, 0), "L0-0\r");
  EXPECT_EQ(LineTag(999, 4000000000u), "L999-4000000000\r");
  for (const std::string text : {"L12-345\r", "L12-345\r\n", "L12-345"}) {
    const auto tag = ParseLineTag(text);
    ASSERT_TRUE(tag) << text;
    EXPECT_EQ(tag->session, 12u);
    EXPECT_EQ(tag->seq, 345u);
  }
  // The blank line the server sends on connecting, prompts, partial or
  // overflowing numbers and trailing junk are no tags.
  for (const std::string text : {" \r", "", "L", "L-1\r", "L12-\r", "L12\r", "X1-2\r", "L1-2x\r",
                                 "L1-2 \r", "L4294967296-1\r", "L1-99999999999\r", "l1-2\r"}) {
    EXPECT_FALSE(ParseLineTag(text)) << text;
  }
}

std::vector<std::string> Split(LineSplitter& s, const std::vector<std::string>& pieces) {
  std::vector<std::string> lines;
  for (const auto& p : pieces) s.Feed(p, [&](std::string_view l) { lines.emplace_back(l); });
  return lines;
}

TEST(LoadLineSplitter, LinesAcrossReadsAndOneCrRemoved) {
  LineSplitter s;
  const auto lines = Split(s, {"L1-", "2\r", "\nL3-4\r\n\r\nab\r\r\n", "tail"});
  EXPECT_EQ(lines, (std::vector<std::string>{"L1-2", "L3-4", "", "ab\r"}));
  EXPECT_EQ(s.Buffered(), 4u);
  EXPECT_EQ(Split(s, {"\n"}), std::vector<std::string>{"tail"});
}

TEST(LoadLineSplitter, OverlongLineIsDroppedAndTheBufferStaysBounded) {
  LineSplitter s(8);
  std::vector<std::string> pieces{"ok\n", "0123456"};
  for (int i = 0; i < 1000; ++i) pieces.push_back("0123456789");
  pieces.push_back("end\nnext\n");
  std::vector<std::string> lines;
  for (const auto& p : pieces) {
    s.Feed(p, [&](std::string_view l) { lines.emplace_back(l); });
    EXPECT_LE(s.Buffered(), 8u);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"ok", "next"}));
  EXPECT_EQ(s.Overlong(), 1u);
  // Exactly the limit still counts as a line.
  EXPECT_EQ(Split(s, {"12345678\n"}), std::vector<std::string>{"12345678"});
}

TEST(LoadPercentile, NearestRank) {
  EXPECT_FALSE(Percentile({}, 0.5));
  EXPECT_EQ(Percentile({7}, 0.99), 7);
  std::vector<int64_t> v;
  for (int64_t i = 100; i >= 1; --i) v.push_back(i);  // unsorted on purpose
  EXPECT_EQ(Percentile(v, 0.5), 50);
  EXPECT_EQ(Percentile(v, 0.99), 99);
  EXPECT_EQ(Percentile(v, 1.0), 100);
  EXPECT_EQ(Percentile(v, 0.0), 1);
  EXPECT_EQ(Percentile({1, 2, 3, 1000}, 0.99), 1000);
}

TEST(LoadStatus, ReadsTheNamedLineOnly) {
  const std::string status =
      "Name:\tx\nVmHWM:\t   20480 kB\nVmRSS:\t   10240 kB\nVmRSSx:\t 1 kB\nThreads:\t3\nVmBad:\t12 MB\n";
  EXPECT_EQ(StatusKiB(status, "VmRSS"), 10240);
  EXPECT_EQ(StatusKiB(status, "VmHWM"), 20480);
  EXPECT_FALSE(StatusKiB(status, "VmHW"));
  EXPECT_FALSE(StatusKiB(status, "Threads"));  // no unit
  EXPECT_FALSE(StatusKiB(status, "VmBad"));
  EXPECT_FALSE(StatusKiB(status, "VmSwap"));
  EXPECT_FALSE(StatusKiB("VmRSS:", "VmRSS"));
  EXPECT_GT(SelfStatusKiB("VmRSS").value_or(0), 0);
}

TEST(LoadStatus, MachineBusyTimeLeavesIdleAndWaitOut) {
  // user nice system idle iowait irq softirq steal guest guest_nice
  EXPECT_EQ(BusyTicks("cpu  100 2 30 9000 50 4 5 6 0 0\ncpu0 1 1 1 1 1 1 1 1 0 0\n"), 147);
  EXPECT_EQ(BusyTicks("cpu  10000000000 0 0 1 0 0 0 0"), 10000000000);
  EXPECT_FALSE(BusyTicks("cpu0 1 2 3 4 5 6 7 8"));
  EXPECT_FALSE(BusyTicks("cpu  1 2 3"));
  EXPECT_FALSE(BusyTicks(""));
  EXPECT_GT(MachineBusyNs().value_or(0), 0);
  const int64_t process = ProcessCpuNs();
  const int64_t cpu = ThreadCpuNs();
  volatile uint64_t spin = 0;
  for (int i = 0; i < 2000000; ++i) spin = spin + static_cast<uint64_t>(i);
  const int64_t thread_used = ThreadCpuNs() - cpu;
  EXPECT_GT(thread_used, 0);
  EXPECT_GE(ProcessCpuNs() - process, thread_used);
}

// A plain non-blocking client socket.
struct Client {
  explicit Client(uint16_t port) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  ~Client() { ::close(fd); }
  // Sends what the socket takes now; the number of bytes taken.
  size_t SendSome(std::string_view bytes) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
  void ReadAll() {
    char buf[65536];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) got.append(buf, static_cast<size_t>(n));
  }
  int fd;
  bool ok = false;
  std::string got;
};

template <typename Pred>
bool Within(std::chrono::milliseconds limit, Pred pred) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return pred();
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(LoadEchoSink, EchoesEachConnectionWithCrLfAndCountsLines) {
  EchoSink sink;
  ASSERT_NE(sink.Port(), 0);
  Client a(sink.Port()), b(sink.Port());
  ASSERT_TRUE(a.ok && b.ok);
  EXPECT_TRUE(Within(2s, [&] { return sink.Connections() == 2; }));
  a.SendSome("L1-1\rL1");
  b.SendSome(std::string("x\0\xff\r", 4));
  a.SendSome("-2\r");
  EXPECT_TRUE(Within(2s, [&] {
    a.ReadAll();
    b.ReadAll();
    return a.got.size() == 12 && b.got.size() == 5;
  }));
  EXPECT_EQ(a.got, "L1-1\r\nL1-2\r\n");
  EXPECT_EQ(b.got, std::string("x\0\xff\r\n", 5));
  EXPECT_EQ(sink.Lines(), 3u);
  ::close(b.fd);
  b.fd = -1;
  EXPECT_TRUE(Within(2s, [&] { return sink.Connections() == 1; }));
  sink.Stop();
  EXPECT_EQ(sink.Connections(), 0u);
}

// A client that sends without reading must be held back, not buffered
// without end; once it reads, everything it sent comes back.
TEST(LoadEchoSink, PushesBackOnAReaderThatDoesNotRead) {
  EchoSink sink;
  Client c(sink.Port());
  ASSERT_TRUE(c.ok);
  const std::string chunk(std::string(4095, 'x') + "\r");
  const size_t total = 64 * EchoSink::kMaxPending;
  size_t sent = 0;
  auto last_progress = std::chrono::steady_clock::now();
  while (sent < total && std::chrono::steady_clock::now() - last_progress < 300ms) {
    const size_t at = sent % chunk.size();
    const size_t n = c.SendSome(std::string_view(chunk).substr(at));
    sent += n;
    if (n > 0) last_progress = std::chrono::steady_clock::now();
  }
  EXPECT_LT(sent, total);
  const uint64_t held = sink.Lines();
  EXPECT_LT(held * chunk.size(), 16 * EchoSink::kMaxPending);
  EXPECT_TRUE(Within(10s, [&] {
    c.ReadAll();
    const size_t at = sent % chunk.size();
    if (at != 0) sent += c.SendSome(std::string_view(chunk).substr(at));
    return sent % chunk.size() == 0 && c.got.size() == sent + sent / chunk.size();
  }));
  EXPECT_EQ(sink.Lines(), sent / chunk.size());
}

}  // namespace
}  // namespace harvox::test
