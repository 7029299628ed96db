// The trace log: the program's one diagnostic channel.  Each Write or Dump
// opens the file, appends and closes it again, so the log is complete up to
// the last line even when the process dies, and other programs may read or
// delete it at any time.  Failures are swallowed: the log never stops the
// program.  One descriptor is kept in reserve: when the process has run
// out of them, the line is still written (the reserve is given up for it
// and taken back), so the log says what happened at the limit.  Each
// level-1 line can also be handed to an echo (the journal, under systemd),
// whatever became of the file.
//
// Re-entrancy: main thread only; holds no open handle between calls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace harvox {

class TLog {
 public:
  std::string FileName;
  uint32_t TraceLevel = 0;

  bool Active() const { return active_; }
  // On: empty (create) the file; when that fails the log stays off.
  void SetActive(bool on);
  void Write(uint8_t level, std::string_view text);
  void Dump(uint8_t level, std::string_view data);
  bool Enabled(uint8_t level) const { return active_ && level <= TraceLevel; }
  // Told each level-1 line that passes TraceLevel, as written to the file
  // but without the time stamp and line end.
  std::function<void(std::string_view line)> Echo;

  // Keeps the previous run's log: a regular, non-empty `file` becomes
  // `file`.1, replacing an older one.  Anything else is left alone.
  static void KeepPrevious(const std::string& file);

  // Pure layout helpers.
  static std::vector<std::string> DumpLines(std::string_view data);
  static std::string TimeStamp();
  // When something due in `ms` happens: "in 60 s, at 07:38:09" (local time).
  static std::string DueIn(uint32_t ms);

 private:
  bool Append(std::string_view bytes);
  // A copy of the log gets no reserve of its own.
  struct Reserve {
    int fd = -1;
    Reserve() = default;
    Reserve(const Reserve&) {}
    Reserve& operator=(const Reserve&) { return *this; }
    ~Reserve();
    void Take();
    void Release();
  };
  bool active_ = false;
  Reserve reserve_;
};

}  // namespace harvox
