// One line of USERS.INI: ID=password,callsign,auth,port:nodecall.  Pure
// parsing, shared by the login check and the configuration check.
//
// Re-entrancy: none needed; plain values.
#pragma once

#include <cstdint>
#include <string>

namespace harvox {

struct UserEntry {
  std::string Id, Password, Call, AuthText, NodePortText, NodeCall;
};

// Id, callsign and node are upper-cased, the password is kept as written
// (a clear text or a hash, see password.h); a missing or non-numeric
// port and a missing node take the defaults.
UserEntry ParseUserEntry(const std::string& line, int32_t def_port, const std::string& def_call);

}  // namespace harvox
