// Frame building, header reading, digipeater and address helpers, and the
// reassembly of frames from a byte stream cut in every possible way.
#include "agw/frame.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace harvox {
namespace {

uint8_t At(const std::string& s, size_t i) { return static_cast<uint8_t>(s[i]); }

// The frames AppendFrames writes, cut apart again by their own lengths.
std::vector<std::string> Pieces(uint8_t port, uint8_t pid, char kind, std::string_view from,
                                std::string_view to, std::string_view data) {
  std::string out = "kept";
  const size_t count = AppendFrames(out, port, pid, kind, from, to, data);
  std::vector<std::string> pieces;
  for (size_t at = 4; at < out.size();) {
    const size_t len = kHeaderSize + ParseHeader(out.data() + at).DataLen;
    pieces.push_back(out.substr(at, len));
    at += len;
  }
  EXPECT_EQ(out.substr(0, 4), "kept");
  EXPECT_EQ(pieces.size(), count);
  return pieces;
}

TEST(AgwFrameBuild, LongDataFrameSplitsIntoFullFrames) {
  std::string data;
  for (int i = 0; i < 600; ++i) data += static_cast<char>(i);
  const auto pieces = Pieces(3, 0xF0, 'D', "N0AAA-1", "N0BBB", data);
  ASSERT_EQ(pieces.size(), 3u);
  const size_t sizes[] = {255, 255, 90};
  std::string joined;
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(pieces[i].size(), kHeaderSize + sizes[i]);
    const FrameHeader h = ParseHeader(pieces[i].data());
    EXPECT_EQ(h.Port, 3);
    EXPECT_EQ(h.DataKind, 'D');
    EXPECT_EQ(h.PID, 0xF0);
    EXPECT_EQ(h.CallFrom, "N0AAA-1");
    EXPECT_EQ(h.CallTo, "N0BBB");
    EXPECT_EQ(h.DataLen, sizes[i]);
    joined += pieces[i].substr(kHeaderSize);
  }
  EXPECT_EQ(joined, data);
}

TEST(AgwFrameBuild, ExemptFramesTravelWholeWithSixteenBitLength) {
  const std::string data(600, 'x');
  auto pieces = Pieces(1, 0xCA, 'D', "A", "B", data);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(At(pieces[0], 28), 88);
  EXPECT_EQ(At(pieces[0], 29), 2);
  EXPECT_EQ(pieces[0].size(), kHeaderSize + 600);

  pieces = Pieces(1, 0, 'K', "", "", std::string(0xFFFF, 'k'));
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(ParseHeader(pieces[0].data()).DataLen, 0xFFFFu);
  // A length that would wrap in 16 bits is refused, not sent corrupted.
  EXPECT_TRUE(Pieces(1, 0, 'K', "", "", std::string(0x10000, 'k')).empty());
  EXPECT_TRUE(Pieces(1, 0xC9, 'D', "", "", std::string(0x10000, 'k')).empty());
  // Ordinary data of that size is simply split further.
  EXPECT_EQ(Pieces(1, 0xF0, 'D', "", "", std::string(0x10000, 'd')).size(), 258u);
  // No data: the header alone.
  EXPECT_EQ(Pieces(0, 0, 'G', "", "", ""),
            std::vector<std::string>{std::string(4, '\0') + "G" + std::string(31, '\0')});
}

TEST(AgwFrameBuild, LoginInfoArea) {
  const std::string info = BuildLogin("user", "secret");
  ASSERT_EQ(info.size(), 510u);
  EXPECT_EQ(info.substr(0, 5), std::string("user\0", 5));
  EXPECT_EQ(info.substr(255, 7), std::string("secret\0", 7));
  const auto pieces = Pieces(0, 0, 'P', "", "", info);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(At(pieces[0], 28), 0xFE);
  EXPECT_EQ(At(pieces[0], 29), 0x01);

  const std::string long_login = BuildLogin(std::string(300, 'u'), std::string(300, 'p'));
  ASSERT_EQ(long_login.size(), 510u);
  EXPECT_EQ(long_login, std::string(255, 'u') + std::string(255, 'p'));
}

TEST(AgwFrameHeader, FieldsOnTheWire) {
  // Ports 0 and 1 both go out as wire port 0; wire 0 reads as 1, 255 as 0.
  EXPECT_EQ(At(BuildHeader(0, 0, 'X', "", "", 0), 0), 0);
  EXPECT_EQ(At(BuildHeader(1, 0, 'X', "", "", 0), 0), 0);
  EXPECT_EQ(At(BuildHeader(5, 0, 'X', "", "", 0), 0), 4);
  std::string h(kHeaderSize, '\0');
  EXPECT_EQ(ParseHeader(h.data()).Port, 1);
  h[0] = '\xFF';
  EXPECT_EQ(ParseHeader(h.data()).Port, 0);

  // A long callsign fills its field with no NUL and does not spill over.
  h = BuildHeader(2, 0xF0, 'D', "ABCDEFGHIJKL", "N0BBB", 0x34);
  EXPECT_EQ(h.substr(8, 20), std::string("ABCDEFGHIJN0BBB\0\0\0\0\0", 20));
  // Reserved bytes and the upper length bytes are not read.
  for (size_t i : {1, 2, 3, 5, 7, 30, 31, 32, 33, 34, 35}) h[i] = '\xA5';
  const FrameHeader parsed = ParseHeader(h.data());
  EXPECT_EQ(parsed.Port, 2);
  EXPECT_EQ(parsed.DataKind, 'D');
  EXPECT_EQ(parsed.PID, 0xF0);
  EXPECT_EQ(parsed.CallFrom, "ABCDEFGHIJ");
  EXPECT_EQ(parsed.CallTo, "N0BBB");
  EXPECT_EQ(parsed.DataLen, 0x34u);
}

