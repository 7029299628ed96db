// The load driver's sessions: connecting with a bounded number of attempts
// in flight, the login dialogue, typing tagged lines and counting their
// echoes.  Everything here runs on the driver thread; see driver.h.
#include "support/load_driver.h"

#include <asio/post.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <future>
#include <utility>

#include "support/load_stats.h"

namespace harvox::test {

namespace {

constexpr size_t kMaxDialogue = 4096;  // login text kept while looking for a prompt
constexpr size_t kRing = 64;           // lines in flight per session, at most
constexpr size_t kMaxRoundTrips = 4 << 20;
const std::string kLogin = "Login:";
const std::string kPassword = "Password:";
const std::string kLoggedIn = " Users logged in.\r\n";

}  // namespace

std::string UserIdOf(uint32_t session) {
  char id[16];
  std::snprintf(id, sizeof id, "U%04u", session + 1);
  return id;
}

struct LoadDriver::Session {
  enum class Step { Idle, Connecting, Login, Password, Welcome, Ready, Closed };
  Session(uint32_t i, asio::io_context& io) : index(i), sock(io) {
    seen.reserve(256);
    out.reserve(256);
  }
  uint32_t index;
  asio::ip::tcp::socket sock;
  Step step = Step::Idle;
  std::string seen;  // dialogue text not yet matched
  LineSplitter lines;
  std::string out;  // typed, not yet taken by the socket
  bool write_waiting = false;
  uint32_t next_seq = 0;
  uint32_t in_flight = 0;
  std::array<int64_t, kRing> typed_at{};
  std::array<char, 4096> buf{};
};

LoadDriver::LoadDriver(LoadShared& shared) : shared_(shared), pace_timer_(io_) {
  sessions_.reserve(shared.sessions);
  for (uint32_t i = 0; i < shared.sessions; ++i)
    sessions_.push_back(std::make_unique<Session>(i, io_));
  round_trips_.reserve(kMaxRoundTrips);
  work_.emplace(io_.get_executor());
  thread_ = std::thread([this] { io_.run(); });
}

LoadDriver::~LoadDriver() {
  CloseAll();
  work_.reset();
  Post([this] { io_.stop(); });
  thread_.join();
}

void LoadDriver::Post(std::function<void()> fn) { asio::post(io_, std::move(fn)); }

void LoadDriver::WarmUp() {
  std::promise<void> done;
  Post([this, &done] {
    std::vector<asio::ip::tcp::socket> spare;
    asio::error_code ec;
    for (size_t i = 0; i < sessions_.size(); ++i) {
      spare.emplace_back(io_);
      spare.back().open(asio::ip::tcp::v4(), ec);
    }
    for (auto& s : spare) s.close(ec);
    done.set_value();
  });
  done.get_future().wait();
}

void LoadDriver::Connect(uint16_t port, bool login, uint32_t window, uint32_t upto) {
  Post([this, port, login, window, upto] {
    port_ = port;
    login_ = login;
    connect_window_ = window == 0 ? 1 : window;
    connect_upto_ = static_cast<uint32_t>(std::min<size_t>(upto, sessions_.size()));
    StartConnects();
  });
}

void LoadDriver::StartConnects() {
  while (waiting_first_ < connect_window_ && next_connect_ < connect_upto_) {
    Session& s = *sessions_[next_connect_++];
    ++waiting_first_;
    s.step = Session::Step::Connecting;
    const asio::ip::tcp::endpoint to(asio::ip::make_address_v4("127.0.0.1"), port_);
    s.sock.async_connect(to, [this, &s](const asio::error_code& ec) { Connected(s, ec); });
  }
}

void LoadDriver::Connected(Session& s, const asio::error_code& ec) {
  if (ec) return Fail(s);
  asio::error_code ignored;
  s.sock.set_option(asio::ip::tcp::no_delay(true), ignored);
  s.sock.non_blocking(true, ignored);
  if (login_) {
    s.step = Session::Step::Login;
  } else {
    --waiting_first_;
    BecomeReady(s, {});
    StartConnects();
  }
  Read(s);
}

void LoadDriver::Read(Session& s) {
  s.sock.async_read_some(asio::buffer(s.buf), [this, &s](const asio::error_code& ec, size_t n) {
    if (s.step == Session::Step::Closed) return;
    if (ec) return Fail(s);
    Received(s, n);
    if (s.step != Session::Step::Closed) Read(s);
  });
}

void LoadDriver::Received(Session& s, size_t n) {
  const std::string_view data(s.buf.data(), n);
  if (s.step == Session::Step::Ready) {
    s.lines.Feed(data, [this, &s](std::string_view line) { Echo(s, line); });
  } else {
    s.seen.append(data);
    Dialogue(s);
  }
  Flush(s);
}

// Answers the prompts in turn; a session that never sees the next one
// within kMaxDialogue bytes has failed.
void LoadDriver::Dialogue(Session& s) {
  using Step = Session::Step;
  while (s.step != Step::Ready && s.step != Step::Closed) {
    const std::string& want = s.step == Step::Login      ? kLogin
                              : s.step == Step::Password ? kPassword
                                                         : kLoggedIn;
    const size_t at = s.seen.find(want);
    if (at == std::string::npos) {
      if (s.seen.size() > kMaxDialogue) Fail(s);
      return;
    }
    s.seen.erase(0, at + want.size());
    if (s.step == Step::Login) {
      s.out += UserIdOf(s.index) + "\r";
      s.step = Step::Password;
      --waiting_first_;
      StartConnects();
    } else if (s.step == Step::Password) {
      s.out += "pw\r";
      s.step = Step::Welcome;
    } else {
      const std::string rest = std::exchange(s.seen, std::string());
      BecomeReady(s, rest);
    }
  }
}

void LoadDriver::BecomeReady(Session& s, std::string_view rest) {
  s.step = Session::Step::Ready;
  ++ready_;
  s.lines.Feed(rest, [this, &s](std::string_view line) { Echo(s, line); });
}

void LoadDriver::Echo(Session& s, std::string_view line) {
  const auto tag = ParseLineTag(line);
  if (!tag || tag->session != s.index || s.in_flight == 0) {
    if (!line.empty()) ++stray_;
    return;
  }
  --s.in_flight;
  ++echoed_;
  ++shared_.echoed;
  if (round_trips_.size() < kMaxRoundTrips)
    round_trips_.push_back(NowNs() - s.typed_at[tag->seq % kRing]);
  if (saturating_ && s.in_flight < window_) Type(s);
}

void LoadDriver::Type(Session& s) {
  const uint32_t seq = s.next_seq++;
  const int64_t now = NowNs();
  s.typed_at[seq % kRing] = now;
  if (seq < shared_.paced_lines) shared_.typed_ns[shared_.Slot(s.index, seq)].store(now);
  s.out += LineTag(s.index, seq);
  ++s.in_flight;
  ++typed_;
}

// Hands typed bytes to the socket without blocking; the rest waits for the
// socket to become writable.
void LoadDriver::Flush(Session& s) {
  if (s.write_waiting || s.out.empty() || s.step == Session::Step::Closed) return;
  asio::error_code ec;
  const size_t n = s.sock.write_some(asio::buffer(s.out), ec);
  if (ec && ec != asio::error::would_block && ec != asio::error::try_again) return Fail(s);
  s.out.erase(0, ec ? 0 : n);
  if (s.out.empty()) return;
  s.write_waiting = true;
  s.sock.async_wait(asio::ip::tcp::socket::wait_write, [this, &s](const asio::error_code&) {
    s.write_waiting = false;
    Flush(s);
  });
}

void LoadDriver::Fail(Session& s) {
  using Step = Session::Step;
  if (s.step == Step::Closed) return;
  if (s.step == Step::Connecting || s.step == Step::Login) {
    --waiting_first_;
    StartConnects();
  }
  if (s.step == Step::Ready) --ready_;
  s.step = Step::Closed;
  ++failed_;
  asio::error_code ignored;
  s.sock.close(ignored);
}

void LoadDriver::Pace(uint32_t lines, uint32_t period_ms) {
  pace_done_ = false;
  Post([this, lines, period_ms] {
    pace_lines_ = lines;
    pace_period_ = period_ms == 0 ? 1 : period_ms;
    pace_start_ = NowNs();
    pace_ticks_ = 0;
    PaceTick();
  });
}

// Every millisecond (catching up when late), the sessions whose turn it is
// type their next line.
void LoadDriver::PaceTick() {
  const auto elapsed_ms = static_cast<uint64_t>((NowNs() - pace_start_) / 1000000);
  for (; pace_ticks_ <= elapsed_ms; ++pace_ticks_) {
    if (pace_ticks_ / pace_period_ >= pace_lines_) {
      pace_done_ = true;
      return;
    }
    for (size_t i = pace_ticks_ % pace_period_; i < sessions_.size(); i += pace_period_) {
      Session& s = *sessions_[i];
      if (s.step != Session::Step::Ready) continue;
      Type(s);
      Flush(s);
    }
  }
  pace_timer_.expires_after(std::chrono::milliseconds(1));
  pace_timer_.async_wait([this](const asio::error_code& ec) {
    if (!ec) PaceTick();
  });
}

void LoadDriver::Saturate(uint32_t window) {
  Post([this, window] {
    window_ = std::min<uint32_t>(window, kRing);
    saturating_ = true;
    for (auto& s : sessions_) {
      if (s->step != Session::Step::Ready) continue;
      while (s->in_flight < window_) Type(*s);
      Flush(*s);
    }
  });
}

void LoadDriver::StopSending() {
  Post([this] { saturating_ = false; });
}

void LoadDriver::CloseAll() {
  std::promise<void> done;
  Post([this, &done] {
    pace_timer_.cancel();
    saturating_ = false;
    for (auto& s : sessions_) {
      if (s->step == Session::Step::Ready) --ready_;
      s->step = Session::Step::Closed;
      asio::error_code ignored;
      s->sock.close(ignored);
    }
    done.set_value();
  });
  done.get_future().wait();
}

std::vector<int64_t> LoadDriver::TakeRoundTrips() {
  std::promise<std::vector<int64_t>> done;
  Post([this, &done] {
    std::vector<int64_t> out(round_trips_.begin(), round_trips_.end());
    round_trips_.clear();
    done.set_value(std::move(out));
  });
  return done.get_future().get();
}

}  // namespace harvox::test
