// What a Telnet user's bytes mean before they become lines: Telnet command
// sequences and the control sequences of a terminal's keys are taken out,
// line ends are reduced to a lone CR, and complete lines are cut off with
// their backspaces applied.  Pure code: bytes in, bytes out; the only state
// is the filter's position inside a sequence, which lives as long as the
// session.
//
// Re-entrancy: none needed; plain values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace harvox {

class TelnetInput {
 public:
  // Appends the data bytes of `raw` to `out`.  Removed: IAC with its verb
  // (and option for WILL/WONT/DO/DONT), IAC SB ... IAC SE, LF, the NUL after
  // CR, and the stray negotiation bytes 0xFE and 0x01.  IAC IAC is one data
  // byte 0xFF.  Of the data, terminal sequences are removed too: CSI (ESC [,
  // parameters, a final byte 0x40-0x7E), SS3 (ESC O and one byte) and OSC
  // (ESC ] up to BEL or ESC \); a control byte inside one ends it and counts
  // as itself, so a CR always ends the line.  Only an ESC that starts none
  // of them is kept: the user's escape.  A sequence split across reads is
  // finished on the next one; so an ESC that ends the input is held.
  void Feed(std::string_view raw, std::string& out);
  // An ESC ended the input so far and waits for the byte that tells whether
  // it starts a sequence.
  bool EscapeHeld() const { return term_ == Term::Esc; }
  // Nothing came after the held ESC: it is the escape, appended to out.
  void ReleaseEscape(std::string& out);
  // Bytes received, filtered or not, since the last CR or kept ESC: what an
  // unfinished line has cost, however little of it was kept.
  size_t SinceLineEnd() const { return since_line_end_; }

 private:
  enum class State : uint8_t { Data, AfterCr, Iac, Option, Sub, SubIac };
  enum class Term : uint8_t { Text, Esc, Csi, Ss3, Osc, OscEsc };
  void DataByte(uint8_t b, std::string& out);
  void TermByte(uint8_t b, std::string& out);
  void Keep(uint8_t b, std::string& out);

  State state_ = State::Data;
  Term term_ = Term::Text;
  size_t since_line_end_ = 0;
};

// Takes the next line out of `pending` from offset `at`: the text up to and
// including the first CR; or, when there is no CR but an ESC, everything
// left plus a CR.  False when no line is complete yet.
bool NextLine(const std::string& pending, size_t& at, std::string& line);

// Backspace editing of one line, in one pass: each BS removes itself and
// the byte before it, if any.
std::string EditBackspaces(std::string_view line);

}  // namespace harvox
