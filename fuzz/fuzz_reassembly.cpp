// The received byte stream, cut into reads of arbitrary sizes.  The first
// input bytes choose the cuts and a mode; the rest is the stream.
//  - mode 0: the frames delivered must be exactly those delivered when the
//    whole stream arrives in one read;
//  - mode 1: callbacks also reset the reassembler and store bytes from
//    inside the callback, as a link handler may.
// Every frame's data then goes through the decoder of its kind.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "agw/frame.h"
#include "agw/monitor_decode.h"

namespace {

struct Seen {
  char kind;
  uint32_t len;
  std::string data;
  bool operator==(const Seen&) const = default;
};

void DecodeByKind(const harvox::FrameHeader& h, std::string_view data) {
  if (data.size() != h.DataLen) std::abort();
  switch (h.DataKind) {
    case 'K': (void)harvox::KissDecode(data); break;
    case 'I':
    case 'S':
    case 'U':
    case 'T': (void)harvox::GetHeader(data); break;
    default: break;
  }
}

// A small deterministic generator for the cut sizes.
struct Cuts {
  uint32_t state;
  size_t Next() {
    state = state * 1103515245u + 12345u;
    return 1 + (state >> 16) % 700;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint8_t mode = data[0] & 1;
  Cuts cuts{static_cast<uint32_t>(data[1] | data[2] << 8 | data[3] << 16 | data[4] << 24)};
  const std::string_view stream(reinterpret_cast<const char*>(data) + 5, size - 5);

  harvox::Reassembler whole, chunked;
  std::vector<Seen> want, got;
  whole.Store(stream, [&](const harvox::FrameHeader& h, std::string_view d) {
    want.push_back({h.DataKind, h.DataLen, std::string(d)});
  });

  unsigned calls = 0;
  const harvox::Reassembler::Handler handler = [&](const harvox::FrameHeader& h, std::string_view d) {
    DecodeByKind(h, d);
    got.push_back({h.DataKind, h.DataLen, std::string(d)});
    if (mode == 1) {
      ++calls;
      if (calls % 3 == 0) chunked.Reset();
      if (calls % 5 == 0 && calls < 200) chunked.Store(d.substr(0, 40), handler);
      if (chunked.Buffered() > 2 * size + 2 * harvox::kHeaderSize) std::abort();
    }
  };
  for (size_t at = 0; at < stream.size();) {
    const size_t n = cuts.Next();
    chunked.Store(stream.substr(at, n), handler);
    at += n;
    if (chunked.Buffered() > 0xFFFF + 2 * harvox::kHeaderSize + 700 + size) std::abort();
  }
  if (mode == 0 && got != want) std::abort();
  return 0;
}
