// Raw AX.25 frame and monitor header line decoding.
//
// All reads go through bounds-checked string_view operations: a frame of any
// length, including 0, decodes without touching memory outside it.
//
// Re-entrancy: pure; see monitor_decode.h.
#include "agw/monitor_decode.h"

#include <optional>

#include "util/log.h"
#include "util/strings.h"

namespace harvox {
namespace {

constexpr size_t kAddressSize = 7;
constexpr size_t kFirstDigiPosition = 16;  // after leading byte + two addresses
constexpr size_t kMaxMonitorText = 256;

bool On(TLog* log, uint8_t level) { return log != nullptr && log->Enabled(level); }

void Line(TLog* log, uint8_t level, std::string_view text) {
  if (log != nullptr) log->Write(level, text);
}

uint8_t Byte(std::string_view s, size_t index) { return static_cast<uint8_t>(s[index]); }

void TooShort(TLog* log) { Line(log, 2, "{L2} <KissDecode> Frame corrupted - too short "); }

// Bits 3..2 of an S frame's (first) control byte.
const char* SupervisoryName(uint8_t ctl) {
  static const char* const kNames[4] = {"RR", "RNR", "REJ", "SREJ"};
  return kNames[(ctl >> 2) & 0x03];
}

}  // namespace

std::string FCallSign(std::string_view address, TLog* log) {
  try {
    if (address.size() < kAddressSize) {
      Line(log, 1, "{L2} ERROR Corrupted Call received at FCallSign");
      if (log != nullptr) log->Dump(1, address);
      return {};
    }
    std::string call;
    for (size_t i = 0; i < 6; ++i) {
      const char c = static_cast<char>((Byte(address, i) >> 1) & 0x7F);
      if (c == ' ') break;  // calls shorter than six letters are blank-padded
      call += c;
    }
    const int ssid = (Byte(address, 6) >> 1) & 0x0F;
    if (ssid != 0) {
      call += '-';
      call += std::to_string(ssid);
    }
    return call;
  } catch (...) {
    Line(log, 1, "{L2} Exception on module FCallSign");
    return {};
  }
}

void KissHeader(std::string_view frame, KissFrame& f, TLog* log, int32_t tcp_port) {
  try {
    if (frame.size() < kFirstDigiPosition) return;
    f.Source = FCallSign(frame.substr(8, kAddressSize), log);
    f.Destination = FCallSign(frame.substr(1, kAddressSize), log);
    f.Position = kFirstDigiPosition;
    if (Byte(frame, 14) & 1) return;  // address extension bit: no digipeaters
    if (frame.size() < f.Position + kAddressSize) {
      if (On(log, 1)) {
        log->Write(1, "{L2} ERROR Frame too short Port(" + std::to_string(tcp_port) + " From(" +
                          f.Source + ") To(" + f.Destination + ") ,discarded");
      }
      return;
    }
    for (size_t count = 0;; ++count) {
      const std::string_view address = frame.substr(f.Position - 1, kAddressSize);
      if (address.size() < kAddressSize) {
        Line(log, 1, "{L2} ERROR Resulting Callsign <> 7 bytes long, discarded");
        return;
      }
      const std::string call = RemoveChar(FCallSign(address, log), ' ');
      if (On(log, 5)) log->Write(5, "{L2} Frame Digipeater(" + call + ")");
      if (count > 0) f.Digipeaters += ',';
      f.Digipeaters += call;
      f.Position += kAddressSize;
      if (Byte(address, 6) & 1) {
        Line(log, 5, "{L2} Last Call of the Frame, abandon");
        return;
      }
      if (frame.size() < f.Position + kAddressSize) {
        Line(log, 5, "{L2} Frame Processed Completed without processing");
        return;
      }
    }
  } catch (...) {
    Line(log, 1, "{L2} Exception on KissHeader Module");
  }
}

void KissCtl(uint8_t ctl, KissFrame& f, TLog* log) {
  if (log != nullptr) {
    log->Write(3, "{L2} <KissCtl>");
    const char byte = static_cast<char>(ctl);
    for (int i = 0; i < 2; ++i) {
      log->Write(4, "{L2} <KissCtl> cAux <Ctl>");
      log->Dump(4, std::string_view(&byte, 1));
    }
  }
  f.PF = (ctl >> 4) & 1;
  if ((ctl & 0x01) == 0) {
    Line(log, 5, "{L2} <KissCtl> I Frame Detected ");
    f.CtlName = "I";
    f.NR = ctl >> 5;
    f.NS = (ctl >> 1) & 0x07;
  } else if ((ctl & 0x03) == 0x01) {
    Line(log, 5, "{L2} <KissCtl> S Frame Detected ");
    f.NR = ctl >> 5;
    f.CtlName = SupervisoryName(ctl);
  } else {
    Line(log, 5, "{L2} <KissCtl> U Frame Detected ");
    switch (ctl & 0xEC) {
      case 0x00: f.CtlName = "UI"; break;
      case 0x0C: f.CtlName = "DM"; break;
      case 0x2C: f.CtlName = "SABM"; break;
      case 0x40: f.CtlName = "DISC"; break;
      case 0x60: f.CtlName = "UA"; break;
      case 0x84: f.CtlName = "FRMR"; break;
      case 0x6C: f.CtlName = "SABME"; break;
      case 0xAC: f.CtlName = "XID"; break;
      case 0xE0: f.CtlName = "TEST"; break;
      default: f.CtlName.clear(); break;
    }
  }
}

namespace {

// PID and info after the control field of an I or UI frame.  A missing PID
// or an empty info field ends decoding; an I frame then loses its name.
void ReadPidAndInfo(std::string_view frame, KissFrame& f, TLog* log, bool info_frame,
                    size_t ctl_size) {
  size_t position = f.Position + ctl_size;
  if (frame.size() < position) {
    if (info_frame) f.CtlName.clear();
    TooShort(log);
    return;
  }
  f.PID = Byte(frame, position - 1);
  ++position;
  if (frame.size() < position) {
    if (info_frame) f.CtlName.clear();
    TooShort(log);
    return;
  }
  f.Info = std::string(frame.substr(position - 1));
  f.InfoLen = static_cast<int32_t>(f.Info.size());
  if (info_frame && On(log, 5)) {
    log->Write(5, "{L2} Info Buffer decoded Len(" + std::to_string(f.InfoLen) + ")");
  }
}

// The two-byte control field of an I or S frame on a modulo-128 link:
// N(S) in the first byte, P/F and N(R) in the second.  False when the
// second byte is missing.
bool KissCtl128(std::string_view frame, KissFrame& f, TLog* log) {
  Line(log, 3, "{L2} <KissCtl>");
  if (frame.size() < f.Position + 1) {
    TooShort(log);
    return false;
  }
  const uint8_t first = Byte(frame, f.Position - 1);
  const uint8_t second = Byte(frame, f.Position);
  if (log != nullptr) log->Dump(4, frame.substr(f.Position - 1, 2));
  f.PF = second & 1;
  f.NR = second >> 1;
  if ((first & 0x01) == 0) {
    f.CtlName = "I";
    f.NS = first >> 1;
  } else {
    f.CtlName = SupervisoryName(first);
  }
  return true;
}

}  // namespace

void KissBody(std::string_view frame, KissFrame& f, TLog* log, bool modulo128) {
  if (frame.size() < f.Position) {
    TooShort(log);
    return;
  }
  const uint8_t ctl = Byte(frame, f.Position - 1);
  size_t ctl_size = 1;
  if (modulo128 && (ctl & 0x03) != 0x03) {
    if (!KissCtl128(frame, f, log)) return;
    ctl_size = 2;
  } else {
    KissCtl(ctl, f, log);
  }
  if (f.CtlName == "I") {
    Line(log, 5, "{L2} <KissDecode> I Frame Detected ");
    f.FrameClass = 'I';
    ReadPidAndInfo(frame, f, log, true, ctl_size);
  } else if (f.CtlName == "RR" || f.CtlName == "RNR" || f.CtlName == "REJ" || f.CtlName == "SREJ") {
    Line(log, 5, "{L2} <KissDecode> S Frame Detected ");
    f.FrameClass = 'S';
  } else if (f.CtlName == "UI") {
    f.FrameClass = 'U';
    ReadPidAndInfo(frame, f, log, false, ctl_size);
  } else {
    Line(log, 5, "{L2} <KissDecode> U Frame Detected ");
    f.FrameClass = 'C';
    f.PID = 0;
  }
}

KissFrame KissDecode(std::string_view frame, TLog* log, int32_t tcp_port) {
  KissFrame f;
  try {
    KissHeader(frame, f, log, tcp_port);
    if (On(log, 4)) {
      log->Write(4, "{L2} <KissDecode> Returned N(" + std::to_string(f.Position) + ") From(" +
                        f.Source + ") To(" + f.Destination + ") VIA(" + f.Digipeaters + ")");
    }
    KissBody(frame, f, log);
  } catch (...) {
    Line(log, 1, "{L2} Exception on module KissDecode");
  }
  return f;
}

// ---------------------------------------------------------------------------
// Monitor header lines

namespace {

// The text before c; s keeps what follows c.  Without c: all of it, and s
// is used up, so a missing marker leaves nothing for the later fields.
std::string_view CutUpTo(std::string_view& s, char c) {
  const size_t i = s.find(c);
  const std::string_view piece = s.substr(0, i);
  s = i == std::string_view::npos ? std::string_view{} : s.substr(i + 1);
  return piece;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool StartsWithNoCase(std::string_view word, std::string_view prefix) {
  if (word.size() < prefix.size()) return false;
  return UpperText(word.substr(0, prefix.size())) == UpperText(prefix);
}

// Some engines write the PID as "0xF0": keep the two hex digits.
std::string_view PidDigits(std::string_view pid) {
  if (pid.size() > 2 && pid[0] == '0' && (pid[1] == 'x' || pid[1] == 'X')) pid.remove_prefix(2);
  return pid;
}

// "1:Fm SRC To DST [Via D1,D2*] <" up to and including the '<'.
void ParseAddresses(std::string_view& s, MonitorHeader& h) {
  // The engine starts the line with a blank: the port is the first
  // character that is not one.
  const std::string_view port = CutUpTo(s, ':');
  const size_t first = port.find_first_not_of(' ');
  if (first != std::string_view::npos) h.PortChar = static_cast<char>(port[first] - 1);
  NextWord(s);
  h.Source = NextWord(s);
  NextWord(s);
  h.Destination = NextWord(s);
  std::string_view path = CutUpTo(s, '<');
  if (UpperText(path).find("VIA ") != std::string::npos) {
    NextWord(path);
    h.Digipeaters = ReplaceChar(RemoveChar(path, ' '), ',', " ");
  }
}

// "RR R5 P=1 >" or "RR P1 R5 >".
void ParseSupervisory(std::string_view s, MonitorHeader& h) {
  std::string_view word = NextWord(s);
  if (!word.empty() && word[0] == 'P') word = NextWord(s);
  if (word.size() >= 2 && word[0] == 'R' && IsDigit(word[1])) h.NR = word[1] - '0';
}

// "pid=F0 Len=5 P=0 >".  False when the length is no number: the text is
// then not to be trusted.
bool ParseUI(std::string_view& s, MonitorHeader& h) {
  CutUpTo(s, '=');
  const std::string_view piece = CutUpTo(s, '>');
  std::string_view length = "0";
  if (piece.find("Len=") != std::string_view::npos) {
    std::string_view rest = piece;
    h.PIDText = PidDigits(NextWord(rest));
    rest = piece;
    CutUpTo(rest, '=');
    length = NextWord(rest);
  }
  const std::optional<int32_t> value = ToInt32(length);
  h.Length = value.value_or(0);
  return value.has_value();
}

// "R1 S3 pid=F0 Len=5 >" in either order of R and S (engines differ), with
// any P/F marks among them.  False when the length is no number.
bool ParseInformation(std::string_view& s, MonitorHeader& h) {
  std::string_view piece = CutUpTo(s, '>');
  std::string_view length;
  for (std::string_view w = NextWord(piece); !w.empty(); w = NextWord(piece)) {
    if (StartsWithNoCase(w, "pid=")) {
      h.PIDText = PidDigits(w.substr(4));
    } else if (StartsWithNoCase(w, "len=")) {
      length = w.substr(4);
    } else if (w.size() >= 2 && (w[0] == 'R' || w[0] == 'S') && IsDigit(w[1])) {
      (w[0] == 'R' ? h.NR : h.NS) = ToInt32(w.substr(1)).value_or(0);
    }
  }
  const std::optional<int32_t> value = ToInt32(length);
  h.Length = value.value_or(0);
  return value.has_value();
}

// Network protocol texts (IP, ARP, NET/ROM) keep only their first line.
void TrimProtocolText(MonitorHeader& h) {
  if (h.PIDText != "CD" && h.PIDText != "CC" && h.PIDText != "CF") return;
  std::string_view line = h.Text;
  line = CutUpTo(line, '\r');
  const bool has_lf = line.find('\n') != std::string_view::npos;
  std::string text(CutUpTo(line, '\n'));
  // The first two LF-separated parts become two CR-separated ones; a line
  // without LF stays as it is (adding a CR would exceed the text's bound).
  if (h.PIDText != "CF" && has_lf) {
    text += '\r';
    text += CutUpTo(line, '\n');
  }
  h.Text = std::move(text);
}

void ParseDetails(std::string_view s, MonitorHeader& h) {
  const std::string& type = h.FrameType;
  if (type == "UA" || type == "FRMR" || type == "DISC" || type == "DM" || type == "SABM") return;
  if (type == "RR" || type == "RNR" || type == "REJ") {
    ParseSupervisory(s, h);
    return;
  }
  const bool info = type == "I" || type == "UI";
  bool keep_text = false;
  if (type == "UI") keep_text = ParseUI(s, h);
  if (type == "I") keep_text = ParseInformation(s, h);
  if (keep_text && !s.empty()) {
    CutUpTo(s, '\r');  // the rest of the header line: "[hh:mm:ss]"
    h.Text = std::string(s.substr(0, kMaxMonitorText));
  }
  TrimProtocolText(h);
  if (!h.Text.empty() && h.Text.back() == '\0') h.Text.pop_back();
  if (info && h.Text.empty()) {
    h.Length = 1;
    h.Text = "\r";
  }
}

}  // namespace

MonitorHeader GetHeader(std::string_view data, TLog* log) {
  MonitorHeader h;
  try {
    if (On(log, 4)) log->Write(4, "{L2} GetHeader ->" + std::string(data));
    if (log != nullptr) log->Dump(5, data);
    std::string_view s = data;
    ParseAddresses(s, h);
    h.FrameType = NextWord(s);
    ParseDetails(s, h);
  } catch (...) {
    Line(log, 1, " Exception on module GetHeader");
    h.Text = "\r";
    h.Length = 1;
    h.Ok = false;
  }
  return h;
}

}  // namespace harvox
