// A configuration or users file as anyone could write it: reading it by the
// start-up rules, its route lines, its gateway rules and its users must
// never fail, and what is read must stay within the reader's bounds.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/address.h"
#include "shell/config.h"
#include "telnetd/users_file.h"
#include "util/ini.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const harvox::IniFile ini = harvox::IniFile::Parse(text);
  std::vector<harvox::SettingUse> uses;
  const harvox::Settings s = harvox::ReadSettings(ini, &uses);
  if (uses.empty()) std::abort();
  for (const auto& u : uses) {
    if (u.Value.size() > harvox::IniFile::kMaxValue) std::abort();
  }
  for (const auto& line : s.Routes) {
    const harvox::Route r = harvox::ParseRoute(line, s.Timeout, s.MaxTime);
    if (r.Valid() && (r.Call.empty() || r.Host.empty())) std::abort();
    (void)harvox::RouteLogLine(r);
  }
  // Each gateway entry, written as --check lists it, reads back the same.
  for (const auto* list : {&s.Gateway.Allow, &s.Gateway.Deny}) {
    for (const auto& p : *list) {
      const auto again = harvox::net::ParsePattern(p.ToString());
      if (!again || again->ToString() != p.ToString() || again->Port != p.Port) std::abort();
    }
  }
  (void)s.Gateway.Describe({});
  bool cut = false;
  size_t names = 0;
  for (const auto& line : ini.SectionLines("USERS", &cut)) {
    names += line.find('=') + 1;
    const harvox::UserEntry e = harvox::ParseUserEntry(line, s.NodePort, s.NodeCall);
    if (e.NodePortText.empty()) std::abort();  // a port always results
  }
  if (names > harvox::IniFile::kMaxKeyList) std::abort();
  (void)ini.Duplicates();
  return 0;
}
