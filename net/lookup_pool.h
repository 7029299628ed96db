// The threads that run blocking name lookups (getaddrinfo) side by side, so
// that a name whose server never answers holds up only its own lookup.  At
// most kThreads lookups run at once and at most kQueued wait; each result
// is posted back onto the message loop.  One pool serves the process.
//
// Re-entrancy: Submit, Cancel, Busy and every completion belong to the main
// thread.  The worker threads touch only the shared queue (under its lock),
// the resolver function and the loop's post.  A cancelled lookup's result
// is dropped on the loop: its owner never hears of it.  A lookup a worker
// has begun cannot be stopped; it keeps its thread, and its tag counts as
// busy until it ends.  A completion may Submit or Cancel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace harvox::net::detail {

// Every address of name in the resolver's order (IPv4 only when v4_only),
// as text; returns 0, or the Windows Sockets code of the failure.  Runs on
// a worker thread.
using NameResolver =
    std::function<int(const std::string& name, bool v4_only, std::vector<std::string>& addresses)>;

// The system's resolver (getaddrinfo).
int SystemResolve(const std::string& name, bool v4_only, std::vector<std::string>& addresses);

class LookupPool {
 public:
  static constexpr size_t kThreads = 4;
  static constexpr size_t kQueued = 64;
  using Done = std::function<void(int code, const std::vector<std::string>& addresses)>;

  static LookupPool& Get();
  ~LookupPool();

  // Queues a lookup of name for tag (empty: no tag).  Returns its ticket
  // (never 0), or 0 with refusal set: kWSAEALREADY when tag has a lookup
  // queued or running, kWSAENOBUFS when the queue is full.  done runs later
  // from the loop, never inside Submit.
  uint64_t Submit(const std::string& name, bool v4_only, const std::string& tag, Done done,
                  int& refusal);
  // The ticket's completion never runs; a queued lookup leaves the queue.
  void Cancel(uint64_t ticket);
  // Whether tag has a lookup queued or running (cancelled ones included).
  bool Busy(const std::string& tag) const;
  // The function the workers run from now on; returns the previous one.
  // Tests put in resolvers that never answer or answer at once.
  NameResolver SetResolver(NameResolver resolver);

  struct Shared;

 private:
  LookupPool();
  void Finished(uint64_t ticket, int code, const std::vector<std::string>& addresses);
  static void Work(std::shared_ptr<Shared> shared);

  std::shared_ptr<Shared> shared_;
  uint64_t next_ = 0;
  std::unordered_map<uint64_t, Done> waiting_;
};

}  // namespace harvox::net::detail
