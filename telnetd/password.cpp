// Password checks against USERS.INI entries; see password.h.
#include "telnetd/password.h"

#include <crypt.h>

#include <array>
#include <cstring>
#include <memory>

#include "util/strings.h"

namespace harvox {
namespace {

// The hash prefixes taken as hashes; an entry starting otherwise is clear
// text, so an old password that merely begins with '$' stays one.
constexpr std::array<std::string_view, 7> kHashPrefixes = {"$y$", "$gy$", "$7$", "$6$",
                                                          "$5$", "$2b$", "$2y$"};

// Compares without stopping at the first difference.
bool SameBytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool HashMatches(std::string_view stored, std::string_view typed) {
  if (typed.find('\0') != std::string_view::npos) return false;
  const std::string key(typed), setting(stored);
  auto data = std::make_unique<crypt_data>();  // about 32 KiB: not on the stack
  const char* out = crypt_r(key.c_str(), setting.c_str(), data.get());
  // A failed hash comes back as null or as a string starting with '*'.
  const bool ok = out != nullptr && out[0] != '*' && SameBytes(out, stored);
  explicit_bzero(data.get(), sizeof(crypt_data));
  return ok;
}

}  // namespace

bool IsPasswordHash(std::string_view stored) {
  for (std::string_view prefix : kHashPrefixes) {
    if (stored.starts_with(prefix)) return true;
  }
  return false;
}

bool PasswordMatches(std::string_view stored, std::string_view typed) {
  if (stored.empty()) return false;
  if (IsPasswordHash(stored)) return HashMatches(stored, typed);
  // Clear text: the entry upper-cased, the typed text also cleaned of
  // everything but letters and digits; an entry with other characters in
  // it never matches.
  return SameBytes(UpperText(stored), KeepAlphaNum(UpperText(typed)));
}

std::optional<std::string> HashPassword(std::string_view password) {
  if (password.find('\0') != std::string_view::npos) return std::nullopt;
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  // No random bytes passed: libcrypt takes them from the system.
  if (crypt_gensalt_rn("$y$", 0, nullptr, 0, salt, sizeof salt) == nullptr) return std::nullopt;
  const std::string key(password);
  auto data = std::make_unique<crypt_data>();
  const char* out = crypt_r(key.c_str(), salt, data.get());
  std::optional<std::string> hash;
  if (out != nullptr && out[0] != '*') hash = out;
  explicit_bzero(data.get(), sizeof(crypt_data));
  return hash;
}

}  // namespace harvox
