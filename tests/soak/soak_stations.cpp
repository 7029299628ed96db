// The soak's radio stations and the hosts they reach.  A station is played
// by the fake engine: its connect, data and disconnect frames are injected
// into the gateway's engine connection, and what the gateway sends it
// arrives in OnFrame on the engine thread.  Each round picks a route:
// ECHO (tagged lines checked byte for byte), REFUSE (nothing listens),
// CLOSE (the host hangs up), SILENT (ended by the inactivity time-out) or
// FLOOD (the host sends as fast as it may; every byte checked in order).
// Station state is shared by the soak thread and the engine thread, so each
// station has its own mutex.
#include <array>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include "soak/soak.h"
#include "support/echo_sink.h"

namespace harvox::soak {
namespace {

using asio::ip::tcp;
using test::AgwFrame;

enum class Kind { Echo, Refuse, Close, Silent, Flood };
const char* const kRoutes[] = {"ECHO", "REFUSE", "CLOSE", "SILENT", "FLOOD"};

Kind KindOf(uint32_t slot, uint32_t gen) {
  static const Kind kMix[10] = {Kind::Echo,  Kind::Echo,   Kind::Echo,  Kind::Echo, Kind::Refuse,
                                Kind::Close, Kind::Silent, Kind::Flood, Kind::Echo, Kind::Echo};
  return kMix[(slot * 7 + gen * 3) % 10];
}

// S042C-1: slot 42, round 2 + 26 * 1.
std::string CallOf(uint32_t slot, uint32_t gen) {
  char call[16];
  std::snprintf(call, sizeof call, "S%03u%c-%u", slot, 'A' + gen % 26, (gen / 26) % 16);
  return call;
}

}  // namespace

struct Stations::Station {
  enum class Step { Idle, Linked };
  std::mutex mu;
  uint32_t slot = 0, gen = 0, typed = 0, echoes = 0, lines = 0, flood_next = 0;
  Kind kind = Kind::Echo;
  Step step = Step::Idle;
  bool gone = false, cut = false;
  std::string call, rx;
  Clock::time_point started, next, deadline;
};

// The hosts behind the routes, on the soak thread (the echo host has its own).
struct Stations::Hosts {
  explicit Hosts(asio::io_context& io) : close(io), silent(io), flood(io), refuse(io) {
    for (tcp::acceptor* a : {&close, &silent, &flood, &refuse}) {
      a->open(tcp::v4());
      a->bind(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
      if (a != &refuse) a->listen();  // REFUSE holds its port but never listens
    }
    Accept(close, [](std::shared_ptr<tcp::socket> s) {
      auto t = std::make_shared<asio::steady_timer>(s->get_executor(), milliseconds(500));
      t->async_wait([s, t](const asio::error_code&) {
        asio::error_code ec;
        asio::write(*s, asio::buffer(std::string("CLOSING\r\n")), ec);
        s->close(ec);
      });
    });
    Accept(silent, [](std::shared_ptr<tcp::socket> s) { Drain(s); });
    Accept(flood, [](std::shared_ptr<tcp::socket> s) {
      Drain(s);
      Pour(s, std::make_shared<std::string>(), 0);
    });
  }
  template <typename F>
  static void Accept(tcp::acceptor& a, F serve) {
    a.async_accept([&a, serve](const asio::error_code& ec, tcp::socket s) {
      if (ec) return;
      serve(std::make_shared<tcp::socket>(std::move(s)));
      Accept(a, serve);
    });
  }
  static void Drain(std::shared_ptr<tcp::socket> s) {
    auto buf = std::make_shared<std::array<char, 8192>>();
    s->async_read_some(asio::buffer(*buf), [s, buf](const asio::error_code& ec, size_t) {
      if (ec) return (void)s->close();
      Drain(s);
    });
  }
  // About 1 KiB of tagged lines every 50 ms (a hundred times what a radio
  // link carries), as long as the gateway takes them.
  static void Pour(std::shared_ptr<tcp::socket> s, std::shared_ptr<std::string> out, uint32_t seq) {
    out->clear();
    while (out->size() < 1024) *out += TaggedLine('F', 0, 0, seq++) + "\r\n";
    asio::async_write(*s, asio::buffer(*out), [s, out, seq](const asio::error_code& ec, size_t) {
      if (ec || !s->is_open()) return;
      auto t = std::make_shared<asio::steady_timer>(s->get_executor(), milliseconds(50));
      t->async_wait([s, out, seq, t](const asio::error_code&) { Pour(s, out, seq); });
    });
  }
  uint16_t Port(Kind k) const {
    asio::error_code ec;
    switch (k) {
      case Kind::Echo:
        return echo.Port();
      case Kind::Refuse:
        return refuse.local_endpoint(ec).port();
      case Kind::Close:
        return close.local_endpoint(ec).port();
      case Kind::Silent:
        return silent.local_endpoint(ec).port();
      case Kind::Flood:
        return flood.local_endpoint(ec).port();
    }
    return 0;
  }
  test::EchoSink echo;
  tcp::acceptor close, silent, flood, refuse;
};

Stations::Stations(asio::io_context& io, test::FakeEngine& engine, Counters& n, uint32_t count)
    : hosts_(std::make_unique<Hosts>(io)), io_(io), engine_(engine), n_(n) {
  for (uint32_t i = 0; i < count; ++i) {
    stations_.push_back(std::make_unique<Station>());
    stations_.back()->slot = i;
  }
}

Stations::~Stations() = default;

std::string Stations::Routes() const {
  std::string lines;
  for (Kind k : {Kind::Echo, Kind::Refuse, Kind::Close, Kind::Silent, Kind::Flood})
    lines += std::string(kRoutes[int(k)]) + "=127.0.0.1:" + std::to_string(hosts_->Port(k)) +
             ",60000,600000\n";
  return lines;
}

void Stations::Start() {
  const auto now = Clock::now();
  for (auto& s : stations_) s->next = now + milliseconds(s->slot * 10);
  tick_ = std::make_unique<asio::steady_timer>(io_);
  Tick();
}

void Stations::Tick() {
  const auto now = Clock::now();
  std::vector<AgwFrame> out;
  for (auto& s : stations_) {
    out.clear();
    {
      std::lock_guard<std::mutex> lock(s->mu);
      Step(*s, now, out);
    }
    // Sent unlocked: the engine thread takes the station's lock to deliver.
    for (const AgwFrame& f : out) {
      const int to = gateway_;
      const bool tear = f.kind == 'D' && (f.data.size() + s->slot) % 16 == 0;
      if (tear) ++n_.torn;
      if (to >= 0 && (tear ? engine_.SendTorn(f, s->slot * 977 + uint32_t(f.data.size()), to)
                           : engine_.Send(f, to)))
        continue;
      std::lock_guard<std::mutex> lock(s->mu);  // the engine connection has gone
      if (s->call == f.from && s->step == Station::Step::Linked) s->cut = true;
    }
  }
  tick_->expires_after(milliseconds(50));
  tick_->async_wait([this](const asio::error_code& ec) {
    if (!ec) Tick();
  });
}

void Stations::Wind() { winding_ = true; }

bool Stations::Idle() const {
  for (const auto& s : stations_) {
    std::lock_guard<std::mutex> lock(s->mu);
    if (s->step != Station::Step::Idle) return false;
  }
  return true;
}

void Stations::LinkLost() {
  gateway_ = -1;
  for (auto& s : stations_) {
    std::lock_guard<std::mutex> lock(s->mu);
    if (s->step == Station::Step::Linked) s->cut = true;
  }
}

// A new round: the station calls the route its slot picks this time.
void Stations::Call(Station& s, Clock::time_point now, std::vector<AgwFrame>& out) {
  s.kind = KindOf(s.slot, ++s.gen);
  s.call = CallOf(s.slot, s.gen);
  s.typed = s.echoes = s.flood_next = 0;
  s.lines = 5 + (s.slot + s.gen) % 25;
  s.gone = s.cut = false;
  s.started = s.next = now;
  s.deadline = now + milliseconds(s.kind == Kind::Silent  ? 90000
                                  : s.kind == Kind::Flood ? 3000 + s.gen % 5000
                                                          : 20000);
  const std::string route = kRoutes[int(s.kind)];
  out.push_back(AgwFrame{0, 'C', 0, s.call, route, "*** CONNECTED With Station " + s.call + "\r"});
  if (s.kind != Kind::Echo && s.kind != Kind::Flood)  // held until the host answers
    out.push_back(AgwFrame{0, 'D', 0xF0, s.call, route, "hello\r"});
  ++n_.stations;
  s.step = Station::Step::Linked;
}

// One station's round, advanced every tick (station locked).
void Stations::Step(Station& s, Clock::time_point now, std::vector<AgwFrame>& out) {
  if (s.step == Station::Step::Idle) {
    if (!winding_ && now >= s.next && gateway_ >= 0) Call(s, now, out);
    return;
  }
  const std::string route = kRoutes[int(s.kind)];
  auto send = [&](char kind, std::string data) {
    out.push_back(
        AgwFrame{0, kind, uint8_t(kind == 'D' ? 0xF0 : 0), s.call, route, std::move(data)});
  };
  auto end = [&](milliseconds pause, bool disconnect) {
    if (disconnect) send('d', "*** DISCONNECTED From Station " + s.call + "\r");
    s.step = Station::Step::Idle;
    s.next = now + pause;
    std::string().swap(s.rx);
  };
  if (s.cut) return ++n_.stations_cut, end(milliseconds(2000), false);
  const bool talks = s.kind == Kind::Echo || s.kind == Kind::Flood;
  if (s.gone) {
    const auto took = now - s.started;
    if (talks) n_.Fault("station " + s.call + " (" + route + ") disconnected by the gateway");
    if (s.kind == Kind::Refuse) ++n_.refused;
    if (s.kind == Kind::Close) ++n_.closed;
    if (s.kind == Kind::Silent) ++n_.timed_out;
    if (s.kind == Kind::Silent && took < milliseconds(55000))
      n_.Fault("station " + s.call + " timed out early");
    return end(milliseconds(500), false);
  }
  if (winding_ && s.kind != Kind::Refuse && s.kind != Kind::Close)
    return end(milliseconds(0), true);
  if (s.kind == Kind::Echo) {
    if (s.gen % 4 == 3 && s.typed == s.lines / 2)
      return ++n_.left_early, end(milliseconds(1000), true);
    if (s.typed < s.lines && now >= s.next) {
      send('D', TaggedLine('T', s.slot, s.gen, s.typed++) + "\r");
      s.next = now + milliseconds(400);
      s.deadline = now + milliseconds(30000);
    } else if (s.typed == s.lines && s.echoes == s.typed) {
      return ++n_.echoed, end(milliseconds(1000), true);
    }
  }
  if (now < s.deadline) return;
  if (s.kind == Kind::Flood) {
    if (s.flood_next == 0) n_.Fault("station " + s.call + " got nothing from the flooding host");
    return ++n_.flooded, end(milliseconds(1000), true);
  }
  n_.Fault("station " + s.call + " (" + route + ") still linked at its deadline, " +
           std::to_string(s.echoes) + " of " + std::to_string(s.typed) + " echoes");
  end(milliseconds(1000), true);
}

// Engine thread: what the gateway sends to a station.
void Stations::OnFrame(int client, const AgwFrame& f) {
  if (f.kind == 'X' && f.from == "ECHO") gateway_ = client;  // the gateway registers its routes
  if (client != gateway_ || (f.kind != 'D' && f.kind != 'd') || f.to.size() < 5 || f.to[0] != 'S')
    return;
  const uint32_t slot = std::strtoul(f.to.substr(1, 3).c_str(), nullptr, 10);
  if (slot >= stations_.size()) return;
  Station& s = *stations_[slot];
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.call != f.to || s.step != Station::Step::Linked) return;  // a round that has ended
  if (f.kind == 'd') return (void)(s.gone = true);
  s.rx += f.data;
  size_t at = 0, end;
  while ((end = s.rx.find('\n', at)) != std::string::npos) {
    std::string_view line(s.rx.data() + at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (const size_t cr = line.rfind('\r'); cr != std::string_view::npos)
      line.remove_prefix(cr + 1);
    if (line.empty() || (line[0] != 'T' && line[0] != 'F')) continue;
    const std::string want = line[0] == 'T' ? TaggedLine('T', s.slot, s.gen, s.echoes)
                                            : TaggedLine('F', 0, 0, s.flood_next);
    if (line != want) {
      n_.Fault("station " + s.call + " expected " + want.substr(0, 20) + ", got " +
               std::string(line.substr(0, 40)));
      s.cut = true;  // its check is over; the round ends
      break;
    }
    ++(line[0] == 'T' ? s.echoes : s.flood_next);
    n_.bytes_checked += line.size() + 2;
  }
  s.rx.erase(0, at);
  if (s.rx.size() > 65536) s.rx.erase(0, s.rx.size() - 256);
}

}  // namespace harvox::soak
