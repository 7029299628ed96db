// What the load driver, the fake engine's script and the report share
// across threads: when each paced line was typed, how long it took to reach
// the engine, which sessions the engine has seen connected, and the line
// counters of both directions.
//
// Threading: every member is an atomic or fixed after construction, so the
// driver thread writes and the engine thread reads without locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace harvox::test {

struct LoadShared {
  LoadShared(uint32_t session_count, uint32_t paced)
      : sessions(session_count),
        paced_lines(paced),
        typed_ns(new std::atomic<int64_t>[size_t{session_count} * paced]),
        engine_ns(new std::atomic<int64_t>[size_t{session_count} * paced]),
        first_data(new std::atomic<bool>[session_count]) {
    for (size_t i = 0; i < size_t{session_count} * paced; ++i) {
      typed_ns[i] = 0;
      engine_ns[i] = 0;
    }
    for (uint32_t i = 0; i < session_count; ++i) first_data[i] = false;
  }

  // Sessions whose first 'D' the engine has seen.
  uint32_t FirstDataSeen() const {
    uint32_t n = 0;
    for (uint32_t i = 0; i < sessions; ++i) n += first_data[i].load() ? 1 : 0;
    return n;
  }

  // Index of a paced line in the two tables; only for seq < paced_lines.
  size_t Slot(uint32_t session, uint32_t seq) const { return size_t{session} * paced_lines + seq; }

  const uint32_t sessions;
  const uint32_t paced_lines;
  std::unique_ptr<std::atomic<int64_t>[]> typed_ns;   // steady clock when typed
  std::unique_ptr<std::atomic<int64_t>[]> engine_ns;  // typed -> 'D' at the engine; 0: not yet
  std::unique_ptr<std::atomic<bool>[]> first_data;    // the engine saw the session's first 'D'
  std::atomic<uint64_t> at_engine{0};  // tagged lines that reached the far end
  std::atomic<uint64_t> echoed{0};     // echoes that reached the Telnet clients
};

}  // namespace harvox::test
