// The metrics endpoint: plain HTTP "GET /metrics" in the Prometheus text
// format on one address, served by a small pool of its own threads in the
// worker process. Every other path is answered 404, every other method 405.
// At most METRICS_HTTP_THREADS scrapes are served at once; a request that
// does not arrive or cannot be sent within METRICS_HTTP_TIMEOUT_MS is
// dropped, so a slow or hostile scraper ties up one of those threads for a
// bounded time and never touches the backup connections.
//
// Values come from the service counters (core/metrics.h) and, at scrape
// time, from /proc, the storage file system and (optionally) a walk of the
// storage root's sub-directories (metrics_sources.h).
#pragma once

#include <cstdint>

namespace orv {

inline constexpr int METRICS_HTTP_THREADS = 8;
inline constexpr int METRICS_HTTP_TIMEOUT_MS = 5000;
// Accepted scrapes waiting for a thread; beyond it new ones wait in the
// kernel's listen queue.
inline constexpr int METRICS_HTTP_QUEUE = 16;
// A per-sub-directory walk is reused for this long, so frequent scrapes of
// a large tree do not walk it every time.
inline constexpr uint32_t METRICS_SUBDIR_CACHE_SEC = 30;

struct MetricsSettings {
  const char* listen = nullptr;        // "ADDR:PORT", already checked
  const char* storage_root = nullptr;  // for free space and the sub-directories
  bool per_subdir = false;             // orv_stored_backups/_bytes{subdir}
};

struct MetricsExporter;

// Binds and starts serving. On success *out owns the threads and the
// socket (release with metrics_exporter_stop). Failure to bind logs
// "cannot bind metrics endpoint ADDR:PORT: <reason>" and returns STATUS_IO;
// STATUS_NOMEM when the pieces cannot be allocated. *out is null on failure.
// The serving threads start with SIGTERM, SIGINT and SIGHUP blocked, so the
// listener's handlers always run where they are expected.
[[nodiscard]] int32_t metrics_exporter_start(const MetricsSettings& settings, MetricsExporter** out);

// Stops serving (waits for running scrapes, bounded by the time-outs) and
// frees everything. Null is allowed.
void metrics_exporter_stop(MetricsExporter* exporter);

// The exposition text as the endpoint would send it, for tests and tools.
// Returns false when it cannot be built.
bool metrics_exporter_render(const MetricsSettings& settings, char** text, uint64_t* length);

}  // namespace orv
