// The monitor's text for one decoded frame: which frame classes the mask
// lets through, and the line (or two) every viewer gets.
//
// Re-entrancy: pure functions.
#pragma once

#include <string>
#include <string_view>

#include "agw/monitor_decode.h"

namespace harvox {

struct MonitorFormat {
  bool Details = true;  // digipeaters, control field and PID
  bool Split = false;   // header and info on two lines
  bool UseCRLF = true;  // line end CR LF, else a lone CR
};

// Frames whose decoding stopped before the control field carry no class
// and are always shown.
bool MaskShows(std::string_view mask, char frame_class);

// "SRC>DST Via(D1,D2) {I R3 S2} Pid(F0): info" and the line end; the info
// goes out exactly as received.
std::string MonitorLine(const KissFrame& f, const MonitorFormat& format);

}  // namespace harvox
