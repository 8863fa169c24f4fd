#include "store/scan.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/file_io.h"
#include "core/log.h"
#include "core/status.h"
#include "core/text.h"
#include "store/names.h"

namespace orv {

namespace {

constexpr size_t kInitialItems = 16;
constexpr size_t kInitialLinks = 8;

// Doubles a malloc'd array of `cap` elements of `size` bytes.
bool grow(void** array, size_t* cap, size_t size) {
  if (*cap > SIZE_MAX / 2 / size) return false;
  void* bigger = realloc(*array, *cap * 2 * size);
  if (bigger == nullptr) return false;
  *array = bigger;
  *cap *= 2;
  return true;
}

void fill_item(ScanItem* item, const char* path, const BackupHeader& h) {
  copy_text(item->path, sizeof item->path, path);
  item->uuid = header_uuid(h);
  item->parent_uuid = header_parent_uuid(h);
  item->type = header_type(h);
  header_name(h, item->name);
  item->created = header_created(h);
}

}  // namespace

int32_t backup_scan(const char* dir, ScanItem** items, size_t* count) {
  *items = nullptr;
  *count = 0;
  size_t cap = kInitialItems;
  auto* list = static_cast<ScanItem*>(malloc(cap * sizeof(ScanItem)));
  auto* header = new (std::nothrow) BackupHeader;
  if (list == nullptr || header == nullptr) {
    free(list);
    delete header;
    return STATUS_NOMEM;
  }
  DirReader d;
  if (d.open(dir) != STATUS_OK) {
    int err = errno;
    free(list);
    delete header;
    if (err == ENOENT) return STATUS_OK;  // never written to: no backups
    char text[128];
    errno = err;
    log_write(LEVEL_ERROR, "cannot open backup directory %s: %s", dir, errno_text(text, sizeof text));
    return STATUS_IO;
  }

  size_t n = 0;
  char path[STORE_PATH_SIZE];
  int32_t rc = STATUS_OK;
  while (const char* file_name = d.next()) {
    if (!is_catalog_name(file_name)) continue;
    int len = snprintf(path, sizeof path, "%s/%s", dir, file_name);
    if (len < 0 || static_cast<size_t>(len) >= sizeof path) continue;  // cannot be named, cannot be read
    int32_t hr = header_read(path, header);
    if (hr == STATUS_NOT_FOUND) continue;  // removed while we looked
    if (hr == STATUS_INVALID) {
      // A directory, FIFO or link named like a catalog is no backup.
      log_write(LEVEL_DEBUG, "skipping %s: %s", path, "not a regular file");
      continue;
    }
    if (hr == STATUS_CORRUPT) {
      log_write(LEVEL_WARN, "skipping %s: %s", path, "corrupt or incomplete header");
      continue;
    }
    if (hr == STATUS_UNSUPPORTED) {
      log_write(LEVEL_WARN, "skipping %s: %s", path, "newer format version");
      continue;
    }
    if (hr != STATUS_OK) {
      log_write(LEVEL_ERROR, "cannot read backup header %s (%s, status=%d)", path, status_text(hr), hr);
      rc = hr;
      break;
    }
    if (n == cap && !grow(reinterpret_cast<void**>(&list), &cap, sizeof(ScanItem))) {
      rc = STATUS_NOMEM;
      break;
    }
    fill_item(&list[n], path, *header);
    ++n;
  }
  // A listing cut short by a read error would silently hide backups.
  if (rc == STATUS_OK && d.status() != STATUS_OK) {
    rc = d.status();
    log_write(LEVEL_ERROR, "cannot read backup directory %s (%s, status=%d)", dir, status_text(rc), rc);
  }
  delete header;
  if (rc != STATUS_OK || n == 0) {
    free(list);
    return rc;
  }
  *items = list;
  *count = n;
  return STATUS_OK;
}

int32_t backup_find_latest(const char* dir, const char* name, int32_t type, char* path, size_t cap) {
  if (cap > 0) path[0] = '\0';
  ScanItem* items = nullptr;
  size_t count = 0;
  int32_t rc = backup_scan(dir, &items, &count);
  if (rc != STATUS_OK) return rc;
  const ScanItem* best = nullptr;
  for (size_t i = 0; i < count; ++i) {
    const ScanItem& it = items[i];
    if (strcmp(it.name, name != nullptr ? name : "") != 0) continue;
    if (type >= 0 && it.type != static_cast<uint8_t>(type & 0xFF)) continue;
    if (best == nullptr || it.created > best->created) best = &it;
  }
  if (best == nullptr) {
    rc = STATUS_NOT_FOUND;
  } else if (strlen(best->path) >= cap) {
    rc = STATUS_INVALID;
  } else {
    copy_text(path, cap, best->path);
  }
  free(items);
  return rc;
}

int32_t chain_resolve(const char* start, const char* dir, Chain* chain, BudgetCharge* charge) {
  *chain = Chain{};
  if (start == nullptr || strlen(start) >= STORE_PATH_SIZE) return STATUS_INVALID;
  auto* header = new (std::nothrow) BackupHeader;
  if (header == nullptr) return STATUS_NOMEM;
  int32_t rc = header_read(start, header);
  if (rc != STATUS_OK) {
    delete header;
    return rc;
  }
  uint8_t start_type = header_type(*header);
  Uuid wanted = header_parent_uuid(*header);
  delete header;

  using PathBuf = char[STORE_PATH_SIZE];
  size_t links_cap = kInitialLinks;
  auto* links = static_cast<PathBuf*>(malloc(links_cap * sizeof(PathBuf)));
  if (links == nullptr) return STATUS_NOMEM;
  size_t links_n = 0;
  copy_text(links[links_n++], STORE_PATH_SIZE, start);

  if (start_type != BACKUP_FULL) {
    ScanItem* items = nullptr;
    size_t count = 0;
    rc = backup_scan(dir, &items, &count);
    if (rc != STATUS_OK) {
      free(links);
      return rc;
    }
    size_t steps = 0;
    while (true) {
      const ScanItem* found = nullptr;
      for (size_t i = 0; i < count && found == nullptr; ++i) {
        if (uuid_equal(items[i].uuid, wanted) == 1) found = &items[i];
      }
      if (found == nullptr) {
        rc = STATUS_NOT_FOUND;
        break;
      }
      // Agents choose the identifiers, so links can form a loop. A real
      // chain visits each backup of the directory at most once.
      if (++steps > count) {
        rc = STATUS_CORRUPT;
        break;
      }
      if (links_n == links_cap && !grow(reinterpret_cast<void**>(&links), &links_cap, sizeof(PathBuf))) {
        rc = STATUS_NOMEM;
        break;
      }
      copy_text(links[links_n++], STORE_PATH_SIZE, found->path);
      if (found->type == BACKUP_FULL) break;
      wanted = found->parent_uuid;
    }
    free(items);
    if (rc != STATUS_OK) {
      free(links);
      return rc;
    }
  }

  auto* loaded = static_cast<LoadedCatalog*>(calloc(links_n, sizeof(LoadedCatalog)));
  if (loaded == nullptr) {
    free(links);
    return STATUS_NOMEM;
  }
  // The list runs from the start back to the full backup; the chain runs
  // the other way.
  for (size_t i = 0; i < links_n; ++i) {
    rc = catalog_load(links[links_n - 1 - i], &loaded[i], charge);
    if (rc != STATUS_OK) {
      for (size_t j = 0; j <= i; ++j) catalog_free(&loaded[j]);
      free(loaded);
      free(links);
      return rc;
    }
  }
  free(links);
  chain->items = loaded;
  chain->count = links_n;
  return STATUS_OK;
}

void chain_free(Chain* chain) {
  if (chain == nullptr) return;
  for (size_t i = 0; i < chain->count; ++i) catalog_free(&chain->items[i]);
  free(chain->items);
  *chain = Chain{};
}

}  // namespace orv
