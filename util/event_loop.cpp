// The process-wide io_context and the small helpers that tests and the
// program use to drive it.  Nothing here starts a thread.
#include "util/event_loop.h"

#include <asio/post.hpp>

namespace harvox {

asio::io_context& Loop() {
  static asio::io_context context;
  return context;
}

bool RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  auto& loop = Loop();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    if (loop.stopped()) loop.restart();
    // Short slices keep the predicate checked often without busy waiting.
    loop.run_for(std::chrono::milliseconds(2));
  }
  return true;
}

void RunFor(std::chrono::milliseconds duration) {
  auto& loop = Loop();
  const auto deadline = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < deadline) {
    if (loop.stopped()) loop.restart();
    loop.run_until(deadline);
  }
}

void Defer(std::function<void()> fn) { asio::post(Loop(), std::move(fn)); }

}  // namespace harvox
