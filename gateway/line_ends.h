// Line-end rules between a Telnet host and a radio station.  Stations end
// lines with a lone CR; many hosts with a lone LF.  Pure functions: bytes
// in, bytes out.
//
// Re-entrancy: stateless.
#pragma once

#include <string>
#include <string_view>

namespace harvox {

// Holds LF and no CR: a host that ends lines with LF alone.
bool LfOnly(std::string_view text);
// Holds CR and no LF: station lines.
bool CrOnly(std::string_view text);
// A quiet circuit drops station frames holding "CONVERS" + CR, any case.
bool IsConvers(std::string_view data);
// Host data for the station of a quiet circuit: LF-only text gets CR LF.
// Sets lf_host when it made the replacement.
std::string HostToStation(std::string_view text, bool quiet, bool& lf_host);
// Station data for the host.  A quiet circuit whose host ends lines with
// LF gets LF for CR; then, with crlf, every CR becomes CR LF.
std::string StationToHost(std::string_view data, bool quiet, bool lf_host, bool crlf);

}  // namespace harvox
