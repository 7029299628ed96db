// Two direwolf engines on a simulated channel; see direwolf_pair.h.
#include "support/direwolf_pair.h"

#include "support/temp_dir.h"

#include "agw/engine_connection.h"
#include "agw/l2.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#ifndef HARVOX_ETHER
#define HARVOX_ETHER "harvox-ether"
#endif

namespace harvox::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kAudioRate = 48000;
// Full-scale audio makes the engines log a level warning on every frame.
constexpr const char* kChannelGain = "0.25";

std::chrono::milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

std::string Tail(const std::string& text, size_t n = 1500) {
  return text.size() <= n ? text : "..." + text.substr(text.size() - n);
}

}  // namespace

DirewolfPair::~DirewolfPair() {
  Stop();
  if (dir_.empty()) return;
  if (::testing::Test::HasFailure() || std::getenv("HARVOX_KEEP_ENGINE_DIR")) {
    std::fprintf(stderr, "direwolf pair: configurations and logs kept in %s\n", dir_.c_str());
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string DirewolfPair::EnginePath() { return FindInPath("direwolf"); }

std::string DirewolfPair::LogPath(Station s) const { return dir_ + "/" + Name(s) + ".log"; }

std::string DirewolfPair::EngineLog(Station s) const { return ReadFile(LogPath(s)); }

bool DirewolfPair::MakeDir(std::string* error) {
  if (!dir_.empty()) return true;
  std::string pattern = (std::filesystem::temp_directory_path() / "harvox-dw-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    if (error) *error = "cannot make a temporary directory";
    return false;
  }
  dir_ = pattern;
  for (Station s : {Station::A, Station::B}) {
    std::string fifo = dir_ + "/" + Name(s) + ".tx";
    if (mkfifo(fifo.c_str(), 0666) != 0) {
      if (error) *error = "mkfifo " + fifo + " failed";
      return false;
    }
  }
  return true;
}

void DirewolfPair::WriteConfig(Station s) const {
  bool a = s == Station::A;
  std::string text = std::string("ADEVICE UDP:") +
                     std::to_string(a ? options_.udp_a : options_.udp_b) + " file:" + Name(s) +
                     ".tx\n"
                     "ACHANNELS 1\n"
                     "ARATE " + std::to_string(kAudioRate) + "\n"
                     "CHANNEL 0\n"
                     "MYCALL " + Call(s) + "\n"
                     "MODEM 9600\n"
                     "TXDELAY 10\nTXTAIL 3\nPERSIST 255\nSLOTTIME 1\nFRACK 1\nRETRY 3\n"
                     "AGWPORT " + std::to_string(AgwPort(s)) + "\n"
                     "KISSPORT 0\n" +
                     (a ? options_.extra_a : options_.extra_b) + "\n";
  WriteFile(dir_ + "/" + Name(s) + ".conf", text);
}

bool DirewolfPair::StartEther(std::string* error) {
  std::vector<std::string> argv = {HARVOX_ETHER, "--rate", std::to_string(kAudioRate),
                                   "--gain", kChannelGain, "--verbose",
                                   "A.tx:" + std::to_string(options_.udp_a),
                                   "B.tx:" + std::to_string(options_.udp_b)};
  if (!ether_.Start(argv, dir_, dir_ + "/ether.log", error)) return false;
  // The engines' transmit FIFOs must have their reader before they open them.
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (ReadFile(dir_ + "/ether.log").find("ready") == std::string::npos) {
    if (!ether_.Running() || Clock::now() > deadline) {
      if (error) *error = "the channel relay did not start: " + ReadFile(dir_ + "/ether.log");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool DirewolfPair::Start(std::string* error) {
  const auto start = Clock::now();
  if (EnginePath().empty()) {
    if (error) *error = "direwolf is not installed";
    return false;
  }
  for (uint16_t port : {options_.agw_a, options_.agw_b}) {
    if (TcpListening(port)) {
      if (error)
        *error = "TCP port " + std::to_string(port) +
                 " is already listening; run the tests through run_in_netns.sh";
      return false;
    }
  }
  for (uint16_t port : {options_.udp_a, options_.udp_b}) {
    if (UdpBound(port)) {
      if (error) *error = "UDP port " + std::to_string(port) + " is already in use";
      return false;
    }
  }
  if (!MakeDir(error) || !StartEther(error)) return false;
  // Both engines start together; then each is waited for.
  for (Station s : {Station::A, Station::B}) {
    WriteConfig(s);
    std::vector<std::string> argv = {EnginePath(), "-c", std::string(Name(s)) + ".conf", "-t", "0",
                                     "-q", "d"};
    if (!engines_[static_cast<int>(s)].Start(argv, dir_, LogPath(s), error)) return false;
  }
  for (Station s : {Station::A, Station::B})
    if (!WaitListening(s, error)) return false;
  start_time_ = Since(start);
  return true;
}

bool DirewolfPair::WaitListening(Station s, std::string* error) {
  const auto deadline = Clock::now() + options_.ready_timeout;
  auto& engine = engines_[static_cast<int>(s)];
  while (!TcpListening(AgwPort(s))) {
    if (!engine.Running()) {
      if (error) *error = std::string("direwolf ") + Name(s) + " ended: " + Tail(EngineLog(s));
      return false;
    }
    if (Clock::now() > deadline) {
      if (error) *error = std::string("direwolf ") + Name(s) + " not listening: " + Tail(EngineLog(s));
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool DirewolfPair::StartEngine(Station s, std::string* error) {
  const auto start = Clock::now();
  if (dir_.empty() || !ether_.Running()) {
    if (error) *error = "the pair is not started";
    return false;
  }
  auto& engine = engines_[static_cast<int>(s)];
  if (engine.Running()) return true;
  WriteConfig(s);
  std::vector<std::string> argv = {EnginePath(), "-c", std::string(Name(s)) + ".conf", "-t", "0",
                                   "-q", "d"};
  const auto& extra = s == Station::A ? options_.args_a : options_.args_b;
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!engine.Start(argv, dir_, LogPath(s), error) || !WaitListening(s, error)) return false;
  engine_time_ = Since(start);
  return true;
}

bool DirewolfPair::StopEngine(Station s) {
  // direwolf ends at once on SIGTERM; SIGINT would make it wait a second.
  bool clean = engines_[static_cast<int>(s)].Stop(SIGTERM);
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (TcpListening(AgwPort(s)) && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return clean;
}

bool DirewolfPair::EngineRunning(Station s) { return engines_[static_cast<int>(s)].Running(); }

void DirewolfPair::Stop() {
  engines_[0].Stop(SIGTERM);
  engines_[1].Stop(SIGTERM);
  ether_.Stop(SIGTERM);
}

bool DirewolfPair::SharedMode() {
  const char* v = std::getenv("HARVOX_E2E_SHARED");
  return v && std::string(v) == "1";
}

void DirewolfPair::Share(TL2& link, Station s) {
  if (!SharedMode()) return;
  std::shared_ptr<EngineConnection> connection = shared_[static_cast<int>(s)].lock();
  if (!connection) {
    connection = std::make_shared<EngineConnection>(link.Log, true);
    shared_[static_cast<int>(s)] = connection;
  }
  link.UseConnection(connection);
}

}  // namespace harvox::test
