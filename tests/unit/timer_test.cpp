#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "util/event_loop.h"
#include "util/timer.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;

TEST(Timer, FiresEveryIntervalWhileEnabled) {
  Timer t;
  int fired = 0;
  t.SetHandler([&](Timer& self) {
    EXPECT_EQ(&self, &t);
    ++fired;
  });
  t.SetInterval(10);
  t.SetEnabled(true);
  EXPECT_TRUE(RunUntil([&] { return fired >= 3; }, 30s));
  t.SetEnabled(false);
  const int after = fired;
  RunFor(40ms);
  EXPECT_EQ(fired, after);
}

TEST(Timer, WithoutHandlerOrDisabledNothingHappens) {
  Timer inert;
  inert.SetInterval(1);
  inert.SetEnabled(true);
  RunFor(20ms);  // must not crash
  Timer off;
  int fired = 0;
  off.SetHandler([&](Timer&) { ++fired; });
  off.SetInterval(1);
  RunFor(20ms);
  EXPECT_EQ(fired, 0);
  // Interval 0 means never, enabled or not; a later interval arms it.
  off.SetInterval(0);
  off.SetEnabled(true);
  RunFor(20ms);
  EXPECT_EQ(fired, 0);
  off.SetInterval(1);
  EXPECT_TRUE(RunUntil([&] { return fired > 0; }, 30s));
}

TEST(Timer, RestartGivesTheFullIntervalAgain) {
  Timer t;
  int fired = 0;
  t.SetHandler([&](Timer&) { ++fired; });
  t.SetInterval(80);
  t.SetEnabled(true);
  for (int i = 0; i < 5; ++i) {
    RunFor(30ms);
    t.Restart();
  }
  EXPECT_EQ(fired, 0);
  EXPECT_TRUE(RunUntil([&] { return fired == 1; }, 30s));
}

TEST(Timer, RestartAfterExpiryDefersTheQueuedCompletion) {
  Timer t;
  int fired = 0;
  t.SetHandler([&](Timer&) { ++fired; });
  t.SetInterval(60);
  t.SetEnabled(true);
  std::this_thread::sleep_for(70ms);  // the wait has expired, its completion is due
  t.Restart();
  RunFor(20ms);
  EXPECT_EQ(fired, 0);
  EXPECT_TRUE(RunUntil([&] { return fired == 1; }, 30s));
}

TEST(Timer, DisableAfterExpiryDropsTheQueuedCompletion) {
  Timer t;
  int fired = 0;
  t.SetHandler([&](Timer&) { ++fired; });
  t.SetInterval(1);
  t.SetEnabled(true);
  std::this_thread::sleep_for(10ms);  // the wait has expired, its completion is due
  t.SetEnabled(false);
  RunFor(20ms);
  EXPECT_EQ(fired, 0);
}

TEST(Timer, HandlerMayDestroyItsOwnTimer) {
  auto t = std::make_unique<Timer>();
  int fired = 0;
  t->SetHandler([&](Timer&) {
    ++fired;
    t.reset();
  });
  t->SetInterval(1);
  t->SetEnabled(true);
  EXPECT_TRUE(RunUntil([&] { return !t; }, 30s));
  RunFor(10ms);
  EXPECT_EQ(fired, 1);
}

}  // namespace
}  // namespace harvox
