// Service counters for the metrics endpoint: one process-wide record of
// relaxed atomics that any layer may bump without knowing how the values are
// exported. The exporter (server/metrics_exporter.h) reads them at scrape
// time.
//
// Every counter only grows; gauges go up and down. All updates and reads
// are relaxed: the values are statistics, ordered with nothing else, and a
// scrape may see one counter a moment ahead of another. No update takes a
// lock, so the receive path can count every frame.
//
// Label values of the labelled counters are fixed sets (the enums below), so
// every value exists from the start with 0, as rate() and alerts need.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace orv {

// Why a connection was closed before its session could run.
enum class RefusalReason : uint32_t {
  limit = 0,           // a connection limit was reached
  authentication = 1,  // authentication deadline passed or the key was refused
};
inline constexpr size_t REFUSAL_REASON_COUNT = 2;
// "limit", "authentication".
const char* refusal_reason_name(size_t index);

// Backup types as labels: the three wire types and everything else.
inline constexpr size_t METRICS_BACKUP_TYPE_COUNT = 4;
inline constexpr size_t METRICS_BACKUP_TYPE_OTHER = 3;
// Label index of a wire backup type byte (0 full, 1 diff, 2 inc, else other).
inline size_t metrics_backup_type_index(uint8_t type) {
  return type <= 2 ? type : METRICS_BACKUP_TYPE_OTHER;
}
// "full", "diff", "inc", "other".
const char* metrics_backup_type_name(size_t index);

// Session final states: wait_hello .. error, in the session's numbering.
inline constexpr size_t METRICS_SESSION_STATE_COUNT = 5;

// Frame types 0..30 by their number; anything above is counted as unknown.
inline constexpr size_t METRICS_FRAME_TYPE_COUNT = 32;
inline constexpr size_t METRICS_FRAME_TYPE_UNKNOWN = 31;

// Upper bounds (seconds) of the duration histograms; suited to fsync times.
inline constexpr double METRICS_DURATION_BOUNDS[] = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                     0.1,    0.25,  0.5,    1.0,   2.5,  5.0,  10.0};
inline constexpr size_t METRICS_DURATION_BUCKETS = sizeof METRICS_DURATION_BOUNDS / sizeof(double);

// A histogram of durations: per-bucket counts (not cumulative; the last
// slot is above every bound) and the sum in nanoseconds.
struct DurationHistogram {
  std::atomic<uint64_t> buckets[METRICS_DURATION_BUCKETS + 1] = {};
  std::atomic<uint64_t> sum_ns{0};

  void observe_ns(uint64_t ns);
};

struct ServiceMetrics {
  // Connections.
  std::atomic<int64_t> connections_open{0};
  std::atomic<uint64_t> connections_accepted{0};
  std::atomic<uint64_t> connections_refused[REFUSAL_REASON_COUNT] = {};
  std::atomic<uint64_t> handshake_failures{0};

  // Sessions and frames.
  std::atomic<uint64_t> sessions[METRICS_SESSION_STATE_COUNT] = {};
  std::atomic<uint64_t> frames_received[METRICS_FRAME_TYPE_COUNT] = {};

  // Backups.
  std::atomic<uint64_t> backups_started[METRICS_BACKUP_TYPE_COUNT] = {};
  std::atomic<uint64_t> backups_finished[METRICS_BACKUP_TYPE_COUNT] = {};
  std::atomic<uint64_t> backups_failed[METRICS_BACKUP_TYPE_COUNT] = {};
  std::atomic<int64_t> backups_in_progress{0};
  std::atomic<uint64_t> received_bytes{0};  // block data written to images
  std::atomic<uint64_t> blocks_received{0};
  std::atomic<uint64_t> served_bytes{0};    // image bytes sent for range reads
  DurationHistogram checkpoint_seconds;
  DurationHistogram finalize_seconds;

  // Partial backups.
  std::atomic<uint64_t> partials_continued{0};
  std::atomic<uint64_t> partials_discarded{0};
  std::atomic<uint64_t> partials_expired{0};

  // Access list and certificate.
  std::atomic<uint64_t> acl_entries{0};
  std::atomic<uint64_t> acl_reloads{0};
  std::atomic<uint64_t> acl_reload_failures{0};
  std::atomic<uint64_t> tls_reloads{0};
  std::atomic<uint64_t> tls_reload_failures{0};
  std::atomic<int64_t> tls_certificate_expiry{0};  // Unix seconds; 0 unknown
};

// The process-wide record.
ServiceMetrics& service_metrics();

// Relaxed add, the only way counters are changed.
template <typename T, typename U>
inline void metrics_add(std::atomic<T>& counter, U delta) {
  counter.fetch_add(static_cast<T>(delta), std::memory_order_relaxed);
}
template <typename T>
inline T metrics_read(const std::atomic<T>& counter) {
  return counter.load(std::memory_order_relaxed);
}

// Counts a connection closed before its session ran (connection limits,
// authentication deadline, refused key).
inline void metrics_connection_refused(RefusalReason reason) {
  metrics_add(service_metrics().connections_refused[static_cast<size_t>(reason)], 1);
}

// Monotonic clock in nanoseconds.
uint64_t metrics_now_ns();

// Observes the time from construction to destruction into a histogram.
class MetricsTimer {
 public:
  explicit MetricsTimer(DurationHistogram* histogram) : histogram_(histogram), start_ns_(metrics_now_ns()) {}
  ~MetricsTimer() { histogram_->observe_ns(metrics_now_ns() - start_ns_); }
  MetricsTimer(const MetricsTimer&) = delete;
  MetricsTimer& operator=(const MetricsTimer&) = delete;

 private:
  DurationHistogram* histogram_;
  uint64_t start_ns_;
};

}  // namespace orv
