// The addresses this host's network interfaces hold right now, read from
// the kernel each time they are asked for (they change with DHCP, VPNs and
// interfaces coming and going).
//
// Re-entrancy: stateless; one system call per use.
#pragma once

#include <vector>

#include "net/address.h"

namespace harvox::net {

// Every IPv4 and IPv6 address of every interface; empty when the kernel
// will not say.
std::vector<IpAddress> HostAddresses();

}  // namespace harvox::net
