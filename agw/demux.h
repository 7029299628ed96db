// Demux: which link a frame from a shared engine connection belongs to.
// The connection tells it every frame a link sends (Sent) and asks it where
// each received frame goes (Route).  It knows links only by number and
// keeps what the engine's answers are matched by:
//  - the callsigns each link registered ('X') or connected from ('C',
//    'v', 'c'): registration replies and connected-mode frames ('C', 'D',
//    'd') go to the link that owns the frame's own callsign;
//  - the outstanding-frame questions ('Y') of each link by port and both
//    callsigns;
//  - the port and version questions ('G', 'R', 'g', 'y') in the order they
//    were asked: each answer goes to the link that asked first.
// Monitor and raw frames ('I', 'U', 'S', 'T', 'H', 'K') go to the links
// that asked for monitoring; the connection knows which those are.
//
// Re-entrancy: pure, no I/O; one object per engine connection.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <tuple>

#include "agw/frame.h"

namespace harvox {

class Demux {
 public:
  using LinkId = int;
  static constexpr LinkId kNoLink = -1;

  struct Route {
    enum class To { Link, Monitor, Raw, Nobody };
    To Where = To::Nobody;
    LinkId Link = kNoLink;
    std::string Why;  // for Nobody: what was looked for
  };

  // The connection was opened or lost: the engine forgot every
  // registration, link and question.
  void Reset();
  // A link is gone for good: nothing more is routed to it.
  void Forget(LinkId link);
  // The callsign a link goes by (its name): connected-mode frames for it go
  // to the link when no registration says otherwise.
  void Name(LinkId link, const std::string& call);
  // Who else holds call as a registration (kNoLink: nobody, or link
  // itself).  Two links can not share a callsign on one connection.
  LinkId Holder(LinkId link, const std::string& call) const;

  // A frame a link sends.  port as the link gives it (0 and 1 both mean
  // the first radio port).
  void Sent(LinkId link, uint8_t port, char kind, const std::string& from, const std::string& to);
  // Where a received frame goes; the answer to a question counts as given.
  Route Receive(const FrameHeader& h, std::string_view data);

  // Questions still unanswered, for tests and the status line.
  size_t Outstanding() const;

 private:
  using FlowKey = std::tuple<uint8_t, std::string, std::string>;
  struct Owner {
    LinkId Link = kNoLink;
    bool Registered = false;
  };
  struct Asks {
    LinkId Link = kNoLink;
    uint32_t Count = 0;
  };

  Route Owned(const std::string& call, const char* what) const;
  Route Asked(std::deque<LinkId>& queue, const char* what);
  static std::string Upper(const std::string& call);

  std::map<std::string, Owner> owners_;  // by upper-case callsign
  std::map<std::string, LinkId> names_;
  std::map<FlowKey, Asks> flow_asks_;
  std::map<std::pair<char, uint8_t>, std::deque<LinkId>> port_asks_;
  std::map<std::string, LinkId> unregister_asks_;
};

}  // namespace harvox
