// The soak's Telnet users and monitor viewers: real sockets on the soak
// thread.  A user logs in from its own 127.0.0.x address, types tagged
// lines and checks every echoed byte in order, then leaves in the way its
// round chose: closing, ESC, mid-line, after a 100 KiB paste, or without
// ever reading.  Guessers fail logins from 127.0.1.x until they are turned
// away.  Everything here runs on the soak thread; see soak.h.
#include <array>
#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include "soak/soak.h"

namespace harvox::soak {
namespace {

using asio::ip::tcp;

uint32_t Mix(uint32_t a, uint32_t b) {
  uint32_t x = a * 2654435761u ^ (b + 0x9e3779b9u);
  x ^= x >> 15, x *= 2246822519u, x ^= x >> 13;
  return x;
}

void Close(tcp::socket& sock, bool reset) {
  asio::error_code ec;
  if (reset) sock.set_option(asio::socket_base::linger(true, 0), ec);
  sock.close(ec);
}

}  // namespace

struct Crowd::User {
  enum class Mode { Typist, Esc, MidLine, Paste, Silent };
  enum class Step { Off, Dialogue, Probing, Typing, Draining, Leaving };
  User(Crowd& crowd, uint32_t s, bool g)
      : c(crowd), slot(s), guesser(g), sock(crowd.io_), timer(crowd.io_) {}
  Crowd& c;
  uint32_t slot;
  bool guesser;
  tcp::socket sock;
  asio::steady_timer timer;
  Step step = Step::Off;
  Mode mode = Mode::Typist;
  uint32_t gen = 0, typed = 0, echoed = 0, lines = 0;
  bool link_lost = false;
  std::string in, out, inflight;
  std::array<char, 16384> buf{};

  std::string Address() const {
    return guesser ? "127.0.1." + std::to_string(slot + 1)
                   : "127.0.0." + std::to_string(2 + slot % 248);
  }
  void Later(milliseconds after, void (User::*then)()) {
    timer.expires_after(after);
    timer.async_wait([this, then, g = gen](const asio::error_code& ec) {
      if (!ec && g == gen && step != Step::Off) (this->*then)();
    });
  }
  void Begin(milliseconds after) {
    step = Step::Off;
    if (c.winding_) return;
    timer.expires_after(after);
    timer.async_wait([this](const asio::error_code& ec) {
      if (!ec && !c.winding_) Connect();
    });
  }
  void Connect();
  void Read();
  void Parse();
  void Dialogue();
  void Echoes();
  void Type(uint32_t count);
  void Send(const std::string& bytes);
  void Tick();
  void Leave();
  void Ended();
  void Finish(bool reset, milliseconds pause) {
    Close(sock, reset);
    for (std::string* b : {&in, &out, &inflight}) std::string().swap(*b);  // idle holds no buffers
    ++gen;  // handlers of this round are stale now
    Begin(pause);
  }
};

void Crowd::User::Connect() {
  ++gen;
  const uint32_t r = Mix(slot, gen) % 20;
  mode = r < 3   ? Mode::Esc
         : r < 5 ? Mode::MidLine
         : r < 6 ? Mode::Paste
         : r < 7 ? Mode::Silent
                 : Mode::Typist;
  typed = echoed = 0;
  lines = 5 + Mix(gen, slot) % 30;
  link_lost = false;
  step = Step::Dialogue;
  asio::error_code ec;
  sock.open(tcp::v4(), ec);
  if (!ec) sock.bind(tcp::endpoint(asio::ip::make_address_v4(Address()), 0), ec);
  if (ec)
    return c.n_.Fault("user bind " + Address() + ": " + ec.message()),
           Finish(false, milliseconds(2000));
  sock.async_connect(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), c.telnet_port_),
                     [this, g = gen](const asio::error_code& ec) {
                       if (g != gen) return;
                       if (ec)
                         return c.n_.Fault("user connect: " + ec.message()),
                                Finish(false, milliseconds(2000));
                       asio::error_code ignored;
                       sock.set_option(tcp::no_delay(true), ignored);
                       if (mode != Mode::Silent || guesser) return Read();
                       // Never reads: types its login blind, then lines and pastes.
                       Send(UserId(slot) + "\rpw" + std::to_string(slot) + "\r");
                       step = Step::Typing;
                       Later(milliseconds(500), &User::Tick);
                     });
}

void Crowd::User::Read() {
  sock.async_read_some(asio::buffer(buf), [this, g = gen](const asio::error_code& ec, size_t got) {
    if (g != gen) return;
    if (ec) return Ended();
    in.append(buf.data(), got);
    Parse();
    if (g == gen && step != Step::Off) Read();
  });
}

void Crowd::User::Send(const std::string& bytes) {
  out += bytes;
  if (!inflight.empty() || out.empty()) return;
  inflight.swap(out);
  asio::async_write(sock, asio::buffer(inflight),
                    [this, g = gen](const asio::error_code& ec, size_t) {
                      if (g != gen) return;
                      inflight.clear();
                      if (!ec) Send({});
                    });
}

