// Link set-up and the send path of TL2 (the receive loop is the engine
// connection's).  Every public operation catches what fails inside it and
// writes its fixed "Exception on module" line; nothing escapes to the service.
#include "agw/l2.h"

#include <exception>
#include <utility>

#include "agw/engine_connection.h"
#include "agw/tcp_client.h"
#include "net/ip_text.h"
#include "net/winsock.h"
#include "util/log.h"
#include "util/strings.h"
#include "util/timer.h"

namespace harvox {

TL2::TL2(TLog* log) : Log(log), conn_(std::make_shared<EngineConnection>(log, false)) {
  slot_ = conn_->Attach(*this);
}

TL2::~TL2() {
  refresh_timer_.reset();
  W(1, "{L2} AGW Object Destroyed");
  // The link leaves first so no socket event can reach a half-destroyed link.
  conn_->Detach(slot_);
  conn_.reset();
}

TTCPClient& TL2::Transport() { return conn_->Transport(); }
const TTCPClient& TL2::Transport() const { return conn_->Transport(); }

void TL2::UseConnection(std::shared_ptr<EngineConnection> connection) {
  if (!connection || connection == conn_) return;
  if (Active) return W(1, "{L2} Error can not change the engine connection while active");
  conn_->Detach(slot_);
  conn_ = std::move(connection);
  slot_ = conn_->Attach(*this);
}

void TL2::Store(std::string_view bytes) { conn_->Store(bytes); }

bool TL2::MonitorWanted() const { return monitor_.find_first_of("UISC") != std::string::npos; }

void TL2::W(uint8_t level, std::string_view text) {
  if (Log) Log->Write(level, text);
}

void TL2::D(uint8_t level, std::string_view data) {
  if (Log) Log->Dump(level, data);
}

bool TL2::Tracing(uint8_t level) const { return Log && Log->Enabled(level); }

void TL2::SetAddress(const std::string& value) {
  if (Active) return W(1, "{L2} Error can not change the IP Address while active");
  W(3, "{L2} Set Address " + value);
  address_ = value;
}

void TL2::SetPort(int32_t value) {
  if (Active) return W(1, "{L2} Error can not change the TCP Port while active");
  W(3, "{L2} Set TCP Port " + std::to_string(value));
  if (value != 0) port_ = value;
}

void TL2::SetCallSign(const std::string& value) {
  if (Active) return W(1, "{L2} Error can not change the callsign while active");
  W(3, "{L2} Set CallSign " + value);
  callsign_ = value;
}

void TL2::SetMonitor(const std::string& value) {
  W(1, "{L2} Set Monitor <" + value + "> CallSign(" + callsign_ + ")");
  const std::string upper = UpperText(value);
  if (upper.empty() || upper.find_first_not_of("MIUSCN") != std::string::npos) return;
  monitor_ = upper;
  conn_->SyncModes();  // 'm' toggles the engine's monitoring, when the want changes
}

void TL2::ClearPorts() {
  NumPorts = 16;
  for (auto& p : Ports) p = PCB{};
}

void TL2::Configure(const std::string& call, const EngineAddress& at, uint8_t raw_monitor) {
  SetCallSign(call);
  if (!at.HostName.empty()) HostName = at.HostName;
  SetAddress(at.Address);
  SetPort(at.Port);
  SetMonitor("N");
  RawMonitor = raw_monitor;
  PortRefresh = 0;
  Login = at.Login;
  Password = at.Password;
}

void TL2::Open() {
  try {
    if (address_.empty() && HostName.empty()) {
      return W(1, "{L2} ERROR No IP Address or HostName indicated, object creation aborted");
    }
    if (callsign_.empty()) return W(1, "{L2} ERROR No CallSign indicated, object creation aborted");
    ClearPorts();
    if (conn_->Join(slot_)) return W(3, "{L2} AGW Object joins the shared engine connection");
    TTCPClient& tcp = conn_->Transport();
    if (!HostName.empty()) {
      tcp.HostName = HostName;
    } else if (CheckIP(address_).Verdict == IpVerdict::Address || net::IpAddressText(address_)) {
      tcp.Address = address_;  // IPv4 or IPv6
    } else {
      // An address given as a name ("localhost") is looked up like HOSTNAME.
      tcp.HostName = address_;
    }
    tcp.Port = port_;
    conn_->OpenTransport(slot_);
    W(1, "{L2} AGW Object Opened HostName(" + tcp.HostName + ") Addr(" + tcp.Address + ":" +
             std::to_string(tcp.Port) + ")");
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module Open");
  }
}

void TL2::Close() {
  try {
    refresh_timer_.reset();
    W(1, "{L2} AGW Object Closed " + Transport().Address + ":" + std::to_string(Transport().Port));
    conn_->Leave(slot_);
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module Close");
  }
}

void TL2::AGWBacklog(int code) {
  try {
    W(3, code ? "{L2} Engine link backlog, data held" : "{L2} Engine link backlog cleared");
    if (FOnBacklog) FOnBacklog(*this, code != 0);
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module AGWBacklog");
  }
}

void TL2::AGWConnect(int code) {
  try {
    W(1, "{L2} Connected with AGWPE");
    Active = 1;
    StateSince = std::chrono::system_clock::now();
    LastError = code & 0xFFFF;
    links_with_data_.clear();
    // The login goes once per connection, with the first link up on it.
    if (!Password.empty() && !Login.empty() && conn_->TakeLogin()) {
      W(3, "{L2} Sending Login Frame User(" + Login + ") Paswd(****)");
      const std::string info = BuildLogin(Login, Password);
      W(4, "{L2} <OnAGWUp> Login Frame Info Area");
      D(4, info);
      Write(0, 0, 'P', "", "", info);
    }
    if (FOnAGWUp) {
      W(4, "{L2} Fired Event <FOnAGWUp>");
      FOnAGWUp(*this);
    }
    Write(0, 0, 'G', "", "", {});
    Write(0, 0, 'R', "", "", {});
    // 'k' and 'm' follow from the connection, once for all its links.
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module AGWConnect");
  }
}

void TL2::AGWDisc(int code) {
  LinkEnded(code, "{L2} Disconnected from AGWPE", FOnAGWDown, "FOnAGWDown", "AGWDisc");
}

void TL2::AGWError(int code) {
  // Where the engine was sought and the system's reason: what a sysop needs
  // first when the engine cannot be reached.
  const int err = code & 0xFFFF;
  const TTCPClient& tcp = Transport();
  const std::string line = "{L2} <AGWError> Socket Error from AGWPE Addr(" +
                           (tcp.HostName.empty() ? "" : tcp.HostName + " ") + tcp.Address + ":" +
                           std::to_string(tcp.Port) + "): " + net::WinsockText(err) + " (" +
                           std::to_string(err) + ")";
  LinkEnded(code, line.c_str(), FOnAGWError, "FOnAGWError", "AGWError");
}

// The engine connection is gone, closed or failed: the engine has dropped
// every link of it, so nothing waits for a link to drain any more.
void TL2::LinkEnded(int code, const char* line, const LinkEvent& event, const char* event_name,
                    const char* module) {
  try {
    W(1, line);
    Active = 0;
    StateSince = std::chrono::system_clock::now();
    LastError = code & 0xFFFF;
    DropDrains();
    DropFlows();
    if (event) {
      W(4, std::string("{L2} Fired Event <") + event_name + ">");
      event(*this);
    }
  } catch (const std::exception&) {
    W(1, std::string("{L2} Exception on module ") + module);
  }
}

bool TL2::Write(uint8_t port, uint8_t pid, char kind, const std::string& from,
                const std::string& to, std::string_view data) {
  try {
    if (!conn_->CanSend(slot_)) {
      W(2, "{L2} L2 Frame not sent because there is no TCP/IP connection with AGWPE");
      return false;
    }
    if (Tracing(4)) {
      W(4, "{L2} <Write> Port(" + std::to_string(port) + ") DK[" + kind + "] Pid(" + ByteToHex(pid) +
               ") From(" + from + ") To(" + to + ") DK[" + kind + "] Len(" +
               std::to_string(data.size()) + ") using object(" + callsign_ + ")");
    }
    D(5, data);
    if (!conn_->Sending(slot_, port, kind, from, to)) return false;
    Send(port, pid, kind, from, to, data);
    return true;
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module Write");
    return false;
  }
}

bool TL2::Send(uint8_t port, uint8_t pid, char kind, const std::string& from,
               const std::string& to, std::string_view data) {
  try {
    if (!conn_->CanSend(slot_)) {
      W(5, "{L2} <Send> Invalid Socket or Inactive Socket AGWPE, discard");
      return false;
    }
    if (Tracing(4)) W(4, "{L2} <Send> Frame Header iLen(" + std::to_string(data.size()) + ")");
    // Inside a batch the frames are built where they will leave from.
    std::string own;
    std::string& out = batch_ ? *batch_ : own;
    const size_t first = out.size();
    const size_t count = AppendFrames(out, port, pid, kind, from, to, data);
    if (count == 0) {
      W(1, "{L2} <Send> Frame too long for one frame, refused Len(" + std::to_string(data.size()) + ")");
      return false;
    }
    const std::string_view frames = std::string_view(out).substr(first);
    if (Tracing(5)) D(5, std::string(frames.substr(0, kHeaderSize)) + std::string(data));
    ++FramesOut;
    // Every frame but the last is a partial delivery; the last completes it.
    if (Tracing(4)) {
      for (size_t i = 0, at = 0; i < count; ++i) {
        const size_t len = kHeaderSize + ParseHeader(frames.data() + at).DataLen;
        W(4, data.empty()      ? "{L2} <Send> Sent Frame with Header Alone"
             : i + 1 == count ? "{L2} <Send> Send Frame Header+Info"
                              : "{L2} <Send> Frame Split, partial delivery");
        D(5, frames.substr(at, len));
        at += len;
      }
    }
    if (&out == &own) SendAGW(own);
    return true;
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module Send");
    return false;
  }
}

void TL2::SendAGW(std::string_view bytes) {
  try {
    if (!conn_->CanSend(slot_)) {
      return W(1, "{L2} ERROR attempt to send to AGWPE with no active connection");
    }
    if (batch_) {
      batch_->append(bytes);
      return;
    }
    conn_->Send(bytes);
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module SendAGW");
  }
}

bool TL2::AGWRegister(const std::string& call) { return SendRegistration('X', call, "AGWRegister"); }

bool TL2::AGWUnRegister(const std::string& call) {
  return SendRegistration('x', call, "AGWUnRegister");
}

// 'X' or 'x' for a callsign: true once handed to Write, even when the link
// is down and the frame was dropped; the engine's reply comes as an event.
bool TL2::SendRegistration(char kind, const std::string& call, const char* module) {
  if (call.empty()) return false;
  try {
    Write(0, 0, kind, call, "", {});
    return true;
  } catch (const std::exception&) {
    W(1, std::string("{L2} Exception on module ") + module);
    return false;
  }
}

void TL2::ConnectExt(uint8_t port, uint8_t pid, const std::string& own, const std::string& remote,
                     const std::string& via) {
  try {
    std::string info;
    if (!via.empty()) {
      W(4, "{L2} Connect with VIA Information");
      const std::string joined = NormaliseVia(via);
      if (!joined.empty()) {
        info = BuildVia(joined);
        W(4, "{L2} VIA->[" + joined + "]");
        D(5, info);
      }
    }
    if (pid == 0 || pid == 0xF0) {
      Write(port, 0, info.empty() ? 'C' : 'v', own, remote, info);
    } else if (!via.empty()) {
      Write(port, 0, 'v', own, remote, info);
    } else {
      Write(port, pid, 'c', own, remote, std::string(1, static_cast<char>(pid)));
    }
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module ConnectExt");
  }
}

void TL2::DisconnectExt(uint8_t port, const std::string& own, const std::string& remote) {
  try {
    Write(port, 0, 'd', own, remote, {});
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module Disconnect Ext");
  }
}

void TL2::SendData(int32_t port, uint8_t pid, const std::string& own, const std::string& remote,
                   std::string_view data) {
  try {
    if (Tracing(4))
      W(4, "{L2} SendData Received Port(" + std::to_string(port) + ") Pid(" + std::to_string(pid) +
               ") To(" + remote + ")");
    D(5, data);
    const auto wire_port = static_cast<uint8_t>(port);
    // The data and the flow question leave in one write: sent apart, the
    // small question would wait for the engine's delayed acknowledgement.
    std::string batch;
    const bool outer = batch_ == nullptr;
    if (outer) batch_ = &batch;
    if (Write(wire_port, pid, 'D', own, remote, data)) {
      const size_t frames = IsSplitExempt('D', pid) || data.size() <= kSplitSize
                                ? 1
                                : (data.size() + kSplitSize - 1) / kSplitSize;
      NoteDataSent(wire_port, own, remote, static_cast<uint32_t>(frames));
    }
    if (outer) {
      batch_ = nullptr;
      if (!batch.empty()) SendAGW(batch);
    }
  } catch (const std::exception&) {
    if (batch_depth_ == 0) batch_ = nullptr;  // an open SendBatch keeps its frames
    W(1, "{L2} Exception on module SendData");
  }
}

bool TL2::IsIP(const std::string& text) {
  const IpSegments ip = CheckIP(text);
  const auto& s = ip.Segment;
  W(3, "{L2} <IsIP> Address(" + text + ") Parsed as IP1(" + s[0] + ") IP2(" + s[1] + ") IP3(" +
           s[2] + ") IP4(" + s[3] + ")");
  switch (ip.Verdict) {
    case IpVerdict::EmptySegment:
      W(3, "{L2} One or more segments are empty, must be a HostName");
      return false;
    case IpVerdict::NonNumeric:
      W(3, "{L2} One or more segments are non-numeric, must be a HostName");
      return false;
    case IpVerdict::OutOfRange:
      W(3, "{L2} Some not between 0..255 , must be a HostName");
      return false;
    case IpVerdict::Address:
      break;
  }
  W(3, "{L2} All segments numeric and between 0..255 , must be an IP Address");
  return true;
}

}  // namespace harvox
