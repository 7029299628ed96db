// The status page: one self-contained HTML document (inline style, no
// script, nothing loaded from elsewhere) that reloads itself.
#include <functional>

#include "status/render.h"

namespace harvox::status {
namespace {

// "3d 4h", "2h 5m", "4m 10s", "12s".
std::string Age(Clock::time_point since, Clock::time_point now) {
  int64_t s = std::chrono::duration_cast<std::chrono::seconds>(now - since).count();
  if (s < 0) s = 0;
  const auto two = [](int64_t a, const char* ua, int64_t b, const char* ub) {
    return std::to_string(a) + ua + " " + std::to_string(b) + ub;
  };
  if (s >= 86400) return two(s / 86400, "d", s % 86400 / 3600, "h");
  if (s >= 3600) return two(s / 3600, "h", s % 3600 / 60, "m");
  if (s >= 60) return two(s / 60, "m", s % 60, "s");
  return std::to_string(s) + "s";
}

std::string When(Clock::time_point t, Clock::time_point now) {
  return "<span title=\"" + IsoTime(t) + "\">" + Age(t, now) + "</span>";
}

std::string Row(const std::vector<std::string>& cells, const char* tag = "td") {
  std::string out = "<tr>";
  for (const auto& c : cells) out += std::string("<") + tag + ">" + c + "</" + tag + ">";
  return out + "</tr>\n";
}

// A table with a heading, or a line saying there is nothing to show.
template <typename T>
std::string Section(const char* heading, const std::vector<std::string>& columns, const std::vector<T>& rows,
                    const std::function<std::vector<std::string>(const T&)>& cells) {
  std::string out = std::string("<h2>") + heading + " (" + std::to_string(rows.size()) + ")</h2>\n";
  if (rows.empty()) return out + "<p class=\"none\">none</p>\n";
  out += "<table>\n" + Row(columns, "th");
  for (const auto& r : rows) out += Row(cells(r));
  return out + "</table>\n";
}

std::string N(uint64_t v) { return std::to_string(v); }

const char* kStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222;background:#fafafa}"
    "table{border-collapse:collapse;margin-bottom:1em}"
    "th,td{border:1px solid #bbb;padding:.25em .6em;text-align:left}"
    "th{background:#e4e8ee}.up{color:#1a7f37;font-weight:bold}.down{color:#b42318;font-weight:bold}"
    ".none{color:#777}";

std::string Traffic(const Snapshot& s);

// The heading, the engine links and the Telnet users.
std::string Body(const Snapshot& s) {
  const auto now = s.Now;
  std::string out = "<h1>" + HtmlEscape(s.Version) + "</h1>\n<p>Up " + When(s.Started, now) + ", page of " +
                    IsoTime(now) + "</p>\n";
  out +=
      Section<EngineLink>("Engine links", {"Service", "Engine", "State", "Since", "Frames in", "Frames out"},
                          s.Links, [&](const EngineLink& l) -> std::vector<std::string> {
                            const char* state = l.Up ? "up" : "down";
                            return {l.Service,
                                    HtmlEscape(l.Address) + ":" + N(l.Port),
                                    std::string("<span class=\"") + state + "\">" + state + "</span>",
                                    When(l.Since, now),
                                    N(l.FramesIn),
                                    N(l.FramesOut)};
                          });
  out += Section<TelnetUser>(
      "Telnet users", {"User", "Callsign", "Address", "State", "Since", "Bytes in", "Bytes out"}, s.Users,
      [&](const TelnetUser& u) -> std::vector<std::string> {
        return {HtmlEscape(u.UserId), HtmlEscape(u.Callsign), HtmlEscape(u.Address), u.State,
                When(u.Since, now),   N(u.BytesIn),           N(u.BytesOut)};
      });
  return out + Traffic(s);
}

// The gateway's circuits, the monitor's viewers and the counters.
std::string Traffic(const Snapshot& s) {
  const auto now = s.Now;
  std::string out = Section<GatewayCircuit>(
      "Gateway circuits", {"Station", "Our callsign", "Host", "State", "Since", "To host", "To station"},
      s.Circuits, [&](const GatewayCircuit& c) -> std::vector<std::string> {
        return {HtmlEscape(c.Station), HtmlEscape(c.OurCall), HtmlEscape(c.Host), c.State,
                When(c.Since, now),    N(c.BytesToHost),      N(c.BytesToStation)};
      });
  out += Section<MonitorViewer>(
      "Monitor viewers", {"Address", "Since", "Bytes out", "Cut off"}, s.Viewers,
      [&](const MonitorViewer& v) -> std::vector<std::string> {
        return {HtmlEscape(v.Address), When(v.Since, now), N(v.BytesOut), v.CutOff ? "yes" : "no"};
      });
  const auto& c = s.Count;
  out += "<h2>Counters</h2>\n<table>\n" + Row({"Logins ok", N(c.LoginsOk)}) +
         Row({"Logins failed", N(c.LoginsFailed)}) + Row({"Blocked addresses", N(c.BlockedAddresses)}) +
         Row({"Refused T", N(c.RefusedT)}) + "</table>\n";
  return out;
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    switch (ch) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        // Control bytes typed at a prompt are shown, not obeyed.
        out += static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f ? '?' : ch;
    }
  }
  return out;
}

std::string ToHtml(const Snapshot& s, int refresh_s) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
         "<meta http-equiv=\"refresh\" content=\"" +
         std::to_string(refresh_s) +
         "\">\n"
         "<title>" +
         HtmlEscape(s.Version) + " status</title>\n<style>" + kStyle + "</style></head>\n<body>\n" + Body(s) +
         "<p class=\"none\">Also as <a href=\"/status.json\">JSON</a> and "
         "<a href=\"/metrics\">metrics</a>.</p>\n</body></html>\n";
}

}  // namespace harvox::status
