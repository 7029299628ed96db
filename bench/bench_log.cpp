// The price of tracing: one Write at a level that passes (open, append,
// close) against one that is filtered out, in the same run.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "shell/log.h"

namespace {

std::string TempLogPath() {
  char dir[] = "/tmp/harvox-bench-XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  return std::string(dir) + "/HARVOX.LOG";
}

void BM_LogWriteFiltered(benchmark::State& state) {
  harvox::TLog log;
  log.FileName = TempLogPath();
  log.TraceLevel = 1;
  log.SetActive(true);
  for (auto _ : state) log.Write(5, "{L2} <Write> Port(1) DK[D] Pid(F0) From(N0CALL) To(NODE)");
  std::remove(log.FileName.c_str());
}
BENCHMARK(BM_LogWriteFiltered);

void BM_LogWriteActive(benchmark::State& state) {
  harvox::TLog log;
  log.FileName = TempLogPath();
  log.TraceLevel = 5;
  log.SetActive(true);
  for (auto _ : state) log.Write(5, "{L2} <Write> Port(1) DK[D] Pid(F0) From(N0CALL) To(NODE)");
  std::remove(log.FileName.c_str());
}
BENCHMARK(BM_LogWriteActive);

void BM_LogDumpActive(benchmark::State& state) {
  harvox::TLog log;
  log.FileName = TempLogPath();
  log.TraceLevel = 5;
  log.SetActive(true);
  const std::string frame(255, 'x');
  for (auto _ : state) log.Dump(5, frame);
  std::remove(log.FileName.c_str());
}
BENCHMARK(BM_LogDumpActive);

}  // namespace

BENCHMARK_MAIN();
