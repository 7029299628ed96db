// A radio station's input at the node prompt, and the line-end rules the
// gateway applies both ways: any bytes give a reply (a prompt at least)
// and never grow the buffer; the line-end rules stay within their bounds.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/null_log.h"
#include "gateway/l2cli.h"
#include "gateway/line_ends.h"

namespace {

harvox::TL2CLI& Processor() {
  static harvox::TL2CLI* cli = [] {
    auto* p = new harvox::TL2CLI;
    p->NodeCall = "N0GATE";
    p->Prompt = "=>";
    p->AddCommand("T", "Telnet to host:port", true, 0, false, "");
    p->AddCommand("PING", "Ping a host", true, 0, false, "");
    p->AddCommand("B", "Bye", false, 0, true, "Q");
    p->AddCommand("X", "Alias of ? ", false, 0, true, "? T");
    p->FOnCommand = [](uint8_t, const std::string&, const std::string& c, const std::string& a,
                       uint8_t, std::string& reply) { reply = c + ":" + a; };
    p->FOnHelp = [](uint8_t, const std::string&, const std::string&, const std::string&, uint8_t,
                    std::string&) {};
    p->SetActive(true);
    return p;
  }();
  return *cli;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string buffer(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t before = buffer.size();
  Processor().Log = harvox::fuzz::SomeTraced(data, size);
  const std::string reply = Processor().Execute(1, "N0CALL", buffer, data[0] & 3);
  if (buffer.size() > before || (before > 0 && reply.empty())) std::abort();
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  bool lf = data[0] & 4;
  const std::string to_station = harvox::HostToStation(in, data[0] & 8, lf);
  const std::string to_host = harvox::StationToHost(in, data[0] & 8, data[0] & 16, data[0] & 32);
  if (to_station.size() > 2 * size || to_host.size() > 2 * size) std::abort();
  (void)harvox::IsConvers(in);
  return 0;
}
