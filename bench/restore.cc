// Restore throughput over TLS on loopback: one image read through
// FETCH_CHAIN and consecutive READ_RANGE requests of the largest size from
// the real orv_target, side by side with a raw TLS pipe (socat sending the
// same file from an OPENSSL listener, another socat receiving it into
// /dev/null). Rounds alternate between the two; medians are printed.
//
//   restore [--size BYTES[K|M|G]] [--rounds N] [--cold] [--baseline BINARY]
//
// --baseline: another orv_target binary (an older build) serves the same
// storage beside this build's; its restores join every round, so the two
// builds are compared under the same load.
//
// Default: a 2 GiB image, 5 rounds. The image is read once before timing
// (warm page cache); with --cold it is instead dropped from the page cache
// before every transfer, so both sides read it from the disk. Runs as root too: the worker then reads the storage as
// its service user, and the privileged socket goes to a scratch directory.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
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
#include "protocol/messages.h"
#include "protocol/payloads.h"
#include "store/catalog.h"
#include "store_bench_util.h"

namespace orv {
namespace {

constexpr const char* kKey = "bench-key-0123456789";
constexpr uint32_t kBlockSize = 1024 * 1024;

uint64_t parse_size(const char* text) {
  char* end = nullptr;
  double v = strtod(text, &end);
  uint64_t unit = 1;
  if (end != nullptr && (*end == 'K' || *end == 'k')) unit = 1024;
  if (end != nullptr && (*end == 'M' || *end == 'm')) unit = 1024 * 1024;
  if (end != nullptr && (*end == 'G' || *end == 'g')) unit = 1024ull * 1024 * 1024;
  return static_cast<uint64_t>(v * static_cast<double>(unit));
}

// A full backup of `size` bytes of pseudo-random data in 1 MiB blocks.
bool write_fixture(const std::string& dir, uint64_t size, Uuid uuid, std::string* image_path) {
  std::string base = dir + "/bench-202601010000";
  *image_path = base + ".csfb";
  int fd = -1;
  if (file_create(image_path->c_str(), 0644, &fd) != STATUS_OK) return false;
  std::vector<uint8_t> block(kBlockSize);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  uint64_t blocks = (size + kBlockSize - 1) / kBlockSize;
  std::vector<CatalogEntry> entries(blocks);
  for (uint64_t b = 0; b < blocks; ++b) {
    for (size_t i = 0; i < block.size(); i += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      memcpy(&block[i], &x, 8);
    }
    uint64_t len = std::min<uint64_t>(kBlockSize, size - b * kBlockSize);
    size_t done = 0;
    if (file_pwrite_all(fd, block.data(), len, b * kBlockSize, &done) != STATUS_OK || done != len) return false;
    CatalogEntryFields f;
    f.key = b;
    f.offset = b * kBlockSize;
    f.length = static_cast<uint32_t>(len);
    encode_catalog_entry(f, &entries[b]);
  }
  if (file_sync(fd) != STATUS_OK || file_close(fd) != STATUS_OK) return false;
  BackupHeaderFields h;
  h.block_size = kBlockSize;
  h.type = BACKUP_FULL;
  h.uuid = uuid;
  h.chain_uuid = uuid;
  h.created = 1767225600;
  h.source_size = size;
  h.image_size = size;
  snprintf(h.name, sizeof h.name, "bench");
  auto header = std::make_unique<BackupHeader>();
  encode_backup_header(h, header.get());
  return catalog_write((base + ".infb").c_str(), 0644, *header, entries.data(), entries.size()) == STATUS_OK;
}

void read_once(const std::string& path) {
  int fd = -1;
  if (file_open_read(path.c_str(), &fd) != STATUS_OK) return;
  std::vector<uint8_t> buf(8 << 20);
  uint64_t off = 0;
  size_t got = 0;
  while (file_pread(fd, buf.data(), buf.size(), off, &got) == STATUS_OK && got > 0) off += got;
  (void)file_close(fd);  // read-only
}

// Drops the file's pages from the page cache.
void evict(const std::string& path) {
  int fd = -1;
  if (file_open_read(path.c_str(), &fd) != STATUS_OK) return;
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);  // best effort
  (void)file_close(fd);                                 // read-only
}

int32_t count_chain(void* context, uint16_t type, std::span<const uint8_t> payload) {
  if (type == MSG_CHAIN_ENTRIES) *static_cast<uint64_t*>(context) += payload.size() / CATALOG_ENTRY_SIZE;
  return STATUS_OK;
}

// Seconds to restore the whole image, with `depth` READ_RANGE requests in
// flight (1: each request waits for the previous answer). Negative on failure.
double restore_once(uint16_t port, uint64_t size, Uuid uuid, int depth) {
  double t0 = bench::now_sec();
  Client c;
  ClientOptions o;
  o.timeout_ms = 60000;
  if (client_connect(&c, "127.0.0.1", port, o) != STATUS_OK) return -1;
  HelloReply reply;
  SubdirUuidRequest req;
  snprintf(req.target_subdir, sizeof req.target_subdir, "bench");
  req.uuid = uuid;
  uint64_t entries = 0;
  bool ok = client_hello(&c, kKey, true, 0, &reply) == STATUS_OK &&
            client_fetch_chain(&c, req, count_chain, &entries) == STATUS_OK;
  uint64_t next = 0;      // offset of the next request to send
  uint64_t received = 0;  // bytes of data received
  int in_flight = 0;
  auto send_next = [&]() {
    RangeRequest r{0, static_cast<uint32_t>(std::min<uint64_t>(READ_RANGE_MAX_LENGTH, size - next)), next};
    uint8_t out[READ_RANGE_SIZE];
    size_t n = encode_read_range(r, out);
    next += r.length;
    ++in_flight;
    return client_send(&c, MSG_READ_RANGE, std::span<const uint8_t>(out, n)) == STATUS_OK;
  };
  while (ok && (received < size)) {
    while (ok && in_flight < depth && next < size) ok = send_next();
    std::span<const uint8_t> payload, data;
    RangeRequest echo;
    ok = ok && client_expect(&c, MSG_RANGE_DATA, &payload) == STATUS_OK &&
         decode_range_data(payload, &echo, &data) == STATUS_OK && echo.offset == received;
    received += data.size();
    --in_flight;
  }
  client_close(&c);
  double t = bench::now_sec() - t0;
  return ok && received == size ? t : -1;
}

std::string find_tool(const char* name) {
  const char* path = getenv("PATH");
  std::string all = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find(':', start);
    if (end == std::string::npos) end = all.size();
    std::string candidate = all.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

// Seconds for socat to carry the file over TLS into /dev/null; negative on failure.
double pipe_once(const orv_support::TargetFiles& files, const std::string& socat, const std::string& image) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::string port = std::to_string(orv_support::pick_port());
    orv_support::ChildProcess sender;
    if (!sender.start(socat,
                      {"-u", "-b", "1048576", "OPEN:" + image + ",rdonly",
                       "OPENSSL-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr,cert=" + files.cert +
                           ",key=" + files.key + ",verify=0"},
                      files.dir.sub("socat-sender.log"))) {
      return -1;
    }
    double t0 = bench::now_sec();
    int rc = orv_support::run_tool({socat, "-u", "-b", "1048576",
                                    "OPENSSL:127.0.0.1:" + port + ",verify=0,retry=100,interval=0.01",
                                    "OPEN:/dev/null"},
                                   600000);
    double t = bench::now_sec() - t0;
    bool sent = sender.wait_exit(10000) && sender.exit_code() == 0;
    if (rc == 0 && sent) return t;
    sender.kill_and_reap();
    if (sender.log().find("Address already in use") == std::string::npos) return -1;
  }
  return -1;
}

