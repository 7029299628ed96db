// TEXT/ message files as every service reads them: line ends, case, the
// size cap and its one report, and the built-in text when there is no file.
#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "util/log.h"
#include "util/message_file.h"

namespace harvox {
namespace {

TEST(MessageFile, LinesCaseCapAndFallback) {
  test::WorkDir wd;
  TLog log;
  test::OpenLog(log, wd.File("HARVOX.LOG"), 1);
  test::WriteFile(wd.File("text/Welcome.tns"), "one\r\ntwo\nthree");
  EXPECT_EQ(ReadMessageFile("WELCOME.TNS", "\r\n", &log, "{T}"), "one\r\ntwo\r\nthree\r\n");
  EXPECT_EQ(ReadMessageFile("WELCOME.TNS", "\r", &log, "{T}"), "one\rtwo\rthree\r");
  EXPECT_EQ(ReadMessageFile("MISSING.TNC", "\r", &log, "{T}"), std::nullopt);
  std::string big;
  while (big.size() < 3 * kMaxTextFile) big += std::string(99, 'w') + "\n";
  test::WriteFile(wd.File("TEXT/BIG.TNS"), big);
  for (int i = 0; i < 2; ++i) {
    const auto text = ReadMessageFile("BIG.TNS", "\r\n", &log, "{T}");
    ASSERT_TRUE(text.has_value());
    EXPECT_GE(text->size(), kMaxTextFile);
    EXPECT_LE(text->size(), kMaxTextFile + kMaxTextFile / 99 + 2);  // one CR per line, one cut line
  }
  const std::string logged = test::ReadFile(log.FileName);
  EXPECT_EQ(logged.find("is longer than"), logged.rfind("is longer than"));  // said once
  EXPECT_NE(logged.find("{T} File "), std::string::npos);
}

}  // namespace
}  // namespace harvox
