// INI file reader with the semantics users expect of Windows profile files:
// section and key names match without regard to case, the first occurrence
// of a key wins, blanks around key and value are trimmed, lines starting
// with ';' are comments, CR LF files work, a leading UTF-8 byte-order mark
// is skipped, a value counts up to 2047 bytes.  Sections and keys are found
// through hash tables, so reading and looking up stay linear in the file.
//
// Re-entrancy: a loaded IniFile is an immutable value.  A CachedIniFile
// belongs to one owner on the main thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace harvox {

class IniFile {
 public:
  // A missing or unreadable file gives an empty IniFile.
  static IniFile Load(const std::string& path);
  // None when the file cannot be opened or read.
  static std::optional<IniFile> TryLoad(const std::string& path);
  static IniFile Parse(std::string_view content);

  // The value of a key present in the file (possibly empty), or none.
  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  // One "key=value" line per distinct key, file order, key as written;
  // keys whose value is empty give no line.  *cut tells whether the key
  // list bound left keys out.
  std::vector<std::string> SectionLines(std::string_view section, bool* cut = nullptr) const;
  // Section names as first written, in file order.
  std::vector<std::string> SectionNames() const;
  // Every distinct key of a section with its value (possibly empty), file
  // order, key as first written; no bound on the key list.
  std::vector<std::pair<std::string, std::string>> Entries(std::string_view section) const;
  // "[SECTION] KEY" for every key that stands again after its first
  // occurrence in its section (only the first one counts), in file order.
  std::vector<std::string> Duplicates() const;
  // The file was longer than kMaxFileSize: the rest was not read.
  bool Truncated() const { return truncated_; }

  static constexpr size_t kMaxValue = 2047;
  static constexpr size_t kMaxKeyList = 16384;
  static constexpr size_t kMaxFileSize = 16 * 1024 * 1024;

 private:
  struct Entry {
    std::string key;
    std::string value;
    bool first = false;  // the first occurrence of its name in the section
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
    std::unordered_map<std::string, size_t> first;  // folded name -> entry
  };
  const Section* Find(std::string_view section) const;
  Section& FindOrAdd(std::string_view section);
  std::vector<Section> sections_;
  std::unordered_map<std::string, size_t> index_;  // folded name -> section
  bool truncated_ = false;
};

// A file kept parsed in memory and read again only when its size,
// modification time or inode changed, so a change is seen at the next
// look without reading the file each time.
class CachedIniFile {
 public:
  enum class State { Missing, Unreadable, Ready };
  // Looks at the file (one stat) and reloads it when it changed.
  State Refresh(const std::string& path);
  const IniFile& File() const { return file_; }
  // True once after each load: lets the owner report a new version once.
  bool TakeFresh() { return std::exchange(fresh_, false); }

 private:
  struct Stamp {
    uint64_t dev = 0, ino = 0, size = 0;
    int64_t mtime_ns = 0;
    bool operator==(const Stamp&) const = default;
  };
  std::optional<Stamp> stamp_;
  std::string path_;
  IniFile file_;
  bool fresh_ = false;
};

}  // namespace harvox
