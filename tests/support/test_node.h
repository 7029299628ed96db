// A tiny AX.25 node for end-to-end tests and the demo: an AGW client that
// registers one callsign, greets every station that connects to it,
// echoes each line it receives (CR ends a line) and disconnects a station
// that sends "BYE".  It follows the engine's rules: everything for a link
// goes From = own call, To = remote, and data only on a link that is up on
// the current engine connection.  When the engine connection drops it
// reconnects and registers again; the old links are gone then.
//
// Threading: runs on its own thread; every public member is thread-safe.
// The event sink is called on the node's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace harvox::test {

class TestNode {
 public:
  using EventSink = std::function<void(const std::string&)>;

  TestNode(std::string host, uint16_t port, std::string call);
  ~TestNode() { Stop(); }
  TestNode(const TestNode&) = delete;
  TestNode& operator=(const TestNode&) = delete;

  void SetEventSink(EventSink sink);  // before Start()
  void Start();
  void Stop();

  const std::string& Call() const { return call_; }
  // Every event so far, e.g. "registered N0BBB-7", "connected N0AAA-3",
  // "line N0AAA-3 hello", "bye N0AAA-3", "disconnected N0AAA-3".
  std::vector<std::string> Events() const;
  // Waits until an event starting with prefix has been seen count times.
  bool WaitForEvent(const std::string& prefix, int count = 1,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(30000)) const;

  static std::string Greeting(const std::string& own, const std::string& remote);

 private:
  void Run();
  void Event(const std::string& text);

  const std::string host_;
  const uint16_t port_;
  const std::string call_;
  EventSink sink_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<std::string> events_;
};

}  // namespace harvox::test
