// Back-off against password guessing on a Telnet port that faces the
// Internet: an address that fails to log in too often within a window is
// turned away for a while.  The table of addresses is bounded; the least
// recently seen address is forgotten first.  (How many connections an
// address may hold at the prompts is the server's AddressSlots.)
//
// Re-entrancy: plain value; time is passed in, so tests need no clock.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

namespace harvox {

// The level-1 log line of a failed login, in one fixed shape for log
// watchers such as fail2ban (packaging/fail2ban-harvox.conf):
//   {TelnetD} Login failed from <address> user "<id>": <reason>
// The id is cut to kMaxLoggedId bytes; a byte outside printable ASCII, a
// quote and a backslash are written as \xHH, so nothing typed can end the
// line or fake its fields.
inline constexpr size_t kMaxLoggedId = 32;
std::string FailedLoginLine(std::string_view address, std::string_view user, std::string_view reason);

class LoginGuard {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kFailures = 8;  // failures within Window that start a block

  Clock::duration Window = std::chrono::minutes(10);
  Clock::duration BlockFor = std::chrono::minutes(10);
  size_t MaxAddresses = 4096;

  // A new connection from addr must be turned away: addr is blocked.
  bool Blocked(const std::string& addr, Clock::time_point now) const;
  // A failed login; true when this failure starts a block.
  bool Failed(const std::string& addr, Clock::time_point now);
  // Addresses turned away at this moment (a walk over the table).
  size_t BlockedCount(Clock::time_point now) const;
  size_t Addresses() const { return table_.size(); }

 private:
  struct Entry {
    std::array<Clock::time_point, kFailures> failures{};  // ring of the latest
    size_t next = 0, count = 0;
    Clock::time_point blocked_until{};
    std::list<std::string>::iterator age;
  };
  Entry& Touch(const std::string& addr);
  void Forget();

  std::unordered_map<std::string, Entry> table_;
  std::list<std::string> ages_;  // most recently seen first
};

}  // namespace harvox
