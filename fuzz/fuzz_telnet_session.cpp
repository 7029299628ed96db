// A Telnet user's bytes through a whole session of the real server: a real
// loopback connection is brought to one of the session's states (at the
// login prompt, at the password prompt, registering its callsign, setting
// up its AX.25 link, connected), then the input arrives in reads of the
// size the input chooses, and the connection ends by close or reset.  A
// tiny engine on the same loop answers registrations and connects, so a
// run is deterministic.  After each input the session must be gone and
// counted out, whatever the bytes did to it.
//
// Input: byte 0 = state (bits 0-2), read size (bits 3-6), reset (bit 7);
// the rest is what the user sends.  State 5 is the login prompt with a
// users file from the input: byte 1 gives the length of the [USERS] lines
// that follow it, and the logins typed after them are checked against it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <array>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agw/frame.h"
#include "agw/l2.h"
#include "fuzz/null_log.h"
#include "telnetd/telnetd.h"
#include "util/event_loop.h"

namespace {

using namespace std::chrono_literals;

// Plays the engine on the product's own loop: registrations are granted
// (except for callsigns starting HOLDX), connects are answered (except for
// HOLDC), and polls for outstanding frames say none.
class LoopEngine {
 public:
  LoopEngine() : acceptor_(harvox::Loop(), {asio::ip::make_address("127.0.0.1"), 0}) { Accept(); }
  uint16_t Port() const { return acceptor_.local_endpoint().port(); }
  size_t Seen(char kind) const { return seen_[static_cast<uint8_t>(kind)]; }

 private:
  struct Client {
    explicit Client(asio::ip::tcp::socket s) : socket(std::move(s)) {}
    asio::ip::tcp::socket socket;
    std::array<char, 4096> buf{};
    std::string in;
  };
  void Accept() {
    acceptor_.async_accept([this](std::error_code ec, asio::ip::tcp::socket s) {
      if (!ec) {
        s.set_option(asio::ip::tcp::no_delay(true), ec);
        Read(std::make_shared<Client>(std::move(s)));
      }
      Accept();
    });
  }
  void Read(const std::shared_ptr<Client>& c) {
    c->socket.async_read_some(asio::buffer(c->buf), [this, c](std::error_code ec, size_t n) {
      if (ec) return;
      c->in.append(c->buf.data(), n);
      Frames(*c);
      Read(c);
    });
  }
  void Frames(Client& c) {
    while (c.in.size() >= 36) {
      const harvox::FrameHeader h = harvox::ParseHeader(c.in.data());
      if (c.in.size() < 36 + h.DataLen) return;
      c.in.erase(0, 36 + h.DataLen);
      ++seen_[static_cast<uint8_t>(h.DataKind)];
      Reply(c, h);
    }
  }
  void Reply(Client& c, const harvox::FrameHeader& h) {
    std::string data;
    const uint8_t port = h.Port;  // as reported, which is how a reply is built
    if (h.DataKind == 'X' && h.CallFrom.rfind("HOLDX", 0) != 0) {
      data = std::string(1, '\x01');
      Write(c, port, 'X', h.CallFrom, "", data);
    } else if (h.DataKind == 'C' && h.CallFrom.rfind("HOLDC", 0) != 0) {
      Write(c, port, 'C', h.CallTo, h.CallFrom, "*** CONNECTED With Station " + h.CallTo + "\r");
    } else if (h.DataKind == 'd') {
      Write(c, port, 'd', h.CallTo, h.CallFrom, "*** DISCONNECTED From Station " + h.CallTo + "\r");
    } else if (h.DataKind == 'Y') {
      Write(c, port, 'Y', h.CallFrom, h.CallTo, std::string(4, '\0'));
    }
  }
  static void Write(Client& c, uint8_t port, char kind, const std::string& from,
                    const std::string& to, const std::string& data) {
    std::error_code ec;
    asio::write(c.socket, asio::buffer(harvox::BuildHeader(port, 0xF0, kind, from, to, data.size()) + data), ec);
  }
  asio::ip::tcp::acceptor acceptor_;
  std::array<size_t, 256> seen_{};
};

// Level 1 only: the trace levels open the log file for every line, which
// would make a run a hundred times slower and find nothing more.
harvox::TLog& QuietLog() {
  harvox::TLog& log = harvox::fuzz::NullLog();
  log.TraceLevel = 1;
  return log;
}

constexpr std::string_view kUsers = "FUZZ=pw,N0FUZ-1,5,1:NODE-1\r\nHX=pw,HOLDX-1\r\nHC=pw,HOLDC-1\r\n";

struct World {
  bool custom_users = false;
  // Written beside and renamed over, so the server always sees a new file.
  void Users(std::string_view lines) {
    const std::string next = server.UsersFile + ".new";
    std::ofstream(next, std::ios::binary) << "[USERS]\r\n" << lines;
    if (std::rename(next.c_str(), server.UsersFile.c_str()) != 0) std::abort();
    custom_users = lines != kUsers;
  }
  LoopEngine engine;
  harvox::TTelnetD server{&QuietLog()};
  World() {
    char dir[] = "/tmp/harvox-fuzz-XXXXXX";
    // The server looks for its message files in the working folder; its own
    // folder keeps every run alike, wherever the fuzzer was started.
    if (!mkdtemp(dir) || chdir(dir) != 0) std::abort();
    server.UsersFile = std::string(dir) + "/USERS.INI";
    Users(kUsers);
    server.ListenPort = 0;
    server.MaxUsers = 4;
    server.ServerCall = "TELNET";
    server.DefNodePort = 1;
    server.DefNodeCall = "NODE-1";
    server.AGWAddress = "127.0.0.1";
    server.AGWPort = engine.Port();
    server.PromptsPerAddress = 1000000;  // one address logs in all day here
    server.Guard.BlockFor = {};
    server.SetActive(true);
    if (!harvox::RunUntil([&] { return server.Link().Active == 1 && server.BoundPort() > 0; })) std::abort();
  }
};

// Runs handlers one at a time until pred holds, so no time is slept away
// once it does.
bool Until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 2s) {
  auto& loop = harvox::Loop();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (loop.stopped()) loop.restart();
    loop.run_one_for(1ms);
  }
  return true;
}

