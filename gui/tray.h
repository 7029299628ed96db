// The desktop shell of `harvox --tray`: the notification-area icon (blue
// while the Telnet server's engine link is down, green while it is up; its
// tool tip names the engine and the link's state), its menu About / Help /
// Shutdown, the about box, the help page, the shutdown
// question and the configuration-error box.  The headless program never
// needs it; a build without the desktop libraries has a stand-in whose
// Open() always declines.
//
// Re-entrancy: main thread only.  Every dialog is modal but answered through
// a callback, never a nested loop, so the services keep serving while one
// is open.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace asio {
class io_context;
}

namespace harvox {

class TLog;

class TTray {
 public:
  // Connects to the display.  Without one (or in a build without the
  // desktop) writes one line on standard error and returns nullptr: the
  // program then runs headless.
  static std::unique_ptr<TTray> Open(asio::io_context& loop);
  ~TTray();

  // Shows the configuration error (such as "Default Node Data Not
  // Configured") and returns once it is dismissed (or the loop is stopped).
  void ConfigError(const std::string& text);
  // The same for a service that could not start (a port in use).
  void StartupError(const std::string& text);
  // Builds the icon (blue), its menu and the about box.  engine is the
  // engine's address:port for the tool tip.  shutdown runs when the user
  // confirms Shutdown; it must call Remove().
  void Show(TLog* log, const std::string& engine, std::function<void()> shutdown);
  void SetLinkUp(bool up);
  // Closes open dialogs and takes the icon away; safe to call twice.
  void Remove();
  // Runs the loop, serving the desktop as well, until it is stopped.
  void Run();

  struct Impl;

 private:
  explicit TTray(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace harvox
