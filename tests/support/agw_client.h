// A small blocking AGW client for tests and tools: connect, send frames,
// read frames with a timeout.  Frames that a ReadUntil skips are kept and
// handed out by later reads, so nothing is lost while waiting for one kind.
//
// Re-entrancy: one thread at a time per client; no shared state.
#pragma once

#include "support/agw_frame.h"

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace harvox::test {

class AgwClient {
 public:
  using Pred = std::function<bool(const AgwFrame&)>;

  AgwClient() = default;
  ~AgwClient() { Close(); }
  AgwClient(const AgwClient&) = delete;
  AgwClient& operator=(const AgwClient&) = delete;

  bool Connect(const std::string& host, uint16_t port,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));
  bool Connected() const { return fd_ >= 0; }
  bool Send(const AgwFrame& frame) { return SendRaw(frame.Encode()); }
  bool SendRaw(std::string_view bytes);
  // The next frame, or none on timeout or when the connection ended (then
  // Connected() turns false).
  std::optional<AgwFrame> Read(std::chrono::milliseconds timeout);
  // The first frame matching pred; frames passed over stay queued.
  std::optional<AgwFrame> ReadUntil(const Pred& pred, std::chrono::milliseconds timeout);
  // Orderly shutdown, then close.
  void Close();

 private:
  bool Fill(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  AgwFrameReader reader_;
  std::deque<AgwFrame> backlog_;
};

}  // namespace harvox::test
