// A scriptable stand-in for the AGW packet engine: a real TCP listener on
// 127.0.0.1 that answers the usual queries, records every frame its clients
// send, and lets a test inject frames, raw bytes, resets and stalls.
//
// Threading: the engine owns its io_context and runs it on its own thread,
// so a test can drive the product on the main loop (or in another process)
// while the engine answers.  Every public member is thread-safe.  Socket
// work is posted to the engine thread and waited for; called from the
// engine thread itself (inside a Script) it runs at once.  A Script must not
// call Start(), Stop() or the Wait* members.
#pragma once

#include "support/agw_frame.h"

#include <asio/io_context.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace harvox::test {

using std::chrono::milliseconds;

class FakeEngine {
 public:
  static constexpr int kLatest = -1;  // the most recently accepted client still open
  static constexpr int kAny = -2;     // queries: frames of every client

  struct Options {
    uint16_t port = 0;  // 0: an ephemeral port, kept across Stop()/Start()
    std::string port_list = "2;Port1 fake one;Port2 fake two;";
    size_t max_data = 65536;  // a longer announced frame drops the client
    int receive_buffer = 0;   // SO_RCVBUF for accepted sockets; 0 = default
    // Like the real engine's client slots: connections beyond this many are
    // accepted but not served until a slot frees.  0: no limit.
    size_t max_clients = 0;
  };
  struct Received {
    int client;
    AgwFrame frame;
  };
  using Pred = std::function<bool(const AgwFrame&)>;
  // Runs on the engine thread for every frame a client sends, after the
  // automatic reply.
  using Script = std::function<void(FakeEngine&, int client, const AgwFrame&)>;

  FakeEngine();  // listens at once on an ephemeral port
  explicit FakeEngine(Options options);
  ~FakeEngine();
  FakeEngine(const FakeEngine&) = delete;
  FakeEngine& operator=(const FakeEngine&) = delete;

  // Listens again on the same port; false when the port cannot be bound.
  bool Start();
  // Closes the listener and every client (orderly close), ends the thread.
  void Stop();
  bool Running() const;
  uint16_t Port() const { return port_; }

  // What the clients sent, in arrival order, since the last Clear().
  std::vector<Received> Log() const;
  std::vector<AgwFrame> Frames(int client = kAny) const;
  size_t Count(const Pred& pred = {}, int client = kAny) const;
  // The first recorded frame matching pred, waiting up to timeout for it.
  std::optional<AgwFrame> WaitFor(const Pred& pred, milliseconds timeout = milliseconds(30000),
                                  int client = kAny);
  bool WaitForCount(size_t n, milliseconds timeout = milliseconds(30000), const Pred& pred = {},
                    int client = kAny);
  void Clear();
  // The same waits while driving harvox::Loop(), for a product that runs on
  // the main loop in this process (WaitFor would starve it).
  std::optional<AgwFrame> RunLoopUntilFrame(const Pred& pred,
                                            milliseconds timeout = milliseconds(30000),
                                            int client = kAny);
  bool RunLoopUntilCount(size_t n, milliseconds timeout = milliseconds(30000),
                         const Pred& pred = {}, int client = kAny);

  // Automatic replies, all on by default: 'R' version, 'G' port list,
  // 'g' capabilities, 'y' and 'Y' outstanding counts, 'X' registration,
  // 'C'/'v'/'c' connected notice, 'd' disconnected notice.
  void SetAutoReply(char kind, bool on);
  void SetPortList(std::string list);
  void SetRegisterResult(const std::string& call, uint8_t result);  // default 1
  // Counts for successive 'Y' replies; the last one repeats.
  void SetOutstanding(std::vector<uint32_t> counts);
  void SetScript(Script script);

  // Injection.  False when there is no such open client.
  bool Send(const AgwFrame& frame, int client = kLatest);
  // Writes bytes in pieces of chunk bytes (0: all at once), pausing gap
  // between pieces so the receiver sees them apart.
  bool SendRaw(std::string bytes, size_t chunk = 0, milliseconds gap = milliseconds(2),
               int client = kLatest);
  // Writes the frame cut at up to three points chosen by seed, a millisecond
  // apart, so the client's reassembly sees it torn across TCP segments.
  bool SendTorn(const AgwFrame& frame, uint32_t seed, int client = kLatest);
  bool DropClient(int client = kLatest);   // FIN
  bool ResetClient(int client = kLatest);  // RST (linger 0)
  size_t ClientCount() const;              // open connections now
  int Accepted() const;                    // connections ever accepted
  // Until exactly n clients are open (0: all gone).
  bool WaitForClients(size_t n, milliseconds timeout = milliseconds(30000)) const;
  // Off: stop reading from clients, so their sends back up.
  void SetReading(bool on);
  // Waits until every queued write has gone to the kernel.
  bool Flush(milliseconds timeout = milliseconds(30000));

  // Things a client did that the real engine punishes ('D' without a live
  // link, which wedges it) or that no engine accepts (oversized frames).
  std::vector<std::string> Violations() const;

 private:
  struct Client;
  bool OnEngine(const std::function<bool()>& fn);
  void Accept();
  void Read(const std::shared_ptr<Client>& c);
  void OnFrame(const std::shared_ptr<Client>& c, const AgwFrame& f);
  void AutoReply(const std::shared_ptr<Client>& c, const AgwFrame& f);
  std::optional<AgwFrame> QueryReply(const AgwFrame& f);
  std::optional<AgwFrame> LinkReply(Client& c, const AgwFrame& f);
  void TrackInjected(Client& c, const AgwFrame& f);
  void Queue(const std::shared_ptr<Client>& c, std::string bytes, milliseconds delay);
  void WriteNext(const std::shared_ptr<Client>& c);
  void CloseClient(const std::shared_ptr<Client>& c, bool reset);
  void Serve(const std::shared_ptr<Client>& c);
  std::shared_ptr<Client> Find(int index) const;
  bool AutoOn(char kind) const;
  void Violation(std::string text);

  Options options_;
  uint16_t port_ = 0;
  // Made afresh by each Start(), so handlers left over from a stopped run
  // are destroyed with it instead of running later.
  std::unique_ptr<asio::io_context> io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  std::thread thread_;
  std::atomic<std::thread::id> engine_id_{};
  std::map<int, std::shared_ptr<Client>> clients_;  // engine thread only
  std::mutex start_mu_;                             // serialises Start/Stop

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<Received> log_;
  std::vector<std::string> violations_;
  std::set<char> auto_off_;
  std::string port_list_;
  std::map<std::string, uint8_t> register_results_;
  std::vector<uint32_t> outstanding_{0};
  size_t outstanding_next_ = 0;
  Script script_;
  bool running_ = false;
  bool reading_ = true;
  size_t open_clients_ = 0;
  size_t pending_writes_ = 0;
  int accepted_ = 0;
};

inline FakeEngine::Pred IsKind(char kind) {
  return [kind](const AgwFrame& f) { return f.kind == kind; };
}

}  // namespace harvox::test
