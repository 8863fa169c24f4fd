// catalog_write of 1,000,000 entries, against writing the same number of
// bytes with one pwrite loop and an fsync.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/file_io.h"
#include "core/unique_fd.h"
#include "store/catalog.h"
#include "store_bench_util.h"

using namespace orv;

namespace {

constexpr uint64_t kEntries = 1000000;

double plain_write(const std::string& path, const std::vector<uint8_t>& bytes) {
  double t0 = bench::now_sec();
  int fd = -1;
  if (file_create(path.c_str(), 0640, &fd) != STATUS_OK) exit(1);
  size_t n = 0;
  if (file_pwrite_all(fd, bytes.data(), bytes.size(), 0, &n) != STATUS_OK || n != bytes.size()) exit(1);
  if (file_sync(fd) != STATUS_OK || file_close(fd) != STATUS_OK) exit(1);
  double t = bench::now_sec() - t0;
  unlink(path.c_str());
  return t;
}

double catalog(const std::string& path, const BackupHeader& h, const std::vector<CatalogEntry>& entries) {
  double t0 = bench::now_sec();
  if (catalog_write(path.c_str(), 0640, h, entries.data(), entries.size()) != STATUS_OK) exit(1);
  double t = bench::now_sec() - t0;
  unlink(path.c_str());
  return t;
}

}  // namespace

int main() {
  bench::ScratchDir dir;
  auto* h = new (std::nothrow) BackupHeader;
  if (h == nullptr) return 1;
  encode_backup_header(BackupHeaderFields{}, h);
  std::vector<CatalogEntry> entries(kEntries);
  for (uint64_t k = 0; k < kEntries; ++k) {
    CatalogEntryFields f;
    f.key = k;
    f.offset = k * 65536;
    f.length = 65536;
    encode_catalog_entry(f, &entries[k]);
  }
  std::vector<uint8_t> bytes(BACKUP_HEADER_SIZE + kEntries * CATALOG_ENTRY_SIZE, 0x5A);
  std::string a = dir.file("plain.bin");
  std::string c = dir.file("bench-202601010000.infb");
  printf("catalog: %llu entries, %.1f MiB, medians of 5 interleaved runs\n", static_cast<unsigned long long>(kEntries),
         static_cast<double>(bytes.size()) / 1048576.0);
  bench::report("catalog_write", bench::interleave(5, [&] { return plain_write(a, bytes); },
                                                   [&] { return catalog(c, *h, entries); }),
                2.0);
  delete h;
  return 0;
}
