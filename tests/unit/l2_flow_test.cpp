// Flow control of the engine link: a watched link is held from a send until
// the engine's count, and while the count stays at or above the window.
#include <gtest/gtest.h>

#include "agw/l2.h"
#include "support/fake_engine.h"
#include "util/event_loop.h"

namespace harvox {
namespace {

using test::FakeEngine;

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
    l2.SetCallSign("GATE");
    l2.SetAddress("127.0.0.1");
    l2.SetPort(engine.Port());
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

TEST(L2Flow, EngineLossFreesEveryLink) {
  FakeEngine engine;
  TL2 l2(nullptr);
  l2.SetCallSign("GATE");
  l2.SetAddress("127.0.0.1");
  l2.SetPort(engine.Port());
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
