// TL2: one link to the packet engine.  Builds and sends frames over its
// engine connection (its own, or one shared with the other services, see
// engine_connection.h) and turns each frame the connection hands it into
// events (Decode).  Also keeps the engine's port table, and can end an
// AX.25 link only after the engine has sent what was queued on it.
//
// Re-entrancy: main thread only.  Event handlers run inside the read path
// and may call any operation of the same link (SendData, ConnectExt,
// DisconnectExt, even Close or Open); the reassembly loop then continues
// with the next frame.  A handler must not destroy the link it was called
// from.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "agw/frame.h"

namespace harvox {

class EngineConnection;
class TLog;
class TTCPClient;
class Timer;

// One radio port of the engine.
struct PCB {
  std::string Description;
  uint8_t Known = 0;
  std::array<uint8_t, 8> Params{};
  int32_t Counter = 0;
  int32_t Frames = 0;
  std::array<std::string, 20> Heard;
};

// A frame to send later, when a link's queue has drained.
struct QueuedFrame {
  uint8_t Port = 0;
  uint8_t PID = 0;
  char Kind = 0;
  std::string From, To, Data;
  bool operator==(const QueuedFrame&) const = default;
};

// Where a service's link reaches the engine, and as whom it logs in.
struct EngineAddress {
  std::string HostName, Address;
  int32_t Port = 0;
  std::string Login, Password;
};

class TL2 {
 public:
  using CallEvent = std::function<void(TL2&, uint8_t port, const std::string& call,
                                       const std::string& text)>;
  using CallExEvent = std::function<void(TL2&, uint8_t port, const std::string& from,
                                         const std::string& to, const std::string& text)>;
  using FrameEvent = std::function<void(TL2&, uint8_t port, uint8_t pid, char kind,
                                        const std::string& from, const std::string& to,
                                        std::string_view data)>;
  using LinkEvent = std::function<void(TL2&)>;
  using RegisterEvent = std::function<void(TL2&, const std::string& call, std::string_view data)>;
  using IFrameEvent = std::function<void(TL2&, uint8_t port, const std::string& src,
                                         const std::string& dst, const std::string& digis,
                                         const std::string& type, const std::string& pid_text,
                                         int32_t nr, int32_t ns, int32_t len,
                                         const std::string& text)>;
  using UIFrameEvent = std::function<void(TL2&, uint8_t port, const std::string& src,
                                          const std::string& dst, const std::string& digis,
                                          const std::string& type, const std::string& pid_text,
                                          int32_t len, const std::string& text)>;
  using SFrameEvent = std::function<void(TL2&, uint8_t port, const std::string& from,
                                         const std::string& to, const std::string& digis,
                                         const std::string& type, int32_t nr)>;
  using MonitorEvent = std::function<void(TL2&, uint8_t port, const std::string& from,
                                          const std::string& to, uint8_t pid,
                                          std::string_view data)>;
  using KissEvent = std::function<void(TL2&, uint8_t port, std::string_view frame)>;
  using VersionEvent = std::function<void(TL2&, int32_t major, int32_t minor)>;
  using PortFramesEvent = std::function<void(TL2&, uint8_t port, int32_t count)>;
  using DataEvent = std::function<void(TL2&, uint8_t port, const std::string& from,
                                       const std::string& to, uint8_t pid, std::string_view data)>;
  // hold true: the engine connection has a backlog, stop feeding it data
  // (stop reading the sockets whose input becomes 'D' frames); false: go on.
  using BacklogEvent = std::function<void(TL2&, bool hold)>;

  explicit TL2(TLog* log);
  ~TL2();
  TL2(const TL2&) = delete;
  TL2& operator=(const TL2&) = delete;

  // Settings.
  std::string HostName;
  std::string Login;
  std::string Password;
  uint8_t RawMonitor = 0;
  uint8_t PortRefresh = 0;
  uint8_t PollEnabled = 1;
  int32_t PollInterval = 500;
  TLog* Log;

