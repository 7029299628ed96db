// The test node's session logic; see test_node.h.  Everything below Run()
// happens on the node's own thread.
#include "support/test_node.h"

#include "support/agw_client.h"

#include "util/strings.h"

#include <map>
#include <memory>

namespace harvox::test {
namespace {

using namespace std::chrono_literals;
constexpr size_t kMaxLine = 256;  // a longer run without CR is echoed as it stands

constexpr uint8_t kPidText = 0xF0;  // the engine warns about (and replaces) PID 0 on I frames
constexpr auto kDrainPoll = 100ms;
constexpr int kMaxDrainPolls = 100;

struct Link {
  uint8_t port = 0;
  std::string pending;  // bytes after the last CR
  bool closing = false;
  // While closing: when to ask again how many frames still wait.
  std::chrono::steady_clock::time_point poll_at{};
  bool asked = false;
  int polls = 0;
};

AgwFrame ForLink(char kind, uint8_t port, const std::string& own, const std::string& remote,
                 std::string data = "") {
  AgwFrame f;
  f.kind = kind;
  f.port = port;
  f.from = own;
  f.to = remote;
  f.data = std::move(data);
  if (kind == 'D') f.pid = kPidText;
  return f;
}

// Per-engine-connection state: links die with the connection.
class Session {
 public:
  Session(AgwClient& agw, const std::string& call, std::function<void(const std::string&)> event)
      : agw_(agw), call_(call), event_(std::move(event)) {}

  void Handle(const AgwFrame& f) {
    const std::string from = UpperText(f.from), to = UpperText(f.to);
    if (f.kind == 'X' && from == call_) {
      bool ok = !f.data.empty() && f.data[0] == 1;
      event_((ok ? "registered " : "registration refused ") + call_);
    } else if (f.kind == 'C' && to == call_) {
      links_[from] = Link{f.port, "", false};
      event_("connected " + from);
      agw_.Send(ForLink('D', f.port, call_, from, TestNode::Greeting(call_, from)));
    } else if (f.kind == 'd' && to == call_) {
      if (links_.erase(from) > 0) event_("disconnected " + from);
    } else if (f.kind == 'D' && to == call_) {
      auto it = links_.find(from);
      if (it != links_.end()) Data(from, it->second, f.data);
    } else if (f.kind == 'Y' && from == call_) {
      auto it = links_.find(to);
      if (it != links_.end() && it->second.closing) Drained(to, it->second, f.data);
    }
  }

  // A disconnect request makes the engine drop the link's queued frames,
  // so the farewell must be gone before it: poll the outstanding count.
  void Tick() {
    auto now = std::chrono::steady_clock::now();
    for (auto& [remote, link] : links_) {
      if (!link.closing || link.asked || now < link.poll_at) continue;
      link.asked = true;
      agw_.Send(ForLink('Y', link.port, call_, remote));
    }
  }

 private:
  void Data(const std::string& remote, Link& link, const std::string& data) {
    link.pending += data;
    for (;;) {
      size_t cr = link.pending.find('\r');
      if (cr == std::string::npos && link.pending.size() < kMaxLine) return;
      size_t take = cr == std::string::npos ? link.pending.size() : cr;
      std::string line = link.pending.substr(0, take);
      link.pending.erase(0, cr == std::string::npos ? take : take + 1);
      if (!line.empty() && line[0] == '\n') line.erase(0, 1);  // from a CR LF pair
      Line(remote, link, line);
    }
  }

  void Line(const std::string& remote, Link& link, const std::string& line) {
    if (link.closing) return;
    event_("line " + remote + " " + line);
    std::string word = line;
    if (UpperText(CutWord(word)) == "BYE") {
      link.closing = true;
      event_("bye " + remote);
      agw_.Send(ForLink('D', link.port, call_, remote, "73 de " + call_ + "\r"));
      link.poll_at = std::chrono::steady_clock::now() + kDrainPoll;
      return;
    }
    agw_.Send(ForLink('D', link.port, call_, remote, line + "\r"));
  }

  void Drained(const std::string& remote, Link& link, const std::string& count) {
    link.asked = false;
    bool empty = count.size() >= 4 && count.compare(0, 4, std::string(4, '\0')) == 0;
    // An engine that never drains gets the disconnect anyway after a while.
    if (!empty && ++link.polls < kMaxDrainPolls) {
      link.poll_at = std::chrono::steady_clock::now() + kDrainPoll;
      return;
    }
    link.poll_at = std::chrono::steady_clock::time_point::max();
    agw_.Send(ForLink('d', link.port, call_, remote));
  }

  AgwClient& agw_;
  const std::string& call_;
  std::function<void(const std::string&)> event_;
  std::map<std::string, Link> links_;
};

}  // namespace

TestNode::TestNode(std::string host, uint16_t port, std::string call)
    : host_(std::move(host)), port_(port), call_(UpperText(call)) {}

std::string TestNode::Greeting(const std::string& own, const std::string& remote) {
  return "Hello " + remote + ", this is test node " + own + ".\r";
}

void TestNode::SetEventSink(EventSink sink) { sink_ = std::move(sink); }

void TestNode::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void TestNode::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void TestNode::Run() {
  AgwClient agw;
  std::unique_ptr<Session> session;
  while (!stop_) {
    if (!agw.Connected()) {
      session.reset();
      if (!agw.Connect(host_, port_, 1000ms)) {
        std::this_thread::sleep_for(200ms);
        continue;
      }
      session = std::make_unique<Session>(agw, call_, [this](const std::string& e) { Event(e); });
      Event("engine connected");
      AgwFrame reg;
      reg.kind = 'X';
      reg.from = call_;
      agw.Send(reg);
    }
    auto frame = agw.Read(50ms);
    if (frame) session->Handle(*frame);
    session->Tick();
    if (!agw.Connected()) Event("engine lost");
  }
  agw.Close();
}

void TestNode::Event(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(text);
  }
  cv_.notify_all();
  if (sink_) sink_(text);
}

std::vector<std::string> TestNode::Events() const {
  std::lock_guard<std::mutex> lock(mu_);
  return events_;
}

bool TestNode::WaitForEvent(const std::string& prefix, int count,
                            std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] {
    int seen = 0;
    for (const auto& e : events_)
      if (e.compare(0, prefix.size(), prefix) == 0) ++seen;
    return seen >= count;
  });
}

}  // namespace harvox::test
