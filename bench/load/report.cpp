// Table rows, formatting and the open-file limit of the load tools; see
// report.h.
#include "load/report.h"

#include <time.h>

#include <cstdio>

#include "support/load_stats.h"

namespace harvox::load {

void Row(const std::string& what, const std::string& value, const std::string& target) {
  std::printf("  %-54s %-22s %s\n", what.c_str(), value.c_str(), target.c_str());
}

std::string Fmt(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

std::string Ms(const std::vector<int64_t>& ns, double q) {
  const auto v = test::Percentile(ns, q);
  return v ? Fmt("%.3f", static_cast<double>(*v) / 1e6) : "n/a";
}

const char* Verdict(bool ok) { return ok ? "met" : "MISSED"; }

rlim_t RaiseFdLimit(rlim_t want) {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
  if (lim.rlim_cur < want) {
    lim.rlim_cur = lim.rlim_max == RLIM_INFINITY || lim.rlim_max > want ? want : lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    getrlimit(RLIMIT_NOFILE, &lim);
  }
  return lim.rlim_cur;
}

int64_t ProcessCpuNsOf(pid_t pid) {
  clockid_t clock{};
  timespec t{};
  if (pid <= 0 || clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &t) != 0) return -1;
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

}  // namespace harvox::load
