// A Telnet user's bytes, cut into reads at the points the input chooses:
// the filter must agree with itself however the stream is cut, never keep
// a Telnet command byte sequence, and line cutting must consume the input
// exactly once.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "telnetd/telnet_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view all(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t step = data[0] % 16 + 1;
  harvox::TelnetInput whole, cut;
  std::string a, b;
  whole.Feed(all, a);
  for (size_t at = 0; at < all.size(); at += step) cut.Feed(all.substr(at, step), b);
  if (a != b || whole.SinceLineEnd() != cut.SinceLineEnd()) std::abort();
  if (a.size() > all.size() || a.find('\n') != std::string::npos) std::abort();
  size_t at = 0, taken = 0;
  std::string line;
  while (harvox::NextLine(a, at, line)) {
    if (line.empty() || line.back() != '\r') std::abort();
    const std::string edited = harvox::EditBackspaces(line);
    if (edited.size() > line.size()) std::abort();
    ++taken;
  }
  if (at > a.size() || taken > a.size()) std::abort();
  return 0;
}
