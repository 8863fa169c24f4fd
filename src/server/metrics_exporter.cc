// The only file that uses prometheus-cpp and civetweb. Both report failures
// by exceptions, so this file is compiled with them enabled and turns every
// failure into a status code before it leaves; nothing thrown crosses into
// the rest of the program, which is built without exceptions.
#include "server/metrics_exporter.h"

#include <CivetServer.h>
#include <civetweb.h>
#include <pthread.h>
#include <signal.h>

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/metrics.h"
#include "core/status.h"
#include "core/text.h"
#include "protocol/messages.h"
#include "server/session.h"
#include "server/metrics_sources.h"

namespace orv {

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// Frame types an agent sends get a label of their own; everything else,
// including types only the target sends, is counted as "other".
constexpr uint16_t kRequestTypes[] = {MSG_HELLO,        MSG_BEGIN,        MSG_BLOCK,        MSG_END,
                                      MSG_PING,         MSG_FIND_PARENT,  MSG_FETCH_CHAIN,  MSG_READ_RANGE,
                                      MSG_LIST_BACKUPS, MSG_QUERY_PARTIAL, MSG_CONTINUE,    MSG_DROP_ENTRIES,
                                      MSG_DISCARD_PARTIAL};

std::string lower(const char* text) {
  std::string s(text);
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

MetricFamily family(const char* name, const char* help, MetricType type) {
  MetricFamily f;
  f.name = name;
  f.help = help;
  f.type = type;
  return f;
}

void add_value(MetricFamily* f, double value, const char* label = nullptr, const std::string& label_value = {}) {
  ClientMetric m;
  if (label != nullptr) m.label.push_back(ClientMetric::Label{label, label_value});
  if (f->type == MetricType::Counter) {
    m.counter.value = value;
  } else {
    m.gauge.value = value;
  }
  f->metric.push_back(std::move(m));
}

MetricFamily counter(const char* name, const char* help, double value) {
  MetricFamily f = family(name, help, MetricType::Counter);
  add_value(&f, value);
  return f;
}

MetricFamily gauge(const char* name, const char* help, double value) {
  MetricFamily f = family(name, help, MetricType::Gauge);
  add_value(&f, value);
  return f;
}

template <size_t N>
MetricFamily labelled_counter(const char* name, const char* help, const char* label,
                              const std::atomic<uint64_t> (&values)[N], const char* (*label_of)(size_t)) {
  MetricFamily f = family(name, help, MetricType::Counter);
  for (size_t i = 0; i < N; ++i) add_value(&f, static_cast<double>(metrics_read(values[i])), label, label_of(i));
  return f;
}

MetricFamily histogram(const char* name, const char* help, const DurationHistogram& h) {
  MetricFamily f = family(name, help, MetricType::Histogram);
  ClientMetric m;
  uint64_t cumulative = 0;
  for (size_t i = 0; i <= METRICS_DURATION_BUCKETS; ++i) {
    cumulative += metrics_read(h.buckets[i]);
    ClientMetric::Bucket b;
    b.cumulative_count = cumulative;
    b.upper_bound = i < METRICS_DURATION_BUCKETS ? METRICS_DURATION_BOUNDS[i]
                                                 : std::numeric_limits<double>::infinity();
    m.histogram.bucket.push_back(b);
  }
  m.histogram.sample_count = cumulative;
  m.histogram.sample_sum = static_cast<double>(metrics_read(h.sum_ns)) / 1e9;
  f.metric.push_back(std::move(m));
  return f;
}

const char* state_label(size_t i) { return session_state_name(static_cast<SessionState>(i)); }

// Per-sub-directory figures, walked at most once per METRICS_SUBDIR_CACHE_SEC.
class SubdirCache {
 public:
  // Copies the current figures into out under the lock (the walk runs
  // under it too, so concurrent scrapes never walk twice).
  void read(const char* root, std::vector<SubdirUsage>* out) {
    std::lock_guard<std::mutex> guard(mutex_);  // guards usage_, count_, taken_
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (!valid_ || now.tv_sec - taken_ >= static_cast<time_t>(METRICS_SUBDIR_CACHE_SEC)) {
      usage_.resize(SUBDIR_REPORT_MAX);
      count_ = subdir_usage_scan(root, usage_.data(), usage_.size());
      taken_ = now.tv_sec;
      valid_ = true;
    }
    out->assign(usage_.begin(), usage_.begin() + static_cast<std::ptrdiff_t>(count_));
  }

 private:
  std::mutex mutex_;
  std::vector<SubdirUsage> usage_;
  size_t count_ = 0;
  time_t taken_ = 0;
  bool valid_ = false;
};

class ServiceCollector : public prometheus::Collectable {
 public:
  explicit ServiceCollector(const MetricsSettings& settings)
      : storage_root_(settings.storage_root != nullptr ? settings.storage_root : ""),
        per_subdir_(settings.per_subdir) {}

  std::vector<MetricFamily> Collect() const override {
    std::vector<MetricFamily> out;
    try {
      collect_service(&out);
      collect_storage(&out);
      collect_process(&out);
    } catch (const std::exception&) {
      // Out of memory while building the answer: send what is there.
    }
    return out;
  }

 private:
  void collect_service(std::vector<MetricFamily>* out) const {
    const ServiceMetrics& m = service_metrics();
    auto d = [](const auto& a) { return static_cast<double>(metrics_read(a)); };
    out->push_back(gauge("orv_connections", "Connections open now.", d(m.connections_open)));
    out->push_back(counter("orv_connections_accepted_total", "Connections accepted.", d(m.connections_accepted)));
    out->push_back(labelled_counter("orv_connections_refused_total",
                                    "Connections closed before their session ran, by reason.", "reason",
                                    m.connections_refused, refusal_reason_name));
    out->push_back(counter("orv_handshake_failures_total", "TLS handshakes that failed.", d(m.handshake_failures)));
    out->push_back(labelled_counter("orv_sessions_total", "Sessions ended, by their final state.", "final_state",
                                    m.sessions, state_label));

    MetricFamily frames = family("orv_frames_received_total", "Frames received, by message type.",
                                 MetricType::Counter);
    double other = 0;
    for (size_t t = 0; t < METRICS_FRAME_TYPE_COUNT; ++t) other += d(m.frames_received[t]);
    for (uint16_t t : kRequestTypes) {
      double v = d(m.frames_received[t]);
      other -= v;
      add_value(&frames, v, "type", lower(msg_type_name(t)));
    }
    add_value(&frames, other < 0 ? 0 : other, "type", "other");
    out->push_back(std::move(frames));

    out->push_back(labelled_counter("orv_backups_started_total", "Backups opened (BEGIN or CONTINUE), by type.",
                                    "type", m.backups_started, metrics_backup_type_name));
    out->push_back(labelled_counter("orv_backups_finished_total", "Backups finished with END_OK, by type.", "type",
                                    m.backups_finished, metrics_backup_type_name));
    out->push_back(labelled_counter("orv_backups_failed_total",
                                    "Backups refused, interrupted or failed before END_OK, by type.", "type",
                                    m.backups_failed, metrics_backup_type_name));
    out->push_back(gauge("orv_backups_in_progress", "Backups being received now.", d(m.backups_in_progress)));
    out->push_back(counter("orv_received_bytes_total", "Block data bytes written to images.", d(m.received_bytes)));
    out->push_back(counter("orv_served_bytes_total", "Image bytes sent for range reads.", d(m.served_bytes)));
    out->push_back(counter("orv_blocks_received_total", "Blocks recorded in backups.", d(m.blocks_received)));
    out->push_back(histogram("orv_checkpoint_duration_seconds", "Time to make a backup's image and journal durable.",
                             m.checkpoint_seconds));
    out->push_back(histogram("orv_finalize_duration_seconds", "Time to finish a backup at END.",
                             m.finalize_seconds));
    out->push_back(counter("orv_partials_continued_total", "Partial backups continued.", d(m.partials_continued)));
    out->push_back(counter("orv_partials_discarded_total", "Partial backups deleted on request or replaced.",
                           d(m.partials_discarded)));
    out->push_back(counter("orv_partials_expired_total", "Partial backups deleted for their age.",
                           d(m.partials_expired)));
    out->push_back(gauge("orv_acl_entries", "Entries of the access list in use.", d(m.acl_entries)));
    out->push_back(counter("orv_acl_reloads_total", "Access list reload attempts.", d(m.acl_reloads)));
    out->push_back(counter("orv_acl_reload_failures_total", "Access list reloads that failed.",
                           d(m.acl_reload_failures)));
    out->push_back(counter("orv_tls_reloads_total", "TLS certificate/key reload attempts.", d(m.tls_reloads)));
    out->push_back(counter("orv_tls_reload_failures_total", "TLS certificate/key reloads that failed.",
                           d(m.tls_reload_failures)));
    out->push_back(gauge("orv_tls_certificate_expiry_timestamp_seconds",
                         "End of the validity of the server certificate in use (Unix time).",
                         d(m.tls_certificate_expiry)));
    MetricFamily info = family("orv_build_info", "Version of the running program.", MetricType::Gauge);
    add_value(&info, 1, "version", TARGET_VERSION_TEXT);
    out->push_back(std::move(info));
  }

  void collect_storage(std::vector<MetricFamily>* out) const {
    uint64_t free_bytes = 0;
    uint64_t size_bytes = 0;
    if (storage_space_read(storage_root_.c_str(), &free_bytes, &size_bytes) == STATUS_OK) {
      out->push_back(gauge("orv_storage_free_bytes", "Free bytes of the storage file system (unprivileged).",
                           static_cast<double>(free_bytes)));
      out->push_back(gauge("orv_storage_size_bytes", "Size of the storage file system in bytes.",
                           static_cast<double>(size_bytes)));
    }
    if (!per_subdir_) return;
    std::vector<SubdirUsage> usage;
    subdirs_.read(storage_root_.c_str(), &usage);
    MetricFamily backups = family("orv_stored_backups", "Finished backups below a top-level sub-directory.",
                                  MetricType::Gauge);
    MetricFamily bytes = family("orv_stored_bytes", "Bytes of all files below a top-level sub-directory.",
                                MetricType::Gauge);
    for (const SubdirUsage& u : usage) {
      add_value(&backups, static_cast<double>(u.backups), "subdir", u.name);
      add_value(&bytes, static_cast<double>(u.bytes), "subdir", u.name);
    }
    out->push_back(std::move(backups));
    out->push_back(std::move(bytes));
  }

  static void collect_process(std::vector<MetricFamily>* out) {
    ProcessFigures p;
    if (process_figures_read(&p) != STATUS_OK) return;
    out->push_back(counter("process_cpu_seconds_total", "Total user and system CPU time spent in seconds.",
                           p.cpu_seconds));
    out->push_back(gauge("process_start_time_seconds", "Start time of the process since unix epoch in seconds.",
                         p.start_time_seconds));
    out->push_back(gauge("process_resident_memory_bytes", "Resident memory size in bytes.", p.resident_bytes));
    out->push_back(gauge("process_virtual_memory_bytes", "Virtual memory size in bytes.", p.virtual_bytes));
    out->push_back(gauge("process_open_fds", "Number of open file descriptors.", p.open_fds));
    out->push_back(gauge("process_max_fds", "Maximum number of open file descriptors.", p.max_fds));
    out->push_back(gauge("process_threads", "Number of OS threads in the process.", p.threads));
  }

  std::string storage_root_;
  bool per_subdir_;
  mutable SubdirCache subdirs_;
};

// Messages civetweb logs while starting (why a bind failed); later ones
// are dropped, the log is not a place for scrapers' troubles.
std::atomic<bool> g_capture_start_messages{false};
char g_start_message[256];

int on_log_message(const struct mg_connection*, const char* message) {
  if (g_capture_start_messages.load() && message != nullptr) copy_text(g_start_message, sizeof g_start_message, message);
  return 1;  // handled: civetweb writes nothing itself
}

void send_plain(struct mg_connection* conn, int code, const char* reason, const char* extra_header,
                const char* body) {
  mg_printf(conn,
            "HTTP/1.1 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: %zu\r\n%s"
            "Connection: close\r\n\r\n%s",
            code, reason, strlen(body), extra_header, body);
}

// Runs before civetweb looks for a handler: only GET /metrics goes on.
int on_begin_request(struct mg_connection* conn) {
  const struct mg_request_info* ri = mg_get_request_info(conn);
  if (ri == nullptr || ri->local_uri == nullptr || strcmp(ri->local_uri, "/metrics") != 0) {
    send_plain(conn, 404, "Not Found", "", "not found: the metrics are at /metrics\n");
    return 404;
  }
  if (ri->request_method == nullptr || strcmp(ri->request_method, "GET") != 0) {
    send_plain(conn, 405, "Method Not Allowed", "Allow: GET\r\n", "method not allowed: use GET\n");
    return 405;
  }
  return 0;
}

}  // namespace

struct MetricsExporter {
  std::shared_ptr<ServiceCollector> collector;
  std::unique_ptr<prometheus::Exposer> exposer;
};

int32_t metrics_exporter_start(const MetricsSettings& settings, MetricsExporter** out) {
  *out = nullptr;
  auto* exporter = new (std::nothrow) MetricsExporter;
  if (exporter == nullptr) return STATUS_NOMEM;
  const char* listen = settings.listen != nullptr ? settings.listen : "";

  // Threads created below inherit this mask: the service's stop and reload
  // signals must reach the listener's thread, never a scrape thread.
  sigset_t block;
  sigset_t old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &block, &old_mask);

