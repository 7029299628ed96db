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
  // Bytes as received; otherwise control bytes other than CR, LF and TAB
  // (0x00 to 0x1F and 0x7F) show as \xNN, so that no station can move a
  // viewer's cursor, clear the screen or start a terminal sequence.
  bool Raw = false;
  std::string Stamp;  // put before each frame's text ("hh:mm:ss ")
};

// Frames whose decoding stopped before the control field carry no class
// and are always shown.
bool MaskShows(std::string_view mask, char frame_class);

// "SRC>DST Via(D1,D2) {I R3 S2} Pid(F0): info" and the line end; the info
// keeps its own line ends.
std::string MonitorLine(const KissFrame& f, const MonitorFormat& format);

}  // namespace harvox
