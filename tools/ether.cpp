// harvox-ether: a simulated radio channel for packet engines that write
// their transmit audio to a FIFO and read receive audio from UDP.
//
//   harvox-ether [--rate 44100] [--gain 1.0] [--verbose] A.tx:17001 B.tx:17002 [C.tx:17003 ...]
//
// Every 10 ms of wall-clock time it takes the next 10 ms of audio (raw
// S16_LE mono) from each station's FIFO and sends each station one UDP
// datagram on 127.0.0.1 holding the saturated sum of all OTHER stations'
// audio, or silence.  Pacing is driven by the clock, not by the FIFOs: a
// receiver needs a steady stream, silence included, or its carrier detect
// never settles.  Stations never hear themselves; collisions are mixed.
// --gain scales what each station hears (receivers complain about full
// scale input).  Creates missing FIFOs; ends on SIGTERM or SIGINT.
// Single-threaded.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

constexpr long kTickNs = 10'000'000;
constexpr size_t kMaxDatagramSamples = 1000;  // receivers cut datagrams at 2000 bytes
constexpr size_t kMaxQueueSeconds = 60;       // bound on audio waiting to be played

struct Station {
  std::string path;
  uint16_t port = 0;
  int fd = -1;
  std::string queue;  // bytes read from the FIFO, not yet played
  size_t head = 0;
  bool talking = false;
};

bool ParseStation(const char* arg, Station& st) {
  std::string text(arg);
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  char* end = nullptr;
  long port = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || port <= 0 || port > 65535) return false;
  st.path = text.substr(0, colon);
  st.port = static_cast<uint16_t>(port);
  return true;
}

bool OpenFifo(Station& st) {
  struct stat info;
  if (stat(st.path.c_str(), &info) != 0) {
    if (errno != ENOENT || mkfifo(st.path.c_str(), 0666) != 0) return false;
  } else if (!S_ISFIFO(info.st_mode)) {
    errno = EEXIST;
    return false;
  }
  st.fd = open(st.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  return st.fd >= 0;
}

// Takes whatever the station wrote since the last tick.
void Drain(Station& st, size_t max_bytes) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(st.fd, buf, sizeof buf);
    if (n <= 0) return;  // 0: no writer now; -1: nothing more (EAGAIN)
    if (st.queue.size() - st.head + static_cast<size_t>(n) > max_bytes) continue;
    st.queue.append(buf, static_cast<size_t>(n));
  }
}

// The next `samples` samples of the station's audio, padded with silence.
std::vector<int16_t> Take(Station& st, size_t samples) {
  std::vector<int16_t> out(samples, 0);
  size_t avail = (st.queue.size() - st.head) / 2;
  size_t n = std::min(avail, samples);
  for (size_t i = 0; i < n; ++i) {
    auto lo = static_cast<uint8_t>(st.queue[st.head + 2 * i]);
    auto hi = static_cast<uint8_t>(st.queue[st.head + 2 * i + 1]);
    out[i] = static_cast<int16_t>(static_cast<uint16_t>(lo | (hi << 8)));
  }
  st.head += 2 * n;
  if (st.head > st.queue.size() / 2) {
    st.queue.erase(0, st.head);
    st.head = 0;
  }
  return out;
}

