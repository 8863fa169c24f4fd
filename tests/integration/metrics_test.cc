// The metrics endpoint of the real orv_target: values after real backups,
// restores and refusals through orv_client, the exposition checked by
// promtool, the HTTP answers for other paths and methods, bad
// --metrics-listen values, a port in use, and hostile scrapers during a
// backup.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/metrics_support.h"

namespace {

namespace fs = std::filesystem;
using orv_support::metric_value;
using orv_support::MetricsTarget;
using orv_support::run_client;
using orv_support::TargetFiles;

constexpr const char* kKey = "metrics-test-key-0123456789";
constexpr const char* kNarrowKey = "metrics-narrow-key-98765";
constexpr size_t kMiB = 1u << 20;


class MetricsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(orv_support::client_binary()));
    ASSERT_TRUE(files.create(std::string(kKey) + " **\n" + kNarrowKey + " allowed\n"));
    key_file = write_key("api.key", kKey);
  }

  void TearDown() override {
    EXPECT_TRUE(target.stop());
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error"}) {
      EXPECT_EQ(target.process.log().find(report), std::string::npos) << target.process.log();
    }
  }

  std::string write_key(const std::string& name, const std::string& key) {
    std::string path = files.dir.sub(name);
    EXPECT_TRUE(orv_support::write_text(path, key + "\n", 0600));
    return path;
  }

  std::string write_source(const std::string& name, size_t size, uint64_t seed) {
    std::string path = files.dir.sub(name);
    EXPECT_TRUE(orv_support::write_text(path, orv_support::random_bytes(size, seed)));
    return path;
  }

  int client(const std::string& command, const std::vector<std::string>& args, const std::string& key = "",
             std::string* out = nullptr) {
    return run_client(command, files, target.port(), key.empty() ? key_file : key, args, out);
  }

  // promtool's verdict on an exposition text ("" when it passes).
  static std::string promtool_problems(const std::string& text) {
    std::string out;
    int rc = orv_support::run_tool({"promtool", "check", "metrics"}, 30000, &out, text);
    return rc == 0 ? "" : "promtool exit " + std::to_string(rc) + ": " + out;
  }

  TargetFiles files;
  MetricsTarget target{files};
  std::string key_file;
};