  // State, read by the services and tests.
  uint8_t Active = 0;
  uint8_t Registered = 0;
  int32_t LastError = 0;
  int32_t VersionMajor = 0, VersionMinor = 0;
  int32_t NumPorts = 16;
  uint8_t LoopBack = 0, AXIP = 0;
  int32_t LoopBackPort = 0, AXIPPort = 0;
  std::array<PCB, 16> Ports;  // Ports[n - 1] is radio port n
  // Frames read from and written to the engine, and when the connection
  // last came up or went down (the status page's figures).
  uint64_t FramesIn = 0, FramesOut = 0;
  std::chrono::system_clock::time_point StateSince = std::chrono::system_clock::now();

  // Events.
  CallEvent FOnMyConnect, FOnHisConnect, FOnConnect, FOnRetryOut, FOnMyDisconnect,
      FOnHisDisconnect, FOnDisconnect;
  CallExEvent FOnConnectEx, FOnDisconnectEx;
  FrameEvent FOnFrame;
  LinkEvent FOnAGWUp, FOnAGWDown, FOnAGWError;
  RegisterEvent FOnRegister, FOnUnRegister;
  IFrameEvent FOnIFrame;
  UIFrameEvent FOnUIFrame;
  SFrameEvent FOnSFrame;
  MonitorEvent FOnMonitorFrame;
  KissEvent FOnKissFrame;
  VersionEvent FOnVersion;
  LinkEvent FOnPort, FOnParameter;
  PortFramesEvent FOnPortFrames;
  DataEvent FOnData;
  MonitorEvent FOnDataUI;
  BacklogEvent FOnBacklog;

  const std::string& Address() const { return address_; }
  int32_t Port() const { return port_; }
  const std::string& CallSign() const { return callsign_; }
  const std::string& Monitor() const { return monitor_; }
  TTCPClient& Transport();
  const TTCPClient& Transport() const;
  // Before Open: use this connection, shared with other links, instead of
  // a connection of the link's own.
  void UseConnection(std::shared_ptr<EngineConnection> connection);
  EngineConnection& Connection() { return *conn_; }
  // Whether the link wants monitor texts from the engine ('m').
  bool MonitorWanted() const;

  void SetAddress(const std::string& value);
  void SetPort(int32_t value);
  void SetCallSign(const std::string& value);
  void SetMonitor(const std::string& value);

  // A service's usual set-up before Open: its link's name, the engine's
  // address, no monitoring, raw frames only when asked, no port refresh.
  void Configure(const std::string& call, const EngineAddress& at, uint8_t raw_monitor);
  void Open();
  void Close();
  bool AGWRegister(const std::string& call);
  bool AGWUnRegister(const std::string& call);
  void ConnectExt(uint8_t port, uint8_t pid, const std::string& own, const std::string& remote,
                  const std::string& via);
  void DisconnectExt(uint8_t port, const std::string& own, const std::string& remote);
  void SendData(int32_t port, uint8_t pid, const std::string& own, const std::string& remote,
                std::string_view data);
  bool Write(uint8_t port, uint8_t pid, char kind, const std::string& from, const std::string& to,
             std::string_view data);
  bool IsIP(const std::string& text);

  // Ends the link (port, own, remote) once the engine reports its queue
  // empty: asks with 'Y' about once a second, then sends `after` in order
  // ('d' and whatever must follow it).  Gives up waiting after DrainLimitMs
  // and sends them anyway; drops them when the engine connection goes down.
  // A link that carried no data since it came up is ended at once.  A link
  // has one drain: asking again adds only frames not queued yet, and keeps
  // the time limit.  When the link ends or connects anew meanwhile, its
  // 'd' is dropped and the rest goes at once.
  void EndLinkAfterDrain(uint8_t port, const std::string& own, const std::string& remote,
                         std::vector<QueuedFrame> after);
  // Sends at once what waits for any link of `own` to drain: a new session
  // under that callsign must not be ended or unregistered by an old one's
  // late frames.
  void FinishDrainsOf(const std::string& own);
  // Sends at once what waits for every link to drain (shutdown's time is up).
  void FinishAllDrains();
  size_t DrainsPending() const { return drains_.size(); }
  uint32_t DrainPollMs = 1000;
  uint32_t DrainLimitMs = 60000;

