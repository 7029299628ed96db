// Monitor header lines from the engine: any byte string must parse without
// reading outside it and give a bounded text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "agw/monitor_decode.h"
#include "fuzz/null_log.h"

using harvox::fuzz::NullLog;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  harvox::TLog* log = (size > 0 && (data[0] & 1)) ? &NullLog() : nullptr;
  const harvox::MonitorHeader h = harvox::GetHeader(text, log);
  if (!h.Ok || h.Text.size() > 256) std::abort();
  if ((h.FrameType == "I" || h.FrameType == "UI") && h.Text.empty()) std::abort();
  if (h.Source.size() > size || h.Digipeaters.size() > size) std::abort();
  return 0;
}
