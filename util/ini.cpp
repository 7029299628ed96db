// INI parsing.  Lines longer than any sane value are read whole and then
// cut to what a Windows profile read would return (2047 bytes); binary
// garbage is just text that matches no section or key.
#include "util/ini.h"

#include <strings.h>

#include <fstream>

namespace harvox {
namespace {

constexpr size_t kMaxFileSize = 16 * 1024 * 1024;

std::string_view Trim(std::string_view s) {
  const char* blanks = " \t\r\n";
  const size_t start = s.find_first_not_of(blanks);
  if (start == std::string_view::npos) return {};
  const size_t end = s.find_last_not_of(blanks);
  return s.substr(start, end - start + 1);
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

IniFile IniFile::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string content;
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    content.append(chunk, static_cast<size_t>(in.gcount()));
    if (content.size() > kMaxFileSize) break;  // a configuration file, not a disk image
  }
  return Parse(content);
}

IniFile IniFile::Parse(std::string_view content) {
  IniFile ini;
  Section* current = nullptr;
  while (!content.empty()) {
    const size_t eol = content.find('\n');
    std::string_view line = Trim(content.substr(0, eol));
    content = eol == std::string_view::npos ? std::string_view() : content.substr(eol + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      const std::string_view name = Trim(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
      current = ini.FindOrAdd(name);
      continue;
    }
    const size_t eq = line.find('=');
    if (!current || eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    if (key.empty()) continue;
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() > kMaxValue) value = value.substr(0, kMaxValue);
    current->entries.push_back(Entry{std::string(key), std::string(value)});
  }
  return ini;
}

IniFile::Section* IniFile::FindOrAdd(std::string_view section) {
  for (auto& s : sections_) {
    if (SameName(s.name, section)) return &s;
  }
  return &sections_.emplace_back(Section{std::string(section), {}});
}

const IniFile::Section* IniFile::Find(std::string_view section) const {
  for (const auto& s : sections_) {
    if (SameName(s.name, section)) return &s;
  }
  return nullptr;
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
  const Section* s = Find(section);
  if (!s) return std::nullopt;
  for (const auto& e : s->entries) {
    if (SameName(e.key, key)) return e.value;  // the first occurrence wins
  }
  return std::nullopt;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view fallback) const {
  return Get(section, key).value_or(std::string(fallback));
}

std::vector<std::string> IniFile::SectionLines(std::string_view section) const {
  std::vector<std::string> lines;
  const Section* s = Find(section);
  if (!s) return lines;
  size_t names_length = 0;
  std::vector<std::string_view> seen;
  for (const auto& e : s->entries) {
    bool duplicate = false;
    for (auto name : seen) duplicate = duplicate || SameName(name, e.key);
    if (duplicate) continue;
    seen.push_back(e.key);
    // The key list is fetched through one fixed buffer: names beyond it are not seen.
    names_length += e.key.size() + 1;
    if (names_length > kMaxKeyList) break;
    const std::string value = *Get(section, e.key);
    if (!value.empty()) lines.push_back(e.key + "=" + value);
  }
  return lines;
}

}  // namespace harvox
