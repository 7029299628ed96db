// Fake engine: what it answers, what it records and the settings a test
// changes.  The reply handlers run on the engine thread; the recording and
// settings are guarded by mu_ and read from any thread.
#include "support/fake_engine.h"

#include "support/fake_engine_internal.h"

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

AgwFrame Reply(const AgwFrame& f, char kind, std::string data) {
  AgwFrame r;
  r.port = f.port;
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
  auto send = [&](AgwFrame r) { Queue(c, r.Encode(), milliseconds(0)); };
  switch (f.kind) {
    case 'R':
      send(Reply(f, 'R', VersionData()));
      break;
    case 'G': {
      std::string list;
      {
        std::lock_guard<std::mutex> lock(mu_);
        list = port_list_;
      }
      AgwFrame r = Reply(f, 'G', list + '\0');
      r.port = 0;
      send(r);
      break;
    }
    case 'g':
      send(Reply(f, 'g', CapsData()));
      break;
    case 'y':
      send(Reply(f, 'y', Le32(0)));
      break;
    case 'Y': {
      uint32_t count;
      {
        std::lock_guard<std::mutex> lock(mu_);
        count = outstanding_[std::min(outstanding_next_, outstanding_.size() - 1)];
        if (outstanding_next_ < outstanding_.size()) ++outstanding_next_;
      }
      AgwFrame r = Reply(f, 'Y', Le32(count));
      r.from = f.from;
      r.to = f.to;
      send(r);
      break;
    }
    case 'X': {
      uint8_t result = 1;
      {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = register_results_.find(UpperText(f.from));
        if (it != register_results_.end()) result = it->second;
      }
      AgwFrame r = Reply(f, 'X', std::string(1, static_cast<char>(result)));
      r.port = 0;
      r.from = f.from;
      send(r);
      break;
    }
    case 'C':
    case 'v':
    case 'c': {
      // Notices name the remote station first, as the real engine does.
      AgwFrame r = Reply(f, 'C', "*** CONNECTED With Station " + f.to + "\r" + '\0');
      r.from = f.to;
      r.to = f.from;
      c->links.insert(LinkOf(f.from, f.to));
      send(r);
      break;
    }
    case 'd':
      if (c->links.erase(LinkOf(f.from, f.to)) > 0) {
        AgwFrame r = Reply(f, 'd', "*** DISCONNECTED From Station " + f.to + "\r" + '\0');
        r.from = f.to;
        r.to = f.from;
        send(r);
      }
      break;
    default:
      break;
  }
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
