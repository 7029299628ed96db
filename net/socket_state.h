// What the kernel knows about a connected socket: whether the peer hung
// up, the pending error, and how the input ended.  Plain system calls on a
// descriptor, for the stream machinery.
//
// Re-entrancy: stateless.
#pragma once

namespace harvox::net::detail {

// True when the peer has shut down its sending side (or the connection
// broke) even though bytes may still be waiting.
bool PeerHungUp(int fd);
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
