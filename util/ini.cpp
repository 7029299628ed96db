// INI parsing.  Lines longer than any sane value are read whole and then
// cut to what a Windows profile read would return (2047 bytes); binary
// garbage is just text that matches no section or key.  Names are folded
// to lower case once, for the hash tables.
#include "util/ini.h"

#include <sys/stat.h>

#include "util/files.h"

namespace harvox {
namespace {

std::string_view Trim(std::string_view s) {
  const char* blanks = " \t\r\n";
  const size_t start = s.find_first_not_of(blanks);
  if (start == std::string_view::npos) return {};
  const size_t end = s.find_last_not_of(blanks);
  return s.substr(start, end - start + 1);
}

std::string Folded(std::string_view name) {
  std::string out(name);
  for (char& ch : out) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  return out;
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

}  // namespace

std::optional<IniFile> IniFile::TryLoad(const std::string& path) {
  bool longer = false;
  auto content = ReadFileHead(path, kMaxFileSize, &longer);  // a configuration file, not a disk image
  if (!content) return std::nullopt;
  IniFile ini = Parse(*content);
  ini.truncated_ = longer;
  return ini;
}

IniFile IniFile::Load(const std::string& path) { return TryLoad(path).value_or(IniFile()); }

IniFile IniFile::Parse(std::string_view content) {
  IniFile ini;
  if (content.substr(0, kBom.size()) == kBom) content.remove_prefix(kBom.size());
  Section* current = nullptr;
  while (!content.empty()) {
    const size_t eol = content.find('\n');
    std::string_view line = Trim(content.substr(0, eol));
    content = eol == std::string_view::npos ? std::string_view() : content.substr(eol + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      const std::string_view name = Trim(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
      current = &ini.FindOrAdd(name);
      continue;
    }
    const size_t eq = line.find('=');
    if (!current || eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    if (key.empty()) continue;
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() > kMaxValue) value = value.substr(0, kMaxValue);
    const bool first = current->first.emplace(Folded(key), current->entries.size()).second;
    current->entries.push_back(Entry{std::string(key), std::string(value), first});
  }
  return ini;
}

IniFile::Section& IniFile::FindOrAdd(std::string_view section) {
  const auto [it, added] = index_.emplace(Folded(section), sections_.size());
  if (added) sections_.push_back(Section{std::string(section), {}, {}});
  return sections_[it->second];
}

const IniFile::Section* IniFile::Find(std::string_view section) const {
  const auto it = index_.find(Folded(section));
  return it == index_.end() ? nullptr : &sections_[it->second];
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
  const Section* s = Find(section);
  if (!s) return std::nullopt;
  const auto it = s->first.find(Folded(key));
  if (it == s->first.end()) return std::nullopt;
  return s->entries[it->second].value;  // the first occurrence wins
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view fallback) const {
  return Get(section, key).value_or(std::string(fallback));
}

std::vector<std::string> IniFile::SectionLines(std::string_view section, bool* cut) const {
  std::vector<std::string> lines;
  if (cut) *cut = false;
  const Section* s = Find(section);
  if (!s) return lines;
  size_t names_length = 0;
  for (const auto& e : s->entries) {
    if (!e.first) continue;
    // The key list is fetched through one fixed buffer: names beyond it are not seen.
    names_length += e.key.size() + 1;
    if (names_length > kMaxKeyList) {
      if (cut) *cut = true;
      break;
    }
    if (!e.value.empty()) lines.push_back(e.key + "=" + e.value);
  }
  return lines;
}

std::vector<std::string> IniFile::SectionNames() const {
  std::vector<std::string> out;
  for (const auto& s : sections_) out.push_back(s.name);
  return out;
}

std::vector<std::pair<std::string, std::string>> IniFile::Entries(std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> out;
  if (const Section* s = Find(section)) {
    for (const auto& e : s->entries) {
      if (e.first) out.emplace_back(e.key, e.value);
    }
  }
  return out;
}

std::vector<std::string> IniFile::Duplicates() const {
  std::vector<std::string> out;
  for (const auto& s : sections_) {
    for (const auto& e : s.entries) {
      if (!e.first) out.push_back("[" + s.name + "] " + e.key);
    }
  }
  return out;
}

CachedIniFile::State CachedIniFile::Refresh(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    stamp_.reset();
    return State::Missing;
  }
  const Stamp now{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                  static_cast<uint64_t>(st.st_size),
                  static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
  if (stamp_ && *stamp_ == now && path_ == path) return State::Ready;
  auto loaded = IniFile::TryLoad(path);
  if (!loaded) {
    stamp_.reset();
    return State::Unreadable;
  }
  file_ = std::move(*loaded);
  stamp_ = now;
  path_ = path;
  fresh_ = true;
  return State::Ready;
}

}  // namespace harvox
