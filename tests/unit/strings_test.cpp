#include <gtest/gtest.h>

#include "util/strings.h"

namespace harvox {
namespace {

std::string AllBytes() {
  std::string s;
  for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
  return s;
}

TEST(Strings, CutLineTakesOnlyCrLfAsLineEnd) {
  std::string t = "abc";
  EXPECT_EQ(CutLine(t), "abc");
  EXPECT_EQ(t, "");
  t = "\r\nxyz";
  EXPECT_EQ(CutLine(t), "");
  EXPECT_EQ(t, "xyz");
  t = "ab\r\n";
  EXPECT_EQ(CutLine(t), "ab");
  EXPECT_EQ(t, "");
  t = "a\rb";
  EXPECT_EQ(CutLine(t), "a\rb");
  t = "";
  EXPECT_EQ(CutLine(t), "");
}

TEST(Strings, CutFieldKeepsEmptyFieldsAndDoesNotTrim) {
  std::string t = "KEY=VAL";
  EXPECT_EQ(CutField(t, '='), "KEY");
  EXPECT_EQ(t, "VAL");
  t = "KEY=";
  EXPECT_EQ(CutField(t, '='), "KEY");
  EXPECT_EQ(t, "");
  t = "=VAL";
  EXPECT_EQ(CutField(t, '='), "");
  EXPECT_EQ(t, "VAL");
  t = "NOSEP";
  EXPECT_EQ(CutField(t, '='), "NOSEP");
  EXPECT_EQ(t, "");
  t = "a,b,,c";
  EXPECT_EQ(CutField(t, ','), "a");
  EXPECT_EQ(CutField(t, ','), "b");
  EXPECT_EQ(CutField(t, ','), "");
  EXPECT_EQ(CutField(t, ','), "c");
  EXPECT_EQ(CutField(t, ','), "");
  t = " a , b";
  EXPECT_EQ(CutField(t, ','), " a ");
}

TEST(Strings, CutWordSplitsOnBlanksOnlyAndDropsOneFinalCr) {
  std::string t = "  CONNECT  NOCALL   \r";
  EXPECT_EQ(CutWord(t), "CONNECT");
  EXPECT_EQ(t, "NOCALL   ");
  EXPECT_EQ(CutWord(t), "NOCALL");
  EXPECT_EQ(t, "");
  t = "   ";
  EXPECT_EQ(CutWord(t), "");
  EXPECT_EQ(t, "");
  t = "\r";
  EXPECT_EQ(CutWord(t), "");
  EXPECT_EQ(t, "");
  t = "A\tB C";
  EXPECT_EQ(CutWord(t), "A\tB");
  EXPECT_EQ(t, "C");
  t = "X\n";
  EXPECT_EQ(CutWord(t), "X\n");
  t = "Y\r\r";
  EXPECT_EQ(CutWord(t), "Y\r");
}

TEST(Strings, NumbersAndFlags) {
  EXPECT_FALSE(IsNumeric(""));
  EXPECT_TRUE(IsNumeric("007"));
  EXPECT_FALSE(IsNumeric("-1"));
  EXPECT_FALSE(IsNumeric("1 "));
  EXPECT_FALSE(IsNumeric("1.5"));
  EXPECT_EQ(ToInt32("2147483647"), 2147483647);
  EXPECT_EQ(ToInt32("2147483648"), std::nullopt);
  EXPECT_EQ(ToInt32("99999999999999999999"), std::nullopt);
  EXPECT_EQ(NumberOr("1h", 3600000), 3600000);
  EXPECT_EQ(NumberOr("", 7), 7);
  EXPECT_TRUE(StrToBool("TRUE"));
  EXPECT_FALSE(StrToBool("true"));
  EXPECT_FALSE(StrToBool("Yes"));
  EXPECT_EQ(BoolToStr(true), "TRUE");
  EXPECT_EQ(BoolToStr(false), "FALSE");
}

TEST(Strings, HexConversions) {
  EXPECT_EQ(ByteToHex(10), "0A");
  EXPECT_EQ(ByteToHex(255), "FF");
  EXPECT_EQ(HexToByte("F"), 15);
  EXPECT_EQ(HexToByte("0f"), 15);
  EXPECT_EQ(HexToByte("100"), 0);
  EXPECT_EQ(HexToByte(""), 0);
  EXPECT_EQ(HexToByte("G1"), 1);
  EXPECT_EQ(HexToByte("1G"), 16);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(HexToByte(ByteToHex(static_cast<uint8_t>(i))), i);
}

TEST(Strings, CleaningAndPadding) {
  EXPECT_EQ(KeepAlphaNum("nocall-5"), "5");
  EXPECT_EQ(KeepAlphaNum("NOCALL-5"), "NOCALL5");
  EXPECT_EQ(KeepAlphaNum(""), "");
  EXPECT_EQ(UpperText("nocall-5"), "NOCALL-5");
  EXPECT_EQ(PadLeft("7", 2, '0'), "07");
  EXPECT_EQ(PadLeft("123", 2, '0'), "123");
  EXPECT_EQ(PadRight("AB", 4, ' '), "AB  ");
  EXPECT_EQ(TruncAtNul(std::string("ab\0cd", 5)), "ab");
  EXPECT_EQ(TruncAtNul("abc"), "abc");
  EXPECT_EQ(ReplaceChar("a\rb\r", '\r', "\r\n"), "a\r\nb\r\n");
  EXPECT_EQ(RemoveChar("a\nb\n", '\n'), "ab");
}

TEST(Strings, EveryByteValuePassesUnchanged) {
  const std::string all = AllBytes();
  std::string t = all;
  EXPECT_EQ(CutField(t, '\xFF'), all.substr(0, 255));
  EXPECT_EQ(ReplaceChar(all, 'x', "x"), all);
  EXPECT_EQ(PadRight(all, 300, '\0').substr(0, 256), all);
  EXPECT_EQ(TruncAtNul(all.substr(1)), all.substr(1));
}

}  // namespace
}  // namespace harvox
