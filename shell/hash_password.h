// `harvox --hash-password`: reads a password and prints a yescrypt hash of
// it to paste into USERS.INI as the entry's password.
//
// Re-entrancy: a command-line action, run before anything else; it owns
// standard input and output while it runs.
#pragma once

namespace harvox {

// From a terminal the password is asked twice, without echo; from a pipe
// one line is read.  Returns the process exit status.
int HashPasswordCommand();

}  // namespace harvox
