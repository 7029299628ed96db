// Lookup cost of the circuit table by callsign and by socket, at 10 and at
// 10,000 circuits.  The two sizes should cost about the same per lookup.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "circuits/circuits.h"

namespace {

using harvox::CircuitTemplate;
using harvox::TLLFSM;

struct Filled {
  explicit Filled(int count) : sockets(static_cast<size_t>(count)) {
    for (int i = 0; i < count; ++i) {
      CircuitTemplate t;
      t.Ucb.UserCall = "CALL" + std::to_string(i);
      t.Ucb.Socket = reinterpret_cast<harvox::net::Connection*>(&sockets[static_cast<size_t>(i)]);
      t.Ucb.Kind = "TN";
      table.Insert(t);
      calls.push_back(t.Ucb.UserCall);
    }
  }
  std::vector<char> sockets;
  std::vector<std::string> calls;
  TLLFSM table;
};

void BM_FindByCall(benchmark::State& state) {
  Filled f(static_cast<int>(state.range(0)));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.table.FindByCall(f.calls[i]));
    i = (i + 7919) % f.calls.size();
  }
}
BENCHMARK(BM_FindByCall)->Arg(10)->Arg(10000);

void BM_FindBySocket(benchmark::State& state) {
  Filled f(static_cast<int>(state.range(0)));
  size_t i = 0;
  for (auto _ : state) {
    auto* socket = reinterpret_cast<harvox::net::Connection*>(&f.sockets[i]);
    benchmark::DoNotOptimize(f.table.FindBySocket(socket));
    i = (i + 7919) % f.sockets.size();
  }
}
BENCHMARK(BM_FindBySocket)->Arg(10)->Arg(10000);

void BM_FindCircuitLastInserted(benchmark::State& state) {
  Filled f(static_cast<int>(state.range(0)));
  const std::string last = f.calls.back();
  for (auto _ : state) benchmark::DoNotOptimize(f.table.FindCircuit(0, last, "TN"));
}
BENCHMARK(BM_FindCircuitLastInserted)->Arg(10)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
