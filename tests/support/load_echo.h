// The fake engine's side of a Telnet load run: a script that takes every
// tagged 'D' a load session's callsign sends, stamps its arrival, and
// echoes it back from the node, so the line returns to the same Telnet
// user.  Session n logs in as user U<n+1, four digits>, callsign -11.
//
// Threading: OnFrame runs on the engine thread; it touches only the
// atomics of LoadShared and its own counters.  Violations() may be read
// from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "support/fake_engine.h"
#include "support/load_shared.h"

namespace harvox::test {

// The session of a load callsign ("U0001-11" is 0, "U10000-11" 9999); none
// for any other.
std::optional<uint32_t> SessionOfCall(std::string_view call, uint32_t sessions);

class EngineEcho {
 public:
  explicit EngineEcho(LoadShared& shared) : shared_(shared) {}
  void OnFrame(FakeEngine& engine, int client, const AgwFrame& f);
  // Engine rules the product broke, counted as the engine's record is
  // emptied (it records every frame, so a long run keeps it short).
  size_t Violations() const { return violations_.load(); }

 private:
  LoadShared& shared_;
  uint64_t frames_ = 0;
  std::atomic<size_t> violations_{0};
};

}  // namespace harvox::test
