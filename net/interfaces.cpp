// HostAddresses over getifaddrs.
#include "net/interfaces.h"

#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace harvox::net {

std::vector<IpAddress> HostAddresses() {
  std::vector<IpAddress> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr) continue;
    IpAddress a;
    if (i->ifa_addr->sa_family == AF_INET) {
      sockaddr_in sin;
      std::memcpy(&sin, i->ifa_addr, sizeof sin);
      const auto* b = reinterpret_cast<const uint8_t*>(&sin.sin_addr);
      a = MakeV4(b[0], b[1], b[2], b[3]);
    } else if (i->ifa_addr->sa_family == AF_INET6) {
      sockaddr_in6 sin6;
      std::memcpy(&sin6, i->ifa_addr, sizeof sin6);
      std::memcpy(a.Bytes.data(), &sin6.sin6_addr, 16);
    } else {
      continue;
    }
    if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
  }
  freeifaddrs(list);
  return out;
}

}  // namespace harvox::net
