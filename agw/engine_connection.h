// EngineConnection: the TCP connection to the packet engine under one or
// more links (TL2).  Opens and closes the transport, reads it, cuts the
// stream into frames and hands each frame to its link; writes go out
// through the transport's backlog marks.  Loss of the engine, its return
// and the backlog are told to every link that wants the engine.
//
// Not shared (the default), it serves exactly one link, which gets every
// frame.  Shared, the services' links attach to one connection: a link's
// Open joins it (opening the transport if nobody has yet), its Close
// leaves it (the last one out closes the transport), and a Demux says which
// link each received frame is for.  The login goes once per connection,
// and monitoring ('m') and raw frames ('k') are switched on while any link
// wants them, once.
//
// Re-entrancy: main thread only.  Link events run inside the read path or
// a transport event, and may Open, Close or write on any link of the
// connection; they must not destroy a link.  Members are kept by slot
// number and never move, so a link may join or leave while frames are
// being handed out.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agw/demux.h"
#include "agw/frame.h"

namespace harvox {

class TL2;
class TLog;
class TTCPClient;
class Timer;

class EngineConnection {
 public:
  EngineConnection(TLog* log, bool shared);
  ~EngineConnection();
  EngineConnection(const EngineConnection&) = delete;
  EngineConnection& operator=(const EngineConnection&) = delete;

  bool Shared() const { return shared_; }
  TTCPClient& Transport() { return *tcp_; }
  const TTCPClient& Transport() const { return *tcp_; }
  size_t Members() const;

  // Membership: a link attaches once (its slot) and detaches when it is
  // destroyed; nothing reaches it after that.
  int Attach(TL2& link);
  void Detach(int slot);
  // A link wants the engine.  False: the caller opens the transport
  // (OpenTransport); true: it has joined a connection that is open or
  // being opened, and hears FOnAGWUp once the connection is up.
  bool Join(int slot);
  void OpenTransport(int slot);
  void Leave(int slot);
  // Whether this link may write now.
  bool CanSend(int slot) const;
  // The login goes with the first link up on a new connection.
  bool TakeLogin();
  // The monitoring switches, as the links want them now.
  void SyncModes();
  // Shared: a frame a link sends, for the demux; false for a registration
  // of a callsign another link holds (the link hears a failed reply).
  bool Sending(int slot, uint8_t port, char kind, const std::string& from, const std::string& to);
  void Send(std::string_view bytes);

  // Receive path entry points (public for tests).
  void Read(int code);
  void Store(std::string_view bytes);

 private:
  struct Member {
    TL2* Link = nullptr;
    bool Open = false;  // wants the engine
  };

  void Connected(int code);
  void Lost(int code, bool error);
  void Backlog(int code);
  void PollTick();
  void Dispatch(const FrameHeader& h, std::string_view data);
  void DispatchShared(const FrameHeader& h, std::string_view data);
  // Every member the callback is for, by slot; safe against members
  // joining and leaving meanwhile.
  template <typename Fn>
  void ForEachOpen(Fn fn);
  void JoinLater(int slot);
  void RefuseLater(int slot, const std::string& call);
  void W(uint8_t level, std::string_view text);

  TLog* log_;
  const bool shared_;
  std::unique_ptr<TTCPClient> tcp_;
  std::unique_ptr<Timer> poll_timer_;
  uint32_t poll_ms_ = 500;
  std::vector<Member> members_;
  Demux demux_;
  Reassembler rx_;
  std::array<char, 5001> rx_buffer_{};
  bool connecting_ = false;
  bool login_due_ = false;
  bool monitor_on_ = false, raw_on_ = false;
  // Expires with this object: a deferred step finds it gone.
  std::shared_ptr<char> life_ = std::make_shared<char>('\0');
};

}  // namespace harvox
