// Stand-in for a build without GTK 3 and ayatana-appindicator3: --tray
// explains itself once and the program runs headless.
#include <cstdio>

#include "gui/tray.h"

namespace harvox {

struct TTray::Impl {};

TTray::TTray(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TTray::~TTray() = default;

std::unique_ptr<TTray> TTray::Open(asio::io_context&) {
  std::fprintf(stderr, "harvox: --tray: this build has no desktop support; running without the tray icon\n");
  return nullptr;
}

void TTray::ConfigError(const std::string&) {}
void TTray::StartupError(const std::string&) {}
void TTray::Show(TLog*, const std::string&, std::function<void()>) {}
void TTray::SetLinkUp(bool) {}
void TTray::Remove() {}
void TTray::Run() {}

}  // namespace harvox
