// The status page's HTTP server: GET (and HEAD) of "/", "/status.json" and
// "/metrics" on one address and port, served from the process's one loop.
// GNU libmicrohttpd parses HTTP without threads of its own: its epoll
// descriptor is waited on by the loop, and a timer runs its time-outs and
// our request deadline.  Other methods get 405, other paths 404.
//
// Bounded: at most MaxConnections at once (callers beyond wait in the
// listen queue until one ends), a request's head within MaxRequest bytes
// (431 or closed beyond), and every connection ends DeadlineMs after it was
// accepted, whatever it does.
//
// Re-entrancy: main thread only.  Each page is made by calling the
// snapshot function from the loop; it must not destroy this server.
// Without libmicrohttpd at build time Start throws "not built in".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "status/snapshot.h"

namespace harvox {

class TLog;

namespace status {

class HttpServer {
 public:
  using SnapshotFn = std::function<Snapshot()>;

  HttpServer(TLog* log, SnapshotFn take);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  size_t MaxConnections = 16;
  size_t MaxRequest = 8192;
  uint32_t DeadlineMs = 10000;
  int RefreshS = 10;  // the page reloads itself this often

  // Listens on address:port (port 0: one the kernel picks); throws
  // std::runtime_error naming the page, address and port and the cause.
  void Start(const std::string& address, int port);
  int BoundPort() const;
  // Requests answered since Start (for tests and the log).
  uint64_t Served() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace status
}  // namespace harvox
