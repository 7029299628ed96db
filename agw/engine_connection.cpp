// The engine connection: transport events, the receive loop and the hand-
// out of frames to the links.  Every entry from the transport catches what
// fails inside it and writes its fixed "Exception on module" line.
#include "agw/engine_connection.h"

#include <exception>
#include <utility>

#include "agw/l2.h"
#include "agw/tcp_client.h"
#include "util/event_loop.h"
#include "util/log.h"
#include "util/timer.h"

namespace harvox {

EngineConnection::EngineConnection(TLog* log, bool shared)
    : log_(log), shared_(shared), tcp_(std::make_unique<TTCPClient>(log)) {
  tcp_->OnConnected = [this](TTCPClient&, int c) { Connected(c); };
  tcp_->OnDisconnected = [this](TTCPClient&, int c) { Lost(c, false); };
  tcp_->OnDataAvailable = [this](TTCPClient&, int c) { Read(c); };
  tcp_->OnError = [this](TTCPClient&, int c) { Lost(c, true); };
  tcp_->OnBacklog = [this](TTCPClient&, int c) { Backlog(c); };
  if (shared_) W(1, "{AGW} Shared engine connection created");
}

EngineConnection::~EngineConnection() {
  members_.clear();  // no event reaches a link from here on
  poll_timer_.reset();
  tcp_.reset();
}

void EngineConnection::W(uint8_t level, std::string_view text) {
  if (log_) log_->Write(level, text);
}

size_t EngineConnection::Members() const {
  size_t n = 0;
  for (const auto& m : members_) n += m.Link != nullptr;
  return n;
}

int EngineConnection::Attach(TL2& link) {
  members_.push_back(Member{&link, false});
  return static_cast<int>(members_.size() - 1);
}

void EngineConnection::Detach(int slot) {
  if (slot < 0 || static_cast<size_t>(slot) >= members_.size()) return;
  const bool was_open = members_[slot].Open;
  members_[slot] = Member{};
  demux_.Forget(slot);
  if (!shared_ || !was_open) return;
  SyncModes();
  bool anyone = false;
  for (const auto& m : members_) anyone = anyone || (m.Link && m.Open);
  if (!anyone) tcp_->SetActive(false);
}

template <typename Fn>
void EngineConnection::ForEachOpen(Fn fn) {
  for (size_t i = 0; i < members_.size(); ++i) {
    const Member& m = members_[i];
    if (m.Link && (!shared_ || m.Open)) fn(*m.Link);
  }
}

bool EngineConnection::Join(int slot) {
  Member& m = members_.at(slot);
  m.Open = true;
  if (!shared_) return false;
  demux_.Name(slot, m.Link->CallSign());
  if (tcp_->Active) {
    W(3, "{AGW} Link " + m.Link->CallSign() + " joins the shared engine connection");
    JoinLater(slot);
    return true;
  }
  return connecting_;
}

// Told from the loop, as a connection's coming up is: the caller of Open
// never hears of the link inside Open.
void EngineConnection::JoinLater(int slot) {
  Defer([life = std::weak_ptr<char>(life_), this, slot] {
    if (life.expired()) return;
    const Member& m = members_[slot];
    if (!m.Link || !m.Open || m.Link->Active || !tcp_->Active) return;
    m.Link->AGWConnect(0);
    SyncModes();
  });
}

void EngineConnection::OpenTransport(int slot) {
  const TL2& link = *members_.at(slot).Link;
  poll_ms_ = static_cast<uint32_t>(link.PollInterval);
  if (!poll_timer_ && link.PollEnabled) {
    poll_timer_ = std::make_unique<Timer>();
    poll_timer_->SetHandler([this](Timer&) { PollTick(); });
    poll_timer_->SetInterval(poll_ms_);
    poll_timer_->SetEnabled(true);
  }
  connecting_ = true;
  tcp_->Open();
}

void EngineConnection::Leave(int slot) {
  Member& m = members_.at(slot);
  if (!shared_) return tcp_->SetActive(false);
  const bool was_open = m.Open;
  m.Open = false;
  if (!was_open) return;
  // As the close of its own connection would: the link hears it is down.
  if (m.Link->Active) m.Link->AGWDisc(0);
  SyncModes();
  bool anyone = false;
  for (const auto& other : members_) anyone = anyone || (other.Link && other.Open);
  if (anyone) return;
  connecting_ = false;
  tcp_->SetActive(false);
}

bool EngineConnection::CanSend(int slot) const {
  if (!tcp_->Active) return false;
  if (!shared_) return true;
  const Member& m = members_.at(slot);
  return m.Open && m.Link->Active;
}

bool EngineConnection::TakeLogin() { return std::exchange(login_due_, false); }

void EngineConnection::SyncModes() {
  if (!tcp_->Active) return;
  bool want_monitor = false, want_raw = false;
  TL2* writer = nullptr;
  ForEachOpen([&](TL2& link) {
    if (!link.Active) return;
    want_monitor = want_monitor || link.MonitorWanted();
    want_raw = want_raw || link.RawMonitor;
    if (!writer) writer = &link;
  });
  if (!writer) return;
  // Both are toggles on the engine's side: sent only when the want changes.
  if (want_raw != raw_on_) writer->Write(0, 0, 'k', "", "", {});
  raw_on_ = want_raw;
  if (want_monitor != monitor_on_) writer->Write(0, 0, 'm', "", "", {});
  monitor_on_ = want_monitor;
}

bool EngineConnection::Sending(int slot, uint8_t port, char kind, const std::string& from,
                               const std::string& to) {
  if (!shared_) return true;
  if (kind == 'X') {
    const Demux::LinkId holder = demux_.Holder(slot, from);
    if (holder != Demux::kNoLink) {
      const TL2* other = members_.at(holder).Link;
      W(1, "{AGW} Callsign " + from + " is registered by link " + (other ? other->CallSign() : "?") +
               " on the shared engine connection; registration for link " +
               members_.at(slot).Link->CallSign() + " refused");
      RefuseLater(slot, from);
      return false;
    }
  }
  demux_.Sent(slot, port, kind, from, to);
  return true;
}

// The refused link hears the engine's "no" from the loop, as a reply.
void EngineConnection::RefuseLater(int slot, const std::string& call) {
  Defer([life = std::weak_ptr<char>(life_), this, slot, call] {
    if (life.expired()) return;
    const Member& m = members_[slot];
    if (!m.Link || !m.Open) return;
    FrameHeader h;
    h.DataKind = 'X';
    h.CallFrom = call;
    m.Link->Decode(h, std::string_view("\0", 1));
  });
}

void EngineConnection::Send(std::string_view bytes) { tcp_->SendText(bytes); }

void EngineConnection::Connected(int code) {
  try {
    connecting_ = false;
    // A new connection is a new stream: bytes of an earlier one must never
    // be read as the start of this one.
    rx_.Reset();
    demux_.Reset();
    login_due_ = true;
    monitor_on_ = raw_on_ = false;
    if (poll_timer_) {
      poll_timer_->SetInterval(poll_ms_);
      poll_timer_->Restart();
    }
    if (shared_) W(1, "{AGW} Shared engine connection up");
    ForEachOpen([&](TL2& link) {
      if (!shared_ || !link.Active) link.AGWConnect(code);
    });
    SyncModes();
  } catch (const std::exception&) {
    W(1, "{AGW} Exception on module Connected");
  }
}

// The engine has dropped every link and registration of this connection.
void EngineConnection::Lost(int code, bool error) {
  try {
    connecting_ = false;
    demux_.Reset();
    if (poll_timer_) poll_timer_->SetEnabled(false);
    if (shared_) W(1, "{AGW} Shared engine connection lost, telling every link");
    ForEachOpen([&](TL2& link) {
      if (error) {
        link.AGWError(code);
      } else {
        link.AGWDisc(code);
      }
    });
  } catch (const std::exception&) {
    W(1, "{AGW} Exception on module Lost");
  }
}

void EngineConnection::Backlog(int code) {
  ForEachOpen([&](TL2& link) { link.AGWBacklog(code); });
}

void EngineConnection::PollTick() {
  if (poll_timer_) poll_timer_->SetEnabled(false);
  Read(0);
}

void EngineConnection::Read(int code) {
  try {
    if (poll_timer_) {
      poll_timer_->SetInterval(poll_ms_);
      poll_timer_->Restart();
    }
    ForEachOpen([&](TL2& link) { link.LastError = code & 0xFFFF; });
    const int n = tcp_->Receive(rx_buffer_.data(), rx_buffer_.size());
    if (n < 1) return;
    const std::string_view bytes(rx_buffer_.data(), static_cast<size_t>(n));
    W(5, "{L2} Read from AGWPE Socket ");
    if (log_) log_->Dump(5, bytes);
    Store(bytes);
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module AGWRead");
  }
}

void EngineConnection::Store(std::string_view bytes) {
  try {
    const bool sound = rx_.Store(
        bytes, [this](const FrameHeader& h, std::string_view data) { Dispatch(h, data); });
    if (sound || !tcp_->Active) return;
    // A length no engine sends: the stream cannot be framed any more.  The
    // connection is closed, and its loss path tells the services.
    W(1, "{L2} Corrupt frame header from AGWPE (length over 65535), closing the engine connection");
    tcp_->Close();
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module Store");
  }
}

void EngineConnection::Dispatch(const FrameHeader& h, std::string_view data) {
  if (shared_) return DispatchShared(h, data);
  if (!members_.empty() && members_[0].Link) members_[0].Link->Decode(h, data);
}

void EngineConnection::DispatchShared(const FrameHeader& h, std::string_view data) {
  const Demux::Route r = demux_.Receive(h, data);
  using To = Demux::Route::To;
  size_t told = 0;
  if (r.Where == To::Link) {
    const Member& m = members_.at(r.Link);
    if (m.Link && m.Open) {
      ++told;
      m.Link->Decode(h, data);
    }
  } else if (r.Where == To::Monitor || r.Where == To::Raw) {
    for (size_t i = 0; i < members_.size(); ++i) {
      TL2* link = members_[i].Open ? members_[i].Link : nullptr;
      if (!link || !(r.Where == To::Raw ? link->RawMonitor != 0 : link->MonitorWanted())) continue;
      ++told;
      link->Decode(h, data);
    }
  }
  if (told > 0 || !log_ || !log_->Enabled(3)) return;
  W(3, std::string("{AGW} Frame Kind[") + h.DataKind + "] Port(" + std::to_string(h.Port) + ") <" +
           h.CallFrom + "> <" + h.CallTo + "> is for no link (" +
           (r.Why.empty() ? "its link has left" : r.Why) + "), dropped");
}

}  // namespace harvox
