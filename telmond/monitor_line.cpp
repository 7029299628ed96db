// Formatting of monitored frames.
#include "telmond/monitor_line.h"

#include "util/strings.h"

namespace harvox {

bool MaskShows(std::string_view mask, char frame_class) {
  if (frame_class != 'I' && frame_class != 'U' && frame_class != 'S' && frame_class != 'C') {
    return true;
  }
  return mask.find(frame_class) != std::string_view::npos;
}

std::string MonitorLine(const KissFrame& f, const MonitorFormat& format) {
  const char* end = format.UseCRLF ? "\r\n" : "\r";
  std::string line;
  line.reserve(f.Source.size() + f.Destination.size() + f.Info.size() + 48);
  line += f.Source;
  line += '>';
  line += f.Destination;
  if (format.Details) {
    if (!f.Digipeaters.empty()) line += " Via(" + f.Digipeaters + ")";
    switch (f.FrameClass) {
      case 'C':
        line += " {" + f.CtlName + "}";
        break;
      case 'S':
        line += " {" + f.CtlName + " R" + std::to_string(f.NR) + "}";
        break;
      case 'I':
        line += " {" + f.CtlName + " R" + std::to_string(f.NR) + " S" + std::to_string(f.NS) +
                "} Pid(" + ByteToHex(f.PID) + ")";
        break;
      case 'U':
        line += " {" + f.CtlName + "} Pid(" + ByteToHex(f.PID) + ")";
        break;
      default:
        break;
    }
  }
  line += ':';
  line += format.Split ? end : " ";
  line += f.Info;
  line += end;
  return line;
}

}  // namespace harvox
