// Login back-off; see login_guard.h.
#include "telnetd/login_guard.h"

namespace harvox {

std::string FailedLoginLine(std::string_view address, std::string_view user, std::string_view reason) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string id;
  for (unsigned char ch : user.substr(0, kMaxLoggedId)) {
    if (ch > 0x20 && ch < 0x7F && ch != '"' && ch != '\\') {
      id += static_cast<char>(ch);
    } else {
      id += {'\\', 'x', kHex[ch >> 4], kHex[ch & 15]};
    }
  }
  if (user.size() > kMaxLoggedId) id += "...";
  return "{TelnetD} Login failed from " + std::string(address) + " user \"" + id + "\": " +
         std::string(reason);
}

LoginGuard::Entry& LoginGuard::Touch(const std::string& addr) {
  auto it = table_.find(addr);
  if (it == table_.end()) {
    Forget();
    ages_.push_front(addr);
    it = table_.emplace(addr, Entry{}).first;
  } else {
    ages_.erase(it->second.age);
    ages_.push_front(addr);
  }
  it->second.age = ages_.begin();
  return it->second;
}

// Makes room for one more address: the least recently seen ones go.
void LoginGuard::Forget() {
  while (!ages_.empty() && table_.size() >= MaxAddresses) {
    table_.erase(ages_.back());
    ages_.pop_back();
  }
}

bool LoginGuard::Blocked(const std::string& addr, Clock::time_point now) const {
  const auto it = table_.find(addr);
  return it != table_.end() && now < it->second.blocked_until;
}

size_t LoginGuard::BlockedCount(Clock::time_point now) const {
  size_t n = 0;
  for (const auto& [addr, e] : table_) n += now < e.blocked_until ? 1 : 0;
  return n;
}

bool LoginGuard::Failed(const std::string& addr, Clock::time_point now) {
  Entry& e = Touch(addr);
  e.failures[e.next] = now;
  e.next = (e.next + 1) % kFailures;
  if (e.count < kFailures) ++e.count;
  // The ring is full and its oldest failure (the next to be overwritten)
  // lies within the window: kFailures failures in less than Window.
  if (e.count < kFailures || now - e.failures[e.next] > Window || now < e.blocked_until) {
    return false;
  }
  e.blocked_until = now + BlockFor;
  e.count = 0;
  return true;
}

}  // namespace harvox
