// Program entry: the working directory is the configuration.  Runs the
// start-up sequence, then the message loop until SIGINT or SIGTERM asks for
// the shutdown.
#include <asio/signal_set.hpp>

#include <clocale>
#include <cstdio>
#include <cstring>

#include "shell/check.h"
#include "shell/form.h"
#include "util/files.h"
#include "util/event_loop.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "Usage: harvox [--version | --help | --check]\n"
               "Gateway between AX.25 packet radio (through an AGWPE-compatible engine such as\n"
               "direwolf) and Telnet. Reads HARVOX.INI from the current working directory and\n"
               "writes its trace log there. Stop it with SIGINT or SIGTERM.\n"
               "  --check  read the configuration as start-up does, report, and exit\n"
               "           (status 0 when it is usable, 1 otherwise)\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    if (std::strcmp(argv[1], "--version") == 0 && argc == 2) {
      std::printf("%s\n", harvox::TForm1::kVersion);
      return 0;
    }
    if (std::strcmp(argv[1], "--check") == 0 && argc == 2) {
      const auto report = harvox::CheckConfiguration(harvox::WorkingDir());
      for (const auto& line : report.Lines) std::printf("%s\n", line.c_str());
      return report.Usable ? 0 : 1;
    }
    const bool help = std::strcmp(argv[1], "--help") == 0 && argc == 2;
    Usage(help ? stdout : stderr);
    return help ? 0 : 2;
  }
  std::setlocale(LC_ALL, "");  // dates and times in the log follow the locale

  // Signals are caught from the start; they are handled once the loop runs,
  // so a SIGTERM during start-up still shuts down in order.
  auto& loop = harvox::Loop();
  asio::signal_set signals(loop, SIGINT, SIGTERM);
  harvox::TForm1 form;
  if (form.FormCreate() == harvox::TForm1::StartResult::ConfigError) {
    std::fprintf(stderr, "Configuration Error!: Default Node Data Not Configured\n");
    return 1;
  }
  if (!form.StartupError.empty()) {
    // A service that could not start serves nothing: say so and let a
    // supervisor see the failure instead of a process that looks healthy.
    std::fprintf(stderr, "harvox: start-up failed: %s\n", form.StartupError.c_str());
    form.FormDestroy();
    return 1;
  }

  auto stop = [&] {
    signals.cancel();
    form.FormDestroy();
    loop.stop();
  };
  // The first signal stops gracefully (links end after their drain, a few
  // seconds at most); a second one stops at once.
  signals.async_wait([&](const std::error_code& ec, int) {
    if (ec) return;
    signals.async_wait([&](const std::error_code& again, int) {
      if (!again) stop();
    });
    form.BeginShutdown(stop);
  });
  loop.run();
  return 0;
}
