// The status snapshot as text: JSON (/status.json), the Prometheus text
// format (/metrics), a self-contained HTML page (/) and, from the JSON, the
// short table `harvox --status` prints.  Callsigns, user ids and host names
// come from the network: every one is escaped for where it goes.
//
// Re-entrancy: pure functions; no I/O.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "status/snapshot.h"

namespace harvox::status {

std::string ToJson(const Snapshot& s);
std::string ToMetrics(const Snapshot& s);
// The page asks the browser to load it again every refresh_s seconds.
std::string ToHtml(const Snapshot& s, int refresh_s);
// The lines of the table from /status.json's text; none and *error set
// when the text is no status document.
std::vector<std::string> TableFromJson(std::string_view json, std::string* error);

// "2026-12-10T07:40:00Z".
std::string IsoTime(Clock::time_point t);
std::string HtmlEscape(std::string_view text);
// A Prometheus label value: backslash, double quote and line feed escaped.
std::string LabelEscape(std::string_view text);

}  // namespace harvox::status
