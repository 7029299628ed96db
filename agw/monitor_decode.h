// Decoders for monitored AX.25 traffic: raw frames (kind 'K': a leading
// byte, then address field, control, PID and info, no FCS) and the engine's
// text header lines of monitored frames (kinds 'I', 'S', 'U', 'T').
//
// Input comes from the network, so every offset is checked: any byte string
// decodes to what could be read, with the trace lines of the link.  The
// decoders stop at the first missing field and return what they have.
//
// Re-entrancy: pure functions; the only side effect is writing to the log
// passed in (nullptr: no logging).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace harvox {

class TLog;

struct KissFrame {
  std::string Source, Destination;
  std::string Digipeaters;  // joined by ","
  // 'I' information, 'S' supervisory, 'U' UI, 'C' other unnumbered;
  // 0 when decoding stopped before the control byte.
  char FrameClass = 0;
  uint8_t NR = 0, NS = 0;
  // "I", "RR", "RNR", "REJ", "SREJ", "UI", "DM", "SABM", "SABME", "DISC", "UA",
  // "FRMR", "XID", "TEST" or "" (an unnumbered control byte of no known kind)
  std::string CtlName;
  uint8_t PF = 0;
  uint8_t PID = 0;
  int32_t InfoLen = 0;
  std::string Info;
  // Where the address field ended: the 1-based position of the control byte
  // (position p is byte p - 1).  1 when the frame is too short to hold
  // addresses, so its leading byte is then read as the control byte.
  size_t Position = 1;
};

// One 7-byte shifted address: call, plus "-SSID" when the SSID is not 0.
// Shorter input logs the corrupted-call error and gives "".
std::string FCallSign(std::string_view address, TLog* log);

// Address field of a raw frame into f (Source, Destination, Digipeaters,
// Position).  tcp_port only names the link in the too-short error line.
void KissHeader(std::string_view frame, KissFrame& f, TLog* log, int32_t tcp_port);

// Control byte into f (CtlName, PF, NR, NS).
void KissCtl(uint8_t ctl, KissFrame& f, TLog* log);

KissFrame KissDecode(std::string_view frame, TLog* log = nullptr, int32_t tcp_port = 0);

// What KissDecode does after KissHeader: control field, class, PID, info.
// modulo128: the frame belongs to a link set up with SABME, whose I and S
// frames carry a two-byte control field (N(S) and N(R) 0 to 127); its
// unnumbered frames keep one byte.
void KissBody(std::string_view frame, KissFrame& f, TLog* log, bool modulo128 = false);

struct MonitorHeader {
  char PortChar = 0;  // the port digit decremented by one: '1' gives '0'
  std::string Source, Destination;
  std::string Digipeaters;  // blank-separated
  std::string FrameType;    // "I", "UI", "RR", "SABM", ...
  std::string PIDText;      // two hex digits
  int32_t NR = 0, NS = 0;
  int32_t Length = 0;
  std::string Text;
  bool Ok = true;  // false only after an internal failure
};

// Parses " 1:Fm SRC To DST [Via D1,D2] <TYPE details >[hh:mm:ss]\r" and the
// frame text that follows it.
MonitorHeader GetHeader(std::string_view data, TLog* log = nullptr);

}  // namespace harvox
