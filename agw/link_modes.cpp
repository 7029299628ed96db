// The modulo-128 link table and the decoding of heard frames with it.
//
// Re-entrancy: see link_modes.h.
#include "agw/link_modes.h"

#include "util/log.h"

namespace harvox {
namespace {

// Unnumbered control bytes with the P/F bit masked off.
constexpr uint8_t kSabme = 0x6F;
constexpr uint8_t kSabm = 0x2F;
constexpr uint8_t kDisc = 0x43;
constexpr uint8_t kDm = 0x0F;

}  // namespace

ModuloLinks::ModuloLinks(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

std::string ModuloLinks::Key(uint8_t port, std::string_view a, std::string_view b) {
  if (b < a) std::swap(a, b);
  std::string key(1, static_cast<char>(port));
  key.append(a);
  key += '\0';  // never part of a decoded callsign
  key.append(b);
  return key;
}

bool ModuloLinks::Extended(uint8_t port, std::string_view a, std::string_view b) {
  if (index_.empty()) return false;
  const auto it = index_.find(Key(port, a, b));
  if (it == index_.end()) return false;
  order_.splice(order_.begin(), order_, it->second);
  return true;
}

void ModuloLinks::SetExtended(uint8_t port, std::string_view a, std::string_view b, bool on) {
  std::string key = Key(port, a, b);
  const auto it = index_.find(key);
  if (!on) {
    if (it == index_.end()) return;
    order_.erase(it->second);
    index_.erase(it);
    return;
  }
  if (it != index_.end()) {
    order_.splice(order_.begin(), order_, it->second);
    return;
  }
  if (index_.size() >= capacity_) {
    index_.erase(order_.back());
    order_.pop_back();
  }
  order_.push_front(std::move(key));
  index_.emplace(order_.front(), order_.begin());
}

void NoteSetUp(uint8_t port, const KissFrame& f, ModuloLinks& links) {
  const std::string& name = f.CtlName;
  if (name == "SABME") links.SetExtended(port, f.Source, f.Destination, true);
  if (name == "SABM" || name == "DISC" || name == "DM") {
    links.SetExtended(port, f.Source, f.Destination, false);
  }
}

KissFrame DecodeHeard(std::string_view frame, uint8_t port, ModuloLinks& links, TLog* log,
                      int32_t tcp_port) {
  KissFrame f;
  try {
    KissHeader(frame, f, log, tcp_port);
    if (log != nullptr && log->Enabled(4)) {
      log->Write(4, "{L2} <KissDecode> Returned N(" + std::to_string(f.Position) + ") From(" +
                        f.Source + ") To(" + f.Destination + ") VIA(" + f.Digipeaters + ")");
    }
    // Without both addresses there is no pair to look up or to note.
    const bool addressed = f.Position > 1 && frame.size() >= f.Position;
    const uint8_t ctl = addressed ? static_cast<uint8_t>(frame[f.Position - 1]) : 0;
    const bool numbered = (ctl & 0x03) != 0x03;
    const bool extended = addressed && numbered && links.Extended(port, f.Source, f.Destination);
    KissBody(frame, f, log, extended);
    if (!addressed || numbered) return f;
    const uint8_t u = ctl & 0xEF;
    if (u == kSabme) links.SetExtended(port, f.Source, f.Destination, true);
    if (u == kSabm || u == kDisc || u == kDm) links.SetExtended(port, f.Source, f.Destination, false);
  } catch (...) {
    if (log != nullptr) log->Write(1, "{L2} Exception on module KissDecode");
  }
  return f;
}

}  // namespace harvox
