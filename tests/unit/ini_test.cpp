#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "util/files.h"
#include "util/ini.h"

namespace harvox {
namespace {

TEST(Ini, NamesIgnoreCaseFirstKeyWinsAndBlanksAreTrimmed) {
  const auto ini = IniFile::Parse(
      "; comment\r\n[Telnet]\r\n  Port =  2323 \r\nPORT=99\r\nEMPTY=\r\n;KEY=hidden\r\n"
      "[other]\nX=1\n");
  EXPECT_EQ(ini.Get("TELNET", "port"), "2323");
  EXPECT_EQ(ini.Get("telnet", "EMPTY"), "");
  EXPECT_EQ(ini.Get("TELNET", "KEY"), std::nullopt);
  EXPECT_EQ(ini.Get("MISSING", "X"), std::nullopt);
  EXPECT_EQ(ini.ReadString("OTHER", "x", "d"), "1");
  EXPECT_EQ(ini.ReadString("OTHER", "y", "d"), "d");
}

TEST(Ini, ValueCountsUpTo2047Bytes) {
  const auto ini = IniFile::Parse("[S]\nK=" + std::string(5000, 'v') + "\n");
  EXPECT_EQ(ini.Get("S", "K")->size(), 2047u);
}

TEST(Ini, SectionLinesOnePerDistinctKeyInFileOrderSkippingEmpty) {
  const auto ini = IniFile::Parse(
      "[TELNET.CLIENT]\nGate=10.0.0.5:6300\nEmpty=\ngate=other\nBBS = host:23 \n");
  const auto lines = ini.SectionLines("telnet.client");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Gate=10.0.0.5:6300");
  EXPECT_EQ(lines[1], "BBS=host:23");
  EXPECT_TRUE(ini.SectionLines("none").empty());
}

TEST(Ini, GarbageAndMissingFilesNeverCrash) {
  std::string garbage;
  for (int i = 0; i < 100000; ++i) garbage += static_cast<char>((i * 7919) % 256);
  const auto ini = IniFile::Parse(garbage + "\n[S]\nK=V\n");
  EXPECT_EQ(ini.Get("S", "K"), "V");
  const auto none = IniFile::Load("/nonexistent/HARVOX.INI");
  EXPECT_EQ(none.Get("HARVOX", "TRACE"), std::nullopt);
}

TEST(Files, NameNotFoundExactlyIsLookedUpWithoutRegardToCase) {
  test::WorkDir wd;
  test::WriteFile(wd.File("Text/Welcome.tns"), "hi");
  EXPECT_EQ(FindFile("TEXT/WELCOME.TNS"), "Text/Welcome.tns");
  EXPECT_EQ(FindFile(WorkingDir() + "text/welcome.TNS"), wd.Path() + "/Text/Welcome.tns");
  EXPECT_EQ(FindFile("TEXT/MISSING.TNS"), "TEXT/MISSING.TNS");
  test::WriteFile(wd.File("harvox.ini"), "x");
  EXPECT_TRUE(FileExists(FindFile(WorkingDir() + "HARVOX.INI")));
}

}  // namespace
}  // namespace harvox