TEST_F(MetricsTest, BackupsAndRestoresAreCountedAndTheExpositionPassesPromtool) {
  ASSERT_TRUE(target.start({"--checkpoint-mib", "1"})) << target.process.log();
  std::string before = target.scrape();
  ASSERT_FALSE(before.empty());
  // Every fixed label value exists from the start.
  for (const char* type : {"full", "diff", "inc", "other"}) {
    EXPECT_EQ(metric_value(before, std::string("orv_backups_finished_total{type=\"") + type + "\"}"), 0) << type;
    EXPECT_EQ(metric_value(before, std::string("orv_backups_failed_total{type=\"") + type + "\"}"), 0) << type;
  }
  EXPECT_EQ(metric_value(before, "orv_connections_refused_total{reason=\"limit\"}"), 0);
  EXPECT_EQ(metric_value(before, "orv_connections_refused_total{reason=\"authentication\"}"), 0);
  EXPECT_EQ(metric_value(before, "orv_sessions_total{final_state=\"done\"}"), 0);
  EXPECT_EQ(metric_value(before, "orv_acl_entries"), 2);
  EXPECT_EQ(metric_value(before, "orv_build_info{version=\"1.0.2-alpha028\"}"), 1);
  // The test certificate is valid for thirty days.
  double expiry = metric_value(before, "orv_tls_certificate_expiry_timestamp_seconds");
  EXPECT_GT(expiry, static_cast<double>(time(nullptr)) + 86400);
  EXPECT_LT(expiry, static_cast<double>(time(nullptr)) + 31 * 86400);
  EXPECT_GT(metric_value(before, "orv_storage_size_bytes"), 0);
  EXPECT_GT(metric_value(before, "process_resident_memory_bytes"), 0);
  EXPECT_GE(metric_value(before, "process_threads"), 2);
  EXPECT_GT(metric_value(before, "process_start_time_seconds"), static_cast<double>(time(nullptr)) - 3600);

  const size_t size = 5 * kMiB + 12345;
  std::string source = write_source("disk.img", size, 1);
  std::string out;
  ASSERT_EQ(client("backup", {"--subdir", "demo", "--name", "disk", "--block-size", "1M", source}, "", &out), 0)
      << out;
  std::string restored = files.dir.sub("restored.img");
  ASSERT_EQ(client("restore", {"--subdir", "demo", "--name", "disk", restored}, "", &out), 0) << out;

  // The target ends a connection's thread just after the client left.
  std::string after = target.scrape();
  for (int i = 0; i < 100 && metric_value(after, "orv_connections") != 0; ++i) {
    orv_support::sleep_ms(100);
    after = target.scrape();
  }
  EXPECT_EQ(promtool_problems(after), "");
  EXPECT_EQ(metric_value(after, "orv_backups_started_total{type=\"full\"}"), 1);
  EXPECT_EQ(metric_value(after, "orv_backups_finished_total{type=\"full\"}"), 1);
  EXPECT_EQ(metric_value(after, "orv_backups_failed_total{type=\"full\"}"), 0);
  EXPECT_EQ(metric_value(after, "orv_backups_in_progress"), 0);
  EXPECT_EQ(metric_value(after, "orv_received_bytes_total"), static_cast<double>(size));
  EXPECT_EQ(metric_value(after, "orv_blocks_received_total"), 6);
  EXPECT_EQ(metric_value(after, "orv_frames_received_total{type=\"block\"}"), 6);
  EXPECT_EQ(metric_value(after, "orv_frames_received_total{type=\"end\"}"), 1);
  EXPECT_EQ(metric_value(after, "orv_frames_received_total{type=\"other\"}"), 0);
  // The restore read every image byte once.
  EXPECT_EQ(metric_value(after, "orv_served_bytes_total"), static_cast<double>(size));
  EXPECT_EQ(metric_value(after, "orv_finalize_duration_seconds_count"), 1);
  EXPECT_GE(metric_value(after, "orv_checkpoint_duration_seconds_count"), 1);
  EXPECT_EQ(metric_value(after, "orv_checkpoint_duration_seconds_bucket{le=\"+Inf\"}"),
            metric_value(after, "orv_checkpoint_duration_seconds_count"));
  EXPECT_EQ(metric_value(after, "orv_sessions_total{final_state=\"done\"}"), 1);
  EXPECT_GE(metric_value(after, "orv_connections_accepted_total"), 2);
  EXPECT_EQ(metric_value(after, "orv_handshake_failures_total"), 0);
  EXPECT_EQ(metric_value(after, "orv_connections"), 0);
  // Counters with per-subdirectory labels only appear when asked for.
  EXPECT_EQ(after.find("orv_stored_backups"), std::string::npos);
}

TEST_F(MetricsTest, RefusalsCountAsFailuresAndRefusedKeys) {
  ASSERT_TRUE(target.start()) << target.process.log();
  std::string source = write_source("disk.img", kMiB, 2);
  std::string bad_key = write_key("bad.key", "not-a-known-key-at-all");
  std::string narrow_key = write_key("narrow.key", kNarrowKey);
  std::string out;
  EXPECT_NE(client("backup", {"--subdir", "demo", "--retries", "0", source}, bad_key, &out), 0) << out;
  // A permitted sub-directory that cannot be created (a file is in the
  // way): BEGIN is refused.
  ASSERT_TRUE(orv_support::write_text(files.storage + "/allowed", "in the way"));
  EXPECT_NE(client("backup", {"--subdir", "allowed", "--retries", "0", source}, narrow_key, &out), 0) << out;
  EXPECT_NE(out.find("BEGIN refused"), std::string::npos) << out;
  // A TLS handshake that never completes.
  int fd = orv_support::connect_loopback(target.port());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "garbage\r\n\r\n", 11), 11);
  EXPECT_TRUE(orv_support::read_until_closed(fd, 20000, nullptr));
  close(fd);

  // Sessions are counted when their thread ends, just after the client left.
  std::string text = target.scrape();
  for (int i = 0; i < 100 && metric_value(text, "orv_connections") != 0; ++i) {
    orv_support::sleep_ms(100);
    text = target.scrape();
  }
  EXPECT_EQ(metric_value(text, "orv_connections_refused_total{reason=\"authentication\"}"), 1);
  EXPECT_EQ(metric_value(text, "orv_backups_failed_total{type=\"full\"}"), 1);
  EXPECT_EQ(metric_value(text, "orv_backups_started_total{type=\"full\"}"), 0);
  EXPECT_EQ(metric_value(text, "orv_sessions_total{final_state=\"error\"}"), 2);
  EXPECT_EQ(metric_value(text, "orv_handshake_failures_total"), 1);
}