void Crowd::User::Parse() {
  if (step == Step::Dialogue) return Dialogue();
  Echoes();
}

// The login dialogue: prompts are answered, refusals counted.
void Crowd::User::Dialogue() {
  auto take = [&](const std::string& text) {
    const size_t at = in.find(text);
    if (at == std::string::npos) return false;
    in.erase(0, at + text.size());
    return true;
  };
  for (;;) {
    if (take("Server Busy")) {
      ++(guesser ? c.n_.bad_blocked : c.n_.busy_link);
      return Finish(false, milliseconds(guesser ? 3000 : 1000));
    } else if (take("Already Registered")) {
      ++c.n_.already;
      return Finish(false, milliseconds(1000));
    } else if (take("Invalid Login")) {
      if (!guesser)
        return c.n_.Fault("user " + UserId(slot) + " refused its own password"),
               Finish(false, milliseconds(1000));
      ++c.n_.bad_failures;
    } else if (take("Login:")) {
      Send((guesser ? "GUESS" + std::to_string(slot) : UserId(slot)) + "\r");
    } else if (take("Password:")) {
      Send(guesser ? "wrong\r" : "pw" + std::to_string(slot) + "\r");
    } else if (take(" Users logged in.\r\n")) {
      ++c.n_.sessions;
      step = Step::Probing;
      Type(1);  // the first echo shows the link is up
      return Echoes();
    } else {
      if (in.size() > 4096) in.erase(0, in.size() - 64);
      return;
    }
  }
}

// Echoed lines: each must be the next one typed, byte for byte.
void Crowd::User::Echoes() {
  size_t at = 0, end;
  while ((end = in.find("\r\n", at)) != std::string::npos) {
    const std::string_view line(in.data() + at, end - at);
    at = end + 2;
    if (line.find("Packet engine link lost") != std::string_view::npos) link_lost = true;
    if (line.empty() || line[0] != '#') continue;
    if (line != TaggedLine('#', slot, gen, echoed)) {
      c.n_.Fault("user " + UserId(slot) + " expected echo " + std::to_string(echoed) + ", got " +
                 std::string(line.substr(0, 40)));
      return Finish(false, milliseconds(1000));
    }
    ++echoed;
    c.n_.bytes_checked += line.size() + 2;
  }
  in.erase(0, at);
  if (in.size() > 8192)
    return c.n_.Fault("user " + UserId(slot) + ": unended output"),
           Finish(false, milliseconds(1000));
  if (step == Step::Probing && echoed == 1) {
    step = Step::Typing;
    if (mode == Mode::Paste) {
      while (typed < 1 + 1700) Type(1);  // 100 KiB and more at once
      ++c.n_.pasted;
      step = Step::Draining;
    } else {
      Later(milliseconds(300 + Mix(slot, gen) % 1000), &User::Tick);
    }
  }
  if (step == Step::Draining && echoed == typed) Leave();
}

void Crowd::User::Type(uint32_t count) {
  std::string text;
  for (uint32_t i = 0; i < count; ++i) text += TaggedLine('#', slot, gen, typed++) + "\r";
  Send(text);
}

// One paced line; at the end of the round, leave or wait for the echoes.
void Crowd::User::Tick() {
  if (step != Step::Typing) return;
  if (typed < lines) {
    Type(1);
    if (mode == Mode::Silent && typed % 10 == 3) Type(1600);  // pastes nobody reads back
    return Later(milliseconds(300 + Mix(typed, slot) % 1000), &User::Tick);
  }
  if (mode == Mode::Silent) return ++c.n_.silent, Finish(gen % 2 == 0, milliseconds(1500));
  if (mode == Mode::MidLine) {
    Send(TaggedLine('#', slot, gen, typed).substr(0, 9));  // no line end
    ++c.n_.mid_line;
    return Later(milliseconds(20), &User::Leave);
  }
  step = Step::Draining;
  Later(milliseconds(60000), &User::Leave);  // the echoes' deadline
  Echoes();
}

void Crowd::User::Leave() {
  if (step == Step::Leaving) {  // the deadline of ESC passed
    c.n_.Fault("user " + UserId(slot) + ": ESC did not end the session");
    return Finish(false, milliseconds(1000));
  }
  if (mode == Mode::MidLine) return Finish(gen % 2 == 1, milliseconds(1000));
  if (echoed != typed) {
    if (!link_lost)
      c.n_.Fault("user " + UserId(slot) + " got " + std::to_string(echoed) + " of " +
                 std::to_string(typed) + " echoes");
    return Finish(false, milliseconds(1000));
  }
  if (mode != Mode::Esc)
    return ++c.n_.completed, Finish(false, milliseconds(500 + Mix(slot, gen) % 2000));
  step = Step::Leaving;
  Send("\x1b");  // the product ends the link and closes the connection
  Later(milliseconds(30000), &User::Leave);
}

