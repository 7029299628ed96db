// What the kernel knows about a connected socket: what waits on the input
// side, the pending error, and how the input ended.  Plain system calls on a
// descriptor, for the stream machinery.
//
// Re-entrancy: stateless.
#pragma once

namespace harvox::net::detail {

// One look at the input side: bytes waiting with the peer still there,
// the peer gone (bytes may still wait), nothing at all, or no answer.
enum class InputLook { Data, HungUp, Quiet, Unknown };
InputLook LookAtInput(int fd);
// The pending error of a socket, as a Windows Sockets number (0: none).
// Reading it clears it.
int SocketErrorOf(int fd);
// The same as a raw errno value.
int PendingErrno(int fd);
// The kernel holds the connection as CLOSED: it was reset or timed out
// (an orderly end from the peer leaves it waiting for our own close).
bool KernelClosed(int fd);
// Sends every write at once (no Nagle delay).
void NoDelay(int fd);

}  // namespace harvox::net::detail
