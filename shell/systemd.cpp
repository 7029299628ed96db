// systemd's notify messages and the journal's priorities.
#include "shell/systemd.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>

#include "util/timer.h"

#ifdef HARVOX_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace harvox {
namespace {

std::string Counted(uint32_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

bool HasAny(std::string_view text, std::initializer_list<std::string_view> words) {
  return std::any_of(words.begin(), words.end(),
                     [text](std::string_view w) { return text.find(w) != std::string_view::npos; });
}

}  // namespace

std::string StatusSummary(const ServiceCounts& c) {
  std::string engine = "engine down";
  if (c.Links > 0 && c.LinksUp >= c.Links) {
    engine = "engine up";
  } else if (c.LinksUp > 0) {
    engine = "engine " + std::to_string(c.LinksUp) + " of " + std::to_string(c.Links) + " up";
  }
  return Counted(c.Users, "user", "users") + ", " + Counted(c.Circuits, "circuit", "circuits") + ", " +
         Counted(c.Viewers, "viewer", "viewers") + ", " + engine;
}

int JournalPriority(std::string_view line) {
  // Values (user ids, hosts, reasons) stand in parentheses or quotes after
  // what the line says; only that part decides.
  const std::string_view said = line.substr(0, std::min(line.find('('), line.find('"')));
  if (HasAny(said, {"Exception", "Error", "ERROR", "start-up failed"})) return 3;
  if (HasAny(said, {"failed", "Failed", "Failure", "Invalid", "refused", "lost", "not understood",
                    "can not", "could not", "cannot", "unreachable", "not allowed", "too long",
                    "Maximum users", "Engine link down", "Out of descriptors", "Corrupt",
                    "time is up"})) {
    return 4;
  }
  return 6;
}

bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream || !*stream) return false;
  // Set by systemd for the service's standard error: "device:inode".  A
  // program started from a terminal of a systemd session may inherit it.
  unsigned long long dev = 0, ino = 0;
  struct stat st {};
  return std::sscanf(stream, "%llu:%llu", &dev, &ino) == 2 && ::fstat(STDERR_FILENO, &st) == 0 &&
         st.st_dev == dev && st.st_ino == ino;
}

void EchoToJournal(std::string_view line) {
  std::string out = "<" + std::to_string(JournalPriority(line)) + ">";
  out.append(line);
  out += '\n';
  [[maybe_unused]] const auto n = ::write(STDERR_FILENO, out.data(), out.size());
}

SystemdNotifier::SystemdNotifier(Counter counts) : counts_(std::move(counts)) {
#ifdef HARVOX_HAVE_SYSTEMD
  const char* socket = std::getenv("NOTIFY_SOCKET");
  enabled_ = socket && *socket;
#endif
}

SystemdNotifier::~SystemdNotifier() = default;

void SystemdNotifier::Notify(const std::string& state) {
#ifdef HARVOX_HAVE_SYSTEMD
  if (enabled_) sd_notify(0, state.c_str());
#else
  (void)state;
#endif
}

void SystemdNotifier::Ready() {
  if (!enabled_) return;
  status_ = StatusSummary(counts_());
  Notify("READY=1\nSTATUS=" + status_);
  uint32_t tick = kStatusMs;
#ifdef HARVOX_HAVE_SYSTEMD
  // WatchdogSec= in the unit: a sign of life at half its interval.
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    watchdog_ = true;
    tick = static_cast<uint32_t>(std::clamp<uint64_t>(usec / 2000, 1, kStatusMs));
    Notify("WATCHDOG=1");
  }
#endif
  timer_ = std::make_unique<Timer>();
  timer_->SetHandler([this](Timer&) { Tick(); });
  timer_->SetInterval(tick);
  timer_->SetEnabled(true);
}

void SystemdNotifier::Tick() {
  if (watchdog_) Notify("WATCHDOG=1");
  if (stopping_) return;
  std::string status = StatusSummary(counts_());
  if (status == status_) return;
  status_ = std::move(status);
  Notify("STATUS=" + status_);
}

void SystemdNotifier::Stopping() {
  if (!enabled_ || stopping_) return;
  stopping_ = true;
  Notify("STOPPING=1\nSTATUS=Shutting down: ending every link");
}

}  // namespace harvox