TEST_F(MetricsTest, PerSubdirectoryFiguresAndReloadCounters) {
  ASSERT_TRUE(target.start({"--metrics-per-subdir"})) << target.process.log();
  std::string source = write_source("disk.img", 2 * kMiB, 3);
  files.dir.make_dir("storage/beta");
  std::string out;
  for (const char* subdir : {"alpha", "beta/nested"}) {
    ASSERT_EQ(client("backup", {"--subdir", subdir, "--name", "disk", "--block-size", "1M", source}, "", &out), 0)
        << out;
  }
  ASSERT_EQ(client("backup", {"--subdir", "alpha", "--name", "second", "--block-size", "1M", source}, "", &out), 0)
      << out;
  // A broken access list: the reload fails and the old list stays.
  ASSERT_TRUE(orv_support::write_text(files.acl, "key-without-directories\n"));
  ASSERT_TRUE(target.process.signal(SIGHUP));
  ASSERT_TRUE(target.process.wait_for_log("keeping current ACL", 20000));
  ASSERT_TRUE(orv_support::write_text(files.acl, std::string(kKey) + " **\n"));
  ASSERT_TRUE(target.process.signal(SIGHUP));
  ASSERT_TRUE(target.process.wait_for_log("SIGHUP reload: loaded 1 ACL entry", 20000));

  std::string text = target.scrape();
  EXPECT_EQ(metric_value(text, "orv_stored_backups{subdir=\"alpha\"}"), 2);
  EXPECT_EQ(metric_value(text, "orv_stored_backups{subdir=\"beta\"}"), 1);
  double alpha_bytes = metric_value(text, "orv_stored_bytes{subdir=\"alpha\"}");
  EXPECT_GT(alpha_bytes, 2.0 * 2 * kMiB);  // two images plus their catalogs
  EXPECT_EQ(metric_value(text, "orv_acl_reloads_total"), 2);
  EXPECT_EQ(metric_value(text, "orv_acl_reload_failures_total"), 1);
  EXPECT_EQ(metric_value(text, "orv_acl_entries"), 1);
  EXPECT_EQ(metric_value(text, "orv_tls_reloads_total"), 2);
  EXPECT_EQ(metric_value(text, "orv_tls_reload_failures_total"), 0);
  EXPECT_EQ(promtool_problems(text), "");
}

