// Other work on the CPUs, for load runs that report their figures with the
// machine busy: one child process per CPU, pinned to it, spinning at the
// lowest priority (nice 19), so the process measured competes with them
// for every CPU cycle it does not claim.  Stop (or the destructor, or the
// owner's death) ends them.
//
// Re-entrancy: one owner thread.  Start forks: call it before the calling
// process starts threads.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace harvox::load {

class CpuBurner {
 public:
  CpuBurner() = default;
  ~CpuBurner() { Stop(); }
  CpuBurner(const CpuBurner&) = delete;
  CpuBurner& operator=(const CpuBurner&) = delete;

  // One burner per CPU in cpus; returns how many started.
  size_t Start(const std::vector<int>& cpus);
  void Stop();
  size_t Running() const { return pids_.size(); }

 private:
  std::vector<pid_t> pids_;
};

// The CPUs this process may use, in order.
std::vector<int> AllowedCpus();

// The machine's load averages (1, 5 and 15 minutes) as /proc/loadavg shows
// them, or "n/a".
std::string LoadAverage();

}  // namespace harvox::load
