// Temporary working directories and small file helpers for tests.  A
// WorkDir switches the process into a fresh directory and back again, and
// removes it afterwards, so tests that read HARVOX.INI or write HARVOX.LOG
// never touch the source tree.
#pragma once

#include <cstdint>
#include <string>

namespace harvox {
class TLog;
}

namespace harvox::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A TempDir that is also the current working directory while it lives.
class WorkDir : public TempDir {
 public:
  WorkDir();
  ~WorkDir();

 private:
  std::string previous_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// Starts log writing to path at the trace level given.
void OpenLog(TLog& log, const std::string& path, uint32_t level);
bool Exists(const std::string& path);

}  // namespace harvox::test
