// partial_load of a journal holding 1,000,000 block records, against
// reading the same file with 1 MiB preads and a CRC-32C over it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

#include "core/file_io.h"
#include "core/unique_fd.h"
#include "integrity/crc32c.h"
#include "store/journal.h"
#include "store/partial.h"
#include "store_bench_util.h"

using namespace orv;

namespace {

constexpr uint64_t kRecords = 1000000;
constexpr uint64_t kCheckpointEvery = 8192;

// Writes a journal of kRecords block records, keys in the given order, with
// a checkpoint every kCheckpointEvery records and one at the end.
bool make_journal(const bench::ScratchDir& dir, const std::string& name, const std::vector<uint64_t>& keys) {
  std::string image = dir.file(name + ".csfb");
  auto* header = new (std::nothrow) BackupHeader;
  if (header == nullptr) return false;
  BackupHeaderFields f;
  snprintf(f.name, sizeof f.name, "bench");
  encode_backup_header(f, header);
  int img = -1;
  if (file_create((image + ".tmp").c_str(), 0640, &img) != STATUS_OK) return false;
  UniqueFd image_fd(img);
  JournalWriter w;
  journal_init(&w);
  bool ok = journal_create(&w, (image + ".part").c_str(), *header, dir.file(name + ".infb").c_str(),
                           image.c_str()) == STATUS_OK;
  delete header;
  uint64_t size = 0;
  for (uint64_t i = 0; ok && i < keys.size(); ++i) {
    CatalogEntryFields e;
    e.key = keys[i];
    e.offset = size;
    e.length = 65536;
    size += 65536;
    CatalogEntry entry;
    encode_catalog_entry(e, &entry);
    ok = journal_add_block(&w, entry, 65536) == STATUS_OK;
    if (ok && (i + 1) % kCheckpointEvery == 0) ok = journal_checkpoint(&w, image_fd.get(), size) == STATUS_OK;
  }
  if (ok) ok = journal_checkpoint(&w, image_fd.get(), size) == STATUS_OK;
  journal_close(&w);
  return ok;
}

double read_and_crc(const std::string& path) {
  double t0 = bench::now_sec();
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::vector<uint8_t> buf(1 << 20);
  uint64_t off = 0;
  uint32_t crc = 0;
  while (true) {
    size_t got = 0;
    if (file_pread(fd.get(), buf.data(), buf.size(), off, &got) != STATUS_OK || got == 0) break;
    crc = crc32c(crc, buf.data(), got);
    off += got;
  }
  double t = bench::now_sec() - t0;
  if (crc == 0x12345678) printf(" ");  // keeps the CRC from being optimised away
  return t;
}

double load(const std::string& path, uint64_t expect) {
  auto* p = new (std::nothrow) PartialBackup;
  if (p == nullptr) exit(1);
  double t0 = bench::now_sec();
  int32_t rc = partial_load(path.c_str(), p);
  double t = bench::now_sec() - t0;
  if (rc != STATUS_OK || p->entry_count != expect) {
    fprintf(stderr, "partial_load failed: %d, %llu entries\n", rc, static_cast<unsigned long long>(p->entry_count));
    exit(1);
  }
  partial_free(p);
  delete p;
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  // An optional argument "ascending" or "shuffled" runs one case only.
  std::string only = argc > 1 ? argv[1] : "";
  bench::ScratchDir dir;
  std::vector<uint64_t> keys(kRecords);
  std::iota(keys.begin(), keys.end(), 0);
  if (!make_journal(dir, "ascending", keys)) return 1;
  std::shuffle(keys.begin(), keys.end(), std::mt19937_64(1));
  if (!make_journal(dir, "shuffled", keys)) return 1;

  std::string asc = dir.file("ascending.csfb.part");
  std::string shuf = dir.file("shuffled.csfb.part");
  printf("journal: %llu block records, %.1f MiB, warm cache, medians of 5 interleaved runs\n",
         static_cast<unsigned long long>(kRecords), static_cast<double>(JOURNAL_FIRST_RECORD + (kRecords + kRecords / kCheckpointEvery + 1) * 64) / 1048576.0);
  read_and_crc(asc);  // warm the page cache
  read_and_crc(shuf);
  if (only != "shuffled")
  bench::report("partial_load, keys ascending", bench::interleave(5, [&] { return read_and_crc(asc); },
                                                                  [&] { return load(asc, kRecords); }),
                3.0);
  if (only != "ascending")
  bench::report("partial_load, keys shuffled", bench::interleave(5, [&] { return read_and_crc(shuf); },
                                                                 [&] { return load(shuf, kRecords); }),
                3.0);
  return 0;
}