// The product closed the connection.
void Crowd::User::Ended() {
  if (step == Step::Leaving) {
    ++c.n_.esc, ++c.n_.completed;
  } else if (step == Step::Dialogue) {
    // Guessers are sent away after their tries; a refusal was counted.
  } else if (link_lost) {
    ++c.n_.cut;
  } else if (step != Step::Off) {
    c.n_.Fault("user " + UserId(slot) + " (mode " + std::to_string(int(mode)) +
               ") closed by the product with " + std::to_string(typed - echoed) +
               " echoes missing");
  }
  Finish(false, milliseconds(1000));
}

struct Crowd::Viewer {
  Viewer(asio::io_context& io, bool r) : reads(r), sock(io) {}
  bool reads;
  tcp::socket sock;
  std::string in;
  uint64_t first = 0, next = 0;  // monitor frames: the first seen, the next expected
  bool seen = false, open = false;
  std::array<char, 16384> buf{};
};

Crowd::Crowd(asio::io_context& io, Counters& n, uint32_t users, uint32_t viewers) : io_(io), n_(n) {
  for (uint32_t i = 0; i < users; ++i) users_.push_back(std::make_unique<User>(*this, i, false));
  for (uint32_t i = 0; i < kGuessers; ++i) users_.push_back(std::make_unique<User>(*this, i, true));
  for (uint32_t i = 0; i < viewers; ++i) viewers_.push_back(std::make_unique<Viewer>(io, i != 0));
}

Crowd::~Crowd() = default;

void Crowd::Start(uint16_t telnet_port, uint16_t monitor_port) {
  telnet_port_ = telnet_port;
  for (auto& u : users_) u->Begin(milliseconds(Mix(u->slot, 7) % 3000));
  for (size_t i = 0; i < viewers_.size(); ++i) {
    auto& v = viewers_[i];
    // Each from its own address: the monitor takes only a few from one.
    asio::error_code ec;
    v->sock.open(tcp::v4(), ec);
    if (!ec) v->sock.bind(tcp::endpoint(asio::ip::make_address_v4("127.0.3." + std::to_string(1 + i % 250)), 0), ec);
    if (!ec) v->sock.connect(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), monitor_port), ec);
    if (ec) n_.Fault("viewer connect: " + ec.message());
    v->open = !ec;
    if (v->open && v->reads) ReadViewer(*v);
  }
}

// Monitor lines carry <M########> tags: each must be the next frame sent.
void Crowd::ReadViewer(Viewer& v) {
  v.sock.async_read_some(asio::buffer(v.buf), [this, &v](const asio::error_code& ec, size_t got) {
    if (ec) {
      if (v.open) n_.Fault("viewer closed by the product: " + ec.message());
      v.open = false;
      return;
    }
    v.in.append(v.buf.data(), got);
    size_t at = 0, tag;
    while ((tag = v.in.find("<M", at)) != std::string::npos && tag + 11 <= v.in.size()) {
      at = tag + 2;
      uint64_t seq = 0;
      for (size_t i = tag + 2; i < tag + 10 && seq != UINT64_MAX; ++i)
        seq = v.in[i] >= '0' && v.in[i] <= '9' ? seq * 10 + (v.in[i] - '0') : UINT64_MAX;
      if (seq == UINT64_MAX || v.in[tag + 10] != '>') continue;
      at = tag + 11;
      if (v.seen && seq != v.next)
        n_.Fault("viewer expected frame " + std::to_string(v.next) + ", got " +
                 std::to_string(seq));
      if (!v.seen) v.first = seq, v.seen = true;
      v.next = seq + 1;
      ++n_.viewer_lines;
      n_.bytes_checked += 11;
    }
    v.in.erase(0, at);
    if (v.in.size() > 4096) v.in.erase(0, v.in.size() - 16);
    ReadViewer(v);
  });
}

void Crowd::Wind() { winding_ = true; }

void Crowd::Resume() {
  winding_ = false;
  for (auto& u : users_)
    if (u->step == User::Step::Off) u->Begin(milliseconds(Mix(u->slot, u->gen) % 3000));
}

bool Crowd::Idle(bool viewers_too) const {
  for (const auto& u : users_)
    if (u->step != User::Step::Off) return false;
  for (const auto& v : viewers_)
    if (viewers_too && v->open) return false;
  return true;
}

bool Crowd::ViewersHave(uint64_t frames) const {
  for (const auto& v : viewers_)
    if (v->reads && v->open && v->next != frames) return false;
  return true;
}

void Crowd::CloseViewers(uint64_t frames) {
  for (auto& v : viewers_) {
    if (v->reads && v->open && v->next != frames)
      n_.Fault("viewer saw frames up to " + std::to_string(v->next) + " of " +
               std::to_string(frames));
    v->open = false;
    Close(v->sock, false);
  }
}

std::vector<std::string> Crowd::GoodAddresses() const {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < std::min<size_t>(users_.size() - kGuessers, 248); ++i)
    out.push_back(users_[i]->Address());
  return out;
}

}  // namespace harvox::soak
