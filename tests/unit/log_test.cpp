#include <gtest/gtest.h>

#include <cstdio>

#include "util/log.h"
#include "support/temp_dir.h"

namespace harvox {
namespace {

using test::ReadFile;

struct LogFixture : ::testing::Test {
  test::TempDir dir;
  TLog log;
  void Open(uint32_t level) {
    test::OpenLog(log, dir.File("HARVOX.LOG"), level);
  }
  std::string Content() { return ReadFile(log.FileName); }
};

TEST_F(LogFixture, SetActiveEmptiesTheFileAndLevelZeroWritesNothing) {
  test::WriteFile(dir.File("HARVOX.LOG"), "old content");
  Open(0);
  EXPECT_TRUE(log.Active());
  log.Write(1, "hello");
  log.Dump(1, "abc");
  EXPECT_EQ(Content(), "");
}

TEST_F(LogFixture, LevelThreshold) {
  Open(2);
  const std::string before = TLog::TimeStamp();
  log.Write(3, "fine");
  log.Write(2, "coarse");
  const std::string after = TLog::TimeStamp();
  const std::string c = Content();
  EXPECT_EQ(c.find("fine"), std::string::npos);
  ASSERT_NE(c.find("coarse\r\n"), std::string::npos);
  // Time stamp, blank, text: the line starts with the stamp of the locale
  // (taken around the write: the clock may pass a second meanwhile).
  const std::string stamp = c.substr(0, c.find(" coarse"));
  EXPECT_TRUE(stamp == before.substr(0, stamp.size()) || stamp == after.substr(0, stamp.size()))
      << stamp;
}

TEST_F(LogFixture, ControlBytesInTextAreWrittenEscapedOnOneLine) {
  Open(1);
  // A user's CR LF must not start a forged line; an escape sequence must
  // not reach the operator's terminal.  Bytes from 128 up stay as they are.
  log.Write(1, std::string("a\r\nb\x1b[2J\x7f\x00\xe9", 11));
  log.Dump(1, "a\rb");
  const std::string c = Content();
  const std::string line = "a\\x0D\\x0Ab\\x1B[2J\\x7F\\x00\xe9\r\n";
  ASSERT_NE(c.find(line), std::string::npos);
  EXPECT_EQ(c.substr(c.find(line) + line.size(), 3), " |6");  // the dump follows unchanged
}

TEST(LogDump, LayoutOfFullAndPaddedLines) {
  auto lines = TLog::DumpLines("AB\r");
  ASSERT_EQ(lines.size(), 1u);
  std::string hex = "41 42 0D ";
  for (int i = 0; i < 13; ++i) hex += "-- ";
  EXPECT_EQ(lines[0], " |" + hex + "|AB." + std::string(13, ' '));
  EXPECT_EQ(lines[0].size(), 67u);

  lines = TLog::DumpLines(std::string(16, 'z'));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), 67u);

  lines = TLog::DumpLines(std::string(17, '\0'));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].substr(0, 5), " |00 ");
  EXPECT_EQ(lines[1].size(), 67u);
  EXPECT_TRUE(TLog::DumpLines("").empty());
}

TEST(LogDump, AsciiColumnShowsOnlyPrintableUpToSmallZ) {
  const auto lines = TLog::DumpLines(std::string("\0z{|}~\x7f\x80\xff A", 11));
  EXPECT_EQ(lines[0].substr(51), std::string(".z....... A") + std::string(5, ' '));
}

TEST_F(LogFixture, DumpAppendsLinesWithoutStamp) {
  Open(5);
  log.Dump(5, "");
  EXPECT_EQ(Content(), "");
  log.Dump(5, std::string(17, 'a'));
  const std::string c = Content();
  EXPECT_EQ(c.size(), 2 * (67 + 2));
  EXPECT_EQ(c.substr(0, 2), " |");
}

TEST_F(LogFixture, DeletedFileIsCreatedAgainAndFailuresAreSwallowed) {
  Open(1);
  std::remove(log.FileName.c_str());
  log.Write(1, "again");
  EXPECT_NE(Content().find("again"), std::string::npos);

  TLog bad;
  bad.FileName = dir.File("no/such/dir/x.log");
  bad.TraceLevel = 5;
  bad.SetActive(true);
  EXPECT_FALSE(bad.Active());
  bad.Write(1, "lost");  // must not throw or crash
}

}  // namespace
}  // namespace harvox
