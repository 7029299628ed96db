// Line tags, line splitting, percentiles and process figures for the load
// tools; see load_stats.h.
#include "support/load_stats.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace harvox::test {
namespace {

// Decimal digits at text[at..] as a value up to max; advances at.  None
// when there are no digits or the value is larger.
std::optional<uint64_t> Digits(std::string_view text, size_t& at, uint64_t max = UINT32_MAX) {
  const size_t start = at;
  uint64_t value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    const auto digit = static_cast<uint64_t>(text[at] - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
    ++at;
  }
  if (at == start) return std::nullopt;
  return value;
}

}  // namespace

std::string LineTag(uint32_t session, uint32_t seq) {
  char tag[32];
  const int n = std::snprintf(tag, sizeof tag, "L%u-%u\r", session, seq);
  return std::string(tag, static_cast<size_t>(n));
}

std::optional<TagValue> ParseLineTag(std::string_view text) {
  if (text.empty() || text[0] != 'L') return std::nullopt;
  size_t at = 1;
  const auto session = Digits(text, at);
  if (!session || at >= text.size() || text[at] != '-') return std::nullopt;
  ++at;
  const auto seq = Digits(text, at);
  if (!seq) return std::nullopt;
  if (at < text.size() && text[at] != '\r' && text[at] != '\n') return std::nullopt;
  return TagValue{static_cast<uint32_t>(*session), static_cast<uint32_t>(*seq)};
}

void LineSplitter::Feed(std::string_view bytes,
                        const std::function<void(std::string_view line)>& on_line) {
  while (!bytes.empty()) {
    const size_t lf = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, lf);
    if (!skipping_) {
      if (partial_.size() + piece.size() > max_line_) {
        partial_.clear();
        skipping_ = true;
        ++overlong_;
      } else {
        partial_.append(piece);
      }
    }
    if (lf == std::string_view::npos) return;
    bytes.remove_prefix(lf + 1);
    if (skipping_) {
      skipping_ = false;
      continue;
    }
    std::string_view line(partial_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    on_line(line);
    partial_.clear();
  }
}

std::optional<int64_t> Percentile(std::vector<int64_t> samples, double q) {
  if (samples.empty()) return std::nullopt;
  q = std::clamp(q, 0.0, 1.0);
  const auto n = static_cast<double>(samples.size());
  size_t rank = static_cast<size_t>(std::ceil(q * n));
  if (rank == 0) rank = 1;
  const auto nth = samples.begin() + static_cast<std::ptrdiff_t>(rank - 1);
  std::nth_element(samples.begin(), nth, samples.end());
  return *nth;
}

std::optional<int64_t> StatusKiB(std::string_view status, std::string_view key) {
  size_t at = 0;
  while (at < status.size()) {
    size_t end = status.find('\n', at);
    if (end == std::string_view::npos) end = status.size();
    std::string_view line = status.substr(at, end - at);
    at = end + 1;
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ':')
      continue;
    size_t pos = key.size() + 1;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    const auto value = Digits(line, pos);
    if (!value || line.substr(pos) != " kB") return std::nullopt;
    return static_cast<int64_t>(*value);
  }
  return std::nullopt;
}

std::optional<int64_t> SelfStatusKiB(std::string_view key) {
  std::ifstream in("/proc/self/status");
  std::stringstream text;
  text << in.rdbuf();
  return StatusKiB(text.str(), key);
}

std::optional<int64_t> BusyTicks(std::string_view proc_stat) {
  if (proc_stat.substr(0, 4) != "cpu ") return std::nullopt;
  size_t at = 4;
  int64_t fields[8] = {};
  for (int64_t& field : fields) {
    while (at < proc_stat.size() && proc_stat[at] == ' ') ++at;
    const auto value = Digits(proc_stat, at, INT64_MAX / 8);
    if (!value) return std::nullopt;
    field = static_cast<int64_t>(*value);
  }
  // user nice system idle iowait irq softirq steal
  return fields[0] + fields[1] + fields[2] + fields[5] + fields[6] + fields[7];
}

std::optional<int64_t> MachineBusyNs() {
  std::ifstream in("/proc/stat");
  std::string line;
  std::getline(in, line);
  const auto ticks = BusyTicks(line);
  const long hz = sysconf(_SC_CLK_TCK);
  if (!ticks || hz <= 0) return std::nullopt;
  return *ticks * (1000000000 / hz);
}

namespace {

int64_t ClockNs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

int64_t ThreadCpuNs() { return ClockNs(CLOCK_THREAD_CPUTIME_ID); }

int64_t ProcessCpuNs() { return ClockNs(CLOCK_PROCESS_CPUTIME_ID); }

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace harvox::test