TEST(AgwFrameHeader, RoundTripOverAllByteValues) {
  for (int v = 0; v < 256; ++v) {
    const auto b = static_cast<uint8_t>(v);
    const char kind = static_cast<char>(v);
    const std::string h = BuildHeader(b, b, kind, "FROM", "TO", 300);
    ASSERT_EQ(h.size(), kHeaderSize);
    const FrameHeader parsed = ParseHeader(h.data());
    EXPECT_EQ(parsed.Port, v == 0 ? 1 : v);
    EXPECT_EQ(parsed.PID, b);
    EXPECT_EQ(parsed.DataKind, kind);
    EXPECT_EQ(parsed.DataLen, IsSplitExempt(kind, b) ? 300u : 255u) << v;
    EXPECT_EQ(parsed.CallFrom, "FROM");
    EXPECT_EQ(parsed.CallTo, "TO");
  }
}

TEST(AgwFrameVia, NormalisesAndBuildsFields) {
  const std::string joined = NormaliseVia("N0CALL*, , N1CALL ");
  EXPECT_EQ(joined, "N0CALL N1CALL");
  const std::string info = BuildVia(joined);
  ASSERT_EQ(info.size(), 21u);
  EXPECT_EQ(At(info, 0), 2);
  EXPECT_EQ(info.substr(1, 10), std::string("N0CALL\0\0\0\0", 10));
  EXPECT_EQ(info.substr(11, 10), std::string("N1CALL\0\0\0\0", 10));
  EXPECT_EQ(NormaliseVia(",,* ,"), "");
  EXPECT_EQ(BuildVia(""), "");
  EXPECT_EQ(BuildVia("   "), "");
}

TEST(AgwFrameVia, NeverOverrunsItsFields) {
  // A callsign keeps room for its NUL; a path keeps AX.25's eight entries.
  std::string info = BuildVia("ABCDEFGHIJKLMNOP");
  ASSERT_EQ(info.size(), 11u);
  EXPECT_EQ(info.substr(1, 10), std::string("ABCDEFGHI\0", 10));
  info = BuildVia(NormaliseVia("D1,D2,D3,D4,D5,D6,D7,D8,D9,D10"));
  ASSERT_EQ(info.size(), 81u);
  EXPECT_EQ(At(info, 0), 8);
  EXPECT_EQ(info.substr(71, 10), std::string("D8\0\0\0\0\0\0\0\0", 10));
}

TEST(AgwFrameIp, DottedAddressRules) {
  EXPECT_TRUE(IsIP("0.0.0.0"));
  EXPECT_TRUE(IsIP("255.255.255.255"));
  EXPECT_TRUE(IsIP("10.1.2.3.ignored"));  // text after a fourth dot
  EXPECT_FALSE(IsIP("1.2.3.256"));
  EXPECT_FALSE(IsIP("1.2.3.99999999999999999999"));
  EXPECT_FALSE(IsIP(""));

  const IpSegments r = CheckIP("host.example");
  EXPECT_EQ(r.Verdict, IpVerdict::EmptySegment);
  EXPECT_EQ(r.Segment, (std::array<std::string, 4>{"host", "example", "", ""}));
  EXPECT_EQ(CheckIP("1.2. 3.4").Verdict, IpVerdict::NonNumeric);
  EXPECT_EQ(CheckIP("1.2.3.256").Verdict, IpVerdict::OutOfRange);
}

// ---------------------------------------------------------------------------

struct Got {
  FrameHeader header;
  std::string data;
};

std::string Frame(char kind, uint8_t pid, const std::string& data, uint8_t port = 1) {
  return BuildHeader(port, pid, kind, "SRC", "DST", data.size()) + data;
}

// A stream of the shapes that occur: header-only frames, small data, a
// long raw frame and a 255-byte data frame, with all byte values in data.
std::string MixedStream(std::vector<std::string>* datas) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  const std::vector<std::pair<char, std::string>> frames = {
      {'R', ""}, {'D', "hello\r"}, {'K', all + all.substr(0, 44)}, {'X', std::string(1, '\1')},
      {'D', all.substr(0, 255)}, {'y', ""}, {'D', std::string(1, '\0')}};
  std::string stream;
  for (const auto& [kind, data] : frames) {
    stream += Frame(kind, kind == 'D' ? 0xF0 : 0, data);
    if (datas) datas->push_back(data);
  }
  return stream;
}

