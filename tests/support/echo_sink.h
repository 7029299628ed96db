// A line echo server on its own thread: the far end of a plain TCP relay
// when a load tool measures the relay against the product.  It counts the
// CR-ended lines it receives and sends every byte back with each CR turned
// into CR LF, as a Telnet user receives a node's lines.
//
// Threading: the sink owns an io_context run by its own thread; the
// counters are atomics readable from any thread.  Output waiting for a slow
// reader is bounded: past kMaxPending bytes the connection is not read
// until its output has gone, so the peer feels the back-pressure instead of
// the sink's memory growing.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>

namespace harvox::test {

class EchoSink {
 public:
  static constexpr size_t kMaxPending = 1 << 20;

  EchoSink();  // listens on 127.0.0.1 at an ephemeral port and starts
  ~EchoSink();
  EchoSink(const EchoSink&) = delete;
  EchoSink& operator=(const EchoSink&) = delete;

  uint16_t Port() const { return port_; }
  size_t Connections() const { return open_.load(); }
  uint64_t Lines() const { return lines_.load(); }
  // Closes the listener and every connection, ends the thread.
  void Stop();

 private:
  struct Conn;
  void Accept();
  void Read(const std::shared_ptr<Conn>& c);
  void Received(const std::shared_ptr<Conn>& c, size_t n);
  void Write(const std::shared_ptr<Conn>& c);
  void Close(const std::shared_ptr<Conn>& c);

  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  std::map<int, std::shared_ptr<Conn>> conns_;  // sink thread only
  int next_id_ = 0;
  uint16_t port_ = 0;
  std::atomic<size_t> open_{0};
  std::atomic<uint64_t> lines_{0};
  std::thread thread_;
};

}  // namespace harvox::test