  // Sends made while a SendBatch lives leave in one write when the
  // outermost batch ends, and each watched link they fed is asked about
  // once, after its last send: a reader that takes several lines at once
  // costs one write and one question, not one of each per line.  A batch
  // must end before the link is destroyed.
  class SendBatch {
   public:
    explicit SendBatch(TL2& link);
    ~SendBatch();
    SendBatch(const SendBatch&) = delete;
    SendBatch& operator=(const SendBatch&) = delete;

   private:
    TL2& link_;
  };

  // Flow control towards the radio (l2_flow.cpp).  For a watched link,
  // each SendData (or batch of them) asks the engine how many frames the
  // link still holds.  Until the answer, the frames sent since count as
  // held too: the link is held while that estimate is at or above its
  // window, and while the engine's own count is, until it falls below half
  // of the window.  The window starts at kFlowWindow frames; it doubles
  // (up to kFlowWindowMost) each time the engine reports the link empty
  // before it was held through a poll tick, and halves for each second
  // held: an engine that keeps up is fed in larger steps, a radio link
  // keeps a short queue.  FOnFlow tells the owner when a link becomes held (true) and
  // free (false), so that it stops and resumes reading the source that
  // feeds the link.
  // WatchFlow starts this for a link, ForgetFlow ends it; the link's end
  // and the loss of the engine connection forget it too, without FOnFlow.
  using FlowEvent = std::function<void(TL2&, uint8_t port, const std::string& own,
                                       const std::string& remote, bool held)>;
  static constexpr uint32_t kFlowWindow = 8;
  static constexpr uint32_t kFlowWindowMost = 128;
  FlowEvent FOnFlow;
  uint32_t FlowPollMs = 250;
  void WatchFlow(uint8_t port, const std::string& own, const std::string& remote);
  void ForgetFlow(uint8_t port, const std::string& own, const std::string& remote);
  bool FlowHeld(uint8_t port, const std::string& own, const std::string& remote) const;
  // Frames the link may still take before it reaches its window, by the
  // estimate above (kFlowWindow for a link not watched, 1 for a held one).
  // A source that reads no more than this many frames' worth keeps the
  // engine's queue within the window.
  uint32_t FlowRoom(uint8_t port, const std::string& own, const std::string& remote) const;

  // Receive path entry points (public for tests and the connection):
  // bytes as read from the engine connection, and one whole frame.
  void Store(std::string_view bytes);
  void Decode(const FrameHeader& h, std::string_view data);

 private:
  friend class EngineConnection;
  using LinkKey = std::tuple<uint8_t, std::string, std::string>;
  struct LinkKeyHash {
    size_t operator()(const LinkKey& k) const;
  };
  struct Drain {
    std::vector<QueuedFrame> After;
    std::chrono::steady_clock::time_point Deadline;
  };

  void AGWConnect(int code);
  void AGWDisc(int code);
  void AGWError(int code);
  void AGWBacklog(int code);
  void LinkEnded(int code, const char* line, const LinkEvent& event, const char* event_name,
                 const char* module);
  bool Send(uint8_t port, uint8_t pid, char kind, const std::string& from, const std::string& to,
            std::string_view data);
  void SendAGW(std::string_view bytes);
  bool SendRegistration(char kind, const std::string& call, const char* module);
  void RefreshTick();
  void ClearPorts();
  void W(uint8_t level, std::string_view text);
  void D(uint8_t level, std::string_view data);
  // Whether a line of that level would be written: per-frame trace text is
  // only put together when it is.
  bool Tracing(uint8_t level) const;

