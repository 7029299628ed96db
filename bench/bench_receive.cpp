// Receive path throughput: a stream of engine frames cut into 5001-byte
// reads (the size of one socket read) through the reassembler to a handler
// that looks at every header and touches the data, next to a plain memcpy
// of the same bytes in the same chunks as the ceiling.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "agw/frame.h"
#include "agw/l2.h"

namespace harvox {
namespace {

constexpr size_t kReadSize = 5001;
constexpr size_t kStreamBytes = 4 << 20;

struct Stream {
  std::string bytes;
  int64_t frames = 0;
};

std::string Payload(size_t n, std::mt19937& rng) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// mixed: 70 % small data frames of ~20 bytes, 20 % raw monitor frames of
// ~100 bytes, 10 % full 255-byte data frames.  Otherwise small frames only.
Stream MakeStream(bool mixed) {
  std::mt19937 rng(42);
  Stream s;
  while (s.bytes.size() < kStreamBytes) {
    const unsigned pick = mixed ? rng() % 10 : 0;
    if (pick < 7) {
      AppendFrames(s.bytes, 1, 0xF0, 'D', "N0AAA-1", "N0BBB", Payload(16 + rng() % 9, rng));
    } else if (pick < 9) {
      AppendFrames(s.bytes, 1, 0, 'K', "N0CCC", "APRS", Payload(90 + rng() % 21, rng));
    } else {
      AppendFrames(s.bytes, 2, 0xF0, 'D', "N0AAA-1", "N0BBB", Payload(255, rng));
    }
    ++s.frames;
  }
  return s;
}

void Report(benchmark::State& state, const Stream& s) {
  state.SetItemsProcessed(state.iterations() * s.frames);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(s.bytes.size()));
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(s.frames), benchmark::Counter::kIsIterationInvariantRate);
}

void Receive(benchmark::State& state, bool mixed) {
  const Stream s = MakeStream(mixed);
  Reassembler r;
  uint64_t seen = 0;
  const Reassembler::Handler handler = [&seen](const FrameHeader& h, std::string_view data) {
    seen += h.DataLen + static_cast<uint8_t>(h.DataKind) + h.Port + h.CallFrom.size();
    if (!data.empty()) seen += static_cast<uint8_t>(data.front()) + static_cast<uint8_t>(data.back());
  };
  for (auto _ : state) {
    for (size_t at = 0; at < s.bytes.size(); at += kReadSize) {
      r.Store(std::string_view(s.bytes).substr(at, kReadSize), handler);
    }
    benchmark::DoNotOptimize(seen);
  }
  if (r.Buffered() != 0) state.SkipWithError("stream not consumed");
  Report(state, s);
}

void BM_ReceiveMixed(benchmark::State& state) { Receive(state, true); }
void BM_ReceiveSmall(benchmark::State& state) { Receive(state, false); }

// The whole receive path of a link: reassembly, then Decode with its event
// dispatch, to the handlers a service binds (data and raw monitor frames).
// Tracing is off, as in normal operation.
void LinkReceive(benchmark::State& state, bool mixed) {
  const Stream s = MakeStream(mixed);
  TL2 link(nullptr);
  uint64_t seen = 0;
  link.FOnData = [&seen](TL2&, uint8_t port, const std::string& from, const std::string&, uint8_t,
                         std::string_view data) { seen += port + from.size() + data.size(); };
  link.FOnKissFrame = [&seen](TL2&, uint8_t port, std::string_view frame) { seen += port + frame.size(); };
  for (auto _ : state) {
    for (size_t at = 0; at < s.bytes.size(); at += kReadSize) {
      link.Store(std::string_view(s.bytes).substr(at, kReadSize));
    }
    benchmark::DoNotOptimize(seen);
  }
  Report(state, s);
}

void BM_LinkReceiveMixed(benchmark::State& state) { LinkReceive(state, true); }
void BM_LinkReceiveSmall(benchmark::State& state) { LinkReceive(state, false); }

void Memcpy(benchmark::State& state, bool mixed) {
  const Stream s = MakeStream(mixed);
  std::string target(kReadSize, '\0');
  for (auto _ : state) {
    for (size_t at = 0; at < s.bytes.size(); at += kReadSize) {
      const size_t n = std::min(kReadSize, s.bytes.size() - at);
      std::memcpy(target.data(), s.bytes.data() + at, n);
      benchmark::ClobberMemory();
    }
  }
  Report(state, s);
}

void BM_MemcpyMixed(benchmark::State& state) { Memcpy(state, true); }
void BM_MemcpySmall(benchmark::State& state) { Memcpy(state, false); }

BENCHMARK(BM_ReceiveMixed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyMixed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReceiveSmall)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LinkReceiveMixed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LinkReceiveSmall)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpySmall)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace harvox

BENCHMARK_MAIN();
