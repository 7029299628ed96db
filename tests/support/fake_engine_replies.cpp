// Fake engine: what it answers, what it records and the settings a test
// changes.  The reply handlers run on the engine thread; the recording and
// settings are guarded by mu_ and read from any thread.
#include "support/fake_engine.h"

#include "support/fake_engine_internal.h"

#include "util/event_loop.h"
#include "util/strings.h"

namespace harvox::test {
namespace {

std::string Le16(uint32_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}

std::string Le32(uint32_t v) { return Le16(v) + Le16(v >> 16); }

// Version 2005.127, as the engines in the field report.
std::string VersionData() { return Le16(2005) + Le16(0) + Le16(127) + Le16(0); }

// Baud code, traffic, TXDELAY, TXTAIL, PERSIST, SLOTTIME, MAXFRAME, links,
// then bytes heard in two minutes.
std::string CapsData() { return std::string("\x00\xFF\x0A\x03\xFF\x01\x07\x00", 8) + Le32(0); }

AgwFrame Reply(char kind, std::string data, uint8_t port) {
  AgwFrame r;
  r.port = port;
  r.kind = kind;
  r.data = std::move(data);
  return r;
}

std::pair<std::string, std::string> LinkOf(const std::string& own, const std::string& remote) {
  return {UpperText(own), UpperText(remote)};
}

}  // namespace

bool FakeEngine::AutoOn(char kind) const {
  std::lock_guard<std::mutex> lock(mu_);
  return auto_off_.count(kind) == 0;
}

void FakeEngine::Violation(std::string text) {
  std::lock_guard<std::mutex> lock(mu_);
  violations_.push_back(std::move(text));
}

void FakeEngine::OnFrame(const std::shared_ptr<Client>& c, const AgwFrame& f) {
  // The violation first: whoever sees the frame recorded sees it too.
  if (f.kind == 'D' && c->links.count(LinkOf(f.from, f.to)) == 0)
    Violation("client " + std::to_string(c->index) + " sent 'D' from " + f.from + " to " + f.to +
              " without a live link");
  {
    std::lock_guard<std::mutex> lock(mu_);
    log_.push_back({c->index, f});
  }
  cv_.notify_all();
  if (AutoOn(f.kind)) AutoReply(c, f);
  Script script;
  {
    std::lock_guard<std::mutex> lock(mu_);
    script = script_;
  }
  if (script && c->open) script(*this, c->index, f);
}

void FakeEngine::AutoReply(const std::shared_ptr<Client>& c, const AgwFrame& f) {
  std::optional<AgwFrame> reply =
      (f.kind == 'C' || f.kind == 'v' || f.kind == 'c' || f.kind == 'd') ? LinkReply(*c, f)
                                                                          : QueryReply(f);
  if (reply) Queue(c, reply->Encode(), milliseconds(0));
}

std::optional<AgwFrame> FakeEngine::QueryReply(const AgwFrame& f) {
  std::lock_guard<std::mutex> lock(mu_);
  switch (f.kind) {
    case 'R':
      return Reply('R', VersionData(), 0);
    case 'G':
      return Reply('G', port_list_ + '\0', 0);
    case 'g':
      return Reply('g', CapsData(), f.port);
    case 'y':
      return Reply('y', Le32(0), f.port);
    case 'Y': {
      uint32_t count = outstanding_[std::min(outstanding_next_, outstanding_.size() - 1)];
      if (outstanding_next_ < outstanding_.size()) ++outstanding_next_;
      AgwFrame r = Reply('Y', Le32(count), f.port);
      r.from = f.from;
      r.to = f.to;
      return r;
    }
    case 'X': {
      auto it = register_results_.find(UpperText(f.from));
      uint8_t result = it == register_results_.end() ? 1 : it->second;
      AgwFrame r = Reply('X', std::string(1, static_cast<char>(result)), 0);
      r.from = f.from;
      return r;
    }
    default:
      return std::nullopt;
  }
}

// Notices name the remote station first, as the real engine does.  A
// disconnect for a link that is not up gets no answer.
std::optional<AgwFrame> FakeEngine::LinkReply(Client& c, const AgwFrame& f) {
  AgwFrame r;
  if (f.kind == 'd') {
    if (c.links.erase(LinkOf(f.from, f.to)) == 0) return std::nullopt;
    r = Reply('d', "*** DISCONNECTED From Station " + f.to + "\r" + '\0', f.port);
  } else {
    c.links.insert(LinkOf(f.from, f.to));
    r = Reply('C', "*** CONNECTED With Station " + f.to + "\r" + '\0', f.port);
  }
  r.from = f.to;
  r.to = f.from;
  return r;
}

// Notices a test injects change the links the 'D' check knows about.
void FakeEngine::TrackInjected(Client& c, const AgwFrame& f) {
  if (f.kind == 'C') c.links.insert(LinkOf(f.to, f.from));
  if (f.kind == 'd') c.links.erase(LinkOf(f.to, f.from));
}

std::vector<FakeEngine::Received> FakeEngine::Log() const {
  std::lock_guard<std::mutex> lock(mu_);
  return log_;
}

std::vector<AgwFrame> FakeEngine::Frames(int client) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<AgwFrame> out;
  for (const auto& r : log_)
    if (client == kAny || r.client == client) out.push_back(r.frame);
  return out;
}

