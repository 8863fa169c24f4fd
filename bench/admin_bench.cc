// orv_admin's costs against baselines measured in the same run:
//  - verify without --data of 10,000 backups in one directory, against the
//    server's own scan of that directory plus loading each catalog once
//    (target: within 2x);
//  - verify --data of image files, against cat of the same files to
//    /dev/null, both with the files dropped from the page cache first
//    (target: at least 0.8x of cat's throughput);
//  - prune of 10,000 expired backups (target: under 10 s).
// Scratch files go to $ORV_BENCH_DIR (default $TMPDIR or /tmp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "admin/chains.h"
#include "admin/inventory.h"
#include "admin/prune.h"
#include "admin/verify.h"
#include "core/log.h"
#include "core/status.h"
#include "integrity/sha256.h"
#include "store/catalog.h"
#include "store/names.h"
#include "store/scan.h"
#include "store_bench_util.h"

using namespace orv;

namespace {

constexpr int kBackups = 10000;
constexpr uint32_t kEntries = 16;        // per catalog: a 64 KiB image each
constexpr uint32_t kBlock = 4096;
constexpr int kImages = 8;
constexpr uint64_t kImageBytes = 128ull << 20;
constexpr int64_t kT0 = 1700000000;

bool write_file(const std::string& path, const void* data, size_t len) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, p + done, len - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == len;
}

// One FULL backup named db (all of them expire a day after their creation),
// written directly, without fsync, to keep the setup short.
bool make_backup(const std::string& dir, int i, uint64_t image_bytes, std::vector<uint8_t>* buf) {
  BackupHeaderFields f;
  f.type = BACKUP_FULL;
  f.block_size = kBlock;
  f.uuid.bytes[0] = static_cast<uint8_t>(i);
  f.uuid.bytes[1] = static_cast<uint8_t>(i >> 8);
  f.uuid.bytes[2] = static_cast<uint8_t>(i >> 16);
  f.uuid.bytes[15] = 1;
  f.created = kT0 + i * 60;
  f.expires = f.created + 86400;
  uint32_t entries = image_bytes == 0 ? kEntries : static_cast<uint32_t>(image_bytes / kBlock);
  f.entry_count = entries;
  f.image_size = static_cast<uint64_t>(entries) * kBlock;
  f.source_size = f.image_size;
  snprintf(f.name, sizeof f.name, "db");
  size_t table = static_cast<size_t>(entries) * CATALOG_ENTRY_SIZE;
  buf->assign(BACKUP_HEADER_SIZE + table, 0);
  auto* e = reinterpret_cast<CatalogEntry*>(buf->data() + BACKUP_HEADER_SIZE);
  for (uint32_t k = 0; k < entries; ++k) {
    CatalogEntryFields ef;
    ef.key = k;
    ef.offset = static_cast<uint64_t>(k) * kBlock;
    ef.length = kBlock;
    encode_catalog_entry(ef, &e[k]);
  }
  sha256(e, table, f.entries_sha256);
  encode_backup_header(f, reinterpret_cast<BackupHeader*>(buf->data()));
  char stamp[32];
  snprintf(stamp, sizeof stamp, "db-%06d", i);
  std::string base = dir + "/" + stamp;
  if (!write_file(base + ".infb", buf->data(), buf->size())) return false;
  if (image_bytes == 0) return write_file(base + ".csfb", std::string(kEntries * kBlock, 'x').data(), kEntries * kBlock);
  std::vector<uint8_t> data(1 << 20, static_cast<uint8_t>(i));
  int fd = open((base + ".csfb").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) return false;
  for (uint64_t off = 0; off < f.image_size; off += data.size()) {
    if (pwrite(fd, data.data(), data.size(), static_cast<off_t>(off)) != static_cast<ssize_t>(data.size())) {
      close(fd);
      return false;
    }
  }
  bool ok = fsync(fd) == 0;  // clean pages, so they can be dropped below
  close(fd);
  return ok;
}

double server_scan_and_load(const std::string& dir) {
  double t0 = bench::now_sec();
  ScanItem* items = nullptr;
  size_t count = 0;
  if (backup_scan(dir.c_str(), &items, &count) != STATUS_OK || count != kBackups) exit(1);
  auto cat = std::make_unique<LoadedCatalog>();
  for (size_t i = 0; i < count; ++i) {
    if (catalog_load(items[i].path, cat.get()) != STATUS_OK) exit(1);
    catalog_free(cat.get());
  }
  free(items);
  return bench::now_sec() - t0;
}

