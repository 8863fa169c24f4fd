#include "admin/verify.h"

#include <fcntl.h>
#include <time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/status.h"
#include "core/unique_fd.h"
#include "core/sysinfo.h"
#include "store/catalog.h"
#include "core/file_io.h"

namespace orv {

namespace {

constexpr size_t kProbeSize = 4096;  // steps in which a failed chunk is read again

struct Extent {
  uint64_t offset;
  uint64_t end;
  uint64_t key;
};

int compare_extents(const void* a, const void* b) {
  const auto* x = static_cast<const Extent*>(a);
  const auto* y = static_cast<const Extent*>(b);
  if (x->offset != y->offset) return x->offset < y->offset ? -1 : 1;
  return x->end < y->end ? -1 : (x->end > y->end ? 1 : 0);
}

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

void check_catalog_size(const AdminBackup& b, const LoadedCatalog& cat, Problems* out) {
  uint64_t table_off = header_header_size(cat.header);
  uint64_t count = header_entry_count(cat.header);
  if (count > (UINT64_MAX - table_off) / CATALOG_ENTRY_SIZE) return;
  uint64_t expected = table_off + count * CATALOG_ENTRY_SIZE;
  if (b.catalog_bytes > expected) {
    out->add("catalog has %llu bytes after its entry table", ull(b.catalog_bytes - expected));
  }
}

// Order, flags and image ranges of the entry table.
int32_t check_entries(const LoadedCatalog& cat, Problems* out) {
  uint64_t image_size = header_image_size(cat.header);
  uint64_t n = cat.entry_count;
  auto* extents = static_cast<Extent*>(malloc((n == 0 ? 1 : n) * sizeof(Extent)));
  if (extents == nullptr) return STATUS_NOMEM;
  uint64_t with_data = 0;
  uint64_t unordered = 0;
  uint64_t dropped = 0;
  uint64_t outside = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const CatalogEntry& e = cat.entries[i];
    uint64_t key = entry_key(e);
    if (i > 0 && key < entry_key(cat.entries[i - 1])) {
      if (unordered++ == 0) out->add("entry %llu (key %llu) is out of key order", ull(i), ull(key));
    }
    if (entry_dropped(e) && dropped++ == 0) out->add("entry %llu (key %llu) carries the dropped flag", ull(i), ull(key));
    uint32_t len = entry_length(e);
    if (len == 0) continue;
    uint64_t off = entry_offset(e);
    if (off > image_size || image_size - off < len) {
      if (outside++ == 0) {
        out->add("entry for key %llu (offset %llu, length %u) lies outside the image of %llu bytes", ull(key),
                 ull(off), len, ull(image_size));
      }
      continue;
    }
    extents[with_data++] = Extent{off, off + len, key};
  }
  if (unordered > 1) out->add("%llu entries in all are out of key order", ull(unordered));
  if (outside > 1) out->add("%llu entries in all lie outside the image", ull(outside));
  if (dropped > 1) out->add("%llu entries in all carry the dropped flag", ull(dropped));
  if (with_data > 1) qsort(extents, with_data, sizeof(Extent), compare_extents);
  uint64_t overlaps = 0;
  for (uint64_t i = 1; i < with_data; ++i) {
    if (extents[i].offset < extents[i - 1].end) {
      if (overlaps++ == 0) {
        out->add("entries for keys %llu and %llu share image bytes from offset %llu", ull(extents[i - 1].key),
                 ull(extents[i].key), ull(extents[i].offset));
      }
    }
    if (extents[i].end < extents[i - 1].end) extents[i].end = extents[i - 1].end;  // keep the furthest end
  }
  if (overlaps > 1) out->add("%llu entries in all share image bytes with another", ull(overlaps));
  free(extents);
  return STATUS_OK;
}

void check_chain(const Inventory& inv, const UuidIndex& index, uint32_t b, Problems* out) {
  const AdminBackup& bk = inv.backups[b];
  size_t first = 0;
  if (uuid_index_find(inv, index, bk.uuid, &first) > 1) {
    for (size_t i = first; i < index.order.size() && uuid_equal(inv.backups[index.order[i]].uuid, bk.uuid); ++i) {
      if (index.order[i] == b) continue;
      out->add("its uuid is also the uuid of %s", inv.backups[index.order[i]].file);
      break;
    }
  }
  Uuid missing;
  uint32_t length = 0;
  ChainState s = chain_follow(inv, index, b, &missing, &length);
  if (s == ChainState::missing_parent) {
    char id[UUID_TEXT_SIZE];
    uuid_format(missing, id);
    out->add("chain incomplete: no backup with uuid %s in its directory", id);
  } else if (s == ChainState::loop) {
    out->add("chain incomplete: its parent links form a loop");
  }
}

// Reads every byte of the image; read errors are located to 4 KiB.
void read_image(const char* path, uint64_t size, VerifyContext* ctx, Problems* out) {
  int raw = -1;
  int32_t rc = file_open_read_regular(path, &raw);
  if (rc != STATUS_OK) {
    out->add("image cannot be opened: %s (status=%d)", status_text(rc), rc);
    return;
  }
  UniqueFd fd(raw);
  (void)posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // advice only
  uint64_t bad = 0;
  for (uint64_t off = 0; off < size;) {
    size_t want = size - off < VERIFY_READ_CHUNK ? static_cast<size_t>(size - off) : VERIFY_READ_CHUNK;
    size_t got = 0;
    rc = file_pread_full(fd.get(), ctx->buffer, want, off, &got);
    if (rc == STATUS_OK && got < want) {
      out->add("image ends at offset %llu, %llu bytes before its size", ull(off + got), ull(size - off - got));
      return;
    }
    if (rc != STATUS_OK) {
      // Find which parts of the chunk fail, so the report names the place.
      for (uint64_t p = off; p < off + want; p += kProbeSize) {
        size_t len = off + want - p < kProbeSize ? static_cast<size_t>(off + want - p) : kProbeSize;
        size_t n = 0;
        int32_t prc = file_pread(fd.get(), ctx->buffer, len, p, &n);
        if (prc == STATUS_OK) continue;
        if (bad++ == 0) out->add("read error at offset %llu of %s: %s (status=%d)", ull(p), path, status_text(prc), prc);
      }
    }
    // The page cache gains nothing from keeping what was checked.
    (void)posix_fadvise(fd.get(), static_cast<off_t>(off), static_cast<off_t>(want), POSIX_FADV_DONTNEED);
    off += want;
    ctx->bytes_read += want;
    rate_limit_take(&ctx->rate, want);
    if (ctx->on_read != nullptr) ctx->on_read(ctx->on_read_ctx, ctx->bytes_read);
  }
  if (bad > 1) out->add("%llu blocks of 4 KiB in all could not be read", ull(bad));
}

}  // namespace

