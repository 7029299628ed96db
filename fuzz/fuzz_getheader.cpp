// Monitor header lines from the engine: any byte string must parse without
// reading outside it and give a bounded text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "agw/monitor_decode.h"
#include "fuzz/null_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  harvox::TLog* log = harvox::fuzz::SomeTraced(data, size);
  const harvox::MonitorHeader h = harvox::GetHeader(text, log);
  if (!h.Ok || h.Text.size() > 256) std::abort();
  if ((h.FrameType == "I" || h.FrameType == "UI") && h.Text.empty()) std::abort();
  if (h.Source.size() > size || h.Digipeaters.size() > size) std::abort();
  return 0;
}
