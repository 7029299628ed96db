// JSON, metrics and the --status table (the HTML page is in render_html.cpp).
// Text that is not UTF-8 (a user id typed as raw bytes) is written with
// replacement characters, never refused.
#include "status/render.h"

#include <algorithm>
#include <ctime>
#include <functional>

#include <nlohmann/json.hpp>

namespace harvox::status {
namespace {

using nlohmann::json;

int64_t Seconds(Clock::duration d) { return std::chrono::duration_cast<std::chrono::seconds>(d).count(); }

json LinksJson(const Snapshot& s) {
  json out = json::array();
  for (const auto& l : s.Links) {
    out.push_back({{"service", l.Service},
                   {"address", l.Address},
                   {"port", l.Port},
                   {"state", l.Up ? "up" : "down"},
                   {"since", IsoTime(l.Since)},
                   {"frames_in", l.FramesIn},
                   {"frames_out", l.FramesOut}});
  }
  return out;
}

json SessionsJson(const Snapshot& s) {
  json users = json::array(), circuits = json::array(), viewers = json::array();
  for (const auto& u : s.Users) {
    users.push_back({{"user_id", u.UserId},
                     {"callsign", u.Callsign},
                     {"address", u.Address},
                     {"state", u.State},
                     {"since", IsoTime(u.Since)},
                     {"bytes_in", u.BytesIn},
                     {"bytes_out", u.BytesOut}});
  }
  for (const auto& c : s.Circuits) {
    circuits.push_back({{"station", c.Station},
                        {"our_callsign", c.OurCall},
                        {"host", c.Host},
                        {"state", c.State},
                        {"since", IsoTime(c.Since)},
                        {"bytes_to_host", c.BytesToHost},
                        {"bytes_to_station", c.BytesToStation}});
  }
  for (const auto& v : s.Viewers) {
    viewers.push_back({{"address", v.Address},
                       {"since", IsoTime(v.Since)},
                       {"bytes_out", v.BytesOut},
                       {"cut_off", v.CutOff}});
  }
  return {{"telnet_users", users}, {"gateway_circuits", circuits}, {"monitor_viewers", viewers}};
}

// One metric: its HELP and TYPE lines, then one sample per label set.
class Metrics {
 public:
  void Family(const char* name, const char* type, const char* help) {
    current_ = std::string("harvox_") + name;
    out_ += "# HELP " + current_ + " " + help + "\n# TYPE " + current_ + " " + type + "\n";
  }
  void Sample(uint64_t value, const std::string& labels = "") {
    out_ += current_ + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string current_, out_;
};

std::string Label(const char* name, std::string_view value) {
  return std::string(name) + "=\"" + LabelEscape(value) + "\"";
}

// A cell for the terminal: control bytes from the network never reach it.
std::string Cell(const json& row, const char* key) {
  const auto it = row.find(key);
  if (it == row.end()) return "-";
  std::string text = it->is_string() ? it->get<std::string>() : it->dump();
  for (char& ch : text) {
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = '?';
  }
  return text.empty() ? "-" : text;
}

// "name  a  b  c" rows under a heading, columns as wide as their widest cell.
void Table(std::vector<std::string>& out, const std::string& heading, const json& rows,
           const std::vector<const char*>& keys) {
  out.push_back(heading + ": " + std::to_string(rows.is_array() ? rows.size() : 0));
  if (!rows.is_array() || rows.empty()) return;
  std::vector<size_t> width;
  for (const char* k : keys) width.push_back(std::string(k).size());
  for (const auto& r : rows) {
    for (size_t i = 0; i < keys.size(); ++i) width[i] = std::max(width[i], Cell(r, keys[i]).size());
  }
  const auto line = [&](const std::function<std::string(size_t)>& cell) {
    std::string text = " ";
    for (size_t i = 0; i < keys.size(); ++i) {
      std::string c = cell(i);
      text += " " + c + std::string(width[i] - std::min(width[i], c.size()), ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out.push_back(text);
  };
  line([&](size_t i) { return std::string(keys[i]); });
  for (const auto& r : rows) line([&](size_t i) { return Cell(r, keys[i]); });
}

}  // namespace

std::string IsoTime(Clock::time_point t) {
  const std::time_t secs = Clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string LabelEscape(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    if (ch == '\\' || ch == '"') out += '\\';
    out += ch == '\n' ? std::string("\\n") : std::string(1, ch);
  }
  return out;
}

std::string ToJson(const Snapshot& s) {
  json doc = SessionsJson(s);
  doc["version"] = s.Version;
  doc["now"] = IsoTime(s.Now);
  doc["started"] = IsoTime(s.Started);
  doc["uptime_seconds"] = Seconds(s.Now - s.Started);
  doc["engine_links"] = LinksJson(s);
  doc["counters"] = {{"logins_ok", s.Count.LoginsOk},
                     {"logins_failed", s.Count.LoginsFailed},
                     {"blocked_addresses", s.Count.BlockedAddresses},
                     {"refused_t", s.Count.RefusedT}};
  return doc.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string ToMetrics(const Snapshot& s) {
  Metrics m;
  m.Family("info", "gauge", "Version of the running Harvox.");
  m.Sample(1, Label("version", s.Version));
  m.Family("uptime_seconds", "gauge", "Seconds since Harvox started.");
  m.Sample(static_cast<uint64_t>(std::max<int64_t>(0, Seconds(s.Now - s.Started))));
  m.Family("engine_link_up", "gauge", "Whether the service's packet engine link is up.");
  for (const auto& l : s.Links) m.Sample(l.Up ? 1 : 0, Label("service", l.Service));
  m.Family("engine_frames_in_total", "counter", "Frames read from the packet engine.");
  for (const auto& l : s.Links) m.Sample(l.FramesIn, Label("service", l.Service));
  m.Family("engine_frames_out_total", "counter", "Frames written to the packet engine.");
  for (const auto& l : s.Links) m.Sample(l.FramesOut, Label("service", l.Service));
  m.Family("telnet_sessions", "gauge", "Telnet sessions, at the login prompts or logged in.");
  m.Sample(s.Users.size());
  m.Family("gateway_circuits", "gauge", "Radio stations the gateway carries.");
  m.Sample(s.Circuits.size());
  m.Family("monitor_viewers", "gauge", "Viewers of the monitor port.");
  m.Sample(s.Viewers.size());
  m.Family("logins_total", "counter", "Telnet logins by result.");
  m.Sample(s.Count.LoginsOk, Label("result", "ok"));
  m.Sample(s.Count.LoginsFailed, Label("result", "failed"));
  m.Family("blocked_addresses", "gauge", "Addresses turned away after failed logins.");
  m.Sample(s.Count.BlockedAddresses);
  m.Family("gateway_refused_t_total", "counter", "T commands refused by the destination rules.");
  m.Sample(s.Count.RefusedT);
  return m.Take();
}

std::vector<std::string> TableFromJson(std::string_view text, std::string* error) {
  const json doc = json::parse(text.begin(), text.end(), nullptr, false);
  if (!doc.is_object() || !doc.contains("version") || !doc.contains("engine_links")) {
    if (error) *error = "the answer is no Harvox status document";
    return {};
  }
  std::vector<std::string> out;
  out.push_back(Cell(doc, "version") + ", up " + Cell(doc, "uptime_seconds") + " s");
  Table(out, "Engine links", doc["engine_links"],
        {"service", "address", "port", "state", "since", "frames_in", "frames_out"});
  Table(out, "Telnet users", doc.value("telnet_users", json::array()),
        {"user_id", "callsign", "address", "state", "since", "bytes_in", "bytes_out"});
  Table(out, "Gateway circuits", doc.value("gateway_circuits", json::array()),
        {"station", "our_callsign", "host", "state", "since", "bytes_to_host", "bytes_to_station"});
  Table(out, "Monitor viewers", doc.value("monitor_viewers", json::array()),
        {"address", "since", "bytes_out", "cut_off"});
  const json counters = doc.value("counters", json::object());
  std::string line = "Counters:";
  for (const auto& [key, value] : counters.items()) line += " " + key + "=" + value.dump();
  out.push_back(line);
  return out;
}

}  // namespace harvox::status
