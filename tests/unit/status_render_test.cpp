// The status renderers: what each format must hold, and that text from the
// network (user ids, callsigns, host names) never breaks out of its place.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "status/render.h"

namespace harvox::status {
namespace {

Snapshot Hostile() {
  Snapshot s;
  s.Version = "Harvox \"1\"\nx";
  s.Started = Clock::time_point{} + std::chrono::hours(24 * 365 * 50);
  s.Now = s.Started + std::chrono::seconds(3725);
  s.Links = {{"telnet", "127.0.0.1", 8000, true, s.Started, 12, 34},
             {"monitor", "::1", 8000, false, s.Started, 0, 0}};
  s.Users = {{"<script>alert(1)</script>", "N0C&ALL", "127.0.0.2", "connected", s.Now, 5, 6},
             {"bad\xff\x1b[2J", "", "::1", "login", s.Now, 0, 0}};
  s.Circuits = {{"G1\"ST", "TNCLI", "h<o>st:23", "linked", s.Now, 100, 200}};
  s.Viewers = {{"127.0.0.3", s.Now, 7, true}};
  s.Count = {3, 4, 1, 2};
  return s;
}

TEST(StatusRender, EachFormatHoldsTheFiguresAndEscapesWhatCameFromTheNetwork) {
  const Snapshot s = Hostile();
  const std::string json = ToJson(s), metrics = ToMetrics(s), html = ToHtml(s, 10);
  std::string error;
  std::string table;
  for (const auto& line : TableFromJson(json, &error)) table += line + "\n";
  const struct {
    const char* name;
    const std::string& text;
    std::vector<std::string> has, lacks;
  } cases[] = {
      {"metrics",
       metrics,
       {"# TYPE harvox_logins_total counter\n", "harvox_logins_total{result=\"failed\"} 4\n",
        "harvox_info{version=\"Harvox \\\"1\\\"\\nx\"} 1\n", "harvox_engine_link_up{service=\"monitor\"} 0\n",
        "harvox_engine_frames_out_total{service=\"telnet\"} 34\n", "harvox_uptime_seconds 3725\n",
        "harvox_gateway_refused_t_total 2\n", "harvox_blocked_addresses 1\n", "harvox_telnet_sessions 2\n"},
       {"<script>"}},
      {"html",
       html,
       {"<meta http-equiv=\"refresh\" content=\"10\">", "&lt;script&gt;alert(1)&lt;/script&gt;",
        "N0C&amp;ALL", "G1&quot;ST", "h&lt;o&gt;st:23", "bad\xff?[2J", ">1h 2m<", "class=\"down\""},
       {"<script>", "src=", "\x1b"}},
      {"table",
       table,
       {"Telnet users: 2", "<script>alert(1)</script>", "bad", "Monitor viewers: 1", "logins_ok=3",
        "frames_in"},
       {"\x1b"}},
  };
  for (const auto& c : cases) {
    for (const auto& want : c.has)
      EXPECT_NE(c.text.find(want), std::string::npos) << c.name << " lacks " << want;
    for (const auto& bad : c.lacks)
      EXPECT_EQ(c.text.find(bad), std::string::npos) << c.name << " has " << bad;
  }
  // JSON: well formed whatever bytes a user typed, every figure in place.
  const auto doc = nlohmann::json::parse(json);
  EXPECT_EQ(doc["telnet_users"][0]["user_id"], "<script>alert(1)</script>");
  EXPECT_EQ(doc["telnet_users"][1]["user_id"], "bad\xef\xbf\xbd\x1b[2J");
  EXPECT_EQ(doc["gateway_circuits"][0]["bytes_to_station"], 200);
  EXPECT_EQ(doc["monitor_viewers"][0]["cut_off"], true);
  EXPECT_EQ(doc["engine_links"][1]["state"], "down");
  EXPECT_EQ(doc["counters"]["refused_t"], 2);
  EXPECT_EQ(doc["uptime_seconds"], 3725);
  EXPECT_TRUE(TableFromJson("<html>", &error).empty());
  EXPECT_EQ(error, "the answer is no Harvox status document");
}

}  // namespace
}  // namespace harvox::status
