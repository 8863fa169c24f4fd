#include "core/metrics.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace orv {
namespace {

uint64_t count(const DurationHistogram& h, size_t i) { return metrics_read(h.buckets[i]); }

TEST(DurationHistogram, BoundsAreInclusiveAndTheLastSlotTakesTheRest) {
  DurationHistogram h;
  h.observe_ns(0);            // first bucket
  h.observe_ns(500000);       // exactly 0.5 ms: still the first bucket
  h.observe_ns(500001);       // just above: the second
  h.observe_ns(10000000000);  // exactly 10 s: the last bound
  h.observe_ns(10000000001);  // above every bound
  EXPECT_EQ(count(h, 0), 2u);
  EXPECT_EQ(count(h, 1), 1u);
  EXPECT_EQ(count(h, METRICS_DURATION_BUCKETS - 1), 1u);
  EXPECT_EQ(count(h, METRICS_DURATION_BUCKETS), 1u);
  EXPECT_EQ(metrics_read(h.sum_ns), 0u + 500000u + 500001u + 10000000000u + 10000000001u);
}

TEST(ServiceMetrics, ConcurrentUpdatesAreAllCounted) {
  ServiceMetrics& m = service_metrics();
  uint64_t before = metrics_read(m.connections_refused[static_cast<size_t>(RefusalReason::limit)]);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 10000; ++i) metrics_connection_refused(RefusalReason::limit);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(metrics_read(m.connections_refused[static_cast<size_t>(RefusalReason::limit)]) - before, 40000u);
}

TEST(MetricsLabels, FixedNamesAndTypeIndex) {
  EXPECT_STREQ(refusal_reason_name(0), "limit");
  EXPECT_STREQ(refusal_reason_name(1), "authentication");
  EXPECT_EQ(metrics_backup_type_index(0), 0u);
  EXPECT_EQ(metrics_backup_type_index(2), 2u);
  EXPECT_EQ(metrics_backup_type_index(3), METRICS_BACKUP_TYPE_OTHER);
  EXPECT_EQ(metrics_backup_type_index(255), METRICS_BACKUP_TYPE_OTHER);
  EXPECT_STREQ(metrics_backup_type_name(METRICS_BACKUP_TYPE_OTHER), "other");
}

}  // namespace
}  // namespace orv
