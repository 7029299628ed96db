// Routing of a shared engine connection's frames; see demux.h.
#include "agw/demux.h"

#include "util/strings.h"

namespace harvox {
namespace {

// Ports 0 and 1 both travel as wire port 0 and come back as 1.
uint8_t ReplyPort(uint8_t port) { return port == 0 ? 1 : port; }
// Questions of one kind kept at most: an engine that never answers one
// kind must not grow the table without end.
constexpr size_t kMaxAsks = 256;

}  // namespace

std::string Demux::Upper(const std::string& call) { return UpperText(call); }

void Demux::Reset() {
  owners_.clear();
  flow_asks_.clear();
  port_asks_.clear();
  unregister_asks_.clear();
}

void Demux::Forget(LinkId link) {
  std::erase_if(owners_, [link](const auto& e) { return e.second.Link == link; });
  std::erase_if(names_, [link](const auto& e) { return e.second == link; });
  std::erase_if(flow_asks_, [link](const auto& e) { return e.second.Link == link; });
  std::erase_if(unregister_asks_, [link](const auto& e) { return e.second == link; });
  for (auto& [kind, queue] : port_asks_) std::erase(queue, link);
}

void Demux::Name(LinkId link, const std::string& call) {
  std::erase_if(names_, [link](const auto& e) { return e.second == link; });
  if (!call.empty()) names_[Upper(call)] = link;
}

Demux::LinkId Demux::Holder(LinkId link, const std::string& call) const {
  auto it = owners_.find(Upper(call));
  if (it == owners_.end() || !it->second.Registered || it->second.Link == link) return kNoLink;
  return it->second.Link;
}

void Demux::Sent(LinkId link, uint8_t port, char kind, const std::string& from,
                 const std::string& to) {
  switch (kind) {
    case 'X':
      owners_[Upper(from)] = Owner{link, true};
      unregister_asks_.erase(Upper(from));
      break;
    case 'x': {
      unregister_asks_[Upper(from)] = link;
      auto it = owners_.find(Upper(from));
      if (it != owners_.end() && it->second.Link == link) it->second.Registered = false;
      break;
    }
    case 'C':
    case 'v':
    case 'c': {
      // A link may connect from a callsign it never registered; the notices
      // of that link come back to it.
      Owner& o = owners_[Upper(from)];
      if (!o.Registered) o.Link = link;
      break;
    }
    case 'Y': {
      Asks& a = flow_asks_[FlowKey{ReplyPort(port), Upper(from), Upper(to)}];
      if (a.Link != link) a = Asks{link, 0};
      ++a.Count;
      break;
    }
    case 'G':
    case 'R':
    case 'g':
    case 'y': {
      const bool per_port = kind == 'g' || kind == 'y';
      auto& queue = port_asks_[{kind, per_port ? ReplyPort(port) : uint8_t{0}}];
      if (queue.size() >= kMaxAsks) queue.pop_front();
      queue.push_back(link);
      break;
    }
    default:
      break;
  }
}

Demux::Route Demux::Owned(const std::string& call, const char* what) const {
  const std::string key = Upper(call);
  if (auto it = owners_.find(key); it != owners_.end()) return Route{Route::To::Link, it->second.Link, {}};
  if (auto it = names_.find(key); it != names_.end()) return Route{Route::To::Link, it->second, {}};
  return Route{Route::To::Nobody, kNoLink, std::string(what) + " for " + key + ", which no link owns"};
}

Demux::Route Demux::Asked(std::deque<LinkId>& queue, const char* what) {
  if (queue.empty()) return Route{Route::To::Nobody, kNoLink, std::string(what) + " no link asked for"};
  const LinkId link = queue.front();
  queue.pop_front();
  return Route{Route::To::Link, link, {}};
}

Demux::Route Demux::Receive(const FrameHeader& h, std::string_view data) {
  switch (h.DataKind) {
    case 'X': {
      Route r = Owned(h.CallFrom, "registration reply");
      auto it = owners_.find(Upper(h.CallFrom));
      if (it != owners_.end() && (data.empty() || data[0] != 1)) it->second.Registered = false;
      return r;
    }
    case 'x': {
      auto it = unregister_asks_.find(Upper(h.CallFrom));
      if (it == unregister_asks_.end()) return Owned(h.CallFrom, "unregistration reply");
      const LinkId link = it->second;
      unregister_asks_.erase(it);
      return Route{Route::To::Link, link, {}};
    }
    case 'C':
    case 'D':
    case 'd':
      return Owned(h.CallTo, "connected-mode frame");
    case 'Y': {
      auto it = flow_asks_.find(FlowKey{ReplyPort(h.Port), Upper(h.CallFrom), Upper(h.CallTo)});
      if (it == flow_asks_.end()) return Owned(h.CallFrom, "outstanding-frames reply");
      const LinkId link = it->second.Link;
      if (--it->second.Count == 0) flow_asks_.erase(it);
      return Route{Route::To::Link, link, {}};
    }
    case 'G':
      return Asked(port_asks_[{'G', 0}], "port list");
    case 'R':
      return Asked(port_asks_[{'R', 0}], "version reply");
    case 'g':
      return Asked(port_asks_[{'g', h.Port}], "port capabilities");
    case 'y':
      return Asked(port_asks_[{'y', h.Port}], "port frame count");
    case 'K':
      return Route{Route::To::Raw, kNoLink, "raw frame"};
    case 'I':
    case 'U':
    case 'S':
    case 'T':
    case 'H':
      return Route{Route::To::Monitor, kNoLink, "monitor frame"};
    default:
      return Route{Route::To::Nobody, kNoLink, std::string("kind '") + h.DataKind + "', which no link takes"};
  }
}

size_t Demux::Outstanding() const {
  size_t n = unregister_asks_.size();
  for (const auto& [key, asks] : flow_asks_) n += asks.Count;
  for (const auto& [key, queue] : port_asks_) n += queue.size();
  return n;
}

}  // namespace harvox
