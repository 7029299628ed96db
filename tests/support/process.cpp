#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "support/temp_dir.h"

namespace harvox::test {

Process::Process(std::vector<std::string> argv, std::string cwd)
    : out_path_(cwd + "/.stdout." + std::to_string(getpid())),
      err_path_(cwd + "/.stderr." + std::to_string(getpid())) {
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
}

Process::~Process() {
  if (!status_) {
    Signal(SIGKILL);
    Wait(std::chrono::milliseconds(2000));
  }
  unlink(out_path_.c_str());
  unlink(err_path_.c_str());
}

void Process::Signal(int sig) {
  if (pid_ > 0 && !status_) kill(pid_, sig);
}

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_) {
    int st = 0;
    const pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

std::string Process::Stdout() const { return ReadFile(out_path_); }
std::string Process::Stderr() const { return ReadFile(err_path_); }

}  // namespace harvox::test
