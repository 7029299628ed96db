// The scale run's two processes.  The product (every service on the main
// loop) and the driver (the simulated Telnet users, monitor viewers and
// gateway hosts, with the fake engines) each hold one socket per user, and
// one process's open-file limit would not hold both ends of 10,000 users;
// the driver is therefore a child process, forked before any thread
// exists, and the two talk over a socket pair, one line per message:
//
//   driver -> product at start:  "ports <telnet engine> <gateway engine> <monitor engine> <host>"
//   "login <telnet port> <upto>"    -> "login <ready> <failed>"
//   "pace <lines> <period ms>"      -> "pace <typed> <p50 ns> <p99 ns> <samples>"
//   "circuits <count>"              -> "circuits <linked> <hosts accepted>"
//   "viewers <monitor port> <count>"-> "viewers <welcomed>"
//   "quit"                          -> "quit <engine rule breaches> <stray echoes> <failed>"
//
// Threading: a Channel belongs to one thread.  The driver process's main
// thread serves the commands; its driver and engines run threads of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>

namespace harvox::load {

class Channel {
 public:
  explicit Channel(int fd) : fd_(fd) {}
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  bool Send(const std::string& line);
  // A whole line if one has arrived, without waiting.
  std::optional<std::string> TryRead();
  // Waits for a whole line; none when the other side has gone.
  std::optional<std::string> Read();

 private:
  std::optional<std::string> TakeLine();
  int fd_;
  std::string buf_;
  bool closed_ = false;
};

struct ScaleSettings {
  uint32_t sessions = 10000;     // Telnet users at the end of the run
  uint32_t first_step = 1000;    // Telnet users in the first measurement
  uint32_t circuits = 1000;      // gateway circuits, open throughout
  uint32_t viewers = 100;        // monitor viewers, open throughout
  uint32_t lines_per_s = 10000;  // offered, all users together, in both steps
  uint32_t lines = 20;           // typed by each user in each step
  uint32_t connect_window = 16;  // logins in flight
};

// The driver process's work: serves the product's commands until "quit" or
// until the product goes away.  Returns the process's exit status.
int RunScaleDriver(Channel& channel, const ScaleSettings& settings);

// The words of a message, read in order.
class Words {
 public:
  explicit Words(const std::string& line) : in_(line) {}
  std::string Word() {
    std::string w;
    in_ >> w;
    return w;
  }
  int64_t Number() {
    int64_t v = 0;
    in_ >> v;
    return in_ ? v : 0;
  }

 private:
  std::istringstream in_;
};

}  // namespace harvox::load
