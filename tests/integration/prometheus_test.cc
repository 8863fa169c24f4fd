// A real Prometheus server scraping the real orv_target every second: after
// a backup through orv_client, Prometheus's query API shows the target up,
// the backup finished and the bytes received equal to the bytes sent.
// Prometheus listens on 127.0.0.1 with its data in a temporary directory
// and is stopped by its pid with bounded waits.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <string>

#include "support/metrics_support.h"

namespace {

namespace fs = std::filesystem;
using orv_support::ChildProcess;
using orv_support::MetricsTarget;
using orv_support::TargetFiles;

constexpr const char* kPrometheus = "/usr/bin/prometheus";
constexpr const char* kKey = "prometheus-test-key-012345";

// Percent-encoding for a query parameter.
std::string url_encode(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (isalnum(c) != 0 || c == '_' || c == '-' || c == '.') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// The value of the single sample of an instant query's JSON answer
// ("value":[<time>,"<value>"]); NaN when there is none.
double instant_value(const std::string& json) {
  size_t at = json.find("\"value\":[");
  if (at == std::string::npos) return std::nan("");
  at = json.find(",\"", at);
  if (at == std::string::npos) return std::nan("");
  return strtod(json.c_str() + at + 2, nullptr);
}

class Prometheus {
 public:
  ~Prometheus() { stop(); }

  // Starts Prometheus scraping 127.0.0.1:target_port; true once it is ready.
  bool start(const TargetFiles& files, uint16_t target_port) {
    std::string config = files.dir.sub("prometheus.yml");
    if (!orv_support::write_text(config, "global:\n"
                                         "  scrape_interval: 1s\n"
                                         "  scrape_timeout: 1s\n"
                                         "  evaluation_interval: 1s\n"
                                         "scrape_configs:\n"
                                         "  - job_name: orv_target\n"
                                         "    static_configs:\n"
                                         "      - targets: ['127.0.0.1:" +
                                             std::to_string(target_port) + "']\n")) {
      return false;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
      port_ = orv_support::pick_port();
      std::string data = files.dir.sub("tsdb-" + std::to_string(attempt));
      std::string log = files.dir.sub("prometheus-" + std::to_string(attempt) + ".log");
      if (!process.start(kPrometheus,
                         {"--config.file=" + config, "--storage.tsdb.path=" + data,
                          "--web.listen-address=127.0.0.1:" + std::to_string(port_), "--log.level=warn"},
                         log)) {
        return false;
      }
      auto deadline = orv_support::Clock::now() + std::chrono::seconds(60);
      while (process.running() && orv_support::Clock::now() < deadline) {
        if (orv_support::http_get(port_, "/-/ready", 2000).status == 200) return true;
        orv_support::sleep_ms(200);
      }
      bool clash = process.log().find("address already in use") != std::string::npos;
      process.kill_and_reap();
      if (!clash) return false;
    }
    return false;
  }

  // SIGTERM, then SIGKILL if it has not ended within 20 s.
  void stop() {
    if (!process.running()) return;
    process.signal(SIGTERM);
    if (!process.wait_exit(20000)) process.kill_and_reap();
  }

  // Value of an instant query, NaN when it has no sample.
  double query(const std::string& promql) {
    return instant_value(orv_support::http_get(port_, "/api/v1/query?query=" + url_encode(promql), 10000).body);
  }

  // Polls the query until it yields `want` (true) or 30 s have passed.
  bool wait_for(const std::string& promql, double want, double* last) {
    auto deadline = orv_support::Clock::now() + std::chrono::seconds(30);
    for (;;) {
      *last = query(promql);
      if (*last == want) return true;
      if (orv_support::Clock::now() >= deadline) return false;
      orv_support::sleep_ms(500);
    }
  }

  ChildProcess process;

 private:
  uint16_t port_ = 0;
};

TEST(Prometheus, ScrapesTheTargetAndSeesTheBackup) {
  if (!fs::exists(kPrometheus)) GTEST_SKIP() << kPrometheus << " is not installed (scripts/setup installs it)";
  TargetFiles files;
  ASSERT_TRUE(files.create(std::string(kKey) + " **\n"));
  std::string key_file = files.dir.sub("api.key");
  ASSERT_TRUE(orv_support::write_text(key_file, std::string(kKey) + "\n", 0600));
  MetricsTarget target(files);
  ASSERT_TRUE(target.start()) << target.process.log();
  Prometheus prometheus;
  ASSERT_TRUE(prometheus.start(files, target.metrics_port())) << prometheus.process.log();

  double last = 0;
  EXPECT_TRUE(prometheus.wait_for("up{job=\"orv_target\"}", 1, &last)) << last << "\n" << prometheus.process.log();
  EXPECT_TRUE(prometheus.wait_for("orv_backups_finished_total{type=\"full\"}", 0, &last)) << last;

  const size_t size = 3 * (1u << 20) + 777;
  std::string source = files.dir.sub("disk.img");
  std::string bytes(size, '\0');
  std::mt19937_64 rng(7);
  for (char& c : bytes) c = static_cast<char>(rng());
  ASSERT_TRUE(orv_support::write_text(source, bytes));
  std::string out;
  ASSERT_EQ(orv_support::run_client("backup", files, target.port(), key_file,
                                    {"--subdir", "demo", "--name", "disk", "--block-size", "1M", source}, &out),
            0)
      << out;

  EXPECT_TRUE(prometheus.wait_for("orv_backups_finished_total{type=\"full\"}", 1, &last)) << last;
  EXPECT_TRUE(prometheus.wait_for("orv_received_bytes_total", static_cast<double>(size), &last)) << last;
  EXPECT_TRUE(prometheus.wait_for("sum(orv_backups_failed_total)", 0, &last)) << last;
  EXPECT_TRUE(prometheus.wait_for("up{job=\"orv_target\"}", 1, &last)) << last;

  prometheus.stop();
  EXPECT_FALSE(prometheus.process.running());
  EXPECT_TRUE(target.stop());
}

}  // namespace
