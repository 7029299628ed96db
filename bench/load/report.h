// What every load tool under bench/ shares for its table and its set-up:
// rows of figures, number formatting, and the open-file limit.
//
// Re-entrancy: plain functions; printing is on stdout, from one thread.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace harvox::load {

// One table row: what, its value, and optionally the target with its verdict.
void Row(const std::string& what, const std::string& value, const std::string& target = "");
// printf-style formatting of one number.
std::string Fmt(const char* format, double v);
// The q-percentile of nanosecond samples in milliseconds ("n/a" when none).
std::string Ms(const std::vector<int64_t>& ns, double q);
const char* Verdict(bool ok);
// Raises the soft open-file limit towards want, never past the hard limit;
// returns the soft limit in force afterwards.
rlim_t RaiseFdLimit(rlim_t want);
// CPU time (user and system) another process has used so far, in
// nanoseconds; -1 when it cannot be read (gone, or not ours).
int64_t ProcessCpuNsOf(pid_t pid);

}  // namespace harvox::load
