// Ending a link after its queued data has left.  An engine drops a link's
// unsent frames when it is told to disconnect, so a host's last words or a
// user's last line would be lost.  Instead we ask with 'Y' how many frames
// the link still holds, and send the disconnect (and what must follow it)
// once the count is 0, or after a time limit.  The waits belong to the link,
// not to any session: a session may be long gone when its link drains.
#include <algorithm>
#include <exception>

#include "agw/l2.h"
#include "util/log.h"
#include "util/timer.h"

namespace harvox {
namespace {

// Ports 0 and 1 both travel as wire port 0 and come back as 1.
uint8_t KeyPort(uint8_t port) { return port == 0 ? 1 : port; }

}  // namespace

void TL2::EndLinkAfterDrain(uint8_t port, const std::string& own, const std::string& remote,
                            std::vector<QueuedFrame> after) {
  try {
    const LinkKey key{KeyPort(port), own, remote};
    if (auto it = drains_.find(key); it != drains_.end()) {
      // Already draining (a timer that fires again, a refusal during
      // shutdown): one drain, one 'd', and its time limit stands.
      auto& queued = it->second.After;
      for (auto& f : after) {
        if (std::find(queued.begin(), queued.end(), f) == queued.end()) queued.push_back(std::move(f));
      }
      return;
    }
    if (!Active || links_with_data_.count(key) == 0) {
      for (const auto& f : after) Write(f.Port, f.PID, f.Kind, f.From, f.To, f.Data);
      return;
    }
    auto& drain = drains_[key];
    for (auto& f : after) drain.After.push_back(std::move(f));
    drain.Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(DrainLimitMs);
    W(3, "{L2} Waiting for link " + own + "->" + remote + " to drain before disconnect");
    Write(port, 0, 'Y', own, remote, {});
    if (!drain_timer_) {
      drain_timer_ = std::make_unique<Timer>();
      drain_timer_->SetHandler([this](Timer&) { DrainTick(); });
    }
    // Re-arming a running timer would postpone every other link's poll and
    // time limit; under steady churn none would ever run.
    if (!drain_timer_->Enabled()) {
      drain_timer_->SetInterval(DrainPollMs);
      drain_timer_->SetEnabled(true);
    }
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module EndLinkAfterDrain");
  }
}

void TL2::DrainTick() {
  try {
    const auto now = std::chrono::steady_clock::now();
    std::vector<LinkKey> expired;
    for (const auto& [key, drain] : drains_) {
      if (now >= drain.Deadline) {
        expired.push_back(key);
      } else {
        Write(std::get<0>(key), 0, 'Y', std::get<1>(key), std::get<2>(key), {});
      }
    }
    for (const auto& key : expired) {
      W(1, "{L2} Link " + std::get<1>(key) + "->" + std::get<2>(key) +
               " did not drain in time, disconnecting");
      FinishDrain(key);
    }
    if (drains_.empty() && drain_timer_) drain_timer_->SetEnabled(false);
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module DrainTick");
  }
}

void TL2::FrameY(const FrameHeader& h, std::string_view data) {
  if (data.size() < 4) return;
  const uint32_t count = static_cast<uint8_t>(data[0]) | static_cast<uint8_t>(data[1]) << 8 |
                         static_cast<uint32_t>(static_cast<uint8_t>(data[2])) << 16 |
                         static_cast<uint32_t>(static_cast<uint8_t>(data[3])) << 24;
  if (Tracing(4))
    W(4, "{L2} Outstanding frames " + h.CallFrom + "->" + h.CallTo + " (" + std::to_string(count) + ")");
  if (count != 0) return;
  const LinkKey key{KeyPort(h.Port), h.CallFrom, h.CallTo};
  if (drains_.count(key)) FinishDrain(key);
}

void TL2::FinishDrain(const LinkKey& key, bool link_gone) {
  auto it = drains_.find(key);
  if (it == drains_.end()) return;
  // Take the frames out first: sending may re-enter the link.
  std::vector<QueuedFrame> after = std::move(it->second.After);
  drains_.erase(it);
  links_with_data_.erase(key);
  for (const auto& f : after) {
    // A 'd' for a link that is gone would only bring a notice for a link
    // nobody holds, or end the new link of the same pair.
    if (link_gone && f.Kind == 'd' && LinkKey{KeyPort(f.Port), f.From, f.To} == key) continue;
    Write(f.Port, f.PID, f.Kind, f.From, f.To, f.Data);
  }
}

void TL2::FinishDrainsOf(const std::string& own) {
  try {
    std::vector<LinkKey> mine;
    for (const auto& entry : drains_) {
      if (std::get<1>(entry.first) == own) mine.push_back(entry.first);
    }
    for (const auto& key : mine) {
      W(3, "{L2} Link " + own + "->" + std::get<2>(key) + " ended now for a new session");
      FinishDrain(key);
    }
    if (drains_.empty() && drain_timer_) drain_timer_->SetEnabled(false);
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module FinishDrainsOf");
  }
}

void TL2::FinishAllDrains() {
  try {
    while (!drains_.empty()) {
      const LinkKey key = drains_.begin()->first;  // a copy: the entry goes
      FinishDrain(key);
    }
    if (drain_timer_) drain_timer_->SetEnabled(false);
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module FinishAllDrains");
  }
}

// The link ended, or a connect notice made it anew: the engine holds no
// queue for it any more, and the old drain's 'd' must not reach it.
void TL2::NoteLinkEnded(uint8_t port, const std::string& own, const std::string& remote) {
  const LinkKey key{KeyPort(port), own, remote};
  links_with_data_.erase(key);
  if (!drains_.count(key)) return;
  W(3, "{L2} Link " + own + "->" + remote + " ended while draining, no disconnect sent");
  FinishDrain(key, true);
  if (drains_.empty() && drain_timer_) drain_timer_->SetEnabled(false);
}

void TL2::DropDrains() {
  if (!drains_.empty()) {
    W(1, "{L2} Engine link lost: " + std::to_string(drains_.size()) + " pending disconnects dropped");
  }
  drains_.clear();
  links_with_data_.clear();
  if (drain_timer_) drain_timer_->SetEnabled(false);
}

}  // namespace harvox
