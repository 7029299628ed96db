// A child process for tests: started in a given directory with its standard
// output and error captured to files, signalled and reaped with a timeout.
// The destructor kills a child that is still running, so a failing test
// leaves no stray process behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace harvox::test {

class Process {
 public:
  Process(std::vector<std::string> argv, std::string cwd);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t Pid() const { return pid_; }
  void Signal(int sig);
  // Exit status (or 128 + signal), or none when still running at the timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  pid_t pid_ = -1;
  std::string out_path_, err_path_;
  std::optional<int> status_;
};

}  // namespace harvox::test
