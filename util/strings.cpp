// Text helpers.  Positions are counted in size_t rather than 16 bits: the
// results are the same for every text this program handles, and longer
// texts are simply handled whole instead of wrapping.
#include "util/strings.h"

#include <cctype>
#include <limits>
#include <utility>

namespace harvox {

std::string ByteToHex(uint8_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[value >> 4], kDigits[value & 0x0F]};
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

uint8_t HexToByte(std::string_view text) {
  if (text.empty() || text.size() > 2) return 0;
  const std::string two = PadLeft(text, 2, '0');
  return static_cast<uint8_t>(HexDigitValue(two[0]) * 16 + HexDigitValue(two[1]));
}

bool IsNumeric(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::optional<int32_t> ToInt32(std::string_view text) {
  if (!IsNumeric(text)) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<int32_t>::max()) return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

int32_t NumberOr(std::string_view text, int32_t fallback) {
  return ToInt32(text).value_or(fallback);
}

bool StrToBool(std::string_view text) { return text == "TRUE"; }

std::string BoolToStr(bool flag) { return flag ? "TRUE" : "FALSE"; }

// ASCII only, whatever the locale: callsigns, keys and commands are ASCII,
// and this runs on every frame the engine sends.
std::string UpperText(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string KeepAlphaNum(std::string_view text) {
  std::string out;
  for (char c : text) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')) out += c;
  }
  return out;
}

std::string TruncAtNul(std::string_view text) {
  return std::string(text.substr(0, text.find('\0')));
}

std::string RemoveChar(std::string_view text, char c) { return ReplaceChar(text, c, {}); }

std::string ReplaceChar(std::string_view text, char c, std::string_view replacement) {
  std::string out;
  out.reserve(text.size());
  for (char x : text) {
    if (x == c) {
      out += replacement;
    } else {
      out += x;
    }
  }
  return out;
}

std::string PadLeft(std::string_view text, size_t length, char fill) {
  if (text.size() >= length) return std::string(text);
  return std::string(length - text.size(), fill) + std::string(text);
}

std::string PadRight(std::string_view text, size_t length, char fill) {
  std::string out(text);
  if (out.size() < length) out.append(length - out.size(), fill);
  return out;
}

std::string CutLine(std::string& text) {
  const size_t at = text.find("\r\n");
  if (at == std::string::npos) return std::exchange(text, std::string());
  std::string line = text.substr(0, at);
  text.erase(0, at + 2);
  return line;
}

std::string CutField(std::string& text, char separator) {
  const size_t at = text.find(separator);
  if (at == std::string::npos) return std::exchange(text, std::string());
  std::string field = text.substr(0, at);
  text.erase(0, at + 1);
  return field;
}

std::string_view NextWord(std::string_view& s) {
  const size_t begin = s.find_first_not_of(' ');
  if (begin == std::string_view::npos) {
    s = {};
    return {};
  }
  const size_t end = s.find(' ', begin);
  const std::string_view word = s.substr(begin, end - begin);
  s = end == std::string_view::npos ? std::string_view{} : s.substr(end);
  return word;
}

std::string CutWord(std::string& text) {
  const size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) {
    text.clear();
    return {};
  }
  text.erase(0, start);
  std::string_view copy(text);
  if (copy.back() == '\r') copy.remove_suffix(1);
  const size_t end = copy.find(' ');
  if (end == std::string_view::npos) {
    std::string word(copy);
    text.clear();
    return word;
  }
  std::string word(copy.substr(0, end));
  const size_t next = copy.find_first_not_of(' ', end);
  text = next == std::string_view::npos ? std::string() : std::string(copy.substr(next));
  return word;
}

}  // namespace harvox
