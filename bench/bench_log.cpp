// The price of tracing: one Write at a level that passes (open, append,
// close) against one that is filtered out, in the same run.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "util/log.h"

namespace {

std::string TempLogPath() {
  char dir[] = "/tmp/harvox-bench-XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  return std::string(dir) + "/HARVOX.LOG";
}

// A log in a fresh temporary directory at the given threshold, removed again
// when the benchmark ends.
struct BenchLog {
  harvox::TLog log;
  explicit BenchLog(uint32_t level) {
    log.FileName = TempLogPath();
    log.TraceLevel = level;
    log.SetActive(true);
  }
  ~BenchLog() { std::remove(log.FileName.c_str()); }
};

constexpr const char* kLine = "{L2} <Write> Port(1) DK[D] Pid(F0) From(N0CALL) To(NODE)";

void BM_LogWriteFiltered(benchmark::State& state) {
  BenchLog b(1);
  for (auto _ : state) b.log.Write(5, kLine);
}
BENCHMARK(BM_LogWriteFiltered);

void BM_LogWriteActive(benchmark::State& state) {
  BenchLog b(5);
  for (auto _ : state) b.log.Write(5, kLine);
}
BENCHMARK(BM_LogWriteActive);

void BM_LogDumpActive(benchmark::State& state) {
  BenchLog b(5);
  const std::string frame(255, 'x');
  for (auto _ : state) b.log.Dump(5, frame);
}
BENCHMARK(BM_LogDumpActive);

}  // namespace

BENCHMARK_MAIN();
