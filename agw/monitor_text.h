// The engine's text form of a monitored frame (kinds 'I', 'S', 'U', 'T'):
// " 1:Fm SRC To DST Via D1,D2 <TYPE details >[hh:mm:ss]\r" and, for I and
// UI frames, the frame's info.  It is read into the record a raw frame
// decodes to, so that the frames the engine sends itself (kind 'T', which
// never come as raw frames) show in the same line as the frames it hears.
//
// Re-entrancy: pure.  The text comes from the network: any byte string
// gives a record of what could be read from it.
#pragma once

#include <string_view>

#include "agw/monitor_decode.h"

namespace harvox {

// Details are "S3" and "R5" (N(S), N(R), 0 to 127), "pid=F0" or
// "pid=0xF0", "Len=9" and "P=1" or "F=1", in any order.  A frame type of no
// known kind gives an empty CtlName and class 'C'; text without "<" gives
// class 0.  Info (I and UI frames only) is what follows the header line, at
// most Len bytes, without the NUL the engine ends it with.
KissFrame ParseMonitorText(std::string_view data);

}  // namespace harvox