// The work of "orv_admin verify": walk, then check every backup.
double admin_verify(const std::string& root, bool data, uint64_t* bytes_read) {
  double t0 = bench::now_sec();
  auto inv = std::make_unique<Inventory>();
  char error[256];
  if (inventory_load(root.c_str(), nullptr, kT0, inv.get(), error, sizeof error) != STATUS_OK) exit(1);
  std::vector<uint8_t> buffer(data ? VERIFY_READ_CHUNK : 0);
  VerifyContext ctx;
  ctx.data = data;
  ctx.buffer = buffer.data();
  rate_limit_start(&ctx.rate, 0);
  auto problems = std::make_unique<Problems>();
  size_t damaged = 0;
  for (uint32_t d = 0; d < inv->dirs.size(); ++d) {
    UuidIndex index;
    if (uuid_index_build(*inv, d, &index) != STATUS_OK) exit(1);
    const AdminDir& dir = inv->dirs[d];
    for (uint32_t i = dir.backup_first; i < dir.backup_first + dir.backup_count; ++i) {
      if (verify_backup(*inv, index, i, &ctx, problems.get()) != STATUS_OK) exit(1);
      damaged += problems->count != 0;
    }
  }
  if (damaged != 0) {
    fprintf(stderr, "verify found %zu damaged backups in the benchmark's own files\n", damaged);
    exit(1);
  }
  if (bytes_read != nullptr) *bytes_read = ctx.bytes_read;
  return bench::now_sec() - t0;
}

void drop_cache(const std::vector<std::string>& files) {
  for (const std::string& f : files) {
    int fd = open(f.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);  // the files are clean: this empties their cache
    close(fd);
  }
}

double cat_files(const std::vector<std::string>& files) {
  drop_cache(files);
  std::string cmd = "cat";
  for (const std::string& f : files) cmd += " " + f;
  cmd += " >/dev/null";
  double t0 = bench::now_sec();
  if (system(cmd.c_str()) != 0) exit(1);
  return bench::now_sec() - t0;
}

}  // namespace

int main() {
  log_init("admin_bench", LEVEL_WARN);
  std::vector<uint8_t> buf;

  // ---- verify without --data: 10,000 backups in one directory ----------
  bench::ScratchDir many;
  std::string dir = many.path() + "/host";
  if (mkdir(dir.c_str(), 0755) != 0) return 1;
  for (int i = 0; i < kBackups; ++i) {
    if (!make_backup(dir, i, 0, &buf)) return 1;
  }
  (void)server_scan_and_load(dir);  // read once: warm cache for both
  bench::Pair p = bench::interleave(
      5, [&] { return server_scan_and_load(dir); }, [&] { return admin_verify(many.path(), false, nullptr); });
  bench::report("verify, 10,000 backups (vs scan + loads)", p, 2.0);

  // ---- verify --data against cat, cold ----------------------------------
  bench::ScratchDir big;
  std::string bdir = big.path() + "/vol";
  if (mkdir(bdir.c_str(), 0755) != 0) return 1;
  std::vector<std::string> all_files;
  for (int i = 0; i < kImages; ++i) {
    if (!make_backup(bdir, i, kImageBytes, &buf)) return 1;
    char stamp[32];
    snprintf(stamp, sizeof stamp, "/db-%06d", i);
    all_files.push_back(bdir + stamp + ".infb");
    all_files.push_back(bdir + stamp + ".csfb");
  }
  uint64_t total = static_cast<uint64_t>(kImages) * kImageBytes;
  std::vector<double> cat_rates;
  std::vector<double> verify_rates;
  for (int round = 0; round < 5; ++round) {
    cat_rates.push_back(static_cast<double>(total) / cat_files(all_files) / 1e6);
    drop_cache(all_files);
    uint64_t read = 0;
    double t = admin_verify(big.path(), true, &read);
    if (read != total) return 1;
    verify_rates.push_back(static_cast<double>(total) / t / 1e6);
  }
  double cat_rate = bench::median(cat_rates);
  double verify_rate = bench::median(verify_rates);
  printf("%-40s cat %9.1f MB/s   verify --data %9.1f MB/s   ratio %.2f (target >= 0.8: %s)\n",
         "verify --data, 8 x 128 MiB, cold", cat_rate, verify_rate, verify_rate / cat_rate,
         verify_rate / cat_rate >= 0.8 ? "met" : "NOT met");

  // ---- prune of 10,000 expired backups ----------------------------------
  // Written back first, as old backups are: freeing allocated blocks is
  // what costs (this disk discards freed blocks).
  {
    int fd = open(many.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || syncfs(fd) != 0) return 1;
    close(fd);
  }
  double t0 = bench::now_sec();
  auto inv = std::make_unique<Inventory>();
  char error[256];
  int64_t as_of = kT0 + kBackups * 60 + 2 * 86400;
  if (inventory_load(many.path().c_str(), nullptr, as_of, inv.get(), error, sizeof error) != STATUS_OK) return 1;
  PruneOptions o;
  o.as_of = as_of;
  auto r = std::make_unique<PruneResult>();
  if (prune_run(*inv, o, r.get()) != STATUS_OK || r->failures.size() != 0) return 1;
  double t = bench::now_sec() - t0;
  printf("%-40s %llu deleted, %llu kept, %.2f s (target < 10 s: %s)\n", "prune, 10,000 expired backups",
         static_cast<unsigned long long>(r->deleted_count), static_cast<unsigned long long>(r->kept_expired_count), t,
         t < 10 ? "met" : "NOT met");
  return 0;
}
