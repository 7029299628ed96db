// Trace log file handling.  One open/append/close per line or dump: the
// price of a line is a few system calls, paid only when the level passes.
#include "util/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "util/strings.h"

namespace harvox {
namespace {

// Text lines carry what users and the engine sent.  A control byte written
// as it is could end the line early (and forge the next one) or drive the
// terminal of whoever reads the log, so each is written as \xNN.  Dumps
// show such bytes as dots already.
void AppendEscaped(std::string& line, std::string_view text) {
  for (char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    if (b >= 32 && b != 127) {
      line += ch;
    } else {
      line += "\\x";
      line += ByteToHex(b);
    }
  }
}

}  // namespace

TLog::Reserve::~Reserve() { Release(); }

void TLog::Reserve::Take() {
  if (fd < 0) fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void TLog::Reserve::Release() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void TLog::SetActive(bool on) {
  if (!on) {
    active_ = false;
    return;
  }
  active_ = true;
  FILE* f = std::fopen(FileName.c_str(), "wb");
  if (!f) {
    active_ = false;
    return;
  }
  if (std::fclose(f) != 0) active_ = false;
  if (active_) reserve_.Take();
}

bool TLog::Append(std::string_view bytes) {
  // "ab" creates the file when it was deleted while we run.
  FILE* f = std::fopen(FileName.c_str(), "ab");
  if (!f && (errno == EMFILE || errno == ENFILE) && reserve_.fd >= 0) {
    reserve_.Release();
    f = std::fopen(FileName.c_str(), "ab");
  }
  if (!f) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const bool closed = std::fclose(f) == 0;
  reserve_.Take();
  return closed && written;
}

std::string TLog::TimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[128];
  const size_t n = std::strftime(buf, sizeof buf, "%x %X", &local);
  return std::string(buf, n);
}

void TLog::KeepPrevious(const std::string& file) {
  // lstat: a link or a device under the log's name is not ours to move.
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return;
  std::rename(file.c_str(), (file + ".1").c_str());
}

std::string TLog::DueIn(uint32_t ms) {
  const std::time_t at = std::time(nullptr) + static_cast<std::time_t>((ms + 999) / 1000);
  std::tm local{};
  localtime_r(&at, &local);
  char buf[64];
  const size_t n = std::strftime(buf, sizeof buf, "%X", &local);
  const std::string in = ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
  return "in " + in + ", at " + std::string(buf, n);
}

void TLog::Write(uint8_t level, std::string_view text) {
  const bool echo = level == 1 && TraceLevel >= 1 && Echo;
  if (!Enabled(level) && !echo) return;
  std::string line = TimeStamp();
  line += ' ';
  const size_t start = line.size();
  AppendEscaped(line, text);
  if (echo) Echo(std::string_view(line).substr(start));
  if (!Enabled(level)) return;
  line += "\r\n";
  Append(line);
}

std::vector<std::string> TLog::DumpLines(std::string_view data) {
  std::vector<std::string> lines;
  std::string hex, ascii;
  auto flush = [&] {
    lines.push_back(" |" + hex + "|" + ascii);
    hex.clear();
    ascii.clear();
  };
  for (unsigned char b : data) {
    hex += ByteToHex(b);
    hex += ' ';
    ascii += (b < 32 || b > 122) ? '.' : static_cast<char>(b);
    if (ascii.size() == 16) flush();
  }
  if (!ascii.empty()) {
    while (ascii.size() < 16) {
      ascii += ' ';
      hex += "-- ";
    }
    flush();
  }
  return lines;
}

void TLog::Dump(uint8_t level, std::string_view data) {
  if (!Enabled(level) || data.empty()) return;
  std::string out;
  for (const auto& line : DumpLines(data)) {
    out += line;
    out += "\r\n";
  }
  Append(out);
}

}  // namespace harvox
