// The channel relay on its own: three stations on FIFOs and UDP sockets.
// Catches stations hearing themselves, lost or unsaturated mixing, wrong
// datagram sizes and pacing that follows the input instead of the clock.
#include "support/child_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <thread>

#ifndef HARVOX_ETHER
#define HARVOX_ETHER "harvox-ether"
#endif

namespace harvox::test {
namespace {

using namespace std::chrono_literals;

struct Ear {
  int fd = -1;
  uint16_t port = 0;
  size_t datagrams = 0;
  std::map<int16_t, size_t> levels;  // sample value -> how often heard
};

bool Listen(Ear& ear) {
  ear.fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(ear.fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) return false;
  getsockname(ear.fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ear.port = ntohs(addr.sin_port);
  return true;
}

// Collects what each station hears for the given time.
void Hear(std::vector<Ear>& ears, std::chrono::milliseconds span) {
  const auto end = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < end) {
    for (auto& ear : ears) {
      char buf[4096];
      ssize_t n;
      while ((n = recv(ear.fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
        ++ear.datagrams;
        EXPECT_EQ(n, 960) << "10 ms at 48 kHz";
        for (ssize_t i = 0; i + 1 < n; i += 2) {
          auto v = static_cast<int16_t>(static_cast<uint8_t>(buf[i]) | (static_cast<uint8_t>(buf[i + 1]) << 8));
          ++ear.levels[v];
        }
      }
    }
    std::this_thread::sleep_for(2ms);
  }
}

std::string Tone(int16_t value, size_t samples) {
  std::string out;
  for (size_t i = 0; i < samples; ++i) {
    out += static_cast<char>(static_cast<uint16_t>(value) & 0xFF);
    out += static_cast<char>(static_cast<uint16_t>(value) >> 8);
  }
  return out;
}

TEST(EtherRelay, MixesOthersPacesByTheClockAndNeverEchoes) {
  TempDir dir;
  std::vector<Ear> ears(3);
  for (auto& ear : ears) ASSERT_TRUE(Listen(ear));
  ChildProcess ether;
  std::string error;
  ASSERT_TRUE(ether.Start({HARVOX_ETHER, "--rate", "48000", "A.tx:" + std::to_string(ears[0].port),
                           "B.tx:" + std::to_string(ears[1].port),
                           "C.tx:" + std::to_string(ears[2].port)},
                          dir.Path(), dir.File("ether.log"), &error))
      << error;
  for (int i = 0; i < 3000 && ReadFile(dir.File("ether.log")).find("ready") == std::string::npos; ++i)
    std::this_thread::sleep_for(10ms);
  ASSERT_NE(ReadFile(dir.File("ether.log")).find("ready"), std::string::npos);

  // Silence flows before anyone talks, at 100 datagrams a second.
  Hear(ears, 1000ms);
  for (auto& ear : ears) {
    EXPECT_NEAR(static_cast<double>(ear.datagrams), 100.0, 15.0);
    EXPECT_EQ(ear.levels.size(), 1u);
    EXPECT_TRUE(ear.levels.count(0));
  }

  // A and B each write 0.2 s of audio at once; it must be played over 0.2 s.
  int a = open(dir.File("A.tx").c_str(), O_WRONLY);
  int b = open(dir.File("B.tx").c_str(), O_WRONLY);
  ASSERT_TRUE(a >= 0 && b >= 0);
  std::string tone = Tone(20000, 9600);
  ASSERT_EQ(write(a, tone.data(), tone.size()), static_cast<ssize_t>(tone.size()));
  ASSERT_EQ(write(b, tone.data(), tone.size()), static_cast<ssize_t>(tone.size()));
  for (auto& ear : ears) ear = Ear{ear.fd, ear.port, 0, {}};
  Hear(ears, 600ms);
  EXPECT_EQ(ears[0].levels[20000], 9600u) << "A hears B only";
  EXPECT_EQ(ears[1].levels[20000], 9600u) << "B hears A only";
  EXPECT_EQ(ears[2].levels[32767], 9600u) << "C hears both, saturated";
  EXPECT_EQ(ears[0].levels.count(32767), 0u);

  close(a);
  close(b);
  EXPECT_TRUE(ether.Stop(SIGTERM, 1000ms));
  EXPECT_TRUE(WIFEXITED(ether.ExitStatus()) && WEXITSTATUS(ether.ExitStatus()) == 0);
  for (auto& ear : ears) close(ear.fd);
}

}  // namespace
}  // namespace harvox::test
