// LIST_BACKUPS of a directory with many backups, answered by the real
// orv_target over TLS on loopback, side by side with backup_scan of the same
// directory in this process (the directory listing and one header read per
// catalog that every list needs). Rounds alternate; medians are printed.
//
//   list_backups [--size BACKUPS] [--rounds N]
//
// Default: 10,000 backups (catalogs of 128 KiB without entries, in one
// directory, five names), 5 rounds, warm page cache.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../tests/support/server_process.h"
#include "client/client.h"
#include "core/file_io.h"
#include "core/status.h"
#include "protocol/formats.h"
#include "protocol/payloads.h"
#include "store/scan.h"
#include "store_bench_util.h"

namespace orv {
namespace {

constexpr const char* kKey = "bench-key-0123456789";
constexpr int kNames = 5;

// Writes `count` catalogs, each a header block with no entries. They are
// written directly (no fsync per file): only their contents matter here.
bool write_catalogs(const std::string& dir, size_t count) {
  auto header = std::make_unique<BackupHeader>();
  for (size_t i = 0; i < count; ++i) {
    BackupHeaderFields h;
    h.block_size = 65536;
    h.type = static_cast<uint8_t>(i % 3);
    for (size_t j = 0; j < UUID_SIZE; ++j) h.uuid.bytes[j] = static_cast<uint8_t>((i * 2654435761u) >> (j % 4 * 8));
    memcpy(h.uuid.bytes + 8, &i, sizeof i);
    h.created = 1767225600 + static_cast<int64_t>(i / 3) * 60;
    h.source_size = 1ull << 30;
    snprintf(h.name, sizeof h.name, "host-%d", static_cast<int>(i % kNames));
    encode_backup_header(h, header.get());
    char path[512];
    snprintf(path, sizeof path, "%s/%s-%zu.%s", dir.c_str(), h.name, i, i % 3 == 0 ? "infb" : i % 3 == 1 ? "indb" : "inib");
    int fd = -1;
    if (file_create(path, 0644, &fd) != STATUS_OK) return false;
    size_t done = 0;
    int32_t rc = file_pwrite_all(fd, header->bytes, BACKUP_HEADER_SIZE, 0, &done);
    if (file_close(fd) != STATUS_OK || rc != STATUS_OK || done != BACKUP_HEADER_SIZE) return false;
  }
  return true;
}

double scan_once(const std::string& dir, size_t expect) {
  double t0 = bench::now_sec();
  ScanItem* items = nullptr;
  size_t count = 0;
  int32_t rc = backup_scan(dir.c_str(), &items, &count);
  double t = bench::now_sec() - t0;
  free(items);
  return rc == STATUS_OK && count == expect ? t : -1;
}

double list_once(Client* c, const char* name, size_t expect) {
  ListBackupsRequest req;
  snprintf(req.target_subdir, sizeof req.target_subdir, "bench");
  snprintf(req.target_name, sizeof req.target_name, "%s", name);
  uint32_t count = 0;
  bool truncated = false;
  std::span<const uint8_t> list;
  double t0 = bench::now_sec();
  int32_t rc = client_list_backups(c, req, &count, &truncated, &list);
  double t = bench::now_sec() - t0;
  return rc == STATUS_OK && count == expect ? t : -1;
}

int run(int argc, char** argv) {
  size_t backups = 10000;
  int rounds = 5;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
      backups = strtoul(argv[++i], nullptr, 10);
    } else if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: %s [--size BACKUPS] [--rounds N]\n", argv[0]);
      return 2;
    }
  }
  if (backups == 0 || rounds < 1) return 2;

  orv_support::TargetFiles files;
  if (!files.create(std::string(kKey) + " bench\n")) {
    fprintf(stderr, "cannot create certificate and ACL\n");
    return 1;
  }
  setenv("ORV_TARGET_PRIV_SOCK_DIR", files.dir.sub("priv").c_str(), 1);
  std::string dir = files.dir.make_dir("storage/bench");
  printf("writing %zu catalogs ...\n", backups);
  if (!write_catalogs(dir, backups)) {
    fprintf(stderr, "cannot write the catalogs\n");
    return 1;
  }
  (void)scan_once(dir, backups);  // warm the page cache

  orv_support::TargetServer server(files);
  if (!server.start(ORV_TARGET_BIN)) {
    fprintf(stderr, "orv_target did not start:\n%s\n", server.process.log().c_str());
    return 1;
  }
  Client c;
  ClientOptions o;
  o.timeout_ms = 120000;
  HelloReply reply;
  if (client_connect(&c, "127.0.0.1", server.port(), o) != STATUS_OK || client_hello(&c, kKey, true, 0, &reply) != STATUS_OK) {
    fprintf(stderr, "cannot connect\n");
    return 1;
  }

  size_t one_name = backups / kNames + (backups % kNames > 0 ? 1 : 0);
  std::vector<double> scan, all, filtered;
  for (int r = 0; r < rounds; ++r) {
    scan.push_back(scan_once(dir, backups));
    all.push_back(list_once(&c, "", backups > BACKUP_LIST_MAX_ENTRIES ? BACKUP_LIST_MAX_ENTRIES : backups));
    filtered.push_back(list_once(&c, "host-0", one_name));
    if (scan.back() < 0 || all.back() < 0 || filtered.back() < 0) {
      fprintf(stderr, "a request failed\n%s\n", server.process.log().c_str());
      return 1;
    }
  }
  client_close(&c);
  server.process.signal(SIGTERM);
  (void)server.process.wait_exit(10000);

  printf("\n%zu backups in one directory, medians of %d interleaved rounds\n", backups, rounds);
  printf("backup_scan in this process            %8.1f ms\n", bench::median(scan) * 1e3);
  printf("LIST_BACKUPS, all backups              %8.1f ms  (%.2f x the scan)\n", bench::median(all) * 1e3,
         bench::median(all) / bench::median(scan));
  printf("LIST_BACKUPS, one name of %d           %8.1f ms  (%.2f x the scan)\n", kNames, bench::median(filtered) * 1e3,
         bench::median(filtered) / bench::median(scan));
  return 0;
}

}  // namespace
}  // namespace orv

int main(int argc, char** argv) { return orv::run(argc, argv); }
