// Slots per address and in all; see address_slots.h.
#include "telnetd/address_slots.h"

#include <iterator>

namespace harvox {

size_t AddressSlots::CountOf(const std::string& addr) const {
  const auto it = by_addr_.find(addr);
  return it == by_addr_.end() ? 0 : it->second.size();
}

bool AddressSlots::Fits(const std::string& addr, SlotLimits limits) const {
  return CountOf(addr) < limits.PerAddress && Count() < limits.Total;
}

std::optional<int32_t> AddressSlots::InTheWay(const std::string& addr, SlotLimits limits) const {
  if (Fits(addr, limits)) return std::nullopt;
  const auto own = by_addr_.find(addr);
  if (own != by_addr_.end() && own->second.size() >= limits.PerAddress) return own->second.front();
  if (Count() >= limits.Total && !all_.empty()) return all_.front();
  return std::nullopt;  // a limit of 0: nobody's leaving makes room
}

void AddressSlots::Take(const std::string& addr, int32_t holder) {
  if (Holds(holder)) return;
  Ages& own = by_addr_[addr];
  own.push_back(holder);
  all_.push_back(holder);
  held_.emplace(holder, Held{addr, std::prev(all_.end()), std::prev(own.end())});
}

void AddressSlots::Give(int32_t holder) {
  const auto it = held_.find(holder);
  if (it == held_.end()) return;
  const Held& h = it->second;
  all_.erase(h.in_all);
  const auto own = by_addr_.find(h.addr);
  own->second.erase(h.in_addr);
  if (own->second.empty()) by_addr_.erase(own);
  held_.erase(it);
}

}  // namespace harvox
