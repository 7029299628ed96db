// Three links on one shared engine connection: every frame kind reaches the
// right link, a frame for no link is logged and dropped, the login and the
// monitor switches go once, and every link hears the engine go and return.
#include <gtest/gtest.h>

#include <memory>

#include "agw/engine_connection.h"
#include "agw/l2.h"
#include "support/fake_engine.h"
#include "support/temp_dir.h"
#include "util/event_loop.h"
#include "util/log.h"

namespace harvox {
namespace {

using test::AgwFrame;
using test::FakeEngine;
using test::IsKind;

struct Member {
  explicit Member(TLog* log) : l2(log) {}
  TL2 l2;
  std::string kinds;  // every frame handed to the link, by kind
  int up = 0, down = 0;
};

TEST(EngineShared, RoutesEveryKindToItsLinkAndTellsEveryLinkOfTheEngine) {
  test::TempDir dir;
  TLog log;
  test::OpenLog(log, dir.File("HARVOX.LOG"), 3);
  FakeEngine engine;
  auto connection = std::make_shared<EngineConnection>(&log, true);
  const char* names[] = {"TELNET", "GATE", "MON-0"};
  std::vector<std::unique_ptr<Member>> m;
  for (const char* name : names) {
    m.push_back(std::make_unique<Member>(&log));
    Member& s = *m.back();
    s.l2.UseConnection(connection);
    s.l2.SetCallSign(name);
    s.l2.SetAddress("127.0.0.1");
    s.l2.SetPort(engine.Port());
    s.l2.Login = "user";
    s.l2.Password = "secret";
    s.l2.FOnFrame = [&s](TL2&, uint8_t, uint8_t, char kind, const std::string&, const std::string&,
                         std::string_view) { s.kinds += kind; };
    s.l2.FOnAGWUp = [&s](TL2&) { ++s.up; };
    s.l2.FOnAGWDown = s.l2.FOnAGWError = [&s](TL2&) { ++s.down; };
  }
  Member &telnet = *m[0], &gate = *m[1], &monitor = *m[2];
  monitor.l2.SetMonitor("IUSC");
  monitor.l2.RawMonitor = 1;
  for (auto& s : m) s->l2.Open();
  auto answered = [&] {  // 'G', 'R', and 'g', 'y' for both ports, each link its own
    for (auto& s : m) {
      if (s->kinds.size() < 6) return false;
    }
    return true;
  };
  ASSERT_TRUE(RunUntil(answered, std::chrono::seconds(30)));
  EXPECT_EQ(engine.ClientCount(), 1u);
  for (char once : {'P', 'm', 'k'}) EXPECT_EQ(engine.Count(IsKind(once)), 1u) << once;
  for (auto& s : m) EXPECT_EQ(s->kinds.size(), 6u) << s->l2.CallSign() << " " << s->kinds;

  // A callsign registered by one link is refused to another.
  std::string refused;
  gate.l2.FOnRegister = [&](TL2&, const std::string& call, std::string_view rc) {
    if (rc == std::string_view("\0", 1)) refused += call;
  };
  telnet.l2.AGWRegister("N0USR");
  gate.l2.AGWRegister("GATE");
  gate.l2.AGWRegister("N0USR");
  ASSERT_TRUE(RunUntil([&] { return telnet.kinds.size() == 7 && gate.kinds.size() == 8; }));
  EXPECT_EQ(engine.Count([](const AgwFrame& f) { return f.kind == 'X' && f.from == "N0USR"; }), 1u);
  EXPECT_EQ(refused, "N0USR");

  struct Case {
    AgwFrame frame;
    int link;  // index into m; -1: no link
  };
  const std::vector<Case> cases = {
      {{.kind = 'C', .from = "N0NOD", .to = "N0USR", .data = "*** CONNECTED With Station N0NOD\r"}, 0},
      {{.kind = 'D', .pid = 0xF0, .from = "N0STA", .to = "GATE", .data = "hello\r"}, 1},
      {{.kind = 'd', .from = "N0NOD", .to = "N0USR", .data = "*** DISCONNECTED From Station N0NOD\r"}, 0},
      {{.kind = 'Y', .from = "GATE", .to = "N0STA", .data = std::string(4, '\0')}, 1},
      {{.kind = 'K', .from = "", .to = "", .data = std::string(1, '\0') + "raw"}, 2},
      {{.kind = 'U', .from = "N0STA", .to = "ID", .data = " 1:Fm N0STA To ID <UI pid=F0 Len=2 >[12:00:00]\rhi\r"}, 2},
      {{.kind = 'I', .from = "N0STA", .to = "N0NOD", .data = "x"}, 2},
      {{.kind = 'S', .from = "N0STA", .to = "N0NOD", .data = "x"}, 2},
      {{.kind = 'T', .from = "GATE", .to = "N0STA", .data = "x"}, 2},
      {{.kind = 'H', .from = "N0STA", .to = "", .data = "heard"}, 2},
      {{.kind = 'D', .pid = 0xF0, .from = "N0STA", .to = "N0NOBODY", .data = "lost\r"}, -1},
      {{.kind = 'V', .from = "N0STA", .to = "GATE", .data = ""}, -1},
  };
  for (const auto& c : cases) {
    for (auto& s : m) s->kinds.clear();
    ASSERT_TRUE(engine.Send(c.frame));
    const std::string seen = std::string("{AGW} Frame Kind[") + c.frame.kind + "]";
    ASSERT_TRUE(RunUntil([&] {
      if (c.link >= 0) return !m[c.link]->kinds.empty();
      return test::ReadFile(log.FileName).find(seen) != std::string::npos;
    })) << c.frame.kind << " " << c.frame.to;
    for (size_t i = 0; i < m.size(); ++i) {
      EXPECT_EQ(m[i]->kinds, static_cast<int>(i) == c.link ? std::string(1, c.frame.kind) : "")
          << c.frame.kind << " " << c.frame.to << " at " << names[i];
    }
  }

  // The engine goes: every link hears it; one link re-opens for all.
  ASSERT_TRUE(engine.ResetClient());
  ASSERT_TRUE(RunUntil([&] { return telnet.down == 1 && gate.down == 1 && monitor.down == 1; }));
  telnet.l2.Open();
  ASSERT_TRUE(RunUntil([&] {
    return telnet.up == 2 && gate.up == 2 && monitor.up == 2 && engine.Count(IsKind('m')) == 2;
  }));
  EXPECT_EQ(engine.ClientCount(), 1u);
  EXPECT_EQ(engine.Count(IsKind('P')), 2u);
  EXPECT_EQ(engine.Count(IsKind('k')), 2u);
  EXPECT_TRUE(engine.Violations().empty());
}

}  // namespace
}  // namespace harvox