  // Decode helpers.
  void LogFrame(const FrameHeader& h, size_t len);
  void DecodeKind(const FrameHeader& h, std::string_view data);
  void FrameR(std::string_view data);
  void FramePortFrames(const FrameHeader& h, std::string_view data);
  void FrameRegistration(const FrameHeader& h, std::string_view data);
  void FrameC(const FrameHeader& h, const std::string& text);
  void FrameD(const FrameHeader& h, std::string_view data);
  void FrameDisc(const FrameHeader& h, const std::string& text);
  void FrameU(const FrameHeader& h, std::string_view data);
  void FrameMonitor(const FrameHeader& h, std::string_view data);
  void FrameY(const FrameHeader& h, std::string_view data);
  void ParsePort(std::string_view data);
  void ParseParam(uint8_t port, std::string_view data);
  void ParseHeard(uint8_t port, std::string_view data);

  // Flow helpers.
  struct Flow {
    uint32_t Count = 0;     // the engine's last answer
    uint32_t Window = kFlowWindow;
    uint32_t Asked = 0;     // frames the open question asks about
    uint32_t Unasked = 0;   // frames sent since it was asked
    uint32_t Waited = 0;    // poll ticks spent waiting for an answer
    uint32_t HeldTicks = 0; // poll ticks spent held
    bool Asking = false;    // a question is open (one at a time)
    bool Above = false;     // the count reached the window, not yet below half of it
    bool Held = false;      // as last reported by FOnFlow
    bool AskDue = false;    // sent to in the current batch, not yet asked
    // The engine's queue for the link as far as we know: its last answer,
    // and what was sent after the question it answered.
    uint64_t Estimate() const { return uint64_t{Count} + Asked + Unasked; }
    bool Full() const { return Above || Estimate() >= Window; }
  };
  // A 'D' went out: the link now holds data (see the drains), and a
  // watched link is asked about, at once or at the end of the batch.
  void NoteDataSent(uint8_t port, const std::string& own, const std::string& remote,
                    uint32_t frames);
  void AskDueFlows();
  void AskFlow(const LinkKey& key, Flow& f);
  void FlowReply(const FrameHeader& h, std::string_view data);
  void FlowTick();
  void FlowUpdate(const LinkKey& key, Flow& f);
  void DropFlows();

  // Drain helpers.
  void DrainTick();
  void FinishDrain(const LinkKey& key, bool link_gone = false);
  void DropDrains();
  void NoteLinkEnded(uint8_t port, const std::string& own, const std::string& remote);

  std::string address_;
  int32_t port_ = 8000;
  std::string callsign_;
  std::string monitor_ = "N";
  std::shared_ptr<EngineConnection> conn_;
  int slot_ = -1;  // this link's member number on conn_
  std::unique_ptr<Timer> refresh_timer_;
  std::unique_ptr<Timer> drain_timer_;
  // Hashed: one lookup per frame sent or answered, however many links.
  std::unordered_set<LinkKey, LinkKeyHash> links_with_data_;
  std::map<LinkKey, Drain> drains_;
  std::unordered_map<LinkKey, Flow, LinkKeyHash> flows_;
  // The watched links held now (a count asked and not answered, or at the
  // window), in key order: the only ones the poll tick has work for.
  std::set<LinkKey> held_flows_;
  std::string* batch_ = nullptr;  // frames gathered for one write (SendData)
  // The open SendBatch: its depth, its frames, and the links it must ask about.
  uint32_t batch_depth_ = 0;
  std::string batch_frames_;
  std::vector<LinkKey> asks_due_;
  Flow* due_flow_ = nullptr;  // the flow of asks_due_.back()
  std::unique_ptr<Timer> flow_timer_;
};

}  // namespace harvox
