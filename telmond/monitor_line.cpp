// Formatting of monitored frames.
#include "telmond/monitor_line.h"

#include "util/strings.h"

namespace harvox {
namespace {

void Append(std::string& line, std::string_view text, bool raw) {
  if (raw) {
    line += text;
    return;
  }
  for (const char c : text) {
    const auto b = static_cast<uint8_t>(c);
    if ((b >= 0x20 && b != 0x7F) || c == '\r' || c == '\n' || c == '\t') {
      line += c;
    } else {
      line += "\\x";
      line += ByteToHex(b);
    }
  }
}

}  // namespace

bool MaskShows(std::string_view mask, char frame_class) {
  if (frame_class != 'I' && frame_class != 'U' && frame_class != 'S' && frame_class != 'C') {
    return true;
  }
  return mask.find(frame_class) != std::string_view::npos;
}

std::string MonitorLine(const KissFrame& f, const MonitorFormat& format) {
  const char* end = format.UseCRLF ? "\r\n" : "\r";
  std::string line;
  const bool raw = format.Raw;
  line.reserve(format.Stamp.size() + f.Source.size() + f.Destination.size() + f.Info.size() + 48);
  line += format.Stamp;
  Append(line, f.Source, raw);
  line += '>';
  Append(line, f.Destination, raw);
  if (format.Details) {
    if (!f.Digipeaters.empty()) {
      line += " Via(";
      Append(line, f.Digipeaters, raw);
      line += ')';
    }
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
  Append(line, f.Info, raw);
  line += end;
  return line;
}

}  // namespace harvox