  g_start_message[0] = '\0';
  g_capture_start_messages.store(true);
  int32_t rc = STATUS_OK;
  try {
    static CivetCallbacks callbacks;  // read by civetweb for the server's lifetime
    callbacks.begin_request = on_begin_request;
    callbacks.log_message = on_log_message;
    std::vector<std::string> options = {
        "listening_ports",    listen,
        "num_threads",        std::to_string(METRICS_HTTP_THREADS),
        "connection_queue",   std::to_string(METRICS_HTTP_QUEUE),
        "request_timeout_ms", std::to_string(METRICS_HTTP_TIMEOUT_MS),
        "enable_keep_alive",  "no",
    };
    exporter->collector = std::make_shared<ServiceCollector>(settings);
    exporter->exposer = std::make_unique<prometheus::Exposer>(options, &callbacks);
    exporter->exposer->RegisterCollectable(exporter->collector);
  } catch (const std::bad_alloc&) {
    rc = STATUS_NOMEM;
  } catch (const std::exception& e) {
    log_write(LEVEL_ERROR, "cannot bind metrics endpoint %s: %s", listen,
              g_start_message[0] != '\0' ? g_start_message : e.what());
    rc = STATUS_IO;
  }
  g_capture_start_messages.store(false);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  if (rc != STATUS_OK) {
    metrics_exporter_stop(exporter);
    return rc;
  }
  log_write(LEVEL_INFO, "metrics endpoint listening on http://%s/metrics", listen);
  *out = exporter;
  return STATUS_OK;
}

void metrics_exporter_stop(MetricsExporter* exporter) {
  if (exporter == nullptr) return;
  try {
    exporter->exposer.reset();  // joins the scrape threads
    exporter->collector.reset();
  } catch (...) {
    // Destructors of the server do not throw in practice; nothing to do if
    // one does, the process is stopping.
  }
  delete exporter;
}

bool metrics_exporter_render(const MetricsSettings& settings, char** text, uint64_t* length) {
  *text = nullptr;
  *length = 0;
  try {
    ServiceCollector collector(settings);
    prometheus::TextSerializer serializer;
    std::string s = serializer.Serialize(collector.Collect());
    char* copy = static_cast<char*>(malloc(s.size() + 1));
    if (copy == nullptr) return false;
    memcpy(copy, s.c_str(), s.size() + 1);
    *text = copy;
    *length = s.size();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace orv
