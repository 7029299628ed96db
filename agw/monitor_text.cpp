// Reading the engine's monitor text of one frame.
//
// Re-entrancy: pure; see monitor_text.h.
#include "agw/monitor_text.h"

#include <optional>

#include "util/strings.h"

namespace harvox {
namespace {

// A sequence number: one to three digits, at most 127.
std::optional<uint8_t> Sequence(std::string_view digits) {
  if (digits.empty() || digits.size() > 3) return std::nullopt;
  const std::optional<int32_t> n = ToInt32(digits);
  if (!n || *n > 127) return std::nullopt;
  return static_cast<uint8_t>(*n);
}

char ClassOf(std::string_view type) {
  if (type == "I") return 'I';
  if (type == "UI") return 'U';
  if (type == "RR" || type == "RNR" || type == "REJ" || type == "SREJ") return 'S';
  return 'C';
}

bool KnownType(std::string_view type) {
  static constexpr std::string_view kTypes[] = {"I",  "UI",    "RR",   "RNR", "REJ", "SREJ", "SABM",
                                                "SABME", "DISC", "DM",  "UA",  "FRMR", "XID", "TEST"};
  for (std::string_view known : kTypes) {
    if (type == known) return true;
  }
  return false;
}

// "Fm SRC To DST [Via D1,D2*]": used digipeaters carry a '*' that the raw
// form does not show.
void ReadAddresses(std::string_view s, KissFrame& f) {
  const size_t colon = s.find(':');
  if (colon == std::string_view::npos) return;
  s.remove_prefix(colon + 1);
  NextWord(s);
  f.Source = NextWord(s);
  NextWord(s);
  f.Destination = NextWord(s);
  if (UpperText(NextWord(s)) != "VIA") return;
  for (const char c : s) {
    if (c != ' ' && c != '*') f.Digipeaters += c;
  }
}

// The details between the frame type and '>'; the info length, when given.
std::optional<size_t> ReadDetails(std::string_view s, KissFrame& f) {
  std::optional<size_t> length;
  for (std::string_view w = NextWord(s); !w.empty(); w = NextWord(s)) {
    const std::string upper = UpperText(w);
    const std::string_view u = upper;
    if (u.substr(0, 4) == "PID=") {
      std::string_view hex = w.substr(4);
      if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.remove_prefix(2);
      if (hex.size() <= 2) f.PID = HexToByte(hex);
    } else if (u.substr(0, 4) == "LEN=") {
      const std::optional<int32_t> n = ToInt32(w.substr(4));
      if (n) length = static_cast<size_t>(*n);
    } else if (u == "P=1" || u == "F=1") {
      f.PF = 1;
    } else if (w.size() >= 2 && (w[0] == 'R' || w[0] == 'S')) {
      if (const auto n = Sequence(w.substr(1))) (w[0] == 'R' ? f.NR : f.NS) = *n;
    }
  }
  return length;
}

}  // namespace

KissFrame ParseMonitorText(std::string_view data) {
  KissFrame f;
  const size_t open = data.find('<');
  ReadAddresses(data.substr(0, open), f);
  if (open == std::string_view::npos) return f;
  std::string_view rest = data.substr(open + 1);
  const size_t close = rest.find('>');
  std::string_view details = rest.substr(0, close);
  const std::string_view type = NextWord(details);
  if (KnownType(type)) f.CtlName = type;
  f.FrameClass = ClassOf(type);
  const std::optional<size_t> length = ReadDetails(details, f);
  if ((f.FrameClass != 'I' && f.FrameClass != 'U') || close == std::string_view::npos) return f;
  rest.remove_prefix(close);
  const size_t line_end = rest.find('\r');
  if (line_end == std::string_view::npos) return f;
  std::string_view info = rest.substr(line_end + 1);
  if (!info.empty() && info.back() == '\0') info.remove_suffix(1);
  if (length && info.size() > *length) info = info.substr(0, *length);
  f.Info = info;
  f.InfoLen = static_cast<int32_t>(f.Info.size());
  return f;
}

}  // namespace harvox
