// Frame header layout, frame building and stream reassembly.
//
// Header layout (offsets from the first byte; numbers little-endian):
//
//   offset width field        written                        read
//   ------ ----- ------------ ------------------------------ -------------------------
//    0      1    Port         radio port - 1 (255 -> 0)      port = byte + 1 (8 bits)
//    1      3    (port word)  0                              ignored
//    4      1    DataKind     frame kind letter              kind
//    5      1    reserved     0                              ignored
//    6      1    PID          protocol id                    PID
//    7      1    reserved     0                              ignored
//    8     10    CallFrom     text, NUL-padded / cut to 10   up to first NUL
//   18     10    CallTo       as CallFrom                    as CallFrom
//   28      1    DataLen lo   see LengthBytes                low byte
//   29      1    DataLen hi   see LengthBytes                second byte
//   30      2    DataLen up   0                              must be 0: else the stream is broken
//   32      4    User         0                              ignored
//
// Re-entrancy: see frame.h.
#include "agw/frame.h"

#include <algorithm>
#include <cstring>

namespace harvox {
namespace {

constexpr size_t kPortOffset = 0;
constexpr size_t kKindOffset = 4;
constexpr size_t kPidOffset = 6;
constexpr size_t kFromOffset = 8;
constexpr size_t kToOffset = 18;
constexpr size_t kLenLowOffset = 28;
constexpr size_t kLenHighOffset = 29;
constexpr size_t kLenUpperOffset = 30;

std::string CallField(const char* p) {
  const void* nul = std::memchr(p, 0, kCallFieldSize);
  const size_t n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - p) : kCallFieldSize;
  return std::string(p, n);
}

}  // namespace

FrameHeader ParseHeader(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  FrameHeader h;
  h.Port = static_cast<uint8_t>(u[kPortOffset] + 1);
  h.DataKind = p[kKindOffset];
  h.PID = u[kPidOffset];
  h.CallFrom = CallField(p + kFromOffset);
  h.CallTo = CallField(p + kToOffset);
  h.DataLen = static_cast<uint32_t>(u[kLenLowOffset]) | (static_cast<uint32_t>(u[kLenHighOffset]) << 8);
  h.DataLenHigh = static_cast<uint16_t>(u[kLenUpperOffset] | u[kLenUpperOffset + 1] << 8);
  return h;
}

bool IsSplitExempt(char kind, uint8_t pid) {
  return kind == 'K' || kind == 'P' || pid == 0xC9 || pid == 0xCA;
}

namespace {

// Writes one header at h (kHeaderSize bytes, zeroed by the caller).
void PutHeader(char* h, uint8_t port, uint8_t pid, char kind, std::string_view from,
               std::string_view to, size_t len) {
  // Ports are 1-based inside the program and 0-based on the wire; port 0
  // (frames about no port) goes out as wire port 0, like port 1.
  h[kPortOffset] = static_cast<char>(port == 0 ? 0 : port - 1);
  h[kKindOffset] = kind;
  h[kPidOffset] = static_cast<char>(pid);
  std::memcpy(h + kFromOffset, from.data(), std::min(from.size(), kCallFieldSize));
  std::memcpy(h + kToOffset, to.data(), std::min(to.size(), kCallFieldSize));
  uint8_t low, high;
  if (IsSplitExempt(kind, pid)) {
    high = static_cast<uint8_t>(len >> 8);
    low = static_cast<uint8_t>(len);
  } else {
    // Split frames never carry more than 255 bytes each.
    high = 0;
    low = static_cast<uint8_t>(std::min(len, kSplitSize));
  }
  h[kLenLowOffset] = static_cast<char>(low);
  h[kLenHighOffset] = static_cast<char>(high);
}

void AppendFrame(std::string& out, uint8_t port, uint8_t pid, char kind, std::string_view from,
                 std::string_view to, std::string_view info) {
  const size_t at = out.size();
  out.resize(at + kHeaderSize + info.size());
  PutHeader(out.data() + at, port, pid, kind, from, to, info.size());
  if (!info.empty()) std::memcpy(out.data() + at + kHeaderSize, info.data(), info.size());
}

}  // namespace

std::string BuildHeader(uint8_t port, uint8_t pid, char kind, std::string_view from,
                        std::string_view to, size_t len) {
  std::string h(kHeaderSize, '\0');
  PutHeader(h.data(), port, pid, kind, from, to, len);
  return h;
}

size_t AppendFrames(std::string& out, uint8_t port, uint8_t pid, char kind, std::string_view from,
                    std::string_view to, std::string_view data) {
  const bool exempt = IsSplitExempt(kind, pid);
  if (exempt && data.size() > 0xFFFF) return 0;  // the length would wrap
  if (data.size() <= kSplitSize || exempt) {
    AppendFrame(out, port, pid, kind, from, to, data);
    return 1;
  }
  const size_t frames = (data.size() + kSplitSize - 1) / kSplitSize;
  out.reserve(out.size() + frames * kHeaderSize + data.size());
  while (!data.empty()) {
    const std::string_view part = data.substr(0, kSplitSize);
    AppendFrame(out, port, pid, kind, from, to, part);
    data.remove_prefix(part.size());
  }
  return frames;
}

std::string BuildLogin(std::string_view user, std::string_view password) {
  std::string info(2 * kLoginFieldSize, '\0');
  user = user.substr(0, kLoginFieldSize);
  password = password.substr(0, kLoginFieldSize);
  std::memcpy(info.data(), user.data(), user.size());
  std::memcpy(info.data() + kLoginFieldSize, password.data(), password.size());
  return info;
}

