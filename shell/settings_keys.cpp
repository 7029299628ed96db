// Known names and the suggestion for an unknown one: the known name of the
// least edit distance (letters compared without regard to case), offered
// only when that distance is small next to the name's length.
#include "shell/settings_keys.h"

#include <algorithm>
#include <string_view>

#include "util/strings.h"

namespace harvox {
namespace {

struct KnownSection {
  const char* name;
  std::vector<const char*> keys;  // empty: any key (one line per route)
};

// Every section and key of HARVOX.INI.  Add a new setting here.
const std::vector<KnownSection>& Known() {
  static const std::vector<KnownSection> table = {
      {"HARVOX", {"LOGFILE", "TRACE", "CRLF", "RECOVER"}},
      {"AGW", {"ADDRESS", "HOSTNAME", "LOGIN", "PASSW", "PORT", "SHARED"}},
      {"TELNET",
       {"ENABLED", "SECURITY", "SERVER_CALLSIGN", "CLIENT_CALLSIGN", "WELCOME", "PROMPT", "BYE",
        "NODEPORT", "PORT", "TIMEOUT", "MAXTIME", "MAXUSERS", "NODECALL", "BIND"}},
      {"MONITOR",
       {"ENABLED", "SPLIT", "DETAILS", "PORT", "MASK", "BIND", "MAXVIEWERS", "OWN", "RAW",
        "TIMESTAMP"}},
      {"GATEWAY", {"ALLOW", "DENY", "MAXCIRCUITS"}},
      {"STATUS", {"PORT", "BIND"}},
      {"TELNET.CLIENT", {}},
  };
  return table;
}

size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// " (NAME?)" for the nearest of names, or nothing when none is near.
std::string Nearest(const std::string& name, const std::vector<const char*>& names) {
  const std::string wanted = UpperText(name);
  const char* best = nullptr;
  size_t best_distance = 0;
  for (const char* n : names) {
    const size_t d = EditDistance(wanted, n);
    if (!best || d < best_distance) best = n, best_distance = d;
  }
  const size_t limit = std::max<size_t>(1, wanted.size() / 3);
  return best && best_distance <= limit ? std::string(" (") + best + "?)" : "";
}

const KnownSection* FindSection(const std::string& name) {
  const std::string wanted = UpperText(name);
  for (const auto& s : Known()) {
    if (wanted == s.name) return &s;
  }
  return nullptr;
}

// The sections that hold a key of that name, for a key set in the wrong one.
std::string ElsewhereHint(const std::string& key) {
  std::string found;
  for (const auto& s : Known()) {
    for (const char* k : s.keys) {
      if (UpperText(key) == k) found += std::string(found.empty() ? "" : ", ") + "[" + s.name + "]";
    }
  }
  return found.empty() ? "" : " (a key of " + found + ")";
}

}  // namespace

std::vector<std::string> UnknownSettings(const IniFile& ini) {
  std::vector<const char*> section_names;
  for (const auto& s : Known()) section_names.push_back(s.name);
  std::vector<std::string> out;
  for (const auto& name : ini.SectionNames()) {
    const KnownSection* known = FindSection(name);
    if (!known) {
      out.push_back("[" + name + "] is no section of Harvox" + Nearest(name, section_names) +
                    "; its keys are ignored");
      continue;
    }
    if (known->keys.empty()) continue;
    for (const auto& [key, value] : ini.Entries(name)) {
      const std::string upper = UpperText(key);
      if (std::find_if(known->keys.begin(), known->keys.end(),
                       [&](const char* k) { return upper == k; }) != known->keys.end()) {
        continue;
      }
      std::string hint = Nearest(key, known->keys);
      if (hint.empty()) hint = ElsewhereHint(key);
      out.push_back("[" + name + "] " + key + " is no setting of Harvox" + hint + "; it is ignored");
    }
  }
  return out;
}

}  // namespace harvox
