// The baseline half of the load run: the same sessions and lines through
// socat (one forked process per connection) to an echo sink, so the
// product's relay rate can be set against a plain TCP relay on the same
// machine.
//
// Threading: RunBaseline runs on the main thread, which only waits; the
// driver and the sink have threads of their own, socat its processes.
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <thread>

#include "load/phases.h"
#include "support/child_process.h"
#include "support/echo_sink.h"
#include "support/load_stats.h"
#include "support/temp_dir.h"

namespace harvox::load {
namespace {

// A port free at the moment of asking, for the relay to listen on.
uint16_t FreePort() {
  asio::io_context io;
  asio::ip::tcp::acceptor a(io);
  asio::error_code ec;
  const asio::ip::tcp::endpoint ep(asio::ip::make_address_v4("127.0.0.1"), 0);
  a.open(ep.protocol(), ec);
  if (!ec) a.bind(ep, ec);
  const uint16_t port = ec ? 0 : a.local_endpoint(ec).port();
  return ec ? 0 : port;
}

}  // namespace

bool SleepUntil(const std::function<bool()>& pred, milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

BaselineFigures RunBaseline(const Settings& settings) {
  BaselineFigures out;
  test::TempDir dir;
  test::EchoSink sink;
  const uint16_t relay_port = FreePort();
  if (sink.Port() == 0 || relay_port == 0) {
    out.error = "no free port for the relay";
    return out;
  }
  const std::string port = std::to_string(relay_port);
  test::ChildProcess socat;
  // The larger backlog only spares the burst of connects SYN retries; the
  // relay itself is socat's usual one.
  if (!socat.Start({"socat", "TCP-LISTEN:" + port + ",fork,reuseaddr,backlog=128",
                    "TCP:127.0.0.1:" + std::to_string(sink.Port())},
                   dir.Path(), dir.File("socat.log"), &out.error)) {
    return out;
  }
  if (!SleepUntil([&] { return test::TcpListening(relay_port); }, milliseconds(5000))) {
    out.error = "socat did not listen";
    return out;
  }
  Progress("baseline: connecting through socat");
  LoadShared shared(settings.sessions, 0);
  LoadDriver driver(shared);
  driver.Connect(relay_port, false, settings.connect_window);
  SleepUntil([&] { return driver.Ready() + driver.Failed() >= settings.sessions &&
                          sink.Connections() >= driver.Ready(); },
             milliseconds(20000));
  out.connected = std::min<uint32_t>(driver.Ready(), static_cast<uint32_t>(sink.Connections()));
  if (out.connected != settings.sessions) {
    out.error = "only " + std::to_string(out.connected) + " connections through socat";
  } else {
    Progress("baseline: saturating");
    out.saturated = MeasureSaturated(driver, shared, settings, [&] { return sink.Lines(); }, SleepUntil);
  }
  driver.CloseAll();
  SleepUntil([&] { return sink.Connections() == 0; }, milliseconds(5000));
  socat.Stop();
  return out;
}

}  // namespace harvox::load