class AgwFrameReassembly : public ::testing::Test {
 protected:
  Reassembler r;
  std::vector<Got> got;
  Reassembler::Handler collect = [this](const FrameHeader& h, std::string_view d) {
    got.push_back({h, std::string(d)});
  };

  std::vector<std::string> Datas() const {
    std::vector<std::string> out;
    for (const auto& g : got) out.push_back(g.data);
    return out;
  }
};

TEST_F(AgwFrameReassembly, EverySplitPointGivesTheSameFrames) {
  std::vector<std::string> want;
  const std::string stream = MixedStream(&want);
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    got.clear();
    r.Store(std::string_view(stream).substr(0, cut), collect);
    r.Store(std::string_view(stream).substr(cut), collect);
    ASSERT_EQ(Datas(), want) << "cut at " << cut;
    EXPECT_FALSE(r.Waiting());
    EXPECT_EQ(r.Buffered(), 0u);
  }
  EXPECT_EQ(got[2].header.DataKind, 'K');
  EXPECT_EQ(got[2].header.DataLen, 300u);
}

TEST_F(AgwFrameReassembly, HeaderInTwoReads) {
  const std::string f = Frame('D', 0xF0, "abc");
  r.Store(f.substr(0, 20), collect);
  EXPECT_TRUE(got.empty());
  EXPECT_FALSE(r.Waiting());
  EXPECT_EQ(r.Buffered(), 20u);
  r.Store(f.substr(20, 16), collect);
  EXPECT_TRUE(got.empty());
  EXPECT_TRUE(r.Waiting());
  r.Store(f.substr(36), collect);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, "abc");

  got.clear();
  const std::string empty = Frame('G', 0, "");
  r.Store(empty.substr(0, 20), collect);
  r.Store(empty.substr(20), collect);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].header.DataKind, 'G');
  EXPECT_EQ(got[0].data, "");
}

TEST_F(AgwFrameReassembly, AnnouncedInfoArrivesLater) {
  const std::string f = Frame('K', 0, std::string(300, 'k'));
  const std::string next = Frame('D', 0xF0, "next");
  r.Store(f.substr(0, kHeaderSize + 100), collect);
  EXPECT_TRUE(got.empty());
  EXPECT_TRUE(r.Waiting());
  EXPECT_EQ(r.Buffered(), 100u);
  r.Store(f.substr(kHeaderSize + 100) + next.substr(0, 10), collect);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, std::string(300, 'k'));
  EXPECT_FALSE(r.Waiting());
  EXPECT_EQ(r.Buffered(), 10u);
  r.Store(next.substr(10), collect);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].data, "next");
}

TEST_F(AgwFrameReassembly, ResetDropsPartialFrame) {
  r.Store(Frame('D', 0xF0, "lost data").substr(0, 40), collect);
  EXPECT_TRUE(r.Waiting());
  r.Reset();
  EXPECT_FALSE(r.Waiting());
  EXPECT_EQ(r.Buffered(), 0u);
  r.Store(Frame('D', 0xF0, "fresh"), collect);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, "fresh");
}

TEST_F(AgwFrameReassembly, CallbackMayResetOrStoreAgain) {
  const std::string stream = Frame('D', 0xF0, "one") + Frame('d', 0, "") + Frame('D', 0xF0, "old");
  Reassembler::Handler handler = [&](const FrameHeader& h, std::string_view d) {
    got.push_back({h, std::string(d)});
    if (h.DataKind == 'd') {
      // The link went down inside a handler and a new stream begins.
      r.Reset();
      EXPECT_FALSE(r.Waiting());
      r.Store(Frame('D', 0xF0, "new"), handler);
      EXPECT_EQ(got.size(), 2u);  // queued, not delivered inside the callback
    }
  };
  r.Store(stream, handler);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].data, "one");
  EXPECT_EQ(got[2].data, "new");
  EXPECT_EQ(r.Buffered(), 0u);
}

TEST_F(AgwFrameReassembly, ThrowingCallbackKeepsTheRestForTheNextRead) {
  const std::string stream = Frame('D', 0xF0, "a") + Frame('D', 0xF0, "b") + Frame('D', 0xF0, "c");
  bool thrown = false;
  Reassembler::Handler handler = [&](const FrameHeader& h, std::string_view d) {
    got.push_back({h, std::string(d)});
    if (d == "a" && !thrown) {
      thrown = true;
      throw std::runtime_error("handler failed");
    }
  };
  EXPECT_THROW(r.Store(stream, handler), std::runtime_error);
  ASSERT_EQ(got.size(), 1u);
  r.Store("", handler);
  EXPECT_EQ(Datas(), (std::vector<std::string>{"a", "b", "c"}));
}

}  // namespace
}  // namespace harvox
