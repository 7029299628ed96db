// Flow control of the engine link: a watched link is held from a send until
// the engine's count, and while the count stays at or above the window.
#include <gtest/gtest.h>

#include "agw/l2.h"
#include "support/fake_engine.h"
#include "util/event_loop.h"

namespace harvox {
namespace {

using test::FakeEngine;

void Configure(TL2& l2, const FakeEngine& engine) {
  l2.SetCallSign("GATE");
  l2.SetAddress("127.0.0.1");
  l2.SetPort(engine.Port());
}

TEST(L2Flow, HeldAtTheWindowFreeBelowHalf) {
  struct Case {
    std::vector<uint32_t> counts;  // the engine's answers, last repeats
    std::vector<bool> events;      // FOnFlow as reported
  };
  const std::vector<Case> cases = {
      {{0}, {true, false}},
      {{3}, {true, false}},
      {{8, 6, 4, 3}, {true, false}},
      {{9, 2}, {true, false}},
  };
  for (const auto& c : cases) {
    FakeEngine engine;
    TL2 l2(nullptr);
    Configure(l2, engine);
    l2.FlowPollMs = 5;
    std::vector<bool> events;
    l2.FOnFlow = [&](TL2&, uint8_t, const std::string& own, const std::string& remote, bool held) {
      EXPECT_EQ(own + remote, "GATEN0CALL");
      events.push_back(held);
    };
    l2.Open();
    ASSERT_TRUE(RunUntil([&] { return l2.Active == 1 && engine.ClientCount() == 1; }));
    engine.Send({.port = 0, .kind = 'C', .from = "N0CALL", .to = "GATE",
                 .data = "*** CONNECTED To Station N0CALL\r"});
    RunUntil([&] { return false; }, std::chrono::milliseconds(30));
    engine.SetOutstanding(c.counts);
    l2.WatchFlow(1, "GATE", "N0CALL");
    l2.SendData(1, 0xF0, "GATE", "N0CALL", "data");
    EXPECT_TRUE(l2.FlowHeld(1, "GATE", "N0CALL"));
    EXPECT_TRUE(RunUntil([&] { return !l2.FlowHeld(1, "GATE", "N0CALL"); }));
    EXPECT_EQ(events, c.events);
    // Unwatched links and a forgotten link ask nothing.
    l2.ForgetFlow(1, "GATE", "N0CALL");
    const size_t asked = engine.Count(test::IsKind('Y'));
    l2.SendData(1, 0xF0, "GATE", "N0CALL", "more");
    RunUntil([&] { return false; }, std::chrono::milliseconds(30));
    EXPECT_EQ(engine.Count(test::IsKind('Y')), asked);
    EXPECT_TRUE(engine.Violations().empty()) << engine.Violations().front();
  }
}

// The poll tick asks again for held links only, and a held link that is
// forgotten is asked for no more.
TEST(L2Flow, TheTickAsksForHeldLinksOnly) {
  FakeEngine engine;
  TL2 l2(nullptr);
  Configure(l2, engine);
  l2.FlowPollMs = 5;
  engine.SetOutstanding({9});  // at the window: held until forgotten
  l2.Open();
  ASSERT_TRUE(RunUntil([&] { return l2.Active == 1 && engine.ClientCount() == 1; }));
  for (const char* station : {"N0AAA", "N0BBB"}) {
    engine.Send({.port = 0, .kind = 'C', .from = station, .to = "GATE",
                 .data = std::string("*** CONNECTED To Station ") + station + "\r"});
  }
  RunUntil([&] { return false; }, std::chrono::milliseconds(30));
  l2.WatchFlow(1, "GATE", "N0AAA");
  l2.WatchFlow(1, "GATE", "N0BBB");
  l2.SendData(1, 0xF0, "GATE", "N0AAA", "data");
  auto asked = [&](const char* station) {
    return engine.Count([&](const test::AgwFrame& f) { return f.kind == 'Y' && f.to == station; });
  };
  EXPECT_TRUE(RunUntil([&] { return asked("N0AAA") >= 4; }));
  EXPECT_TRUE(l2.FlowHeld(1, "GATE", "N0AAA"));
  EXPECT_EQ(asked("N0BBB"), 0u);
  l2.ForgetFlow(1, "GATE", "N0AAA");
  RunUntil([&] { return false; }, std::chrono::milliseconds(20));
  const size_t before = engine.Count(test::IsKind('Y'));
  RunUntil([&] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(engine.Count(test::IsKind('Y')), before);
  EXPECT_FALSE(l2.FlowHeld(1, "GATE", "N0BBB"));
}

// The lines of one batch leave in order in one write, and each watched link
// is asked about once, after its last line: held until that one answer.
TEST(L2Flow, ABatchAsksOncePerLinkAfterItsLines) {
  FakeEngine engine;
  TL2 l2(nullptr);
  Configure(l2, engine);
  l2.Open();
  ASSERT_TRUE(RunUntil([&] { return l2.Active == 1 && engine.ClientCount() == 1; }));
  for (const char* station : {"N0AAA", "N0BBB"}) {
    engine.Send({.port = 0, .kind = 'C', .from = station, .to = "GATE",
                 .data = std::string("*** CONNECTED To Station ") + station + "\r"});
    l2.WatchFlow(1, "GATE", station);
  }
  RunUntil([&] { return false; }, std::chrono::milliseconds(30));
  {
    TL2::SendBatch batch(l2);
    for (int i = 0; i < 3; ++i) {
      l2.SendData(1, 0xF0, "GATE", "N0AAA", "a\r");
      l2.SendData(1, 0xF0, "GATE", "N0BBB", "b\r");
    }
    EXPECT_TRUE(l2.FlowHeld(1, "GATE", "N0AAA") && l2.FlowHeld(1, "GATE", "N0BBB"));
  }
  const auto sent = [](const test::AgwFrame& f) { return f.kind == 'D' || f.kind == 'Y'; };
  ASSERT_TRUE(engine.RunLoopUntilCount(8, std::chrono::milliseconds(30000), sent));
  std::string order;
  for (const auto& f : engine.Frames()) {
    if (sent(f)) order += std::string(1, f.kind) + f.to.back();
  }
  EXPECT_EQ(order, "DADBDADBDADBYAYB");
  EXPECT_TRUE(RunUntil(
      [&] { return !l2.FlowHeld(1, "GATE", "N0AAA") && !l2.FlowHeld(1, "GATE", "N0BBB"); }));
  EXPECT_TRUE(engine.Violations().empty()) << engine.Violations().front();
}

TEST(L2Flow, EngineLossFreesEveryLink) {
  FakeEngine engine;
  TL2 l2(nullptr);
  Configure(l2, engine);
  engine.SetAutoReply('Y', false);  // no answer: the link stays held
  l2.Open();
  ASSERT_TRUE(RunUntil([&] { return l2.Active == 1 && engine.ClientCount() == 1; }));
  engine.Send({.port = 0, .kind = 'C', .from = "N0CALL", .to = "GATE",
               .data = "*** CONNECTED To Station N0CALL\r"});
  RunUntil([&] { return false; }, std::chrono::milliseconds(30));
  l2.WatchFlow(1, "GATE", "N0CALL");
  l2.SendData(1, 0xF0, "GATE", "N0CALL", "data");
  RunUntil([&] { return false; }, std::chrono::milliseconds(50));
  EXPECT_TRUE(l2.FlowHeld(1, "GATE", "N0CALL"));
  engine.DropClient();
  ASSERT_TRUE(RunUntil([&] { return l2.Active == 0; }));
  EXPECT_FALSE(l2.FlowHeld(1, "GATE", "N0CALL"));
}

}  // namespace
}  // namespace harvox
