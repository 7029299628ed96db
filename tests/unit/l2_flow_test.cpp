// Flow control of the engine link: a watched link is held while what it was
// sent and the engine's count reach its window, which follows the engine.
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

// Each step sets the engine's answers (the last repeats) and sends that
// many frames' worth, then waits until the link is free and answered.
TEST(L2Flow, HeldAtTheWindowFreeBelowHalfWindowFollowsTheEngine) {
  struct Step {
    std::vector<uint32_t> counts;
    size_t frames;
  };
  struct Case {
    std::vector<Step> steps;
    std::vector<bool> events;  // FOnFlow as reported
    uint32_t room;             // FlowRoom at the end
  };
  const std::vector<uint32_t> behind(30, TL2::kFlowWindowMost);
  std::vector<uint32_t> behind_then_empty = behind;
  behind_then_empty.push_back(0);
  const Step empty{{0}, TL2::kFlowWindow};
  const std::vector<Case> cases = {
      // Frames within the window are not held; an empty link doubles it.
      {{{{0}, 1}}, {}, 2 * TL2::kFlowWindow},
      {{{{8, 6, 4, 3}, TL2::kFlowWindow}}, {true, false}, TL2::kFlowWindow - 3},
      {{{{9, 2}, 1}}, {true, false}, TL2::kFlowWindow - 2},
      // An engine that keeps up: the window grows to its most, and no further.
      {{empty, empty, empty, empty}, {true, false}, TL2::kFlowWindowMost},
      // Then falls behind: held, and the window shrinks back while it is;
      // emptied only after a poll tick, it does not grow again.
      {{empty, empty, empty, {behind_then_empty, 1}}, {true, false, true, false}, TL2::kFlowWindow},
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
    l2.WatchFlow(1, "GATE", "N0CALL");
    for (const Step& step : c.steps) {
      engine.SetOutstanding(step.counts);
      const size_t asked = engine.Count(test::IsKind('Y'));
      const bool full = step.frames >= TL2::kFlowWindow && events.empty();  // a full first send
      l2.SendData(1, 0xF0, "GATE", "N0CALL", std::string(step.frames * kSplitSize, 'd'));
      EXPECT_EQ(l2.FlowHeld(1, "GATE", "N0CALL"), full);
      ASSERT_TRUE(RunUntil([&] { return engine.Count(test::IsKind('Y')) > asked; }));
      RunUntil([&] { return false; }, std::chrono::milliseconds(20));
      EXPECT_TRUE(RunUntil([&] { return !l2.FlowHeld(1, "GATE", "N0CALL"); }));
    }
    EXPECT_EQ(events, c.events);
    EXPECT_EQ(l2.FlowRoom(1, "GATE", "N0CALL"), c.room);
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
// is asked about once, after its last line.
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
  }
  const auto sent = [](const test::AgwFrame& f) { return f.kind == 'D' || f.kind == 'Y'; };
  ASSERT_TRUE(engine.RunLoopUntilCount(8, std::chrono::milliseconds(30000), sent));
  std::string order;
  for (const auto& f : engine.Frames()) {
    if (sent(f)) order += std::string(1, f.kind) + f.to.back();
  }
  EXPECT_EQ(order, "DADBDADBDADBYAYB");
  EXPECT_TRUE(engine.Violations().empty()) << engine.Violations().front();
}

TEST(L2Flow, EngineLossFreesEveryLink) {
  FakeEngine engine;
  TL2 l2(nullptr);
  Configure(l2, engine);
  engine.SetAutoReply('Y', false);  // no answer: a full link stays held
  l2.Open();
  ASSERT_TRUE(RunUntil([&] { return l2.Active == 1 && engine.ClientCount() == 1; }));
  engine.Send({.port = 0, .kind = 'C', .from = "N0CALL", .to = "GATE",
               .data = "*** CONNECTED To Station N0CALL\r"});
  RunUntil([&] { return false; }, std::chrono::milliseconds(30));
  l2.WatchFlow(1, "GATE", "N0CALL");
  l2.SendData(1, 0xF0, "GATE", "N0CALL", std::string(TL2::kFlowWindow * kSplitSize, 'd'));
  RunUntil([&] { return false; }, std::chrono::milliseconds(50));
  EXPECT_TRUE(l2.FlowHeld(1, "GATE", "N0CALL"));
  engine.DropClient();
  ASSERT_TRUE(RunUntil([&] { return l2.Active == 0; }));
  EXPECT_FALSE(l2.FlowHeld(1, "GATE", "N0CALL"));
}

}  // namespace
}  // namespace harvox
