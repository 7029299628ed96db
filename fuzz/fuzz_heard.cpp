// A run of raw frames heard on the air, and of the engine's texts of its
// own frames, through the modulo-128 pair table and the monitor's line
// format.  Input: frames, each as a length byte, a port byte (high bit set:
// an own frame's text) and that many bytes.  The table must stay within its
// bound, every decode within its input, and every line must carry the info
// it decoded (as received, or with control bytes escaped) and end with the
// line end.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "agw/link_modes.h"
#include "agw/monitor_text.h"
#include "fuzz/null_log.h"
#include "telmond/monitor_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  constexpr size_t kCapacity = 4;  // small, so the oldest pairs really go
  harvox::ModuloLinks links(kCapacity);
  harvox::TLog* log = harvox::fuzz::SomeTraced(data, size);
  while (input.size() >= 2) {
    const size_t len = static_cast<uint8_t>(input[0]);
    const auto port = static_cast<uint8_t>(input[1]);
    const std::string_view frame = input.substr(2, len);
    input.remove_prefix(2 + frame.size());
    const bool own = (port & 0x80) != 0;
    harvox::KissFrame f;
    if (own) {
      f = harvox::ParseMonitorText(frame);
      harvox::NoteSetUp(port & 0x7F, f, links);
    } else {
      f = harvox::DecodeHeard(frame, port, links, log, 8000);
    }
    if (links.Size() > kCapacity) std::abort();
    if (static_cast<size_t>(f.InfoLen) != f.Info.size() || f.Info.size() > frame.size()) std::abort();
    if (!own && !f.Info.empty() && frame.substr(frame.size() - f.Info.size()) != f.Info) std::abort();
    if (own && frame.find(f.Info) == std::string_view::npos) std::abort();
    const bool raw = (len & 8) != 0;
    const harvox::MonitorFormat format{(len & 1) != 0, (len & 2) != 0, (len & 4) != 0, raw, ""};
    const std::string line = harvox::MonitorLine(f, format);
    for (const char c : line) {
      const bool control = static_cast<uint8_t>(c) < 0x20 || c == 0x7F;
      if (!raw && control && c != '\r' && c != '\n' && c != '\t') std::abort();
    }
    const std::string_view end = format.UseCRLF ? "\r\n" : "\r";
    if (line.size() < f.Info.size() + end.size() || line.substr(line.size() - end.size()) != end) {
      std::abort();
    }
    if (raw && line.find(f.Info) == std::string::npos) std::abort();
  }
  return 0;
}
