// backup_scan of a directory with 10,000 catalogs (warm cache), against
// opening each catalog and reading its 128 KiB header with one pread.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/log.h"
#include "core/unique_fd.h"
#include "store/scan.h"
#include "store_bench_util.h"

using namespace orv;

namespace {

constexpr int kCatalogs = 10000;

double read_headers(const std::vector<std::string>& paths, std::vector<uint8_t>* buf) {
  double t0 = bench::now_sec();
  uint64_t sum = 0;
  for (const std::string& p : paths) {
    UniqueFd fd(open(p.c_str(), O_RDONLY | O_CLOEXEC));
    size_t got = 0;
    if (file_pread(fd.get(), buf->data(), buf->size(), 0, &got) != STATUS_OK) exit(1);
    sum += got;
  }
  double t = bench::now_sec() - t0;
  if (sum != static_cast<uint64_t>(paths.size()) * BACKUP_HEADER_SIZE) exit(1);
  return t;
}

double scan(const std::string& dir) {
  double t0 = bench::now_sec();
  ScanItem* items = nullptr;
  size_t count = 0;
  int32_t rc = backup_scan(dir.c_str(), &items, &count);
  double t = bench::now_sec() - t0;
  if (rc != STATUS_OK || count != kCatalogs) exit(1);
  free(items);
  return t;
}

}  // namespace

int main() {
  log_init("store_scan", LEVEL_INFO);
  bench::ScratchDir dir;
  // Catalogs without entries: a header each, written directly (the scan
  // reads only headers, and this keeps the setup quick).
  auto* h = new (std::nothrow) BackupHeader;
  if (h == nullptr) return 1;
  std::vector<std::string> paths;
  for (int i = 0; i < kCatalogs; ++i) {
    BackupHeaderFields f;
    f.created = 1700000000 + i;
    f.uuid.bytes[0] = static_cast<uint8_t>(i);
    f.uuid.bytes[1] = static_cast<uint8_t>(i >> 8);
    snprintf(f.name, sizeof f.name, "host%d", i % 50);
    encode_backup_header(f, h);
    char name[64];
    snprintf(name, sizeof name, "host%d-%08d.infb", i % 50, i);
    paths.push_back(dir.file(name));
    int fd = -1;
    if (file_create(paths.back().c_str(), 0640, &fd) != STATUS_OK) return 1;
    if (file_pwrite_all(fd, h->bytes, BACKUP_HEADER_SIZE, 0, nullptr) != STATUS_OK) return 1;
    if (file_close(fd) != STATUS_OK) return 1;
  }
  delete h;
  // The baseline reads in directory order, as the scan does.
  paths.clear();
  DIR* d = opendir(dir.path().c_str());
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') paths.push_back(dir.file(e->d_name));
  }
  closedir(d);

  std::vector<uint8_t> buf(BACKUP_HEADER_SIZE);
  read_headers(paths, &buf);  // warm the page cache
  printf("directory: %d catalogs, warm cache, medians of 5 interleaved runs\n", kCatalogs);
  bench::report("backup_scan", bench::interleave(5, [&] { return read_headers(paths, &buf); },
                                                 [&] { return scan(dir.path()); }),
                1.5);
  return 0;
}
