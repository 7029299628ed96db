// Decode: every complete frame from the engine becomes link state or an
// event.  Each kind is handled under its own guard, so a fault in one frame
// (or in a service's handler) is logged and the next frame is still read.
#include <exception>
#include <stdexcept>

#include "agw/l2.h"
#include "agw/monitor_decode.h"
#include "util/log.h"
#include "util/strings.h"
#include "util/timer.h"

namespace harvox {
namespace {

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\r')); }

// The fifth blank-separated word of a status line, up to its CR:
// "*** CONNECTED With Station N0BBB-7\r" gives "N0BBB-7".
std::string RemoteCall(const std::string& text) {
  std::string rest = text;
  for (int i = 0; i < 4; ++i) CutWord(rest);
  const size_t start = rest.find_first_not_of(' ');
  if (start == std::string::npos) return {};
  return rest.substr(start, rest.find('\r', start) - start);
}

bool Contains(const std::string& s, const char* what) { return s.find(what) != std::string::npos; }

}  // namespace

void TL2::LogFrame(const FrameHeader& h, size_t len) {
  const char k = h.DataKind;
  const bool quiet = k == 'H' || k == 'G' || k == 'g';
  const uint8_t level = quiet ? 5 : 4;
  if (!Log || !Log->Enabled(level)) return;
  const std::string head = "Port(" + std::to_string(h.Port) + ") Kind[" + std::string(1, k) + "]";
  const std::string tail = " {" + ByteToHex(h.PID) + "} <" + h.CallFrom + "> <" + h.CallTo +
                           "> Len(" + std::to_string(len) + ") + DATA";
  if (quiet || k == 'I' || k == 'U' || k == 'S' || k == 'T') {
    W(level, "{L2} Obj(" + callsign_ + ") Decode Args " + head + tail);
  } else if (k == 'K') {
    W(level, "{L2} Decode KISS Obj(" + callsign_ + ") " + head + " Len(" + std::to_string(len) +
                 ") + RAW AX.25 Frame");
  } else {
    W(level, "{L2} Decode Args Obj(" + callsign_ + ") " + head + tail);
  }
}

void TL2::Decode(const FrameHeader& raw, std::string_view data) {
  FrameHeader h;
  ++FramesIn;
  try {
    LogFrame(raw, data.size());
    if (raw.DataKind == 'I' || raw.DataKind == 'S' || raw.DataKind == 'T') {
      W(4, std::string("AGWMessage <") + raw.DataKind + ">");
      D(5, data);
    }
    h = raw;
    h.CallTo = UpperText(raw.CallTo);
    h.CallFrom = UpperText(raw.CallFrom);
    if (FOnFrame) FOnFrame(*this, h.Port, h.PID, h.DataKind, h.CallFrom, h.CallTo, data);
  } catch (const std::exception&) {
    return W(1, "{L2} Exception on Module TL2.Decode (Initial)");
  }
  DecodeKind(h, data);
}

void TL2::DecodeKind(const FrameHeader& h, std::string_view data) {
  const char k = h.DataKind;
  try {
    switch (k) {
      case 'K':
        W(5, "AGW Message <K>");
        D(5, data);
        if (FOnKissFrame) FOnKissFrame(*this, h.Port, data);
        break;
      case 'H':
        if (h.CallFrom.find_first_not_of(' ') != std::string::npos) ParseHeard(h.Port, data);
        break;
      case 'g':
        ParseParam(h.Port, data);
        if (FOnParameter) {
          W(4, "{L2} Fired Event <FOnParameter>");
          FOnParameter(*this);
        }
        break;
      case 'G':
        W(3, "{L2} Frame <G>");
        D(4, data);
        ParsePort(data);
        W(4, "{L2} Port Information Parsed");
        if (FOnPort) {
          W(4, "{L2} Fired Event <FOnPort>");
          FOnPort(*this);
        }
        break;
      case 'R':
        FrameR(data);
        break;
      case 'y':
        FramePortFrames(h, data);
        break;
      case 'Y':
        FrameY(h, data);
        FlowReply(h, data);
        break;
      case 'X':
      case 'x':
        FrameRegistration(h, data);
        break;
      case 'C':
        FrameC(h, std::string(data));
        break;
      case 'd':
        FrameDisc(h, std::string(data));
        break;
      case 'D':
        FrameD(h, data);
        break;
      case 'U':
        FrameU(h, data);
        break;
      case 'I':
      case 'S':
      case 'T':
        FrameMonitor(h, data);
        break;
      default:
        break;
    }
  } catch (const std::exception&) {
    if (k == 'I' || k == 'S' || k == 'T') {
      W(1, std::string("{L2} Exception on Module TL2.Decode (FrameTSI) Kind{") + k + "}");
    } else {
      W(1, std::string("{L2} Exception on Module TL2.Decode (Frame") + k + ")");
    }
  }
}

void TL2::FrameR(std::string_view data) {
  if (data.size() < 8) return;
  VersionMajor = static_cast<uint8_t>(data[0]) | static_cast<uint8_t>(data[1]) << 8;
  VersionMinor = static_cast<uint8_t>(data[4]) | static_cast<uint8_t>(data[5]) << 8;
  if (!FOnVersion) return;
  W(4, "{L2} Fired Event <FOnVersion>");
  FOnVersion(*this, VersionMajor, VersionMinor);
}

void TL2::FramePortFrames(const FrameHeader& h, std::string_view data) {
  if (data.size() < 4) return;
  const int32_t count = static_cast<uint8_t>(data[0]) | static_cast<uint8_t>(data[1]) << 8;
  if (h.Port >= 1 && h.Port <= 16) Ports[h.Port - 1].Frames = static_cast<uint8_t>(data[0]);
  if (!FOnPortFrames) return;
  W(4, "{L2} Fired Event <FOnPortFrames>");
  FOnPortFrames(*this, h.Port, count);
}

// 'X' and 'x': the flag is set after the event, so a handler still sees the
// state before this reply.
void TL2::FrameRegistration(const FrameHeader& h, std::string_view data) {
  const bool registering = h.DataKind == 'X';
  auto& event = registering ? FOnRegister : FOnUnRegister;
  // The service hears of an empty reply too (it waits for one); only then
  // is the frame itself reported as broken.
  if (event) event(*this, h.CallFrom, data);
  if (data.empty()) throw std::runtime_error("empty registration reply");
  const bool ok = data[0] == 1;
  Registered = registering ? ok : !ok;
}

void TL2::FrameC(const FrameHeader& h, const std::string& text) {
  const std::string line = FirstLine(text);
  // A new link of this pair: whatever waited to end an old one goes now,
  // without its 'd', before the owner hears of the new link.
  if (Contains(text, "CONNECTED To") || Contains(text, "CONNECTED With"))
    NoteLinkEnded(h.Port, h.CallTo, h.CallFrom);
  auto raise = [&](const char* how, const char* fired, const CallEvent& own_event) {
    const std::string remote = RemoteCall(text);
    W(4, std::string("{L2} Connect (") + how + ") String->" + text);
    if (own_event) {
      W(4, std::string("{L2} Fired Event <") + fired + ">");
      own_event(*this, h.Port, remote, line);
    }
    if (FOnConnect) FOnConnect(*this, h.Port, remote, line);
    if (FOnConnectEx) FOnConnectEx(*this, h.Port, h.CallFrom, h.CallTo, line);
  };
  if (Contains(text, "CONNECTED To")) raise("his", "FOnHisConnect", FOnHisConnect);
  if (Contains(text, "CONNECTED With")) raise("my", "FOnMyConnect", FOnMyConnect);
}

void TL2::FrameDisc(const FrameHeader& h, const std::string& text) {
  if (!Contains(text, "DISCONNECTED")) return;
  const std::string line = FirstLine(text);
  // The link is gone: whatever waited for its queue to drain goes out now.
  NoteLinkEnded(h.Port, h.CallTo, h.CallFrom);
  ForgetFlow(h.Port, h.CallTo, h.CallFrom);
  auto raise = [&](const char* how, const char* fired, const CallEvent& own_event,
                   const std::string& remote) {
    W(4, std::string("{L2} Disconnect (") + how + ") String->" + text);
    if (std::string(how) == "his") D(4, remote);
    if (own_event) {
      W(4, std::string("{L2} Fired Event <") + fired + ">");
      own_event(*this, h.Port, remote, line);
    }
    if (FOnDisconnect) {
      W(4, "{L2} Fired Event <FOnDisconnect>");
      FOnDisconnect(*this, h.Port, remote, line);
    }
    if (FOnDisconnectEx) FOnDisconnectEx(*this, h.Port, h.CallFrom, h.CallTo, line);
  };
  if (Contains(text, "RETRYOUT")) {
    raise("retryout", "FOnRetryOut", FOnRetryOut, RemoteCall(text));
  } else if (Contains(text, "From")) {
    raise("his", "FOnHisDisconnect", FOnHisDisconnect, RemoteCall(text));
  } else if (Contains(text, "With")) {
    raise("my", "FOnMyDisconnect", FOnMyDisconnect, h.CallTo);
  }
}

void TL2::FrameD(const FrameHeader& h, std::string_view data) {
  if (!FOnData) return;
  try {
    W(4, "{L2} About to convert cPid <FOnData>");
    D(4, std::string(1, static_cast<char>(h.PID)));
    W(4, "{L2} Fired Event <FOnData>");
    FOnData(*this, h.Port, h.CallFrom, h.CallTo, h.PID, data);
  } catch (const std::exception&) {
    W(1, "{L2} Exception on Module TL2.Decode (FrameD) L2(" + callsign_ + ")");
    W(1, "{L2} szFrom=" + h.CallFrom + " szTo=" + h.CallTo + " Data=" + std::string(data));
  }
}

void TL2::FrameU(const FrameHeader& h, std::string_view data) {
  MonitorHeader m;
  try {
    m = GetHeader(data, Log);
  } catch (const std::exception&) {
    return W(1, "{L2} Exception on Module TL2.Decode.FrameU(GetHeader)");
  }
  const uint8_t pid = HexToByte(m.PIDText);
  try {
    if (FOnDataUI) {
      W(4, "{L2} Fired Event <FOnDataUI>");
      FOnDataUI(*this, h.Port, m.Source, m.Destination, pid, m.Text);
    }
  } catch (const std::exception&) {
    W(1, "{L2} Exception on Module TL2.Decode.FrameU(OnDataUI Event)");
  }
}

void TL2::FrameMonitor(const FrameHeader& h, std::string_view data) {
  const MonitorHeader m = GetHeader(data, Log);
  const std::string& t = m.FrameType;
  auto has = [&](char letter) { return monitor_.find(letter) != std::string::npos; };
  auto monitor = [&] {
    if (FOnMonitorFrame) FOnMonitorFrame(*this, h.Port, h.CallFrom, h.CallTo, h.PID, data);
  };
  auto iframe = [&] {
    monitor();
    if (!FOnIFrame) return;
    W(4, "{L2} Fired Event <FOnIFrame>");
    FOnIFrame(*this, h.Port, m.Source, m.Destination, m.Digipeaters, t, m.PIDText, m.NR, m.NS,
              m.Length, m.Text);
  };
  auto sframe = [&](int32_t nr) {
    monitor();
    if (!FOnSFrame) return;
    W(4, "{L2} Fired Event <FOnSFrame>");
    FOnSFrame(*this, h.Port, h.CallFrom, h.CallTo, m.Digipeaters, t, nr);
  };
  const bool s_type = t == "RR" || t == "RNR" || t == "REJ";
  const bool c_type = t == "SABM" || t == "UA" || t == "DISC" || t == "DM";
  if (h.DataKind == 'I') {
    if (t == "I" && has('I')) iframe();
  } else if (h.DataKind == 'S') {
    if ((t == "RR" || t == "UA" || t == "REJ" || t == "DM" || t == "DISC" || t == "SABM") && has('S')) {
      sframe(m.NR);
    }
  } else if (t == "I" && has('I')) {
    iframe();
  } else if (t == "UI" && has('U')) {
    monitor();
    if (FOnUIFrame) {
      W(4, "{L2} Fired Event <FOnUIFrame>");
      FOnUIFrame(*this, h.Port, m.Source, m.Destination, m.Digipeaters, t, m.PIDText, m.Length, m.Text);
    }
  } else if (s_type && has('S')) {
    sframe(m.NR);
  } else if (c_type && has('C')) {
    sframe(0);
  }
}

void TL2::ParsePort(std::string_view data) {
  try {
    std::string rest(data);
    const std::string count = CutField(rest, ';');
    const auto n = ToInt32(count);
    if (!n) return;
    NumPorts = *n;
    // The table holds 16 ports; descriptions beyond it are ignored.
    for (int32_t port = 1; port <= NumPorts && port <= 16; ++port) {
      PCB& p = Ports[port - 1];
      p.Description = TruncAtNul(CutField(rest, ';'));
      W(5, "{L2} <ParsePort> Port(" + std::to_string(port) + ") " + p.Description);
      const std::string upper = UpperText(p.Description);
      if (Contains(upper, "LOOPBACK")) {
        LoopBack = 1;
        LoopBackPort = port;
        W(5, "{L2} <ParsePort> Port " + std::to_string(port) + " detected as a LoopBack");
      }
      if (Contains(upper, "AXIP")) {
        AXIP = 1;
        AXIPPort = port;
        W(5, "{L2} <ParsePort> Port " + std::to_string(port) + " detected as a AXIP");
      }
      p.Known = 1;
      p.Heard.fill({});
      const auto wire = static_cast<uint8_t>(port);
      Write(wire, 0, 'H', "", "", {});
      Write(wire, 0, 'g', "", "", {});
      Write(wire, 0, 'y', "", "", {});
    }
    if (PortRefresh) {
      if (!refresh_timer_) {
        refresh_timer_ = std::make_unique<Timer>();
        refresh_timer_->SetHandler([this](Timer&) { RefreshTick(); });
      }
      refresh_timer_->SetInterval(60000);
      refresh_timer_->Restart();
    }
  } catch (const std::exception&) {
    W(1, "{L2} Exception on module ParsePort");
  }
}

void TL2::RefreshTick() {
  if (refresh_timer_) refresh_timer_->SetEnabled(false);
  Write(0, 0, 'G', "", "", {});
}

void TL2::ParseParam(uint8_t port, std::string_view data) {
  if (port < 1 || port > 16) return;
  PCB& p = Ports[port - 1];
  for (size_t i = 0; i < 8; ++i) p.Params[i] = i < data.size() ? static_cast<uint8_t>(data[i]) : 0;
  auto byte = [&](size_t i) -> int32_t { return i < data.size() ? static_cast<uint8_t>(data[i]) : 0; };
  p.Counter = byte(8) + 256 * byte(9) + 65536 * byte(10);
}

void TL2::ParseHeard(uint8_t port, std::string_view data) {
  if (port < 1 || port > 16) return;
  for (auto& slot : Ports[port - 1].Heard) {
    if (slot.empty()) {
      slot = TruncAtNul(data);
      return;
    }
  }
}

}  // namespace harvox
