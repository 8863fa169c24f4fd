// Results of an orv_admin run as a file in the Prometheus text exposition
// format, for node_exporter's textfile collector: written under a temporary
// name in the same directory, flushed, and renamed into place, so the
// collector never reads half a file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

struct MetricSample {
  const char* name;   // e.g. "orv_admin_verify_problems"
  const char* help;   // one line
  const char* type;   // "gauge" or "counter"
  double value;
};

// Writes every sample, each with a label command="<command>", plus
// orv_admin_last_run_timestamp_seconds and orv_admin_last_run_success.
// STATUS_OK or the failing step's status (error holds the text).
[[nodiscard]] int32_t metrics_file_write(const char* path, const char* command, const MetricSample* samples,
                                         size_t count, int64_t now, bool success, char* error, size_t error_size);

}  // namespace orv