int run(int argc, char** argv) {
  uint64_t size = 2ull << 30;
  int rounds = 5;
  bool cold = false;
  const char* baseline = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
      size = parse_size(argv[++i]);
    } else if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--cold") == 0) {
      cold = true;
    } else if (strcmp(argv[i], "--baseline") == 0 && i + 1 < argc) {
      baseline = argv[++i];
    } else {
      fprintf(stderr, "usage: %s [--size BYTES[K|M|G]] [--rounds N] [--cold] [--baseline BINARY]\n", argv[0]);
      return 2;
    }
  }
  if (size == 0 || rounds < 1) return 2;
  std::string socat = find_tool("socat");
  if (socat.empty()) {
    fprintf(stderr, "socat not found\n");
    return 1;
  }

  orv_support::TargetFiles files;
  if (!files.create(std::string(kKey) + " bench\n")) {
    fprintf(stderr, "cannot create certificate and ACL\n");
    return 1;
  }
  setenv("ORV_TARGET_PRIV_SOCK_DIR", files.dir.sub("priv").c_str(), 1);
  std::string dir = files.dir.make_dir("storage/bench");
  Uuid uuid;
  for (size_t i = 0; i < UUID_SIZE; ++i) uuid.bytes[i] = static_cast<uint8_t>(0xA0 + i);
  std::string image;
  printf("writing a %.1f MiB image ...\n", static_cast<double>(size) / (1 << 20));
  if (!write_fixture(dir, size, uuid, &image)) {
    fprintf(stderr, "cannot write the fixture\n");
    return 1;
  }
  if (!cold) read_once(image);
  auto prepare = [&] {
    if (cold) evict(image);
  };

  orv_support::TargetServer server(files);
  if (!server.start(ORV_TARGET_BIN)) {
    fprintf(stderr, "orv_target did not start:\n%s\n", server.process.log().c_str());
    return 1;
  }

  orv_support::TargetServer base(files, "baseline");
  if (baseline != nullptr && !base.start(baseline)) {
    fprintf(stderr, "the baseline orv_target did not start:\n%s\n", base.process.log().c_str());
    return 1;
  }

  std::vector<double> pipe, depth1, depth2, base1, base2;
  for (int r = 0; r < rounds; ++r) {
    prepare();
    pipe.push_back(pipe_once(files, socat, image));
    prepare();
    depth1.push_back(restore_once(server.port(), size, uuid, 1));
    prepare();
    depth2.push_back(restore_once(server.port(), size, uuid, 2));
    printf("round %d: pipe %.3f s, READ_RANGE %.3f s (one at a time), %.3f s (two in flight)\n", r + 1, pipe.back(),
           depth1.back(), depth2.back());
    if (pipe.back() < 0 || depth1.back() < 0 || depth2.back() < 0) {
      fprintf(stderr, "a transfer failed\n%s\n", server.process.log().c_str());
      return 1;
    }
    if (baseline == nullptr) continue;
    prepare();
    base1.push_back(restore_once(base.port(), size, uuid, 1));
    prepare();
    base2.push_back(restore_once(base.port(), size, uuid, 2));
    printf("         baseline READ_RANGE %.3f s (one at a time), %.3f s (two in flight)\n", base1.back(),
           base2.back());
    if (base1.back() < 0 || base2.back() < 0) {
      fprintf(stderr, "a baseline transfer failed\n%s\n", base.process.log().c_str());
      return 1;
    }
  }
  for (orv_support::TargetServer* s : {&server, &base}) {
    if (!s->process.running()) continue;
    s->process.signal(SIGTERM);
    (void)s->process.wait_exit(10000);
  }

  double mb = static_cast<double>(size) / 1e6;
  double p = bench::median(pipe), d1 = bench::median(depth1), d2 = bench::median(depth2);
  printf("\nimage %.1f MiB, %s page cache, medians of %d interleaved rounds (MB = 10^6 bytes)\n",
         static_cast<double>(size) / (1 << 20), cold ? "cold" : "warm", rounds);
  printf("raw TLS pipe (socat -> socat)          %8.1f MB/s\n", mb / p);
  printf("FETCH_CHAIN + READ_RANGE, 1 in flight  %8.1f MB/s  %5.1f%% of the pipe\n", mb / d1, 100 * p / d1);
  printf("FETCH_CHAIN + READ_RANGE, 2 in flight  %8.1f MB/s  %5.1f%% of the pipe (target >= 80%%: %s)\n", mb / d2,
         100 * p / d2, p / d2 >= 0.8 ? "met" : "NOT met");
  if (baseline != nullptr) {
    double b1 = bench::median(base1), b2 = bench::median(base2);
    printf("baseline, 1 in flight                  %8.1f MB/s  this build / baseline %.2f\n", mb / b1, b1 / d1);
    printf("baseline, 2 in flight                  %8.1f MB/s  this build / baseline %.2f\n", mb / b2, b2 / d2);
  }
  return 0;
}

}  // namespace
}  // namespace orv

int main(int argc, char** argv) { return orv::run(argc, argv); }
