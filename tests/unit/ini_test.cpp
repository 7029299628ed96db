#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <vector>

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

TEST(Ini, LargeFilesStayLinearAndTheirBoundsAreReported) {
  // A byte-order mark from a Windows editor must not hide the first section.
  std::string big = "\xEF\xBB\xBF[First]\r\nK=1\r\n";
  for (int i = 0; i < 200000; ++i) big += "[S" + std::to_string(i) + "]\nK=" + std::to_string(i) + "\n";
  const auto start = std::chrono::steady_clock::now();
  const auto ini = IniFile::Parse(big);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));  // was: never
  EXPECT_EQ(ini.Get("first", "k"), "1");
  EXPECT_EQ(ini.Get("s199999", "K"), "199999");

  std::string users = "[USERS]\n";
  for (int i = 0; i < 100000; ++i) users += "U" + std::to_string(1000000 + i) + "=pw\n";
  bool cut = false;
  const auto lines = IniFile::Parse(users + "u1000000=again\n").SectionLines("users", &cut);
  EXPECT_TRUE(cut);
  EXPECT_EQ(lines.size(), IniFile::kMaxKeyList / 9);  // "U1000000" and its terminator
  EXPECT_EQ(lines.front(), "U1000000=pw");
  IniFile::Parse("[USERS]\nA=1\n").SectionLines("USERS", &cut);
  EXPECT_FALSE(cut);

  test::WorkDir wd;
  test::WriteFile(wd.File("long.ini"), "[S]\nK=V\n" + std::string(IniFile::kMaxFileSize, ';'));
  const auto longer = IniFile::TryLoad(wd.File("long.ini"));
  ASSERT_TRUE(longer);
  EXPECT_TRUE(longer->Truncated());
  EXPECT_EQ(longer->Get("S", "K"), "V");
  EXPECT_FALSE(IniFile::TryLoad(wd.File("none.ini")));
}

TEST(Ini, CachedFileReloadsOnlyWhenSizeTimeOrInodeChange) {
  test::WorkDir wd;
  const std::string path = wd.File("USERS.INI");
  CachedIniFile cache;
  EXPECT_EQ(cache.Refresh(path), CachedIniFile::State::Missing);
  test::WriteFile(path, "[USERS]\nA=1\n");
  ASSERT_EQ(cache.Refresh(path), CachedIniFile::State::Ready);
  EXPECT_TRUE(cache.TakeFresh());
  EXPECT_EQ(cache.Refresh(path), CachedIniFile::State::Ready);
  EXPECT_FALSE(cache.TakeFresh());  // unchanged: not read again
  struct Edit {
    const char* what;
    std::function<void()> apply;
    const char* value;
  };
  const std::vector<Edit> edits = {
      {"size", [&] { test::WriteFile(path, "[USERS]\nA=22\n"); }, "22"},
      {"time", [&] {
         test::WriteFile(path, "[USERS]\nA=33\n");
         const timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 5, 0}};
         ::utimensat(AT_FDCWD, path.c_str(), later, 0);
       }, "33"},
      {"inode", [&] {
         test::WriteFile(path + ".new", "[USERS]\nA=44\n");
         const timespec same[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 5, 0}};
         ::utimensat(AT_FDCWD, (path + ".new").c_str(), same, 0);
         std::filesystem::rename(path + ".new", path);
       }, "44"},
  };
  for (const auto& e : edits) {
    e.apply();
    ASSERT_EQ(cache.Refresh(path), CachedIniFile::State::Ready) << e.what;
    EXPECT_TRUE(cache.TakeFresh()) << e.what;
    EXPECT_EQ(cache.File().Get("USERS", "A"), e.value) << e.what;
  }
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);  // there, but nothing can be read from it
  EXPECT_EQ(cache.Refresh(path), CachedIniFile::State::Unreadable);
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
