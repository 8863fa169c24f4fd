#include "core/metrics.h"

#include <ctime>

namespace orv {

const char* refusal_reason_name(size_t index) {
  static constexpr const char* kNames[REFUSAL_REASON_COUNT] = {"limit", "authentication"};
  return index < REFUSAL_REASON_COUNT ? kNames[index] : "?";
}

const char* metrics_backup_type_name(size_t index) {
  static constexpr const char* kNames[METRICS_BACKUP_TYPE_COUNT] = {"full", "diff", "inc", "other"};
  return index < METRICS_BACKUP_TYPE_COUNT ? kNames[index] : "other";
}

ServiceMetrics& service_metrics() {
  // Created on first use and deliberately never freed: counters may be
  // bumped by threads that outlive main's return.
  static ServiceMetrics* metrics = new ServiceMetrics;
  return *metrics;
}

uint64_t metrics_now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

void DurationHistogram::observe_ns(uint64_t ns) {
  double seconds = static_cast<double>(ns) / 1e9;
  size_t i = 0;
  while (i < METRICS_DURATION_BUCKETS && seconds > METRICS_DURATION_BOUNDS[i]) ++i;
  buckets[i].fetch_add(1, std::memory_order_relaxed);
  sum_ns.fetch_add(ns, std::memory_order_relaxed);
}

}  // namespace orv
