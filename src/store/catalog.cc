#include "store/catalog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/file_io.h"
#include "core/status.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "integrity/sha256.h"
#include "store/entry_array.h"

namespace orv {

namespace {

constexpr size_t kMinHeaderRead = 4096;
constexpr size_t kTmpPathSize = 1200;

// Reads the header from an open catalog and validates it (see header_read).
int32_t header_read_fd(int fd, BackupHeader* header) {
  memset(header->bytes, 0, BACKUP_HEADER_SIZE);
  size_t got = 0;
  // Up to the end of the file: a read that returns less without reaching it
  // says nothing about the file, and must not make a backup look damaged.
  int32_t rc = file_pread_full(fd, header->bytes, BACKUP_HEADER_SIZE, 0, &got);
  if (rc != STATUS_OK) return rc;
  if (got < kMinHeaderRead || !header_magic_ok(*header)) return STATUS_CORRUPT;
  uint32_t hs = header_header_size(*header);
  if (hs < HEADER_SIZE_MIN || hs > HEADER_SIZE_MAX || got < hs) return STATUS_CORRUPT;
  if (header_version(*header) >= 2) return STATUS_UNSUPPORTED;
  return STATUS_OK;
}

// Reads len bytes at offset, looping over short reads (one pread returns at
// most about 2 GiB on Linux). A shortfall at end of file is STATUS_CORRUPT.
int32_t pread_full(int fd, uint8_t* buf, size_t len, uint64_t offset) {
  size_t got = 0;
  int32_t rc = file_pread_full(fd, buf, len, offset, &got);
  if (rc != STATUS_OK) return rc;
  return got == len ? STATUS_OK : STATUS_CORRUPT;
}

// Writes len bytes at offset; a write that stops short is STATUS_IO.
int32_t pwrite_exact(int fd, const void* data, size_t len, uint64_t offset) {
  size_t written = 0;
  int32_t rc = file_pwrite_all(fd, data, len, offset, &written);
  if (rc != STATUS_OK) return rc;
  return written == len ? STATUS_OK : STATUS_IO;
}

}  // namespace

int32_t header_read(const char* path, BackupHeader* header) {
  int raw = -1;
  int32_t rc = file_open_read_regular(path, &raw);
  if (rc != STATUS_OK) return rc;
  UniqueFd fd(raw);
  return header_read_fd(fd.get(), header);
}

int32_t catalog_load(const char* path, LoadedCatalog* cat, BudgetCharge* charge) {
  memset(cat, 0, sizeof *cat);
  if (path == nullptr || strlen(path) >= sizeof cat->catalog_path) return STATUS_INVALID;
  int raw = -1;
  int32_t rc = file_open_read_regular(path, &raw);
  if (rc != STATUS_OK) return rc;
  UniqueFd fd(raw);
  rc = header_read_fd(fd.get(), &cat->header);
  if (rc != STATUS_OK) return rc;
  copy_text(cat->catalog_path, sizeof cat->catalog_path, path);
  if (catalog_to_image_path(path, cat->image_path, sizeof cat->image_path) != STATUS_OK) return STATUS_INVALID;

  uint64_t count = header_entry_count(cat->header);
  if (count == 0) return STATUS_OK;
  // The table must lie within the file before anything is allocated for it,
  // so a damaged count cannot ask for an absurd allocation.
  uint64_t file_len = 0;
  rc = file_size(fd.get(), &file_len);
  if (rc != STATUS_OK) return rc;
  uint64_t table_off = header_header_size(cat->header);
  if (file_len < table_off || count > (file_len - table_off) / CATALOG_ENTRY_SIZE) return STATUS_CORRUPT;
  size_t table_len = static_cast<size_t>(count) * CATALOG_ENTRY_SIZE;

  if (charge != nullptr && budget_charge_to(charge, charge->bytes + table_len) != STATUS_OK) return STATUS_NOMEM;
  CatalogEntry* table = entry_array_alloc(count);
  if (table == nullptr) return STATUS_NOMEM;
  rc = pread_full(fd.get(), reinterpret_cast<uint8_t*>(table), table_len, table_off);
  if (rc == STATUS_OK) {
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256(table, table_len, digest);
    if (digest_equal(digest, cat->header.bytes + HDR_SHA256_OFF, SHA256_DIGEST_SIZE) != 1) rc = STATUS_CORRUPT;
  }
  if (rc != STATUS_OK) {
    free(table);
    return rc;
  }
  cat->entries = table;
  cat->entry_count = count;
  return STATUS_OK;
}

void catalog_free(LoadedCatalog* cat) {
  if (cat == nullptr) return;
  free(cat->entries);
  cat->entries = nullptr;
  cat->entry_count = 0;
}

int32_t catalog_write(const char* catalog_path, uint32_t mode, const BackupHeader& header,
                      const CatalogEntry* entries, uint64_t count) {
  if (count > SIZE_MAX / CATALOG_ENTRY_SIZE || (count > 0 && entries == nullptr)) return STATUS_INVALID;
  size_t table_len = static_cast<size_t>(count) * CATALOG_ENTRY_SIZE;
  char tmp[kTmpPathSize];
  int n = snprintf(tmp, sizeof tmp, "%s%s", catalog_path, TMP_SUFFIX.data());
  if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) return STATUS_INVALID;