World& TheWorld() {
  static World* w = new World;
  return *w;
}

// libFuzzer's time-out alarm interrupts system calls (its handler is not
// restartable), so a connect or send cut short is finished, not taken for
// a failure: once every ten minutes it used to stop a run.
int Dial(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc = fd < 0 ? -1 : connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (rc != 0 && errno == EINTR) {  // the handshake goes on; wait for its outcome
    pollfd p{fd, POLLOUT, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    rc = err == 0 ? 0 : (errno = err, -1);
  }
  if (rc != 0) {
    std::perror("fuzz_telnet_session: dialling the server");
    std::abort();
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Runs every handler that is ready, and those they make ready, without waiting.
void Drain() {
  while (harvox::Loop().poll() > 0) {
  }
}

void Say(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;  // the server may have closed
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  Drain();
}

// Brings the new session to the chosen state; false when it did not get there.
bool Reach(World& w, int fd, int state) {
  static const char* const kLogins[] = {"", "FUZZ\r", "HX\rpw\r", "HC\rpw\r", "FUZZ\rpw\r"};
  const size_t before[] = {0, 0, w.engine.Seen('X'), w.engine.Seen('C'), w.engine.Seen('D')};
  const char waits[] = {0, 0, 'X', 'C', 'D'};
  if (!Until([&] { return w.server.UserCount == 1; })) return false;
  Say(fd, kLogins[state]);
  if (waits[state] == 0) return true;
  return Until([&] { return w.engine.Seen(waits[state]) > before[state]; });
}

void Hangup(int fd, bool reset) {
  if (reset) {
    const linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  World& w = TheWorld();
  int state = data[0] & 7;
  if (state > 5) return 0;
  const size_t step = ((data[0] >> 3) & 15) + 1;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (state == 5) {
    if (input.empty()) return 0;
    const size_t n = std::min<size_t>(static_cast<uint8_t>(input[0]), input.size() - 1);
    w.Users(input.substr(1, n));
    input.remove_prefix(1 + n);
    state = 0;
  } else if (w.custom_users) {
    w.Users(kUsers);
  }
  const int fd = Dial(w.server.BoundPort());
  if (!Reach(w, fd, state)) std::abort();
  for (size_t at = 0; at < input.size(); at += step) Say(fd, input.substr(at, step));
  Hangup(fd, data[0] & 128);
  // Every session ends and is counted out, whatever the bytes did.
  if (!Until([&] { return w.server.UserCount == 0; })) std::abort();
  // Ends the session's queued clean-up here, so its frees fall in the same
  // input as its allocations and the leak check runs only on a real leak.
  Drain();
  return 0;
}
