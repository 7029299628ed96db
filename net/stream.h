// One TCP connection on the message loop: the machinery shared by the
// engine socket (TWSocket), outbound connections (TClientSocket) and
// accepted connections (TServerSocket).  It owns the socket, the output
// queue, the read-readiness watch and the graceful close; the public socket
// classes turn its three plain events into their own.
//
// Re-entrancy: every event is raised through one guarded call that pins the
// stream for the handler's duration; the handler may Close the stream or
// release its owner, and the stream touches nothing of its owner afterwards.
// Late Asio completions are judged by phase and a generation number, never
// by their error code.  A stream is used for one connection only.
#pragma once

#include "net/winsock.h"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace harvox::net::detail {

class Stream : public std::enable_shared_from_this<Stream> {
 public:
  struct Events {
    // The outbound attempt ended: 0 = connected, else the refusal's code.
    std::function<void(int code)> connected;
    // Bytes are waiting.  The next one comes only after the handler read
    // (or, if it read nothing, after a short pause).
    std::function<void()> readable;
    // The connection ended: Disconnect with 0 when the peer closed in order,
    // otherwise the failure.  last_read: the data event just before was
    // already raised with the peer gone, so nothing is waiting any more.
    std::function<void(ErrorKind kind, int code, bool last_read)> ended;
    // A write finished and the queue shrank (PendingOutput tells how far).
    std::function<void()> written;
  };
  enum class Phase { Idle, Connecting, Open, Ended, Closing, Closed };
  static constexpr std::chrono::milliseconds kLinger{10000};
  // Input dropped after our side is shut down before the socket is closed
  // anyway: a peer that keeps sending is not waited for.
  static constexpr size_t kLingerDrop = 65536;

  Stream();
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  static std::shared_ptr<Stream> Create() { return std::make_shared<Stream>(); }

  // Opens a socket and starts connecting.  Returns 0 when the attempt is
  // under way, else the code of an immediate refusal (no event follows).
  int Connect(const asio::ip::tcp::endpoint& to, bool keep_alive_and_reuse);
  // Takes over an accepted socket; false when the peer is already gone.
  bool Adopt(asio::ip::tcp::socket socket);
  // Starts watching an adopted socket for input.
  void Start() { ArmRead(); }
  void SetEvents(Events events) { events_ = std::move(events); }

  // One non-blocking read: bytes copied, 0 at the end of input, -1 when
  // nothing could be read.  A hard error is kept and ends the stream at the
  // next readiness check, so the event carries its code.
  int Receive(char* buf, size_t size);
  // Reads and drops one chunk (for owners without a reader).
  void DiscardInput();
  // Queues bytes; they go out in order, at the end of the current loop
  // turn (a chunk's worth at once).  Never blocks, never drops while the
  // connection can still send.
  void Send(const char* data, size_t size);
  // The same for bytes that other streams may queue too: the buffer is
  // held, not copied, until it has gone out.
  void SendShared(std::shared_ptr<const std::string> bytes);
  size_t PendingOutput() const { return out_bytes_; }
  // Off: no data events until it is switched on again; what the peer
  // sends meanwhile waits in the system (and then slows the peer down).
  // For the flow of one radio link; PauseReading is for the engine's
  // backlog, and either one holds the input.
  void SetReading(bool on);
  // Ends the stream without raising anything.  Graceful: queued output
  // still goes out, then the sending side is shut down and the socket
  // closed once the peer closes or a deadline passes.  Otherwise the queue
  // is dropped and the socket closed at once.  A second call does nothing.
  // A graceful close gives the peer at most `linger` to take the output
  // and close its side.
  void Close(bool graceful, std::chrono::milliseconds linger = kLinger);
  // While paused no data event is raised and nothing is read; the end of
  // the input is noticed only after the pause.
  void PauseReading(bool paused);

  Phase GetPhase() const { return phase_; }
  // Closed or released: no event will come from this stream any more.
  bool Detached() const { return detached_; }
  const asio::ip::tcp::endpoint& Peer() const { return peer_; }
  int LastError() const { return last_error_; }

 private:
  template <typename Slot, typename... Args>
  bool Emit(Slot slot, Args... args);
  void ConnectDone(uint64_t gen, const std::error_code& ec);
  void ArmRead();
  void ArmRetry();
  void ReadReady(uint64_t gen, const std::error_code& ec);
  void CheckInput();
  void ProbeEnd(bool last_read);
  void EndOfInput(bool last_read);
  void End(ErrorKind kind, int code, bool last_read);
  // One gathered write takes up to 64 pieces; only those in use are
  // handed to the kernel, and a lone piece goes as a plain send.
  struct Buffers {
    using value_type = asio::const_buffer;
    using const_iterator = const asio::const_buffer*;
    std::array<asio::const_buffer, 64> pieces;
    size_t count = 0;
    const_iterator begin() const { return pieces.data(); }
    const_iterator end() const { return pieces.data() + count; }
  };
  void Gather(Buffers& buffers) const;
  void Consume(size_t n);
  void StartWrite();
  void WriteQueued();
  void Written(const std::error_code& ec, size_t n);
  void DropOutput();
  void ShutdownAndLinger();
  void LingerRead();
  void CloseNow();

  asio::ip::tcp::socket socket_;
  asio::steady_timer retry_;
  asio::steady_timer deadline_;
  asio::ip::tcp::endpoint peer_;
  Events events_;
  Phase phase_ = Phase::Idle;
  uint64_t gen_ = 0;
  bool detached_ = false;
  bool broken_ = false;  // failed: nothing more can be sent
  bool read_armed_ = false;
  bool retry_armed_ = false;
  // Two independent reasons to stop reading: the radio link this input
  // feeds is full (SetReading), and the engine connection is backed up
  // (PauseReading).  Reading goes on only when neither holds.
  bool flow_paused_ = false;
  bool backlog_paused_ = false;
  bool Paused() const { return flow_paused_ || backlog_paused_; }
  unsigned reads_ = 0;  // Receive calls during the current data event
  // The last Receive filled the reader's buffer: more is probably waiting,
  // and the next data event is looked for at once rather than through the
  // reactor (which costs a system call to re-arm).  Used once.
  bool input_left_ = false;
  int pending_error_ = 0;
  int send_errno_ = 0;            // what the last failed send was told
  bool end_after_write_ = false;  // the input ended; the write in flight says how
  bool end_last_read_ = false;
  int last_error_ = 0;
  // Output in order: owned bytes, or a buffer shared with other streams.
  struct Piece {
    std::shared_ptr<const std::string> shared;
    std::string own;
    std::string_view Bytes() const { return shared ? std::string_view(*shared) : own; }
  };
  std::deque<Piece> out_;
  size_t out_pos_ = 0;          // bytes of the first piece already written
  size_t out_bytes_ = 0;        // bytes not yet written
  size_t inflight_pieces_ = 0;  // leading pieces a running write uses: untouched
  bool writing_ = false;
  bool write_posted_ = false;  // the turn's first write is on its way
  std::unique_ptr<char[]> scratch_;  // input thrown away while lingering
  size_t lingered_ = 0;              // and how much of it
};

}  // namespace harvox::net::detail
