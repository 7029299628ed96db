// `harvox --hash-password`; see hash_password.h.
#include "shell/hash_password.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "telnetd/password.h"

namespace harvox {
namespace {

constexpr size_t kMaxPassword = 4096;  // the longest line a Telnet user may type

// One line of standard input without its line end; nothing at the end of
// the input or when the line is too long.
std::optional<std::string> ReadLine() {
  std::string line;
  int ch;
  while ((ch = std::getchar()) != EOF && ch != '\n') {
    if (line.size() == kMaxPassword) return std::nullopt;
    line += static_cast<char>(ch);
  }
  if (ch == EOF && line.empty()) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Asks on standard error with the terminal's echo off.
std::optional<std::string> AskHidden(const char* prompt) {
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  termios saved{};
  const bool tty = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (tty) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  auto line = ReadLine();
  if (tty) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  return line;
}

void Wipe(std::optional<std::string>& s) {
  if (s) explicit_bzero(s->data(), s->size());
}

int Fail(const char* why, std::optional<std::string>& a, std::optional<std::string>& b) {
  Wipe(a);
  Wipe(b);
  std::fprintf(stderr, "harvox: %s\n", why);
  return 1;
}

}  // namespace

int HashPasswordCommand() {
  std::optional<std::string> first, second;
  if (isatty(STDIN_FILENO)) {
    first = AskHidden("Password: ");
    if (first) second = AskHidden("Again: ");
    if (!first || !second) return Fail("no password read", first, second);
    if (*first != *second) return Fail("the two passwords differ", first, second);
  } else {
    first = ReadLine();
    if (!first) return Fail("no password read (one line, at most 4096 bytes)", first, second);
  }
  if (first->empty()) return Fail("an empty password admits nobody", first, second);
  const auto hash = HashPassword(*first);
  Wipe(first);
  Wipe(second);
  if (!hash) {
    std::fprintf(stderr, "harvox: libcrypt could not make a yescrypt hash\n");
    return 1;
  }
  std::printf("%s\n", hash->c_str());
  return 0;
}

}  // namespace harvox
