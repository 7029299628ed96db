// AGW frames as the test side sees them: one value type, its encoder and a
// stream reader that cuts frames out of a TCP byte stream.  The fake engine,
// the blocking test client and the test node all speak through these.
//
// Re-entrancy: plain values; an AgwFrameReader belongs to one connection
// and is not shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace harvox::test {

inline constexpr size_t kAgwHeaderSize = 36;

struct AgwFrame {
  uint8_t port = 0;  // as on the wire: radio port 1 is 0
  char kind = 0;
  uint8_t pid = 0;
  std::string from, to, data;

  // Header plus data; the call fields are NUL-padded and cut to 10 bytes,
  // DataLen holds the full 32-bit size of data.
  std::string Encode() const;
  bool operator==(const AgwFrame&) const = default;
};

// Decodes a 36-byte header (bytes beyond it are ignored).  Returns the
// frame without data and the announced data length.
struct AgwHeader {
  AgwFrame frame;
  uint32_t data_len = 0;
};
std::optional<AgwHeader> DecodeAgwHeader(std::string_view bytes);

// Decodes exactly one whole frame; none when bytes hold less or more.
std::optional<AgwFrame> DecodeAgwFrame(std::string_view bytes);

// Printable one-line description for test failure messages.
std::string Describe(const AgwFrame& frame);

// Reassembles frames from arbitrary pieces of a byte stream.  A header
// announcing more than max_data bytes marks the stream bad: nothing more is
// taken from it, so a peer sending garbage cannot make the buffer grow.
class AgwFrameReader {
 public:
  explicit AgwFrameReader(size_t max_data = 65536) : max_data_(max_data) {}

  void Feed(std::string_view bytes);
  // The next complete frame, if one is buffered.
  std::optional<AgwFrame> Next();
  bool Bad() const { return bad_; }
  size_t Buffered() const { return buffer_.size() - start_; }

 private:
  size_t max_data_;
  std::string buffer_;
  size_t start_ = 0;
  bool bad_ = false;
};

}  // namespace harvox::test