void SendAudio(int sock, uint16_t port, const std::vector<int32_t>& mix, double gain) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string bytes;
  bytes.reserve(mix.size() * 2);
  for (int32_t v : mix) {
    auto scaled = static_cast<int32_t>(v * gain);
    auto s = static_cast<uint16_t>(static_cast<int16_t>(std::clamp(scaled, -32768, 32767)));
    bytes += static_cast<char>(s & 0xFF);
    bytes += static_cast<char>(s >> 8);
  }
  for (size_t at = 0; at < bytes.size(); at += 2 * kMaxDatagramSamples) {
    size_t len = std::min(bytes.size() - at, 2 * kMaxDatagramSamples);
    sendto(sock, bytes.data() + at, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
}

struct Settings {
  long rate = 44100;
  double gain = 1.0;
  bool verbose = false;
};

void Tick(std::vector<Station>& stations, int sock, size_t samples, const Settings& set) {
  std::vector<std::vector<int16_t>> audio;
  for (auto& st : stations) {
    Drain(st, kMaxQueueSeconds * static_cast<size_t>(set.rate) * 2);
    bool had = st.queue.size() - st.head >= 2;
    audio.push_back(Take(st, samples));
    if (set.verbose && had != st.talking)
      std::printf("%s: %s\n", st.path.c_str(), had ? "transmitting" : "quiet");
    st.talking = had;
  }
  for (size_t i = 0; i < stations.size(); ++i) {
    std::vector<int32_t> mix(samples, 0);
    for (size_t j = 0; j < stations.size(); ++j) {
      if (j == i) continue;
      for (size_t k = 0; k < samples; ++k) mix[k] += audio[j][k];
    }
    SendAudio(sock, stations[i].port, mix, set.gain);
  }
  if (set.verbose) std::fflush(stdout);
}

void AddNs(timespec& t, long ns) {
  t.tv_nsec += ns;
  while (t.tv_nsec >= 1'000'000'000) {
    t.tv_nsec -= 1'000'000'000;
    ++t.tv_sec;
  }
}

long BehindNs(const timespec& due) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - due.tv_sec) * 1'000'000'000L + (now.tv_nsec - due.tv_nsec);
}

int Usage() {
  std::fprintf(stderr,
               "usage: harvox-ether [--rate N] [--gain G] [--verbose] FIFO:UDPPORT FIFO:UDPPORT...\n");
  return 2;
}

bool ParseArgs(int argc, char** argv, Settings& set, std::vector<Station>& stations) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    Station st;
    if (arg == "--rate" && i + 1 < argc) {
      set.rate = std::strtol(argv[++i], nullptr, 10);
    } else if (arg == "--gain" && i + 1 < argc) {
      set.gain = std::strtod(argv[++i], nullptr);
    } else if (arg == "--verbose" || arg == "-v") {
      set.verbose = true;
    } else if (ParseStation(argv[i], st)) {
      stations.push_back(st);
    } else {
      return false;
    }
  }
  return stations.size() >= 2 && set.rate >= 100 && set.rate <= 400000 && set.gain > 0 &&
         set.gain <= 16;
}

}  // namespace

int main(int argc, char** argv) {
  Settings set;
  std::vector<Station> stations;
  if (!ParseArgs(argc, argv, set, stations)) return Usage();

  struct sigaction sa {};
  sa.sa_handler = OnSignal;  // no SA_RESTART: the sleep returns at once
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  for (auto& st : stations) {
    if (!OpenFifo(st)) {
      std::fprintf(stderr, "harvox-ether: %s: %s\n", st.path.c_str(), std::strerror(errno));
      return 1;
    }
  }
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return 1;
  std::printf("ready: %zu stations at %ld Hz\n", stations.size(), set.rate);
  std::fflush(stdout);

  // Sample counts per tick alternate so that rates not divisible by 100
  // still come out exact over a second.
  uint64_t ticks = 0;
  timespec due;
  clock_gettime(CLOCK_MONOTONIC, &due);
  while (!g_stop) {
    AddNs(due, kTickNs);
    while (!g_stop && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
    }
    if (g_stop) break;
    // After a long stall (machine busy, process stopped) start afresh
    // instead of bursting the backlog out.
    if (BehindNs(due) > 20 * kTickNs) clock_gettime(CLOCK_MONOTONIC, &due);
    uint64_t rate = static_cast<uint64_t>(set.rate);
    size_t samples = static_cast<size_t>((rate * (ticks + 1)) / 100 - (rate * ticks) / 100);
    ++ticks;
    Tick(stations, sock, samples, set);
  }
  close(sock);
  for (auto& st : stations) close(st.fd);
  return 0;
}
