// Child processes for end-to-end tests: the packet engines, the ether relay
// and the product itself.  Each child leads its own process group, so one
// signal reaches everything it started, and it is killed when the thread
// that started it dies (PR_SET_PDEATHSIG), so a crashed or aborted test
// leaves no stray processes behind.  The destructor kills the group.
//
// Re-entrancy: one owner thread; start children from the thread that lives
// as long as they should (normally the test's main thread).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace harvox::test {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Runs argv[0] (looked up in PATH) in dir with stdout and stderr appended
  // to log_path.  False, with the reason in error, when it could not start.
  bool Start(const std::vector<std::string>& argv, const std::string& dir,
             const std::string& log_path, std::string* error = nullptr);
  // Sends sig to the group and waits up to grace for the end; then kills.
  // Returns true when the child ended within grace.
  bool Stop(int sig = 15, std::chrono::milliseconds grace = std::chrono::milliseconds(2000));
  // True while the child has not exited (reaps it when it has).
  bool Running();
  pid_t Pid() const { return pid_; }
  int ExitStatus() const { return status_; }  // waitpid status after the end

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

// The absolute path of an executable found in PATH, or empty.
std::string FindInPath(const std::string& name);

// Whether something listens on TCP port on any address, or holds UDP port,
// as /proc/net shows it for this network namespace.  Reads the tables only,
// so it takes none of the listener's connection slots.
bool TcpListening(uint16_t port);
bool UdpBound(uint16_t port);

}  // namespace harvox::test
