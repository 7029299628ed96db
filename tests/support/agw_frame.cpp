// Encoding and decoding of AGW frames for the test side.  Pure functions
// plus the per-connection reader; see agw_frame.h.
#include "support/agw_frame.h"

#include <cstdio>

namespace harvox::test {
namespace {

void PutCall(std::string& out, size_t offset, const std::string& call) {
  for (size_t i = 0; i < 10 && i < call.size(); ++i) out[offset + i] = call[i];
}

std::string GetCall(std::string_view bytes, size_t offset) {
  std::string_view field = bytes.substr(offset, 10);
  size_t nul = field.find('\0');
  return std::string(field.substr(0, nul));
}

uint32_t GetLe32(std::string_view bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[offset + i]);
  return value;
}

}  // namespace

std::string AgwFrame::Encode() const {
  std::string out(kAgwHeaderSize, '\0');
  out[0] = static_cast<char>(port);
  out[4] = kind;
  out[6] = static_cast<char>(pid);
  PutCall(out, 8, from);
  PutCall(out, 18, to);
  uint32_t len = static_cast<uint32_t>(data.size());
  for (int i = 0; i < 4; ++i) out[28 + i] = static_cast<char>((len >> (8 * i)) & 0xFF);
  out += data;
  return out;
}

std::optional<AgwHeader> DecodeAgwHeader(std::string_view bytes) {
  if (bytes.size() < kAgwHeaderSize) return std::nullopt;
  AgwHeader h;
  h.frame.port = static_cast<uint8_t>(bytes[0]);
  h.frame.kind = bytes[4];
  h.frame.pid = static_cast<uint8_t>(bytes[6]);
  h.frame.from = GetCall(bytes, 8);
  h.frame.to = GetCall(bytes, 18);
  h.data_len = GetLe32(bytes, 28);
  return h;
}

std::optional<AgwFrame> DecodeAgwFrame(std::string_view bytes) {
  auto h = DecodeAgwHeader(bytes);
  if (!h || bytes.size() - kAgwHeaderSize != h->data_len) return std::nullopt;
  h->frame.data = std::string(bytes.substr(kAgwHeaderSize));
  return h->frame;
}

std::string Describe(const AgwFrame& f) {
  char head[64];
  std::snprintf(head, sizeof head, "'%c' port %u pid %02X ", f.kind ? f.kind : '?', f.port, f.pid);
  std::string text = head + f.from + ">" + f.to + " [" + std::to_string(f.data.size()) + "] ";
  for (size_t i = 0; i < f.data.size() && i < 48; ++i) {
    unsigned char c = static_cast<unsigned char>(f.data[i]);
    if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", c);
      text += hex;
    }
  }
  if (f.data.size() > 48) text += "...";
  return text;
}

void AgwFrameReader::Feed(std::string_view bytes) {
  if (bad_) return;
  // Drop consumed bytes before growing, so the buffer stays near one frame.
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes);
}

std::optional<AgwFrame> AgwFrameReader::Next() {
  if (bad_) return std::nullopt;
  std::string_view rest(buffer_);
  rest.remove_prefix(start_);
  auto h = DecodeAgwHeader(rest);
  if (!h) return std::nullopt;
  if (h->data_len > max_data_) {
    bad_ = true;
    buffer_.clear();
    start_ = 0;
    return std::nullopt;
  }
  if (rest.size() < kAgwHeaderSize + h->data_len) return std::nullopt;
  h->frame.data = std::string(rest.substr(kAgwHeaderSize, h->data_len));
  start_ += kAgwHeaderSize + h->data_len;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  return h->frame;
}

}  // namespace harvox::test
