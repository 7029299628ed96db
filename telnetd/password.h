// Passwords of USERS.INI entries.  The entry decides how a typed password
// is checked: a crypt(3) hash ($y$, $6$, $5$, $2b$ ...) is checked by
// libcrypt against the password exactly as typed; anything else is a clear
// text compared the old way, upper-cased letters and digits only.  The
// Telnet server only asks whether a typed password matches.
//
// Re-entrancy: pure functions; libcrypt is called through its re-entrant
// forms with state on the caller's stack.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace harvox {

// What the log shows in place of any password, typed or stored, or hash.
inline constexpr std::string_view kSecretMask = "********";

// Whether a stored password field holds a crypt hash rather than a clear text.
bool IsPasswordHash(std::string_view stored);

// Whether the typed password (raw, as it came off the line) matches the
// stored field.  An empty stored field, a hash libcrypt does not know and a
// typed password with a NUL in it never match.
bool PasswordMatches(std::string_view stored, std::string_view typed);

// A yescrypt hash of the password with a fresh random salt; nothing when
// libcrypt can not make one.
std::optional<std::string> HashPassword(std::string_view password);

}  // namespace harvox