std::string NormaliseVia(std::string_view digis) {
  std::string joined;
  while (true) {
    const size_t comma = digis.find(',');
    const std::string_view item = digis.substr(0, comma);
    std::string clean;
    for (char c : item) {
      if (c != '*' && c != ' ') clean += c;
    }
    // An item of blanks only is as empty as an empty one: it must not turn
    // into an empty digipeater field.
    if (!clean.empty()) {
      if (!joined.empty()) joined += ' ';
      joined += clean;
    }
    if (comma == std::string_view::npos) break;
    digis.remove_prefix(comma + 1);
  }
  return joined;
}

std::string BuildVia(std::string_view joined) {
  std::string info(1, '\0');
  size_t count = 0;
  size_t i = 0;
  while (i < joined.size() && count < kMaxDigipeaters) {
    if (joined[i] == ' ') {
      ++i;
      continue;
    }
    const size_t end = std::min(joined.find(' ', i), joined.size());
    const std::string_view call = joined.substr(i, std::min(end - i, kMaxViaCall));
    std::string field(kCallFieldSize, '\0');
    std::memcpy(field.data(), call.data(), call.size());
    info += field;
    ++count;
    i = end;
  }
  if (count == 0) return {};
  info[0] = static_cast<char>(count);
  return info;
}

namespace {

IpVerdict Judge(const std::array<std::string, 4>& segments) {
  for (const auto& s : segments) {
    if (s.empty()) return IpVerdict::EmptySegment;
  }
  for (const auto& s : segments) {
    if (!std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return IpVerdict::NonNumeric;
    }
  }
  for (const auto& s : segments) {
    unsigned value = 0;
    for (char c : s) {
      value = value * 10 + static_cast<unsigned>(c - '0');
      if (value > 255) return IpVerdict::OutOfRange;  // stops before any overflow
    }
  }
  return IpVerdict::Address;
}

}  // namespace

IpSegments CheckIP(std::string_view text) {
  IpSegments r;
  for (auto& segment : r.Segment) {
    const size_t dot = text.find('.');
    segment = std::string(text.substr(0, dot));
    text = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
  }
  r.Verdict = Judge(r.Segment);
  return r;
}

bool IsIP(std::string_view text) { return CheckIP(text).Verdict == IpVerdict::Address; }

// ---------------------------------------------------------------------------
// Reassembler

namespace {

// Undelivered bytes at the front of the buffer are moved down only when they
// are a large share of it, so a run of small frames costs no memmove each.
constexpr size_t kCompactAt = 8192;

}  // namespace

bool Reassembler::Store(std::string_view bytes, const Handler& decode) {
  if (broken_) return false;
  if (depth_ > 0) {
    deferred_.append(bytes);
    return true;
  }
  struct Depth {
    explicit Depth(Reassembler& r) : r(r) { ++r.depth_; }
    ~Depth() {
      if (--r.depth_ == 0 && r.reset_pending_) r.ApplyReset();
    }
    Reassembler& r;
  } depth(*this);

  // Bytes queued by a callback that threw last time come before this read.
  Compact();
  buffer_.append(deferred_);
  deferred_.clear();
  buffer_.append(bytes);
  Run(decode);
  for (;;) {
    if (reset_pending_) ApplyReset();
    if (deferred_.empty()) break;
    Compact();
    buffer_.append(deferred_);
    deferred_.clear();
    Run(decode);
  }
  return !broken_;
}

void Reassembler::Run(const Handler& decode) {
  const uint64_t generation = generation_;
  for (;;) {
    if (!waiting_) {
      if (buffer_.size() - pos_ < kHeaderSize) return;
      header_ = ParseHeader(buffer_.data() + pos_);
      if (header_.DataLenHigh != 0) {
        broken_ = true;
        buffer_.clear();
        pos_ = 0;
        deferred_.clear();
        return;
      }
      pos_ += kHeaderSize;
      if (header_.DataLen == 0) {
        decode(header_, std::string_view{});
        if (generation != generation_) return;
        continue;
      }
      waiting_ = true;
    }
    if (buffer_.size() - pos_ < header_.DataLen) return;
    // State is advanced before the callback so that a throwing or
    // re-entering callback finds a consistent reassembler.
    const std::string_view data(buffer_.data() + pos_, header_.DataLen);
    pos_ += header_.DataLen;
    waiting_ = false;
    decode(header_, data);
    if (generation != generation_) return;
  }
}

void Reassembler::Compact() {
  if (pos_ == 0) return;
  if (pos_ == buffer_.size()) {
    buffer_.clear();
    pos_ = 0;
  } else if (pos_ >= kCompactAt || pos_ * 2 >= buffer_.size()) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
}

void Reassembler::Reset() {
  ++generation_;
  deferred_.clear();
  if (depth_ == 0) {
    ApplyReset();
  } else {
    // A callback may still hold a view into the buffer: clear it once the
    // callback has returned.
    reset_pending_ = true;
  }
}

void Reassembler::ApplyReset() {
  broken_ = false;
  buffer_.clear();
  pos_ = 0;
  waiting_ = false;
  reset_pending_ = false;
}

size_t Reassembler::Buffered() const {
  if (reset_pending_) return deferred_.size();
  return buffer_.size() - pos_ + deferred_.size();
}

}  // namespace harvox
