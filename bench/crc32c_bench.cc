// CRC-32C throughput of the three paths: byte table, one SSE4.2 chain, and
// the production path (three chains merged with carry-less multiplies).
// After the benchmarks, prints the production/single ratio on 8 MiB from
// interleaved timed runs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include "integrity/crc32c.h"

namespace {

using CrcFn = uint32_t (*)(uint32_t, const void*, size_t);

constexpr size_t kSmall = 64 * 1024;
constexpr size_t kLarge = 8 * 1024 * 1024;

uint8_t* shared_buffer() {
  static uint8_t* buf = [] {
    auto* b = new (std::nothrow) uint8_t[kLarge];
    if (b == nullptr) abort();
    std::mt19937_64 rng(1);
    for (size_t i = 0; i < kLarge; ++i) b[i] = static_cast<uint8_t>(rng());
    return b;
  }();
  return buf;
}

void run(benchmark::State& state, CrcFn fn) {
  if (fn != orv::crc32c_sw && !orv::crc32c_hw_available()) {
    state.SkipWithError("no SSE4.2/PCLMUL");
    return;
  }
  const size_t len = static_cast<size_t>(state.range(0));
  const uint8_t* buf = shared_buffer();
  uint32_t c = 0;
  for (auto _ : state) {
    c = fn(c, buf, len);
    benchmark::DoNotOptimize(c);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(len));
}

void BM_Crc32cTable(benchmark::State& state) { run(state, orv::crc32c_sw); }
void BM_Crc32cSse42Single(benchmark::State& state) { run(state, orv::crc32c_hw_single); }
void BM_Crc32cProduction(benchmark::State& state) { run(state, orv::crc32c_hw); }

BENCHMARK(BM_Crc32cTable)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_Crc32cSse42Single)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_Crc32cProduction)->Arg(kSmall)->Arg(kLarge);

// GB/s of one pass over 8 MiB, best of a short burst.
double gbps(CrcFn fn) {
  const uint8_t* buf = shared_buffer();
  double best = 0;
  uint32_t c = 0;
  for (int i = 0; i < 20; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    c = fn(c, buf, kLarge);
    benchmark::DoNotOptimize(c);
    auto t1 = std::chrono::steady_clock::now();
    double s = std::chrono::duration<double>(t1 - t0).count();
    if (s > 0) best = std::max(best, static_cast<double>(kLarge) / s / 1e9);
  }
  return best;
}

void print_ratio() {
  if (!orv::crc32c_hw_available()) {
    printf("no SSE4.2/PCLMUL: ratio not measured\n");
    return;
  }
  // Interleaved rounds so both paths see the same machine conditions.
  std::vector<double> single;
  std::vector<double> prod;
  for (int round = 0; round < 7; ++round) {
    single.push_back(gbps(orv::crc32c_hw_single));
    prod.push_back(gbps(orv::crc32c_hw));
  }
  std::sort(single.begin(), single.end());
  std::sort(prod.begin(), prod.end());
  double s = single[single.size() / 2];
  double p = prod[prod.size() / 2];
  printf("8 MiB, median of 7 interleaved rounds: single %.2f GB/s, production %.2f GB/s, ratio %.2fx\n", s,
         p, p / s);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  shared_buffer();  // touch the input once before timing
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_ratio();
  return 0;
}
