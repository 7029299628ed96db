// Child processes and /proc/net port checks; see child_process.h.
#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace harvox::test {

std::string FindInPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    struct stat info;
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return "";
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& dir,
                         const std::string& log_path, std::string* error) {
  Stop();
  std::string program = argv.empty() ? "" : FindInPath(argv[0]);
  if (program.empty()) {
    if (error) *error = (argv.empty() ? std::string("no program") : argv[0]) + ": not found";
    return false;
  }
  int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) {
    if (error) *error = log_path + ": " + std::strerror(errno);
    return false;
  }
  // Everything the child needs is prepared before fork: after it only
  // async-signal-safe calls are allowed.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the parent died before prctl
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    dup2(log, 1);
    dup2(log, 2);
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
    execv(program.c_str(), args.data());
    _exit(127);
  }
  close(log);
  if (pid < 0) {
    if (error) *error = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  setpgid(pid, pid);  // also here, so a signal sent at once reaches the group
  pid_ = pid;
  status_ = 0;
  return true;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  if (r == pid_) status_ = status;
  // Whatever the leader started may still run: end the rest of the group.
  kill(-pid_, SIGKILL);
  pid_ = -1;
  return false;
}

bool ChildProcess::Stop(int sig, std::chrono::milliseconds grace) {
  if (pid_ <= 0) return true;
  kill(-pid_, sig);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!Running()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(-pid_, SIGKILL);
  int status = 0;
  if (waitpid(pid_, &status, 0) == pid_) status_ = status;
  pid_ = -1;
  return false;
}

namespace {

// Lines of /proc/net/<table>: "sl local rem st ..." with local as
// HEXADDR:HEXPORT and st the state in hex.
bool PortInTable(const std::string& table, uint16_t port, const char* state) {
  std::ifstream in("/proc/net/" + table);
  std::string line;
  std::getline(in, line);  // column titles
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, st;
    if (!(fields >> slot >> local >> remote >> st)) continue;
    size_t colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    unsigned long p = std::strtoul(local.c_str() + colon + 1, nullptr, 16);
    if (p == port && (state == nullptr || st == state)) return true;
  }
  return false;
}

}  // namespace

bool TcpListening(uint16_t port) {
  return PortInTable("tcp", port, "0A") || PortInTable("tcp6", port, "0A");
}

bool UdpBound(uint16_t port) {
  return PortInTable("udp", port, nullptr) || PortInTable("udp6", port, nullptr);
}

}  // namespace harvox::test
