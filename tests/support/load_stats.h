// Small pure pieces of the load tools: the tag each typed line carries
// (so any point on its way can tell whose line it is and which one), a
// splitter that cuts a byte stream into lines across reads, percentiles,
// and the process and thread figures a load run reports.
//
// Re-entrancy: plain functions and values; a LineSplitter belongs to one
// stream on one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harvox::test {

// "L<session>-<seq>\r": the line a load session types.
std::string LineTag(uint32_t session, uint32_t seq);

struct TagValue {
  uint32_t session = 0;
  uint32_t seq = 0;
};
// Reads a tag at the start of text: 'L', digits, '-', digits, then CR, LF
// or the end.  Anything else (other lines, overflowing numbers) is none.
std::optional<TagValue> ParseLineTag(std::string_view text);

// Cuts a stream into lines at LF (the LF and one CR before it removed).
// A line that grows beyond max_line before its LF is dropped whole and
// counted, so a peer that never ends a line cannot make the buffer grow.
class LineSplitter {
 public:
  explicit LineSplitter(size_t max_line = 256) : max_line_(max_line) {}
  void Feed(std::string_view bytes, const std::function<void(std::string_view line)>& on_line);
  size_t Overlong() const { return overlong_; }
  size_t Buffered() const { return partial_.size(); }

 private:
  size_t max_line_;
  std::string partial_;
  bool skipping_ = false;  // inside an overlong line, until its LF
  size_t overlong_ = 0;
};

// Nearest-rank percentile (q in 0..1) of the samples; none when empty.
std::optional<int64_t> Percentile(std::vector<int64_t> samples, double q);

// The value in kB of a "Key:  1234 kB" line of /proc/<pid>/status text.
std::optional<int64_t> StatusKiB(std::string_view status, std::string_view key);
// The same, read from this process's status now.
std::optional<int64_t> SelfStatusKiB(std::string_view key);

// Busy time of all CPUs (user, nice, system, irq, softirq, steal) in clock
// ticks, from the "cpu" line of /proc/stat text.
std::optional<int64_t> BusyTicks(std::string_view proc_stat);
// The same, read now, in nanoseconds.
std::optional<int64_t> MachineBusyNs();

// CPU time this thread, and this whole process, have used, in nanoseconds.
int64_t ThreadCpuNs();
int64_t ProcessCpuNs();
// Monotonic time in nanoseconds (steady clock).
int64_t NowNs();

}  // namespace harvox::test
