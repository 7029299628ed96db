// Stateless text helpers.  A text is a byte string: every value 0..255
// passes unchanged.  Their edge behaviour is the parsing rule of the whole
// program (configuration values, users file, route lines, command lines and
// engine status texts), so do not "improve" it.
//
// Re-entrancy: pure functions; the three Cut* functions modify only their
// in/out argument.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace harvox {

std::string ByteToHex(uint8_t value);
int HexDigitValue(char c);
uint8_t HexToByte(std::string_view text);
bool IsNumeric(std::string_view text);
// Decimal digits only and within a signed 32-bit integer; otherwise none.
std::optional<int32_t> ToInt32(std::string_view text);
// The value of a decimal number, or fallback when the text is no number.
int32_t NumberOr(std::string_view text, int32_t fallback);
bool StrToBool(std::string_view text);
std::string BoolToStr(bool flag);
std::string UpperText(std::string_view text);
std::string KeepAlphaNum(std::string_view text);
std::string TruncAtNul(std::string_view text);
std::string RemoveChar(std::string_view text, char c);
std::string ReplaceChar(std::string_view text, char c, std::string_view replacement);
std::string PadLeft(std::string_view text, size_t length, char fill);
std::string PadRight(std::string_view text, size_t length, char fill);
// Cut functions: return the piece cut off, leave the rest in text.
std::string CutLine(std::string& text);
std::string CutField(std::string& text, char separator);
std::string CutWord(std::string& text);
// The next blank-separated word of s; s keeps what follows it.  Unlike
// CutWord this never drops a final CR, which may belong to the text.
std::string_view NextWord(std::string_view& s);

}  // namespace harvox
