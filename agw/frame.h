// The engine's wire format: the 36-byte frame header, the info areas this
// program builds (login, digipeater path), the splitting of long data frames,
// and the reassembly of frames from the received TCP byte stream.
//
// Everything here is "bytes in, values out" with no sockets and no logging;
// the link object adds the log lines and the transport.
//
// Re-entrancy: the free functions are pure.  A Reassembler belongs to one
// connection; its decode callback may re-enter the owner, call Reset() or
// even Store() again (see the class comment).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace harvox {

constexpr size_t kHeaderSize = 36;
constexpr size_t kCallFieldSize = 10;
// Longest info area a data frame carries before it is split into a run.
constexpr size_t kSplitSize = 255;
constexpr size_t kLoginFieldSize = 255;
// AX.25 carries at most eight digipeaters; a 10-byte callsign field holds
// nine characters and a terminating NUL.
constexpr size_t kMaxDigipeaters = 8;
constexpr size_t kMaxViaCall = 9;

struct FrameHeader {
  uint8_t Port = 0;  // radio port as reported: wire byte + 1, in 8 bits
  char DataKind = 0;
  uint8_t PID = 0;
  std::string CallFrom, CallTo;  // up to the first NUL, at most 10 bytes
  uint32_t DataLen = 0;          // low 16 bits of the length word
  uint16_t DataLenHigh = 0;      // upper 16 bits: always 0 from a sound engine
};

// Reads the 36 bytes at p.
FrameHeader ParseHeader(const char* p);

// One header for an info area of len bytes.  port is the radio port as used
// inside the program (1-based; 0 for frames that concern no port).
std::string BuildHeader(uint8_t port, uint8_t pid, char kind, std::string_view from,
                        std::string_view to, size_t len);

// Kinds and PIDs whose frames always travel whole, with a 16-bit length.
bool IsSplitExempt(char kind, uint8_t pid);

// Appends the frames for data to out: a header alone, a header with its
// info, or a run of 255-byte frames with the remainder last.  Returns how
// many; 0 (and nothing appended) when an exempt frame's length does not
// fit in 16 bits.
size_t AppendFrames(std::string& out, uint8_t port, uint8_t pid, char kind, std::string_view from,
                    std::string_view to, std::string_view data);

// The 510-byte login info area: user then password, each NUL-padded or cut
// to 255 bytes.
std::string BuildLogin(std::string_view user, std::string_view password);

// "N0CALL*, , N1CALL " -> "N0CALL N1CALL": split at commas, strip every
// '*' and blank, drop empty items, join with single spaces.
std::string NormaliseVia(std::string_view digis);

// The connect-via info area for a blank-separated list: a count byte, then
// a 10-byte NUL-padded field per callsign.  Callsigns are cut to 9 bytes and
// the list to the first 8 entries, so the area never exceeds 81 bytes.
// Empty for an empty list.
std::string BuildVia(std::string_view joined);

// A dotted IPv4 address check.  The text is cut at its first four dots (text
// after a fourth dot is ignored); the verdict says which rule failed so the
// caller can log the matching line.
enum class IpVerdict { Address, EmptySegment, NonNumeric, OutOfRange };
struct IpSegments {
  std::array<std::string, 4> Segment;
  IpVerdict Verdict = IpVerdict::EmptySegment;
};
IpSegments CheckIP(std::string_view text);
bool IsIP(std::string_view text);

// Cuts frames out of the received byte stream.
//
// Store appends one read and delivers every frame it completes, in stream
// order, as (header, data).  data points into the reassembler's own buffer
// (or is empty) and is valid only during the callback.  While a callback
// runs, the buffer is never moved or changed:
//  - Store() called from inside a callback queues its bytes; they are
//    processed after the frames already buffered.
//  - Reset() from inside a callback drops everything not yet delivered
//    (including the rest of the current read); the buffer itself is cleared
//    once the callback returns.
// When a callback throws, the exception propagates; the frame counts as
// delivered and the remaining bytes stay buffered for the next Store.
//
// Memory: a header announces at most 65535 bytes, so the buffer holds at
// most one partial frame plus one read.
class Reassembler {
 public:
  using Handler = std::function<void(const FrameHeader&, std::string_view data)>;

  // False once the stream is broken: a header announced an info area of
  // 64 KiB or more, which no engine sends.  Nothing after it can be framed,
  // so nothing more is decoded until Reset.
  bool Store(std::string_view bytes, const Handler& decode);
  void Reset();
  bool Broken() const { return broken_; }
  // A header has been taken and its info area is awaited.
  bool Waiting() const { return waiting_ && !reset_pending_; }
  // Bytes received and not yet delivered (a taken header not counted).
  size_t Buffered() const;

 private:
  void Run(const Handler& decode);
  void Compact();
  void ApplyReset();

  std::string buffer_;
  size_t pos_ = 0;  // start of the undelivered bytes in buffer_
  FrameHeader header_;
  bool waiting_ = false;
  std::string deferred_;  // bytes stored from inside a callback
  unsigned depth_ = 0;    // Store calls on the stack
  uint64_t generation_ = 0;
  bool reset_pending_ = false;
  bool broken_ = false;
};

}  // namespace harvox
