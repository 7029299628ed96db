// INI file reader with the semantics users expect of Windows profile files:
// section and key names match without regard to case, the first occurrence
// of a key wins, blanks around key and value are trimmed, lines starting
// with ';' are comments, CR LF files work, a value counts up to 2047 bytes.
//
// Re-entrancy: a loaded IniFile is an immutable value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harvox {

class IniFile {
 public:
  // A missing or unreadable file gives an empty IniFile.
  static IniFile Load(const std::string& path);
  static IniFile Parse(std::string_view content);

  // The value of a key present in the file (possibly empty), or none.
  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  // One "key=value" line per distinct key, file order, key as written;
  // keys whose value is empty give no line.
  std::vector<std::string> SectionLines(std::string_view section) const;

  static constexpr size_t kMaxValue = 2047;
  static constexpr size_t kMaxKeyList = 16384;

 private:
  struct Entry {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };
  const Section* Find(std::string_view section) const;
  Section* FindOrAdd(std::string_view section);
  std::vector<Section> sections_;
};

}  // namespace harvox
