// Telnet input filtering and line cutting; see telnet_input.h.
#include "telnetd/telnet_input.h"

namespace harvox {
namespace {

constexpr uint8_t kNUL = 0, kBEL = 7, kBS = 8, kLF = 10, kCR = 13, kESC = 27;
constexpr uint8_t kSE = 0xF0, kSB = 0xFA, kWILL = 0xFB, kIAC = 0xFF;

// Ends a CSI or SS3 sequence and is taken as itself.
bool EndsSequence(uint8_t b) { return b < 0x20 || b >= 0x7F; }

}  // namespace

void TelnetInput::DataByte(uint8_t b, std::string& out) {
  state_ = State::Data;
  if (b == kIAC) {
    state_ = State::Iac;
    return;
  }
  if (b == kLF || b == 0xFE || b == 0x01) return;
  if (b == kCR) state_ = State::AfterCr;
  TermByte(b, out);
}

void TelnetInput::Keep(uint8_t b, std::string& out) {
  out += static_cast<char>(b);
  if (b == kCR || b == kESC) since_line_end_ = 0;
}

// One data byte through the terminal sequence filter.  A byte that ends a
// sequence without belonging to it falls through and is taken as text.
void TelnetInput::TermByte(uint8_t b, std::string& out) {
  switch (term_) {
    case Term::Text:
      break;
    case Term::Esc:
      term_ = b == '[' ? Term::Csi : b == 'O' ? Term::Ss3 : b == ']' ? Term::Osc : Term::Text;
      if (term_ != Term::Text) return;
      Keep(kESC, out);  // it starts no sequence: the escape, then b
      break;
    case Term::Csi:
      if (EndsSequence(b)) break;
      if (b >= 0x40) term_ = Term::Text;  // the final byte
      return;
    case Term::Ss3:
      if (EndsSequence(b)) break;
      term_ = Term::Text;
      return;
    case Term::Osc:
      if (b == kESC) term_ = Term::OscEsc;
      if (b == kBEL) term_ = Term::Text;
      if (b >= 0x20 || b == kESC || b == kBEL) return;
      break;
    case Term::OscEsc:
      term_ = Term::Text;
      if (b == '\\') return;
      term_ = Term::Esc;  // no terminator after all: this ESC starts anew
      return TermByte(b, out);
  }
  term_ = Term::Text;
  if (b == kESC) {
    term_ = Term::Esc;
    return;
  }
  Keep(b, out);
}

void TelnetInput::ReleaseEscape(std::string& out) {
  if (term_ != Term::Esc) return;
  term_ = Term::Text;
  Keep(kESC, out);
}

void TelnetInput::Feed(std::string_view raw, std::string& out) {
  for (const char ch : raw) {
    const auto b = static_cast<uint8_t>(ch);
    ++since_line_end_;
    switch (state_) {
      case State::Data:
        DataByte(b, out);
        break;
      case State::AfterCr:
        // CR NUL and CR LF are both a plain CR.
        if (b == kNUL || b == kLF) {
          state_ = State::Data;
        } else {
          DataByte(b, out);
        }
        break;
      case State::Iac:
        if (b == kIAC) {
          out += static_cast<char>(kIAC);
          state_ = State::Data;
        } else {
          state_ = b == kSB ? State::Sub : b >= kWILL ? State::Option : State::Data;
        }
        break;
      case State::Option:
        state_ = State::Data;
        break;
      case State::Sub:
        if (b == kIAC) state_ = State::SubIac;
        break;
      case State::SubIac:
        state_ = b == kSE ? State::Data : State::Sub;
        break;
    }
  }
}

std::string EditBackspaces(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  for (const char ch : line) {
    if (static_cast<uint8_t>(ch) != kBS) {
      out += ch;
    } else if (!out.empty()) {
      out.pop_back();
    }
  }
  return out;
}

bool NextLine(const std::string& pending, size_t& at, std::string& line) {
  if (at >= pending.size()) return false;
  const size_t cr = pending.find(static_cast<char>(kCR), at);
  std::string_view raw(pending);
  if (cr != std::string::npos) {
    line = raw.substr(at, cr + 1 - at);
    at = cr + 1;
    return true;
  }
  if (pending.find(static_cast<char>(kESC), at) == std::string::npos) return false;
  line = raw.substr(at);
  line += static_cast<char>(kCR);
  at = pending.size();
  return true;
}

}  // namespace harvox
