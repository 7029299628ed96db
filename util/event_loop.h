// The one message loop of the process: a single asio::io_context that the
// main thread runs.  Every socket, resolver and timer of Harvox is bound to
// it, so every handler runs on the main thread, one at a time.
//
// Re-entrancy: Loop() may be called from anywhere on the main thread.  Tests
// drive the same loop with RunFor/RunUntil instead of run().
#pragma once

#include <asio/io_context.hpp>

#include <chrono>
#include <functional>

namespace harvox {

asio::io_context& Loop();

// Runs queued handlers until pred() holds or the timeout passes.  Returns
// pred()'s last value.  Restarts the context when it ran out of work.
bool RunUntil(const std::function<bool()>& pred,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));

// Runs the loop for the given time (handlers that become due run).
void RunFor(std::chrono::milliseconds duration);

// Queues fn to run later from the loop (after the current handler returns).
void Defer(std::function<void()> fn);

}  // namespace harvox
