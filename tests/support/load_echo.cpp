// The engine echo of a Telnet load run; see load_echo.h.
#include "support/load_echo.h"

#include <algorithm>

#include "support/load_stats.h"

namespace harvox::test {

std::optional<uint32_t> SessionOfCall(std::string_view call, uint32_t sessions) {
  // Four digits, or five from session 9999 on ("U10000-11").
  if (call.size() < 8 || call.size() > 9 || call[0] != 'U' || call.substr(call.size() - 3) != "-11")
    return std::nullopt;
  uint32_t n = 0;
  for (size_t at = 1; at < call.size() - 3; ++at) {
    if (call[at] < '0' || call[at] > '9') return std::nullopt;
    n = n * 10 + static_cast<uint32_t>(call[at] - '0');
  }
  if (n == 0 || n > sessions) return std::nullopt;
  return n - 1;
}

void EngineEcho::OnFrame(FakeEngine& engine, int client, const AgwFrame& f) {
  if (++frames_ % 256 == 0) {
    violations_ += engine.Violations().size();
    engine.Clear();
  }
  if (f.kind != 'D') return;
  const int64_t now = NowNs();
  const auto session = SessionOfCall(f.from, shared_.sessions);
  if (!session) return;
  shared_.first_data[*session] = true;
  const auto tag = ParseLineTag(f.data);
  if (!tag) return;
  ++shared_.at_engine;
  if (tag->seq < shared_.paced_lines && tag->session == *session) {
    const size_t slot = shared_.Slot(*session, tag->seq);
    const int64_t typed = shared_.typed_ns[slot].load();
    if (typed != 0) shared_.engine_ns[slot] = std::max<int64_t>(now - typed, 1);
  }
  engine.Send(AgwFrame{f.port, 'D', 0xF0, f.to, f.from, f.data}, client);
}

}  // namespace harvox::test