void Problems::add(const char* format, ...) {
  if (count >= ADMIN_PROBLEMS_MAX) {
    ++more;
    return;
  }
  va_list ap;
  va_start(ap, format);
  vsnprintf(text[count], ADMIN_PROBLEM_SIZE, format, ap);
  va_end(ap);
  ++count;
}

void rate_limit_start(RateLimit* r, double bytes_per_second) {
  r->bytes_per_second = bytes_per_second;
  r->start_ms = monotonic_ms();
  r->bytes = 0;
}

void rate_limit_take(RateLimit* r, uint64_t n) {
  r->bytes += n;
  if (r->bytes_per_second <= 0) return;
  double due_ms = static_cast<double>(r->bytes) / r->bytes_per_second * 1000.0;
  uint64_t elapsed = monotonic_ms() - r->start_ms;
  if (due_ms <= static_cast<double>(elapsed)) return;
  uint64_t wait = static_cast<uint64_t>(due_ms) - elapsed;
  struct timespec ts = {static_cast<time_t>(wait / 1000), static_cast<long>((wait % 1000) * 1000000)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int32_t verify_backup(const Inventory& inv, const UuidIndex& index, uint32_t b, VerifyContext* ctx,
                      Problems* out) {
  *out = Problems{};
  const AdminBackup& bk = inv.backups[b];
  if (bk.header_status != STATUS_OK) {
    out->add("%s (status=%d)", admin_header_problem(bk.header_status), bk.header_status);
    return STATUS_OK;
  }
  char path[STORE_PATH_SIZE + ADMIN_FILE_NAME_SIZE];
  if (!inventory_path(inv, bk.dir, bk.file, path, sizeof path)) {
    out->add("path too long to be read");
    return STATUS_OK;
  }
  std::unique_ptr<LoadedCatalog> cat(new (std::nothrow) LoadedCatalog);
  if (!cat) return STATUS_NOMEM;
  int32_t rc = catalog_load(path, cat.get());
  if (rc == STATUS_NOMEM) return rc;
  if (rc == STATUS_CORRUPT) {
    uint64_t need = bk.entry_count <= (UINT64_MAX - BACKUP_HEADER_SIZE) / CATALOG_ENTRY_SIZE
                        ? BACKUP_HEADER_SIZE + bk.entry_count * CATALOG_ENTRY_SIZE
                        : UINT64_MAX;
    if (bk.catalog_bytes < need) {
      out->add("entry table is short: %llu entries need %llu bytes, the catalog has %llu", ull(bk.entry_count),
               ull(need), ull(bk.catalog_bytes));
    } else {
      out->add("entry table does not match its SHA-256");
    }
  } else if (rc == STATUS_NOT_FOUND) {
    out->add("catalog vanished while it was checked");
    return STATUS_OK;
  } else if (rc != STATUS_OK) {
    out->add("catalog cannot be read: %s (status=%d)", status_text(rc), rc);
  } else {
    check_catalog_size(bk, *cat, out);
    rc = check_entries(*cat, out);
    catalog_free(cat.get());
    if (rc != STATUS_OK) return rc;
  }

  char image[STORE_PATH_SIZE];
  bool image_named = catalog_to_image_path(path, image, sizeof image) == STATUS_OK;
  if (bk.image_odd) {
    out->add("image %s is not a regular file", image_named ? image : "");
  } else if (!bk.image_present) {
    out->add("image file %s is missing", image_named ? image : "");
  } else if (bk.image_bytes != bk.header_image_size) {
    out->add("image holds %llu bytes, the header says %llu", ull(bk.image_bytes), ull(bk.header_image_size));
  }
  check_chain(inv, index, b, out);
  if (ctx->data && bk.image_present && image_named) read_image(image, bk.image_bytes, ctx, out);
  return STATUS_OK;
}

}  // namespace orv
