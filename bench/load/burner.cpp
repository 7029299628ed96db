// CPU burners and the load average for the load runs; see burner.h.
#include "load/burner.h"

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace harvox::load {

namespace {

[[noreturn]] void Burn(int cpu) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  ::sched_setaffinity(0, sizeof set, &set);
  // Ordinary time-sharing even when the run was started under a real-time
  // policy (chrt), which the child inherits: a spinning real-time burner
  // would shut out the process measured instead of competing with it.
  const sched_param ordinary{};
  ::sched_setscheduler(0, SCHED_OTHER, &ordinary);
  ::setpriority(PRIO_PROCESS, 0, 19);
  volatile unsigned long spin = 0;
  for (;;) spin = spin + 1;
}

}  // namespace

size_t CpuBurner::Start(const std::vector<int>& cpus) {
  for (int cpu : cpus) {
    const pid_t pid = ::fork();
    if (pid == 0) Burn(cpu);
    if (pid > 0) pids_.push_back(pid);
  }
  return pids_.size();
}

void CpuBurner::Stop() {
  for (pid_t pid : pids_) ::kill(pid, SIGKILL);
  for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
  pids_.clear();
}

// The CPUs this process may use, in order.
std::vector<int> AllowedCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
  for (int i = 0; i < CPU_SETSIZE; ++i)
    if (CPU_ISSET(i, &set)) cpus.push_back(i);
  return cpus;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  if (!(in >> one >> five >> fifteen)) return "n/a";
  return one + " " + five + " " + fifteen;
}

}  // namespace harvox::load
