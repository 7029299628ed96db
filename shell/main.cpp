// Program entry: the working directory is the configuration.  Runs the
// start-up sequence, then the message loop until SIGINT or SIGTERM asks for
// the shutdown; SIGHUP is logged and ignored.  With --tray it also shows the
// desktop icon and its menu.
#include <asio/signal_set.hpp>

#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "gui/tray.h"
#include "net/ip_text.h"
#include "shell/check.h"
#include "shell/form.h"
#include "shell/hash_password.h"
#include "shell/status_command.h"
#include "shell/systemd.h"
#include "telmond/telmond.h"
#include "util/files.h"
#include "util/event_loop.h"

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "Usage: harvox [--dir DIR] [--tray | --check [DIR] | --status [DIR] | --hash-password |\n"
               "              --version | --help]\n"
               "Gateway between AX.25 packet radio (through an AGWPE-compatible engine such as\n"
               "direwolf) and Telnet. Reads HARVOX.INI from the current working directory and\n"
               "writes its trace log there. Stop it with SIGINT or SIGTERM.\n"
               "  --dir    run in DIR, as if started there\n"
               "  --tray   show an icon in the desktop's notification area (About, Help,\n"
               "           Shutdown); without a display Harvox runs as without it\n"
               "  --check  read the configuration (of DIR instead of the working\n"
               "           directory) as start-up does, report, and exit (status 0 when\n"
               "           it is usable, 1 otherwise)\n"
               "  --status print who is connected, from the status page of the Harvox\n"
               "           running in DIR (or the working directory; [STATUS] PORT)\n"
               "  --hash-password  read a password (twice from a terminal, without echo;\n"
               "           one line from a pipe) and print a hash for USERS.INI\n");
}

// DIR of --check and --status, with its slash; the working directory without.
std::string DirArgument(const char* dir_arg) {
  std::string dir = harvox::WorkingDir();
  if (dir_arg) {
    std::error_code ec;
    dir = std::filesystem::absolute(dir_arg, ec).lexically_normal().string();
    if (dir.empty() || dir.back() != '/') dir += '/';
  }
  return dir;
}

// --check [DIR]: the report on standard output, the status by usability.
int Check(const char* dir_arg) {
  const std::string dir = DirArgument(dir_arg);
  const auto report = harvox::CheckConfiguration(dir);
  for (const auto& line : report.Lines) std::printf("%s\n", line.c_str());
  return report.Usable ? 0 : 1;
}

// --dir DIR before anything else: Harvox runs in DIR as if started there.
// The exit status when it cannot; else argv goes past the two words.
std::optional<int> EnterDir(int& argc, char**& argv) {
  if (argc < 2 || std::strcmp(argv[1], "--dir") != 0) return std::nullopt;
  if (argc < 3) {
    Usage(stderr);
    return 2;
  }
  if (::chdir(argv[2]) != 0) {
    std::fprintf(stderr, "harvox: --dir %s: %s\n", argv[2], std::strerror(errno));
    return 1;
  }
  argv[2] = argv[0];
  argv += 2;
  argc -= 2;
  return std::nullopt;
}

// An error on standard error.  Under the journal it carries its priority,
// and is left out when the log's level-1 echo has put it there already.
void SayError(const harvox::TForm1& form, bool journal, const std::string& text) {
  if (journal && form.Log.TraceLevel >= 1) return;
  std::fprintf(stderr, "%s%s\n", journal ? "<3>" : "", text.c_str());
}

void ReportConfigErrors(const harvox::TForm1& form, bool journal) {
  for (const auto& e : form.ConfigErrors) SayError(form, journal, "Configuration Error!: " + e);
}

// Nothing needs reloading (USERS.INI is read again when it changes), and a
// hang-up of the terminal or session Harvox was started from must not end it.
void IgnoreHangups(asio::signal_set& hangups, harvox::TLog& log) {
  hangups.async_wait([&hangups, &log](const std::error_code& ec, int) {
    if (ec) return;
    log.Write(1, "Signal: SIGHUP ignored, nothing needs reloading (USERS.INI is read when it changes)");
    IgnoreHangups(hangups, log);
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (const auto status = EnterDir(argc, argv)) return *status;
  const bool tray_wanted = argc == 2 && std::strcmp(argv[1], "--tray") == 0;
  if (argc > 1 && !tray_wanted) {
    if (std::strcmp(argv[1], "--version") == 0 && argc == 2) {
      std::printf("%s\n", harvox::TForm1::kVersion);
      return 0;
    }
    if (std::strcmp(argv[1], "--check") == 0 && argc <= 3) return Check(argc == 3 ? argv[2] : nullptr);
    if (std::strcmp(argv[1], "--status") == 0 && argc <= 3) {
      return harvox::StatusCommand(DirArgument(argc == 3 ? argv[2] : nullptr));
    }
    if (std::strcmp(argv[1], "--hash-password") == 0 && argc == 2) {
      return harvox::HashPasswordCommand();
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
  asio::signal_set hangups(loop, SIGHUP);
  std::unique_ptr<harvox::TTray> tray;
  if (tray_wanted) tray = harvox::TTray::Open(loop);
  harvox::TForm1 form;
  const bool journal = harvox::StderrIsJournal();
  if (journal) form.Log.Echo = harvox::EchoToJournal;
  harvox::SystemdNotifier notifier([&form] { return form.Counts(); });
  if (form.FormCreate() == harvox::TForm1::StartResult::ConfigError) {
    ReportConfigErrors(form, journal);
    if (tray) {
      signals.async_wait([&](const std::error_code&, int) { loop.stop(); });
      tray->ConfigError(form.ConfigErrors.front());
    }
    return 1;
  }
  if (!form.StartupError.empty()) {
    // A service that could not start serves nothing: say so and let a
    // supervisor see the failure instead of a process that looks healthy.
    // On the desktop the services go first, then the box says why.
    SayError(form, journal, "harvox: start-up failed: " + form.StartupError);
    form.FormDestroy();
    form.TelMonD.reset();
    if (tray) {
      signals.async_wait([&](const std::error_code&, int) { loop.stop(); });
      tray->StartupError(form.StartupError);
    }
    return 1;
  }

  // The one way out, for a signal and the tray's confirmed Shutdown alike:
  // users are told and every link ends after its drain (a few seconds at
  // most), then the services are released.  A second signal stops at once.
  const auto stop = [&] {
    signals.cancel();
    hangups.cancel();
    form.FormDestroy();
    loop.stop();
  };
  bool stopping = false;
  const auto shutdown = [&] {
    if (stopping) return;
    stopping = true;
    notifier.Stopping();
    if (tray) tray->Remove();
    form.BeginShutdown(stop);
  };
  if (tray) {
    form.OnLinkChange = [&](bool up) { tray->SetLinkUp(up); };
    const auto& c = form.Config;
    const std::string engine = c.AgwHostName.empty() ? c.AgwAddress : c.AgwHostName;
    tray->Show(&form.Log, harvox::net::EndpointText(engine, c.AgwPort), shutdown);
  }
  std::function<void(const std::error_code&, int)> on_signal = [&](const std::error_code& ec, int) {
    if (ec) return;
    if (stopping) return stop();
    shutdown();
    signals.async_wait(on_signal);
  };
  signals.async_wait(on_signal);
  IgnoreHangups(hangups, form.Log);
  notifier.Ready();
  if (tray) {
    tray->Run();
  } else {
    loop.run();
  }
  return 0;
}
