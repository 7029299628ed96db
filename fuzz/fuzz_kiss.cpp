// Raw AX.25 frames as the engine forwards them from the air: any byte string
// must decode without reading outside it, and the results must agree with
// the input they came from.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "agw/monitor_decode.h"
#include "fuzz/null_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view frame(reinterpret_cast<const char*>(data), size);
  harvox::TLog* log = harvox::fuzz::SomeTraced(data, size);
  const harvox::KissFrame f = harvox::KissDecode(frame, log, 8000);
  if (static_cast<size_t>(f.InfoLen) != f.Info.size()) std::abort();
  if (f.Info.size() > size || f.Position > size + 1) std::abort();
  if (!f.Info.empty() && frame.substr(size - f.Info.size()) != f.Info) std::abort();
  return 0;
}
