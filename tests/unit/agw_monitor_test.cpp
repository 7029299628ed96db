// Raw AX.25 frame decoding and monitor header lines, including the trace
// lines written on short or corrupted input, and garbage that must decode
// without reading outside the input.
#include "agw/monitor_decode.h"

#include <gtest/gtest.h>

#include "agw/monitor_text.h"
#include "telmond/monitor_line.h"

#include <vector>

#include "util/log.h"
#include "support/temp_dir.h"

namespace harvox {
namespace {

// A trace log at full detail in a private temporary directory.
struct LogCapture {
  LogCapture() {
    test::OpenLog(log, dir.File("HARVOX.LOG"), 5);
  }
  bool Has(const std::string& line) const {
    return test::ReadFile(log.FileName).find(line + "\r\n") != std::string::npos;
  }
  test::TempDir dir;
  TLog log;
};

// One shifted address field: six blank-padded letters, then the SSID byte.
std::string Addr(const std::string& call, int ssid, bool last) {
  std::string a;
  for (size_t i = 0; i < 6; ++i) {
    const char c = i < call.size() ? call[i] : ' ';
    a += static_cast<char>(static_cast<uint8_t>(c) << 1);
  }
  a += static_cast<char>(0x60 | (ssid << 1) | (last ? 1 : 0));
  return a;
}

// Leading byte, destination, source, digipeaters, control.
std::string Raw(const std::vector<std::string>& digis, uint8_t ctl) {
  std::string f(1, '\0');
  f += Addr("APRS", 0, false);
  f += Addr("N0CALL", 7, digis.empty());
  for (size_t i = 0; i < digis.size(); ++i) f += Addr(digis[i], 0, i + 1 == digis.size());
  f += static_cast<char>(ctl);
  return f;
}

TEST(AgwMonitorKiss, UiFrameWithoutDigipeaters) {
  const KissFrame f = KissDecode(Raw({}, 0x03) + "\xF0" "hello");
  EXPECT_EQ(f.Position, 16u);
  EXPECT_EQ(f.Source, "N0CALL-7");
  EXPECT_EQ(f.Destination, "APRS");
  EXPECT_EQ(f.Digipeaters, "");
  EXPECT_EQ(f.CtlName, "UI");
  EXPECT_EQ(f.FrameClass, 'U');
  EXPECT_EQ(f.PID, 0xF0);
  EXPECT_EQ(f.InfoLen, 5);
  EXPECT_EQ(f.Info, "hello");
}

TEST(AgwMonitorKiss, CallsignsAndSsids) {
  EXPECT_EQ(FCallSign(Addr("ABCDEF", 0, true), nullptr), "ABCDEF");
  EXPECT_EQ(FCallSign(Addr("ABCDEF", 15, false), nullptr), "ABCDEF-15");
  EXPECT_EQ(FCallSign(Addr("ABCDE", 3, false), nullptr), "ABCDE-3");
  EXPECT_EQ(FCallSign(Addr("ABCDE", 0, false), nullptr), "ABCDE");
  // Only the first seven bytes form the address.
  EXPECT_EQ(FCallSign(Addr("N0CALL", 1, false) + "garbage", nullptr), "N0CALL-1");
}

TEST(AgwMonitorKiss, EveryByteValueInEveryAddressPosition) {
  for (size_t pos = 0; pos < 7; ++pos) {
    for (int v = 0; v < 256; ++v) {
      std::string a = Addr("N0CALL", 0, false);
      a[pos] = static_cast<char>(v);
      const std::string call = FCallSign(a, nullptr);
      ASSERT_LE(call.size(), 9u);
      if (pos == 6) {
        const int ssid = (v >> 1) & 0x0F;
        EXPECT_EQ(call, ssid ? "N0CALL-" + std::to_string(ssid) : "N0CALL");
      }
    }
  }
}

TEST(AgwMonitorKiss, ShortAddressIsReported) {
  LogCapture cap;
  EXPECT_EQ(FCallSign("ABCDEF", &cap.log), "");
  EXPECT_TRUE(cap.Has("{L2} ERROR Corrupted Call received at FCallSign"));
}

TEST(AgwMonitorKiss, TwoDigipeaters) {
  const KissFrame f = KissDecode(Raw({"WIDE1", "RELAY"}, 0x3F));
  EXPECT_EQ(f.Digipeaters, "WIDE1,RELAY");
  EXPECT_EQ(f.Position, 30u);
  EXPECT_EQ(f.CtlName, "SABM");
  EXPECT_EQ(f.FrameClass, 'C');
  EXPECT_EQ(f.PF, 1);
}

TEST(AgwMonitorKiss, InformationFrameControl) {
  const KissFrame f = KissDecode(Raw({}, 0xB6) + "\xF0" "data\r");
  EXPECT_EQ(f.CtlName, "I");
  EXPECT_EQ(f.FrameClass, 'I');
  EXPECT_EQ(f.NR, 5);
  EXPECT_EQ(f.NS, 3);
  EXPECT_EQ(f.PF, 1);
  EXPECT_EQ(f.PID, 0xF0);
  EXPECT_EQ(f.Info, "data\r");
}

TEST(AgwMonitorKiss, ControlByteNames) {
  struct Case {
    uint8_t ctl;
    const char* name;
    char cls;
    uint8_t nr;
  };
  const Case cases[] = {
      {0x41, "RR", 'S', 2},  {0xA5, "RNR", 'S', 5}, {0x09, "REJ", 'S', 0}, {0x6D, "SREJ", 'S', 3},
      {0x1F, "DM", 'C', 0},  {0x3F, "SABM", 'C', 0}, {0x53, "DISC", 'C', 0}, {0x73, "UA", 'C', 0},
      {0x87, "FRMR", 'C', 0}, {0x6F, "SABME", 'C', 0}, {0xAF, "XID", 'C', 0}, {0xF3, "TEST", 'C', 0},
      {0x2B, "", 'C', 0}};
  for (const Case& c : cases) {
    const KissFrame f = KissDecode(Raw({}, c.ctl));
    EXPECT_EQ(f.CtlName, c.name) << int(c.ctl);
    EXPECT_EQ(f.FrameClass, c.cls) << int(c.ctl);
    EXPECT_EQ(f.NR, c.nr) << int(c.ctl);
    EXPECT_EQ(f.PID, 0);
  }
}

TEST(AgwMonitorKiss, MissingPidOrInfo) {
  LogCapture cap;
  KissFrame f = KissDecode(Raw({}, 0x10) + "\xF0", &cap.log);
  EXPECT_EQ(f.CtlName, "");
  EXPECT_EQ(f.FrameClass, 'I');
  EXPECT_EQ(f.InfoLen, 0);
  EXPECT_TRUE(cap.Has("{L2} <KissDecode> Frame corrupted - too short "));

  // A UI frame keeps its name; decoding just stops.
  f = KissDecode(Raw({}, 0x03));
  EXPECT_EQ(f.CtlName, "UI");
  EXPECT_EQ(f.FrameClass, 'U');
  f = KissDecode(Raw({}, 0x03) + "\xF0");
  EXPECT_EQ(f.PID, 0xF0);
  EXPECT_EQ(f.InfoLen, 0);
}

TEST(AgwMonitorKiss, FramesOfFifteenBytesOrFewer) {
  KissFrame f = KissDecode("");
  EXPECT_EQ(f.FrameClass, 0);
  EXPECT_EQ(f.Position, 1u);
  // The leading byte is then read as the control byte.
  f = KissDecode(std::string("\x03\xF0" "abc", 5));
  EXPECT_EQ(f.Source, "");
  EXPECT_EQ(f.Destination, "");
  EXPECT_EQ(f.CtlName, "UI");
  EXPECT_EQ(f.PID, 0xF0);
  EXPECT_EQ(f.Info, "abc");
  f = KissDecode(Raw({}, 0x03).substr(0, 15));
  EXPECT_EQ(f.Source, "");
  EXPECT_EQ(f.CtlName, "I");  // leading byte 0
}

TEST(AgwMonitorKiss, TruncatedDigipeaterPath) {
  LogCapture cap;
  const std::string two = Raw({"WIDE1", "RELAY"}, 0x03);
  // Digipeater flagged but not all there.
  KissFrame f = KissDecode(two.substr(0, 20), &cap.log, 8001);
  EXPECT_EQ(f.Digipeaters, "");
  EXPECT_EQ(f.Position, 16u);
  EXPECT_TRUE(cap.Has("{L2} ERROR Frame too short Port(8001 From(N0CALL-7) To(APRS) ,discarded"));
  // A path that never sets its end bit stops at the end of the frame.
  std::string open = Raw({"WIDE1", "RELAY"}, 0x03);
  open[28] = static_cast<char>(open[28] & 0xFE);
  f = KissDecode(open.substr(0, 29) + "x", &cap.log);
  EXPECT_EQ(f.Digipeaters, "WIDE1,RELAY");
  EXPECT_TRUE(cap.Has("{L2} Frame Processed Completed without processing"));
  EXPECT_TRUE(cap.Has("{L2} Frame Digipeater(RELAY)"));
}

TEST(AgwMonitorKiss, AnyPrefixDecodesWithinBounds) {
  const std::string full = Raw({"WIDE1", "WIDE2"}, 0x10) + "\xF0" "payload";
  for (size_t n = 0; n <= full.size(); ++n) {
    const KissFrame f = KissDecode(full.substr(0, n));
    EXPECT_LE(f.Position, n + 1);
  }
}

// ---------------------------------------------------------------------------
// Monitor header lines as the engine writes them: a leading blank, the
// details in "<...>", a time stamp, CR, the text with its own CR, a NUL.

std::string Line(const std::string& head, const std::string& text = "") {
  std::string s = head + "[12:34:56]\r";
  if (!text.empty()) s += text + "\r";
  s += '\0';
  return s;
}

TEST(AgwMonitorHeader, InformationFrameWithPath) {
  MonitorHeader h = GetHeader(
      Line(" 1:Fm N0AAA-1 To N0BBB Via N0DIG,N1DIG* <I S3 R1 pid=0xF0 Len=5 P=0 >", "Hello"));
  EXPECT_TRUE(h.Ok);
  EXPECT_EQ(h.PortChar, '0');
  EXPECT_EQ(h.Source, "N0AAA-1");
  EXPECT_EQ(h.Destination, "N0BBB");
  EXPECT_EQ(h.Digipeaters, "N0DIG N1DIG*");
  EXPECT_EQ(h.FrameType, "I");
  EXPECT_EQ(h.NR, 1);
  EXPECT_EQ(h.NS, 3);
  EXPECT_EQ(h.PIDText, "F0");
  EXPECT_EQ(h.Length, 5);
  EXPECT_EQ(h.Text, "Hello\r");

  // Engines differ in the order of N(R) and N(S).
  h = GetHeader(Line("1:Fm A To B <I R6 S2 pid=F0 Len=2 >", "hi"));
  EXPECT_EQ(h.PortChar, '0');
  EXPECT_EQ(h.PIDText, "F0");
  EXPECT_EQ(h.NR, 6);
  EXPECT_EQ(h.NS, 2);
  EXPECT_EQ(h.Length, 2);
  EXPECT_EQ(h.Text, "hi\r");
}

TEST(AgwMonitorHeader, UiFrame) {
  const MonitorHeader h =
      GetHeader(Line(" 2:Fm N0AAA To BEACON <UI pid=F0 Len=11 PF=0 >", "hello world"));
  EXPECT_EQ(h.PortChar, '1');
  EXPECT_EQ(h.Digipeaters, "");
  EXPECT_EQ(h.FrameType, "UI");
  EXPECT_EQ(h.PIDText, "F0");
  EXPECT_EQ(h.Length, 11);
  EXPECT_EQ(h.Text, "hello world\r");
}

TEST(AgwMonitorHeader, SupervisoryFrames) {
  struct Case {
    const char* details;
    const char* type;
    int nr;
  };
  const Case cases[] = {{"<RR R5 P=1 >", "RR", 5},  {"<RNR R2 F=0 >", "RNR", 2},
                        {"<REJ P1 R7 >", "REJ", 7}, {"<RR Rx >", "RR", 0}};
  for (const Case& c : cases) {
    const MonitorHeader h = GetHeader(Line(std::string(" 1:Fm A To B Via C ") + c.details));
    EXPECT_EQ(h.FrameType, c.type);
    EXPECT_EQ(h.NR, c.nr) << c.details;
    EXPECT_EQ(h.Digipeaters, "C");
    EXPECT_EQ(h.Text, "");
    EXPECT_TRUE(h.Ok);
  }
}

TEST(AgwMonitorHeader, UnnumberedFramesCarryNoText) {
  for (const char* type : {"SABM", "UA", "DISC", "DM", "FRMR", "SABME", "XID"}) {
    const MonitorHeader h = GetHeader(Line(std::string(" 1:Fm A To B <") + type + " P=1 >", "x"));
    EXPECT_EQ(h.FrameType, type);
    EXPECT_EQ(h.Text, "");
    EXPECT_EQ(h.Length, 0);
    EXPECT_TRUE(h.Ok);
  }
}

TEST(AgwMonitorHeader, EmptyOrUntrustedText) {
  MonitorHeader h = GetHeader(Line(" 1:Fm A To B <UI pid=F0 Len=0 P=0 >"));
  EXPECT_EQ(h.Length, 1);
  EXPECT_EQ(h.Text, "\r");
  h = GetHeader(Line(" 1:Fm A To B <I S0 R0 pid=F0 Len=0 P=0 >"));
  EXPECT_EQ(h.Length, 1);
  EXPECT_EQ(h.Text, "\r");
  // A length that is no number: the text is not taken.
  h = GetHeader(Line(" 1:Fm A To B <UI pid=F0 Len=x >", "text"));
  EXPECT_EQ(h.Length, 1);
  EXPECT_EQ(h.Text, "\r");
  h = GetHeader(Line(" 1:Fm A To B <UI pid=F0 >", "text"));
  EXPECT_EQ(h.PIDText, "");
  EXPECT_EQ(h.Length, 0);
  EXPECT_EQ(h.Text, "text\r");
}

TEST(AgwMonitorHeader, TextIsCutAndProtocolTextsKeepOneLine) {
  MonitorHeader h = GetHeader(Line(" 1:Fm A To B <UI pid=F0 Len=300 >", std::string(300, 'z')));
  EXPECT_EQ(h.Text, std::string(256, 'z'));
  h = GetHeader(Line(" 1:Fm A To B <UI pid=0xCF Len=9 >", "node\nlist\rmore"));
  EXPECT_EQ(h.Text, "node");
  h = GetHeader(Line(" 1:Fm A To B <I S1 R1 pid=CC Len=9 >", "ab\ncd\nef\rgh"));
  EXPECT_EQ(h.Text, "ab\rcd");
  h = GetHeader(Line(" 1:Fm A To B <UI pid=CD Len=300 >", std::string(300, 'q')));
  EXPECT_EQ(h.Text, std::string(256, 'q'));
}

TEST(AgwMonitorHeader, LogsTheLine) {
  LogCapture cap;
  GetHeader(" 1:Fm A To B <DM F=1 >", &cap.log);
  EXPECT_TRUE(cap.Has("{L2} GetHeader -> 1:Fm A To B <DM F=1 >"));
}

TEST(AgwMonitorHeader, TruncatedAndGarbageInput) {
  const std::string full =
      Line(" 1:Fm N0AAA-1 To N0BBB Via N0DIG <I S3 R1 pid=CC Len=5 P=0 >", "He\nl\nlo");
  for (size_t n = 0; n <= full.size(); ++n) {
    const MonitorHeader h = GetHeader(full.substr(0, n));
    EXPECT_TRUE(h.Ok);
    EXPECT_LE(h.Text.size(), 256u);
  }
  for (const std::string garbage :
       {":", "<", ">=", "\r", " :Fm Via <I >", "1:<UI = >\r", "1:Fm A To B VIA <I pid= Len="}) {
    const MonitorHeader h = GetHeader(garbage);
    EXPECT_TRUE(h.Ok);
    EXPECT_LE(h.Source.size() + h.Destination.size(), garbage.size());
  }
}

// The engine's own frames, read from its monitor text into the monitor's line.
TEST(AgwMonitorText, OwnFramesAsMonitorLines) {
  const struct {
    std::string text, line;
  } rows[] = {
      {Line(" 1:Fm N0AAA-5 To N0BBB-7 <SABME P=1 >"), "N0AAA-5>N0BBB-7 {SABME}: \r"},
      {Line(" 1:Fm N0AAA-5 To N0BBB-7 <I S100 R77 pid=0xF0 Len=5 P=0 >", "hello"),
       "N0AAA-5>N0BBB-7 {I R77 S100} Pid(F0): hello\r"},
      {Line(" 2:Fm A To B Via D1*,D2 <UI pid=F0 Len=3 F=0 >", "a\rb"),
       "A>B Via(D1,D2) {UI} Pid(F0): a\rb\r"},
      {Line(" 1:Fm A To B <UI pid=F0 Len=9 >", "cut"), "A>B {UI} Pid(F0): cut\r\r"},
      {Line(" 1:Fm A To B <I S1 R2 pid=CF Len=3 P=1 >", "\x1B[J"), "A>B {I R2 S1} Pid(CF): \\x1B[J\r"},
      {Line(" 1:Fm A To B <SREJ R5 F=1 Len=0 >"), "A>B {SREJ R5}: \r"},
      {Line(" 1:Fm A To B <XID P=1 Len=3 >", "\x82\x80\x00"), "A>B {XID}: \r"},
      {Line(" 1:Fm A To B <U other??? >"), "A>B {}: \r"},
      {Line(" 1:Fm A To B <I S999 R1x pid=0x123 Len=x >", "t"), "A>B {I R0 S0} Pid(00): t\r\r"},
      {" 1:Fm A To B <I S1 R1 pid=F0 Len=9 >", "A>B {I R1 S1} Pid(F0): \r"},
      {"no header at all", ">: \r"},
      {"", ">: \r"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(MonitorLine(ParseMonitorText(row.text), {true, false, false, false, ""}), row.line) << row.text;
  }
}

}  // namespace
}  // namespace harvox
