// Flow control towards the radio.  A radio link carries about a hundred
// bytes a second; a source that is read at full speed would queue its
// whole output inside the engine, for hours.  For each watched link the
// frames sent are counted until the engine's outstanding-frame count ('Y')
// covers them, and the owner's source is held while that estimate reaches
// the link's window.  The window adapts: it doubles whenever the engine
// reports the link empty before it was held through a poll tick (it keeps
// up with us, as a local or fast port does, and no radio link can), and
// halves again for each second held, down to kFlowWindow.  The
// data and its order are untouched; only its pace follows the radio.
//
// Inside a SendBatch the question is put off to the batch's end: one 'Y'
// per link however many sends fed it, asked after the last of them.
//
// Re-entrancy: FOnFlow runs inside a send or inside the read path; the
// handler may call any operation of the link (even ForgetFlow of the same
// link), but must not destroy the link.
#include <exception>

#include "agw/l2.h"
#include "util/log.h"
#include "util/timer.h"

namespace harvox {
namespace {

// Ports 0 and 1 both travel as wire port 0 and come back as 1.
uint8_t FlowPort(uint8_t port) { return port == 0 ? 1 : port; }
// Poll ticks to wait for an answer before asking again.
constexpr uint32_t kFlowPatience = 20;
// Poll ticks held after which a grown window halves.
constexpr uint32_t kFlowShrinkTicks = 4;

}  // namespace

size_t TL2::LinkKeyHash::operator()(const LinkKey& k) const {
  const std::hash<std::string> text;
  size_t h = text(std::get<1>(k));
  h ^= text(std::get<2>(k)) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  return h ^ std::get<0>(k);
}

void TL2::WatchFlow(uint8_t port, const std::string& own, const std::string& remote) {
  flows_.try_emplace(LinkKey{FlowPort(port), own, remote});
}

void TL2::ForgetFlow(uint8_t port, const std::string& own, const std::string& remote) {
  const LinkKey key{FlowPort(port), own, remote};
  flows_.erase(key);
  held_flows_.erase(key);
  due_flow_ = nullptr;
}

bool TL2::FlowHeld(uint8_t port, const std::string& own, const std::string& remote) const {
  auto it = flows_.find(LinkKey{FlowPort(port), own, remote});
  return it != flows_.end() && it->second.Held;
}

uint32_t TL2::FlowRoom(uint8_t port, const std::string& own, const std::string& remote) const {
  auto it = flows_.find(LinkKey{FlowPort(port), own, remote});
  if (it == flows_.end()) return kFlowWindow;
  const Flow& f = it->second;
  return f.Held || f.Full() ? 1 : static_cast<uint32_t>(f.Window - f.Estimate());
}

TL2::SendBatch::SendBatch(TL2& link) : link_(link) {
  if (link_.batch_depth_++ == 0 && link_.batch_ == nullptr) link_.batch_ = &link_.batch_frames_;
}

TL2::SendBatch::~SendBatch() {
  if (--link_.batch_depth_ != 0) return;
  try {
    link_.AskDueFlows();
  } catch (const std::exception&) {
    link_.W(1, "{L2} Exception on module SendBatch");
  }
  std::string frames = std::move(link_.batch_frames_);
  link_.batch_frames_.clear();
  if (link_.batch_ == &link_.batch_frames_) link_.batch_ = nullptr;
  if (!frames.empty()) link_.SendAGW(frames);
}

void TL2::NoteDataSent(uint8_t port, const std::string& own, const std::string& remote,
                       uint32_t frames) {
  try {
    const uint8_t wire = FlowPort(port);
    // A run of lines for one link in one batch: noted and due to be asked already.
    if (batch_depth_ > 0 && due_flow_ != nullptr) {
      const LinkKey& last = asks_due_.back();
      if (std::get<0>(last) == wire && std::get<1>(last) == own && std::get<2>(last) == remote) {
        due_flow_->Unasked += frames;
        return;
      }
    }
    LinkKey key{wire, own, remote};
    links_with_data_.insert(key);
    auto it = flows_.find(key);
    if (it == flows_.end()) return;
    Flow& f = it->second;
    f.Unasked += frames;
    if (batch_depth_ == 0) {
      AskFlow(key, f);
      return FlowUpdate(key, f);
    }
    due_flow_ = nullptr;
    if (f.AskDue) return;
    f.AskDue = true;
    asks_due_.push_back(std::move(key));
    due_flow_ = &f;
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module NoteDataSent");
  }
}

// The batch ends: one question for each link it sent to and still watches.
void TL2::AskDueFlows() {
  std::vector<LinkKey> due = std::move(asks_due_);
  asks_due_.clear();
  due_flow_ = nullptr;
  for (const LinkKey& key : due) {
    auto it = flows_.find(key);
    if (it == flows_.end() || !it->second.AskDue) continue;
    it->second.AskDue = false;
    AskFlow(key, it->second);
    FlowUpdate(key, it->second);
  }
}

// One question about the frames sent since the last.  The engine answers
// in order, so its answer is the first that counts them.  One question is
// open at a time: frames sent meanwhile are asked about with the next
// send after its answer (or at the answer, when the link is full).
void TL2::AskFlow(const LinkKey& key, Flow& f) {
  if (f.Asking) return;
  f.Asking = true;
  f.Asked += f.Unasked;
  f.Unasked = 0;
  f.Waited = 0;
  Write(std::get<0>(key), 0, 'Y', std::get<1>(key), std::get<2>(key), {});
}

void TL2::FlowReply(const FrameHeader& h, std::string_view data) {
  if (data.size() < 4) return;
  const LinkKey key{FlowPort(h.Port), h.CallFrom, h.CallTo};
  auto it = flows_.find(key);
  if (it == flows_.end()) return;
  const auto* b = reinterpret_cast<const uint8_t*>(data.data());
  const uint32_t count = b[0] | b[1] << 8 | static_cast<uint32_t>(b[2]) << 16 |
                         static_cast<uint32_t>(b[3]) << 24;
  Flow& f = it->second;
  f.Count = count;
  f.Asking = false;
  f.Asked = 0;
  f.Waited = 0;
  // Empty before a poll tick went by: the engine keeps up with us, as no
  // radio link can.
  if (count == 0 && f.HeldTicks == 0 && f.Window < kFlowWindowMost) {
    f.Window *= 2;
    W(4, "{L2} Link " + h.CallFrom + "->" + h.CallTo + " empty, window " + std::to_string(f.Window));
  }
  if (count >= f.Window) {
    f.Above = true;
  } else if (count < f.Window / 2) {
    f.Above = false;
  }
  // Frames sent while a question was open are asked about with the next
  // send, or now when nothing will be sent before an answer.
  if (f.Unasked > 0 && !f.AskDue && f.Full()) AskFlow(key, f);
  FlowUpdate(key, f);
}

// Reports a change of the held state, and keeps asking while any link is
// held: no send will ask for it, and an answer may have been lost.
void TL2::FlowUpdate(const LinkKey& key, Flow& f) {
  const bool held = f.Full();
  if (held) {
    held_flows_.insert(key);
  } else {
    held_flows_.erase(key);
    f.HeldTicks = 0;
  }
  if (held && !flow_timer_) {
    flow_timer_ = std::make_unique<Timer>();
    flow_timer_->SetHandler([this](Timer&) { FlowTick(); });
  }
  if (held && FlowPollMs != 0 && !flow_timer_->Enabled()) {
    flow_timer_->SetInterval(FlowPollMs);
    flow_timer_->SetEnabled(true);
  }
  if (held == f.Held) return;
  f.Held = held;
  W(4, "{L2} Link " + std::get<1>(key) + "->" + std::get<2>(key) + (held ? " held" : " free") +
           " Outstanding(" + std::to_string(f.Count) + ")");
  if (FOnFlow) FOnFlow(*this, std::get<0>(key), std::get<1>(key), std::get<2>(key), held);
}

void TL2::FlowTick() {
  try {
    // Only held links have work; walking every watched link on each tick
    // would cost the whole table many times a second.
    for (auto k = held_flows_.begin(); k != held_flows_.end();) {
      auto it = flows_.find(*k);
      if (it == flows_.end()) {
        k = held_flows_.erase(k);
        continue;
      }
      Flow& f = it->second;
      const LinkKey& key = *k++;
      if (++f.HeldTicks % kFlowShrinkTicks == 0 && f.Window > kFlowWindow) {
        f.Window /= 2;
        W(4, "{L2} Link " + std::get<1>(key) + "->" + std::get<2>(key) + " slow, window " +
                 std::to_string(f.Window));
      }
      // Ask again when no answer is outstanding, or when one seems lost.
      if (f.Asking && ++f.Waited < kFlowPatience) continue;
      f.Asking = false;
      AskFlow(key, f);
    }
    if (held_flows_.empty() && flow_timer_) flow_timer_->SetEnabled(false);
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module FlowTick");
  }
}

// The engine connection is gone, and every link with it.
void TL2::DropFlows() {
  flows_.clear();
  asks_due_.clear();
  due_flow_ = nullptr;
  held_flows_.clear();
  if (flow_timer_) flow_timer_->SetEnabled(false);
}

}  // namespace harvox
