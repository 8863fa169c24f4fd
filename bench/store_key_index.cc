// KeyIndex put and find with 10,000,000 keys, in millions of operations per
// second; std::unordered_map on the same keys as a reference.
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <unordered_map>
#include <vector>

#include "core/status.h"
#include "store/key_index.h"
#include "store_bench_util.h"

using namespace orv;

namespace {

constexpr uint64_t kKeys = 10000000;

struct Rates {
  double put;
  double find_hit;
  double find_miss;
};

Rates run_index(const std::vector<uint64_t>& keys, uint64_t expected) {
  KeyIndex idx;
  if (key_index_init(&idx, expected) != STATUS_OK) exit(1);
  double t0 = bench::now_sec();
  for (uint64_t i = 0; i < keys.size(); ++i) {
    if (key_index_put(&idx, keys[i], i) != STATUS_OK) exit(1);
  }
  double t1 = bench::now_sec();
  uint64_t sum = 0, pos = 0;
  for (uint64_t k : keys) sum += key_index_find(idx, k, &pos) ? pos : 0;
  double t2 = bench::now_sec();
  uint64_t misses = 0;
  for (uint64_t k : keys) misses += key_index_find(idx, k + (uint64_t{1} << 40), &pos) ? 0 : 1;
  double t3 = bench::now_sec();
  if (sum == 0 || misses != keys.size()) exit(1);
  key_index_free(&idx);
  double n = static_cast<double>(keys.size()) / 1e6;
  return {n / (t1 - t0), n / (t2 - t1), n / (t3 - t2)};
}

Rates run_map(const std::vector<uint64_t>& keys) {
  std::unordered_map<uint64_t, uint64_t> m;
  double t0 = bench::now_sec();
  for (uint64_t i = 0; i < keys.size(); ++i) m[keys[i]] = i;
  double t1 = bench::now_sec();
  uint64_t sum = 0;
  for (uint64_t k : keys) {
    auto it = m.find(k);
    sum += it != m.end() ? it->second : 0;
  }
  double t2 = bench::now_sec();
  uint64_t misses = 0;
  for (uint64_t k : keys) misses += m.find(k + (uint64_t{1} << 40)) == m.end() ? 1 : 0;
  double t3 = bench::now_sec();
  if (sum == 0 || misses != keys.size()) exit(1);
  double n = static_cast<double>(keys.size()) / 1e6;
  return {n / (t1 - t0), n / (t2 - t1), n / (t3 - t2)};
}

void print(const char* what, const std::vector<Rates>& runs) {
  std::vector<double> p, h, m;
  for (const Rates& r : runs) {
    p.push_back(r.put);
    h.push_back(r.find_hit);
    m.push_back(r.find_miss);
  }
  printf("%-44s put %6.1f   find hit %6.1f   find miss %6.1f  Mops/s\n", what, bench::median(p), bench::median(h),
         bench::median(m));
}

}  // namespace

int main() {
  std::vector<uint64_t> seq(kKeys);
  std::iota(seq.begin(), seq.end(), 0);
  std::vector<uint64_t> rnd(kKeys);
  std::mt19937_64 rng(3);
  for (uint64_t& k : rnd) k = rng() >> 1;  // never the all-ones key
  printf("KeyIndex, %llu keys, medians of 5 runs\n", static_cast<unsigned long long>(kKeys));
  std::vector<Rates> a, b, c, d, e;
  for (int i = 0; i < 5; ++i) {
    a.push_back(run_index(seq, 0));
    b.push_back(run_index(seq, kKeys));
    c.push_back(run_index(rnd, 0));
  }
  for (int i = 0; i < 3; ++i) {
    d.push_back(run_map(seq));
    e.push_back(run_map(rnd));
  }
  print("KeyIndex, block keys 0..n-1, growing", a);
  print("KeyIndex, block keys 0..n-1, sized up front", b);
  print("KeyIndex, random keys, growing", c);
  print("std::unordered_map, block keys 0..n-1", d);
  print("std::unordered_map, random keys", e);
  return 0;
}
