// Line-end rules of the gateway's relay.
#include "gateway/line_ends.h"

#include "util/strings.h"

namespace harvox {

bool LfOnly(std::string_view text) {
  return text.find('\n') != std::string_view::npos && text.find('\r') == std::string_view::npos;
}

bool CrOnly(std::string_view text) {
  return text.find('\r') != std::string_view::npos && text.find('\n') == std::string_view::npos;
}

bool IsConvers(std::string_view data) {
  return UpperText(data).find("CONVERS\r") != std::string::npos;
}

std::string HostToStation(std::string_view text, bool quiet, bool& lf_host) {
  if (!quiet || !LfOnly(text)) return std::string(text);
  lf_host = true;
  return ReplaceChar(text, '\n', "\r\n");
}

std::string StationToHost(std::string_view data, bool quiet, bool lf_host, bool crlf) {
  std::string out(data);
  if (lf_host && quiet && CrOnly(out)) out = ReplaceChar(out, '\r', "\n");
  if (crlf) out = ReplaceChar(out, '\r', "\r\n");
  return out;
}

}  // namespace harvox