TEST_F(MetricsTest, OnlyGetOfTheMetricsPathIsServed) {
  ASSERT_TRUE(target.start()) << target.process.log();
  uint16_t port = target.metrics_port();
  EXPECT_EQ(orv_support::http_get(port, "/metrics").status, 200);
  EXPECT_EQ(orv_support::http_get(port, "/metrics?x=1").status, 200);
  for (const char* path : {"/", "/metrics/", "/metrics/x", "/metricsx", "/favicon.ico"}) {
    EXPECT_EQ(orv_support::http_get(port, path).status, 404) << path;
  }
  for (const char* method : {"POST", "PUT", "DELETE", "HEAD", "OPTIONS"}) {
    orv_support::HttpReply r = orv_support::http_raw(
        port, std::string(method) + " /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(r.status, 405) << method;
    if (std::string(method) != "HEAD") {
      EXPECT_NE(r.head.find("Allow: GET"), std::string::npos) << r.head;
    }
  }
}

TEST_F(MetricsTest, BadListenValuesAreUsageErrors) {
  for (const char* value : {"127.0.0.1", "localhost:9991", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:99x",
                            ":9991", "", "127.0.0.1:", "127.0.0.1:+80", "[::1]:9991", "127.0.0.1:9991s"}) {
    std::string out;
    int rc = orv_support::run_tool({ORV_TARGET_BIN, "--storage", files.storage, "--tls-cert", files.cert,
                                    "--tls-key", files.key, "--acl-file", files.acl, "--no-log", "--no-syslog",
                                    "--metrics-listen", value},
                                   30000, &out);
    EXPECT_EQ(rc, 2) << value << ": " << out;
    EXPECT_NE(out.find(std::string("error: invalid --metrics-listen value '") + value + "'"), std::string::npos)
        << out;
  }
}

TEST_F(MetricsTest, PortInUseStopsTheStartWithExitOne) {
  // Hold a port, then ask the target to serve its metrics there.
  int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  uint16_t port = 0;
  for (int i = 0; i < 20 && port == 0; ++i) {
    addr.sin_port = htons(orv_support::pick_port());
    if (bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) port = ntohs(addr.sin_port);
  }
  ASSERT_NE(port, 0);
  ASSERT_EQ(listen(holder, 1), 0);
  uint16_t main_port = orv_support::pick_port();
  std::string out;
  int rc = orv_support::run_tool({ORV_TARGET_BIN, "--storage", files.storage, "--tls-cert", files.cert, "--tls-key",
                                  files.key, "--acl-file", files.acl, "--no-log", "--no-syslog", "--bind",
                                  "127.0.0.1", "--port", std::to_string(main_port), "--metrics-listen",
                                  "127.0.0.1:" + std::to_string(port)},
                                 30000, &out);
  close(holder);
  EXPECT_EQ(rc, 1) << out;
  EXPECT_NE(out.find("cannot bind metrics endpoint 127.0.0.1:" + std::to_string(port)), std::string::npos) << out;
}

TEST_F(MetricsTest, HostileScrapersNeitherBlockBackupsNorTheEndpointForLong) {
  ASSERT_TRUE(target.start()) << target.process.log();
  uint16_t port = target.metrics_port();
  // More hostile connections than scrape threads: silent ones, garbage, and
  // requests whose answers are never read.
  std::vector<int> silent;
  std::vector<int> hostile;
  for (int i = 0; i < 10; ++i) {
    int fd = orv_support::connect_loopback(port);
    ASSERT_GE(fd, 0);
    silent.push_back(fd);
  }
  for (int i = 0; i < 4; ++i) {
    int fd = orv_support::connect_loopback(port);
    ASSERT_GE(fd, 0);
    std::string garbage = orv_support::random_bytes(4096, 100 + static_cast<uint64_t>(i));
    (void)write(fd, garbage.data(), garbage.size());  // the server may close early
    hostile.push_back(fd);
  }
  for (int i = 0; i < 4; ++i) {
    int fd = orv_support::connect_loopback(port);
    ASSERT_GE(fd, 0);
    int small = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const char request[] = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    (void)write(fd, request, sizeof request - 1);
    hostile.push_back(fd);
  }

  // A backup meanwhile is not affected.
  std::string source = write_source("disk.img", 8 * kMiB, 4);
  std::string out;
  auto started = orv_support::Clock::now();
  ASSERT_EQ(client("backup", {"--subdir", "demo", "--name", "disk", "--block-size", "1M", source}, "", &out), 0)
      << out;

  // The silent connections are closed by the server's request time-out.
  for (int fd : silent) {
    EXPECT_TRUE(orv_support::read_until_closed(fd, 20000, nullptr));
    close(fd);
  }
  auto waited = std::chrono::duration_cast<std::chrono::seconds>(orv_support::Clock::now() - started).count();
  EXPECT_LT(waited, 30);
  for (int fd : hostile) close(fd);

  // And the endpoint answers again, with the backup counted.
  std::string text = target.scrape();
  EXPECT_EQ(metric_value(text, "orv_backups_finished_total{type=\"full\"}"), 1);
  EXPECT_EQ(metric_value(text, "orv_received_bytes_total"), 8.0 * kMiB);
  EXPECT_TRUE(target.process.running());
}

}  // namespace