size_t FakeEngine::Count(const Pred& pred, int client) const {
  std::lock_guard<std::mutex> lock(mu_);
  size_t n = 0;
  for (const auto& r : log_)
    if ((client == kAny || r.client == client) && (!pred || pred(r.frame))) ++n;
  return n;
}

std::optional<AgwFrame> FakeEngine::WaitFor(const Pred& pred, milliseconds timeout, int client) {
  std::unique_lock<std::mutex> lock(mu_);
  std::optional<AgwFrame> found;
  cv_.wait_for(lock, timeout, [&] {
    for (const auto& r : log_) {
      if ((client == kAny || r.client == client) && (!pred || pred(r.frame))) {
        found = r.frame;
        return true;
      }
    }
    return false;
  });
  return found;
}

bool FakeEngine::WaitForCount(size_t n, milliseconds timeout, const Pred& pred, int client) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] {
    size_t count = 0;
    for (const auto& r : log_)
      if ((client == kAny || r.client == client) && (!pred || pred(r.frame))) ++count;
    return count >= n;
  });
}

std::optional<AgwFrame> FakeEngine::RunLoopUntilFrame(const Pred& pred, milliseconds timeout,
                                                      int client) {
  RunUntil([&] { return Count(pred, client) > 0; }, timeout);
  return WaitFor(pred, milliseconds(0), client);
}

bool FakeEngine::RunLoopUntilCount(size_t n, milliseconds timeout, const Pred& pred, int client) {
  return RunUntil([&] { return Count(pred, client) >= n; }, timeout);
}

void FakeEngine::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  log_.clear();
  violations_.clear();
}

void FakeEngine::SetAutoReply(char kind, bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  if (on) {
    auto_off_.erase(kind);
  } else {
    auto_off_.insert(kind);
  }
}

void FakeEngine::SetPortList(std::string list) {
  std::lock_guard<std::mutex> lock(mu_);
  port_list_ = std::move(list);
}

void FakeEngine::SetRegisterResult(const std::string& call, uint8_t result) {
  std::lock_guard<std::mutex> lock(mu_);
  register_results_[UpperText(call)] = result;
}

void FakeEngine::SetOutstanding(std::vector<uint32_t> counts) {
  std::lock_guard<std::mutex> lock(mu_);
  outstanding_ = counts.empty() ? std::vector<uint32_t>{0} : std::move(counts);
  outstanding_next_ = 0;
}

void FakeEngine::SetScript(Script script) {
  std::lock_guard<std::mutex> lock(mu_);
  script_ = std::move(script);
}

std::vector<std::string> FakeEngine::Violations() const {
  std::lock_guard<std::mutex> lock(mu_);
  return violations_;
}

}  // namespace harvox::test
