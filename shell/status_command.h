// harvox --status [DIR]: asks the running Harvox of DIR (its HARVOX.INI's
// [STATUS] BIND and PORT) for /status.json and prints it as a short table.
//
// Re-entrancy: a command-line tool, run before any loop; it blocks, for at
// most a few seconds.
#pragma once

#include <string>

namespace harvox {

// The process exit status: 0 with the table on standard output, 1 with the
// reason on standard error (no page configured, not reachable, no answer).
int StatusCommand(const std::string& dir);

// Where a client reaches a server listening on address: the wildcard
// addresses mean this machine's loopback.
std::string ReachableAddress(const std::string& bind);

}  // namespace harvox
