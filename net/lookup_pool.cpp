// LookupPool: the queue, its worker threads and the hand-back to the loop.
//
// Re-entrancy: see lookup_pool.h.  The workers share only `Shared` (kept
// alive by each of them), and post to the loop under its lock after
// checking `closed`; the pool is made after the loop and so is destroyed
// before it, and its destructor sets `closed` first.  Workers are detached:
// one stuck in getaddrinfo at exit does not hold the process.
#include "net/lookup_pool.h"

#include "net/winsock.h"
#include "util/event_loop.h"

#include <asio/post.hpp>

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace harvox::net::detail {
namespace {

int FromGai(int rc) {
  switch (rc) {
    case 0: return 0;
    case EAI_NONAME: return kWSAHOST_NOT_FOUND;
    case EAI_AGAIN: return kWSATRY_AGAIN;
    case EAI_FAIL: return kWSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return kWSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return kWSANO_DATA;
#endif
    case EAI_MEMORY: return kWSAENOBUFS;
    case EAI_SYSTEM: return WinsockFromErrno(errno);
    default: return kWSANO_RECOVERY;
  }
}

struct Job {
  uint64_t ticket = 0;
  std::string name;
  bool v4_only = true;
  std::string tag;
};

}  // namespace

struct LookupPool::Shared {
  std::mutex lock;
  std::condition_variable wake;
  std::deque<Job> queue;
  std::vector<std::string> busy;  // the tag of each lookup queued or running
  size_t threads = 0, idle = 0;
  bool closed = false;
  NameResolver resolver = SystemResolve;

  void Unbusy(const std::string& tag) {
    if (tag.empty()) return;
    auto it = std::find(busy.begin(), busy.end(), tag);
    if (it != busy.end()) busy.erase(it);
  }
};

int SystemResolve(const std::string& name, bool v4_only, std::vector<std::string>& addresses) {
  addrinfo hints{};
  hints.ai_family = v4_only ? AF_INET : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (rc != 0) return FromGai(rc);
  for (const addrinfo* a = found; a; a = a->ai_next) {
    char text[NI_MAXHOST];
    if (::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) == 0) {
      addresses.emplace_back(text);
    }
  }
  ::freeaddrinfo(found);
  return addresses.empty() ? kWSANO_DATA : 0;
}

LookupPool& LookupPool::Get() {
  static LookupPool pool;
  return pool;
}

LookupPool::LookupPool() : shared_(std::make_shared<Shared>()) {
  Loop();  // made first, so it outlives the pool
}

LookupPool::~LookupPool() {
  std::lock_guard<std::mutex> hold(shared_->lock);
  shared_->closed = true;
  shared_->queue.clear();
  shared_->wake.notify_all();
}

uint64_t LookupPool::Submit(const std::string& name, bool v4_only, const std::string& tag,
                            Done done, int& refusal) {
  std::lock_guard<std::mutex> hold(shared_->lock);
  Shared& s = *shared_;
  if (!tag.empty() && std::find(s.busy.begin(), s.busy.end(), tag) != s.busy.end()) {
    refusal = kWSAEALREADY;
    return 0;
  }
  if (s.queue.size() >= kQueued) {
    refusal = kWSAENOBUFS;
    return 0;
  }
  const uint64_t ticket = ++next_;
  s.queue.push_back(Job{ticket, name, v4_only, tag});
  if (!tag.empty()) s.busy.push_back(tag);
  waiting_[ticket] = std::move(done);
  if (s.queue.size() > s.idle && s.threads < kThreads) {
    try {
      std::thread(Work, shared_).detach();
      ++s.threads;
    } catch (const std::system_error&) {
      // The running workers take the queue; a lookup's deadline covers the rest.
    }
  }
  s.wake.notify_one();
  return ticket;
}

void LookupPool::Cancel(uint64_t ticket) {
  if (waiting_.erase(ticket) == 0) return;
  std::lock_guard<std::mutex> hold(shared_->lock);
  auto& q = shared_->queue;
  auto it = std::find_if(q.begin(), q.end(), [&](const Job& j) { return j.ticket == ticket; });
  if (it == q.end()) return;  // running: its result is dropped when it comes
  shared_->Unbusy(it->tag);
  q.erase(it);
}

bool LookupPool::Busy(const std::string& tag) const {
  std::lock_guard<std::mutex> hold(shared_->lock);
  const auto& b = shared_->busy;
  return std::find(b.begin(), b.end(), tag) != b.end();
}

NameResolver LookupPool::SetResolver(NameResolver resolver) {
  std::lock_guard<std::mutex> hold(shared_->lock);
  std::swap(shared_->resolver, resolver);
  return resolver;
}

void LookupPool::Finished(uint64_t ticket, int code, const std::vector<std::string>& addresses) {
  auto it = waiting_.find(ticket);
  if (it == waiting_.end()) return;  // cancelled meanwhile
  Done done = std::move(it->second);
  waiting_.erase(it);
  if (done) done(code, addresses);
}

void LookupPool::Work(std::shared_ptr<Shared> shared) {
  Shared& s = *shared;
  std::unique_lock<std::mutex> hold(s.lock);
  for (;;) {
    ++s.idle;
    s.wake.wait(hold, [&] { return s.closed || !s.queue.empty(); });
    --s.idle;
    if (s.closed) break;
    Job job = std::move(s.queue.front());
    s.queue.pop_front();
    NameResolver resolve = s.resolver;
    hold.unlock();
    std::vector<std::string> found;
    int code = kWSANO_RECOVERY;
    try {
      if (resolve) code = resolve(job.name, job.v4_only, found);
    } catch (...) {
      found.clear();
    }
    hold.lock();
    s.Unbusy(job.tag);
    if (s.closed) break;
    asio::post(Loop(), [ticket = job.ticket, code, found = std::move(found)] {
      Get().Finished(ticket, code, found);
    });
  }
  --s.threads;
}

}  // namespace harvox::net::detail
