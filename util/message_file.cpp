// Reading TEXT/ message files; see message_file.h.
#include "util/message_file.h"

#include <algorithm>
#include <set>

#include "util/files.h"
#include "util/log.h"

namespace harvox {
namespace {

bool FirstTimeLong(const std::string& path) {
  static std::set<std::string> told;
  return told.insert(path).second;
}

}  // namespace

std::optional<std::string> ReadMessageFile(const std::string& name, std::string_view line_end,
                                           TLog* log, const char* tag) {
  const std::string path = FindFile(WorkingDir() + "TEXT/" + name);
  bool longer = false;
  const auto content = FileExists(path) ? ReadFileHead(path, kMaxTextFile, &longer) : std::nullopt;
  if (!content) return std::nullopt;
  if (longer && log && FirstTimeLong(path)) {
    log->Write(1, std::string(tag) + " File " + path + " is longer than " +
                      std::to_string(kMaxTextFile) + " bytes, only its start is sent");
  }
  std::string text;
  std::string_view rest = *content;
  while (!rest.empty()) {
    std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    text.append(line);
    text.append(line_end);
  }
  return text;
}

}  // namespace harvox
