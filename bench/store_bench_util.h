// Shared pieces of the store benchmarks: a scratch directory on the real
// disk, a monotonic timer, and interleaved runs reported as medians.
#pragma once

#include <ftw.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace orv::bench {

inline double now_sec() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A scratch directory under $ORV_BENCH_DIR (or $TMPDIR, or /tmp), removed
// at the end.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = getenv("ORV_BENCH_DIR");
    if (base == nullptr || base[0] == '\0') base = getenv("TMPDIR");
    if (base == nullptr || base[0] == '\0') base = "/tmp";
    std::string tmpl = std::string(base) + "/orv_store_bench_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
      perror("mkdtemp");
      exit(1);
    }
    path_ = buf.data();
  }
  ~ScratchDir() {
    nftw(path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 64,
         FTW_DEPTH | FTW_PHYS);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Runs baseline and subject alternately `rounds` times; returns the medians.
struct Pair {
  double baseline;
  double subject;
};
inline Pair interleave(int rounds, const std::function<double()>& baseline, const std::function<double()>& subject) {
  std::vector<double> b, s;
  for (int i = 0; i < rounds; ++i) {
    b.push_back(baseline());
    s.push_back(subject());
  }
  return {median(b), median(s)};
}

inline void report(const char* what, const Pair& p, double limit) {
  double ratio = p.subject / p.baseline;
  printf("%-40s baseline %9.1f ms   subject %9.1f ms   ratio %.2f (target <= %.1f: %s)\n", what, p.baseline * 1e3,
         p.subject * 1e3, ratio, limit, ratio <= limit ? "met" : "NOT met");
}

}  // namespace orv::bench
