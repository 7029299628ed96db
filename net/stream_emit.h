// The guarded event call every part of the stream raises its events
// through, and the sizes those parts share.  Private to net/stream*.cpp.
//
// Re-entrancy: Emit pins the stream for the handler's duration and calls a
// copy of the slot, so the handler may clear it, Close the stream or release
// its owner; the caller checks the returned flag before touching anything.
#pragma once

#include "net/stream.h"

#include <cstddef>

namespace harvox::net::detail {

inline constexpr size_t kStreamChunk = 16384;

template <typename Slot, typename... Args>
bool Stream::Emit(Slot slot, Args... args) {
  auto pin = shared_from_this();
  auto handler = events_.*slot;  // a copy: the handler may clear the slot
  if (handler) {
    try {
      handler(args...);
    } catch (...) {
      // A handler's failure must not unwind through the message loop.
    }
  }
  return !detached_;
}

}  // namespace harvox::net::detail