  BackupHeader* copy = new (std::nothrow) BackupHeader;
  if (copy == nullptr) return STATUS_NOMEM;
  memcpy(copy->bytes, header.bytes, BACKUP_HEADER_SIZE);
  std::span<uint8_t> b = copy->span();
  put_u64_le(b, HDR_ENTRY_COUNT_OFF, count);
  put_u32_le(b, HDR_HEADER_SIZE_OFF, BACKUP_HEADER_SIZE);
  if (count > 0) {
    sha256(entries, table_len, copy->bytes + HDR_SHA256_OFF);
  } else {
    memset(copy->bytes + HDR_SHA256_OFF, 0, HDR_SHA256_SIZE);
  }

  int raw = -1;
  int32_t rc = file_create(tmp, mode, &raw);
  if (rc != STATUS_OK) {
    delete copy;
    return rc;
  }
  UniqueFd fd(raw);
  rc = pwrite_exact(fd.get(), copy->bytes, BACKUP_HEADER_SIZE, 0);
  delete copy;
  if (rc == STATUS_OK && count > 0) rc = pwrite_exact(fd.get(), entries, table_len, BACKUP_HEADER_SIZE);
  if (rc == STATUS_OK) rc = file_sync(fd.get());
  if (rc != STATUS_OK) return rc;  // fd closes on return; the .tmp stays
  rc = file_close(fd.release());
  if (rc != STATUS_OK) return rc;
  rc = file_rename(tmp, catalog_path);
  if (rc != STATUS_OK) return rc;
  // Without this the rename (and the image rename before it, in the same
  // directory) may not survive a power loss even though success is reported.
  rc = dir_sync_parent_checked(catalog_path);
  if (rc != STATUS_OK) {
    // A failed catalog write must not leave a visible catalog: the caller
    // goes on to treat the backup as unfinished (and may take its image
    // back), and a catalog whose image is gone would be listed and fetched.
    (void)file_rename(catalog_path, tmp);  // if even this fails, the catalog stays whole and verifiable
  }
  return rc;
}

uint64_t entries_compact(CatalogEntry* entries, uint64_t count) {
  uint64_t kept = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (entry_dropped(entries[i])) continue;
    if (kept != i) entries[kept] = entries[i];
    ++kept;
  }
  return kept;
}

namespace {

struct KeyPos {
  uint64_t key;
  uint64_t pos;
};

// LSD radix sort of n pairs by key, one byte per pass, in a and b (n each);
// returns the array that holds the result. Passes in which every key has
// the same byte are skipped, so keys below 2^24 take three passes.
KeyPos* radix_sort(KeyPos* a, KeyPos* b, uint64_t n) {
  static thread_local uint64_t counts[8][256];
  memset(counts, 0, sizeof counts);
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t k = a[i].key;
    for (int d = 0; d < 8; ++d) counts[d][(k >> (8 * d)) & 0xFF] += 1;
  }
  for (int d = 0; d < 8; ++d) {
    uint64_t* c = counts[d];
    if (c[(a[0].key >> (8 * d)) & 0xFF] == n) continue;  // all keys share this byte
    uint64_t sum = 0;
    for (int v = 0; v < 256; ++v) {
      uint64_t t = c[v];
      c[v] = sum;
      sum += t;
    }
    for (uint64_t i = 0; i < n; ++i) b[c[(a[i].key >> (8 * d)) & 0xFF]++] = a[i];
    KeyPos* t = a;
    a = b;
    b = t;
  }
  return a;
}

bool key_less(const CatalogEntry& x, const CatalogEntry& y) { return entry_key(x) < entry_key(y); }

}  // namespace

void entries_sort(CatalogEntry* entries, uint64_t count) {
  // Blocks mostly arrive in key order; checking first keeps that case linear.
  if (std::is_sorted(entries, entries + count, key_less)) return;
  constexpr uint64_t kSmall = 4096;
  KeyPos* a = nullptr;
  KeyPos* b = nullptr;
  CatalogEntry* out = nullptr;
  if (count >= kSmall && count <= SIZE_MAX / sizeof(KeyPos)) {
    a = static_cast<KeyPos*>(malloc(count * sizeof(KeyPos)));
    b = static_cast<KeyPos*>(malloc(count * sizeof(KeyPos)));
    out = entry_array_alloc(count);
  }
  if (a == nullptr || b == nullptr || out == nullptr) {
    // Small tables, or no memory for the fast path: sort in place.
    free(a);
    free(b);
    free(out);
    std::sort(entries, entries + count, key_less);
    return;
  }
  advise_huge_pages(a, count * sizeof(KeyPos));
  advise_huge_pages(b, count * sizeof(KeyPos));
  // Sorting 16-byte (key, position) pairs and moving each 58-byte entry
  // once is far cheaper than moving entries at every step of a sort.
  for (uint64_t i = 0; i < count; ++i) a[i] = KeyPos{entry_key(entries[i]), i};
  KeyPos* sorted = radix_sort(a, b, count);
  for (uint64_t i = 0; i < count; ++i) out[i] = entries[sorted[i].pos];
  memcpy(entries, out, static_cast<size_t>(count) * CATALOG_ENTRY_SIZE);
  free(a);
  free(b);
  free(out);
}

int32_t dir_sync_parent_checked(const char* path) {
  char dir[PATH_SIZE];
  if (path == nullptr || strlen(path) >= sizeof dir) return STATUS_INVALID;
  copy_text(dir, sizeof dir, path);
  char* slash = strrchr(dir, '/');
  if (slash == nullptr) {
    copy_text(dir, sizeof dir, ".");  // a bare name lives in the current directory
  } else if (slash == dir) {
    dir[1] = '\0';
  } else {
    *slash = '\0';
  }
  return dir_sync(dir);
}

}  // namespace orv
