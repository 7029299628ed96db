// Slots held by connections, per source address and in all, oldest first:
// the Telnet server's login prompts and the monitor's viewers.  The table
// says whether one more caller from an address fits, and if not, which
// holder is the oldest one in the way, so that a server may either turn
// the caller away or close that holder to make room.  It is bounded by the
// slots held: an address is forgotten with its last holder.
//
// Re-entrancy: plain value, no I/O; holders are the callers' own ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>

namespace harvox {

struct SlotLimits {
  uint32_t PerAddress = 0;
  uint32_t Total = 0;
};

class AddressSlots {
 public:
  // One more holder from addr stays within both limits.
  bool Fits(const std::string& addr, SlotLimits limits) const;
  // The holder whose leaving would bring addr closer to fitting: the oldest
  // of addr when addr is at its limit, otherwise the oldest of all when the
  // total is reached.  None when it fits already or nobody is in the way.
  std::optional<int32_t> InTheWay(const std::string& addr, SlotLimits limits) const;
  // Records holder (an id not held yet) as the newest of addr.
  void Take(const std::string& addr, int32_t holder);
  // Frees holder's slot; a holder without one is ignored.
  void Give(int32_t holder);
  bool Holds(int32_t holder) const { return held_.count(holder) != 0; }
  size_t Count() const { return held_.size(); }
  size_t CountOf(const std::string& addr) const;

 private:
  using Ages = std::list<int32_t>;  // oldest first
  struct Held {
    std::string addr;
    Ages::iterator in_all, in_addr;
  };
  Ages all_;
  std::unordered_map<std::string, Ages> by_addr_;
  std::unordered_map<int32_t, Held> held_;
};

}  // namespace harvox
