// Which links heard on the air run modulo 128.  A link set up with SABME
// (AX.25 v2.2) carries a two-byte control field in its I and S frames; read
// with the one-byte layout they would show a wrong N(R)/N(S), PID 00 and
// the real PID as the first info byte.  The table remembers, per radio port
// and pair of callsigns, that the last set-up frame seen was SABME, until
// SABM, DISC or DM of that pair.  It is bounded: the pair used least
// recently is forgotten first.
//
// Re-entrancy: plain values, main thread only; pure apart from the log
// passed in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "agw/monitor_decode.h"

namespace harvox {

class ModuloLinks {
 public:
  static constexpr size_t kDefaultCapacity = 4096;
  explicit ModuloLinks(size_t capacity = kDefaultCapacity);

  // The pair (either order) runs modulo 128; a hit counts as a use.
  bool Extended(uint8_t port, std::string_view a, std::string_view b);
  void SetExtended(uint8_t port, std::string_view a, std::string_view b, bool on);
  size_t Size() const { return index_.size(); }

 private:
  static std::string Key(uint8_t port, std::string_view a, std::string_view b);

  size_t capacity_;
  std::list<std::string> order_;  // most recently used first
  std::unordered_map<std::string, std::list<std::string>::iterator> index_;
};

// A set-up frame the engine sent itself (its monitor text, already read
// into f): SABME marks the pair, SABM, DISC and DM clear it.
void NoteSetUp(uint8_t port, const KissFrame& f, ModuloLinks& links);

// KissDecode for a frame heard on radio port `port`: I and S frames of a
// pair in `links` are read modulo 128, and set-up frames update `links`.
KissFrame DecodeHeard(std::string_view frame, uint8_t port, ModuloLinks& links,
                      TLog* log = nullptr, int32_t tcp_port = 0);

}  // namespace harvox
