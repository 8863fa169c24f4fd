#include "store/partial.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/file_io.h"
#include "core/log.h"
#include "core/metrics.h"
#include "core/status.h"
#include "core/sysinfo.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "store/catalog.h"
#include "store/entry_array.h"
#include "store/journal_reader.h"
#include "store/key_index.h"
#include "store/names.h"
#include "store/partial_lock.h"

namespace orv {

namespace {

constexpr size_t kReplayChunk = 1048576;
static_assert(kReplayChunk % JOURNAL_RECORD_SIZE == 0);
// Largest entry list reserved up front (about 3.7 GB of address space).
constexpr uint64_t kReserveMax = uint64_t{64} << 20;

bool is_journal_name(const char* name) { return ends_with(name, JOURNAL_SUFFIX) && strlen(name) >= 5; }

// The files expiry looks at: journals, and temporary images and catalogs
// ("<name><image or catalog extension>.tmp").
enum class TempKind : uint8_t { none, journal, image, catalog };

TempKind temp_kind(const char* name) {
  if (is_journal_name(name)) return TempKind::journal;
  std::string_view s(name);
  if (!ends_with(s, TMP_SUFFIX)) return TempKind::none;
  s.remove_suffix(TMP_SUFFIX.size());
  for (uint8_t type = 0; type <= BACKUP_INC; ++type) {
    if (ends_with(s, image_extension(type))) return TempKind::image;
    if (ends_with(s, catalog_extension(type))) return TempKind::catalog;
  }
  return TempKind::none;
}

template <typename... Args>
bool format_fits(char* buf, size_t cap, const char* fmt, Args... args) {
  int n = snprintf(buf, cap, fmt, args...);
  return n >= 0 && static_cast<size_t>(n) < cap;
}

// END renames the image to its final name before it writes the catalog. A
// crash between the two (or a catalog write that failed and could not give
// the image its temporary name back) leaves the partial's image under the
// final name with no catalog beside it. Such an image still belongs to the
// partial: it is found, continued and removed like "<image>.tmp". Once the
// catalog exists, the image is a finished backup's and never the partial's.
bool image_left_by_end(const char* image_path, const char* catalog_path) {
  return path_is_regular(image_path) && !path_exists(catalog_path);
}

// The catalog path belonging to an image path ("x.csib" -> "x.inib").
bool catalog_of_image(const char* image_path, char* out, size_t cap) {
  std::string_view s(image_path);
  for (uint8_t type = 0; type <= BACKUP_INC; ++type) {
    std::string_view ext = image_extension(type);
    if (!ends_with(s, ext)) continue;
    size_t stem = s.size() - ext.size();
    return format_fits(out, cap, "%.*s%s", static_cast<int>(stem), image_path, catalog_extension(type));
  }
  return false;
}

// Gives the image of an END cut short its temporary name back (see
// image_left_by_end), so that the continuation finds it where it expects.
// 0 when there is nothing to do.
int32_t reclaim_image_from_end(const char* tmp_image_path) {
  if (path_exists(tmp_image_path) || !ends_with(tmp_image_path, TMP_SUFFIX)) return STATUS_OK;
  char image[PATH_SIZE + JH_NAME_SIZE];
  char catalog[PATH_SIZE + JH_NAME_SIZE];
  size_t stem = strlen(tmp_image_path) - TMP_SUFFIX.size();
  if (!format_fits(image, sizeof image, "%.*s", static_cast<int>(stem), tmp_image_path)) return STATUS_OK;
  if (!catalog_of_image(image, catalog, sizeof catalog) || !image_left_by_end(image, catalog)) return STATUS_OK;
  int32_t rc = file_rename(image, tmp_image_path);
  if (rc != STATUS_OK) return rc;
  return dir_sync_parent_checked(tmp_image_path);
}

// Opens and reads a journal header; 0 or the failure.
int32_t read_journal_header(const char* path, uint8_t* head, BackupHeader* payload, uint64_t* first) {
  int raw = -1;
  int32_t rc = file_open_read_regular(path, &raw);
  if (rc != STATUS_OK) return rc;
  UniqueFd fd(raw);
  return journal_read_header(fd.get(), head, payload, first);
}

struct UuidKey {
  const Uuid* uuid;
};

bool match_uuid(const BackupHeader& h, const void* key) {
  return uuid_equal(header_uuid(h), *static_cast<const UuidKey*>(key)->uuid) == 1;
}

struct NameKey {
  const char* name;
  uint8_t type;
  const Uuid* parent;
};

bool match_name(const BackupHeader& h, const void* key) {
  const auto* k = static_cast<const NameKey*>(key);
  char name[HDR_NAME_SIZE];
  header_name(h, name);
  return strcmp(name, k->name) == 0 && header_type(h) == k->type && uuid_equal(header_parent_uuid(h), *k->parent) == 1;
}

// The entry list being rebuilt from journal records. While block keys
// arrive strictly ascending (the usual case) a new key cannot repeat an
// earlier one and a dropped key is found by binary search, so no hash index
// is needed; the first key out of order builds the index from what is
// there and it is used from then on. Results are the same either way.
struct Replay {
  CatalogEntry* entries = nullptr;
  uint64_t count = 0;
  uint64_t capacity = 0;
  uint64_t index_hint = 0;
  bool indexed = false;
  KeyIndex index;
  // The all-ones key cannot live in a KeyIndex; its position is kept here.
  bool have_ones = false;
  uint64_t ones_pos = 0;
  // Some entry may carry the dropped flag (set by a drop record, or sent so).
  bool any_dropped = false;

  // Single-pass bookkeeping (see partial_load): entries at the last
  // checkpoint, whether a record after it changed an existing entry, and the
  // first failure while applying.
  uint64_t checkpoint_entries = 0;
  bool tail_changed = false;
  int32_t error = STATUS_OK;

  Replay() = default;
  Replay(const Replay&) = delete;
  Replay& operator=(const Replay&) = delete;
  ~Replay() { reset(); }

  // Back to the empty state, releasing what is owned.
  void reset() {
    key_index_free(&index);
    free(entries);
    entries = nullptr;
    count = capacity = index_hint = 0;
    indexed = have_ones = any_dropped = tail_changed = false;
    ones_pos = checkpoint_entries = 0;
    error = STATUS_OK;
  }

  bool find(uint64_t key, uint64_t* pos) const {
    if (indexed) {
      if (key == KEY_INDEX_EMPTY) {
        *pos = ones_pos;
        return have_ones;
      }
      return key_index_find(index, key, pos);
    }
    uint64_t lo = 0, hi = count;  // entries[0..count) strictly ascending
    while (lo < hi) {
      uint64_t mid = lo + (hi - lo) / 2;
      uint64_t k = entry_key(entries[mid]);
      if (k == key) {
        *pos = mid;
        return true;
      }
      if (k < key) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return false;
  }

  int32_t build_index() {
    int32_t rc = key_index_init(&index, index_hint > count ? index_hint : count);
    if (rc != STATUS_OK) return rc;
    indexed = true;
    for (uint64_t i = 0; i < count && rc == STATUS_OK; ++i) {
      uint64_t key = entry_key(entries[i]);
      if (key == KEY_INDEX_EMPTY) {
        have_ones = true;
        ones_pos = i;
      } else {
        rc = key_index_put(&index, key, i);
      }
    }
    return rc;
  }

  int32_t append(const uint8_t* body) {
    if (count == capacity) {
      int32_t rc = entry_array_reserve(&entries, &capacity, count + 1);
      if (rc != STATUS_OK) return rc;
    }
    memcpy(entries[count].bytes, body, CATALOG_ENTRY_SIZE);
    if ((body[ENT_FLAGS_OFF] & ENTRY_FLAG_DROPPED) != 0) any_dropped = true;
    count += 1;
    return STATUS_OK;
  }

  // *changed: an existing entry was replaced (rather than one appended).
  int32_t block(const uint8_t* rec, bool* changed) {
    *changed = false;
    const uint8_t* body = rec + REC_BODY_OFF;
    uint64_t key = get_u64_le(std::span<const uint8_t>(rec, JOURNAL_RECORD_SIZE), REC_BODY_OFF);
    if (!indexed) {
      if (count == 0 || key > entry_key(entries[count - 1])) return append(body);
      int32_t rc = build_index();
      if (rc != STATUS_OK) return rc;
    }
    bool found = false;
    uint64_t pos = 0;
    if (key == KEY_INDEX_EMPTY) {
      found = have_ones;
      pos = ones_pos;
      if (!found) {
        have_ones = true;
        ones_pos = count;
      }
    } else {
      int32_t rc = key_index_find_or_put(&index, key, count, &found, &pos);
      if (rc != STATUS_OK) return rc;
    }
    if (found) {
      memcpy(entries[pos].bytes, body, CATALOG_ENTRY_SIZE);
      if ((body[ENT_FLAGS_OFF] & ENTRY_FLAG_DROPPED) != 0) any_dropped = true;
      *changed = true;
      return STATUS_OK;
    }
    return append(body);
  }

  // True when an entry was marked.
  bool drop(const uint8_t* rec) {
    uint64_t key = get_u64_le(std::span<const uint8_t>(rec, JOURNAL_RECORD_SIZE), REC_DROP_KEY_OFF);
    uint64_t pos;
    if (!find(key, &pos)) return false;  // a key never recorded: nothing to drop
    entry_set_flags(&entries[pos], static_cast<uint8_t>(entry_flags(entries[pos]) | ENTRY_FLAG_DROPPED));
    any_dropped = true;
    return true;
  }

  int32_t apply(const uint8_t* rec, bool* changed) {
    *changed = false;
    uint8_t kind = journal_record_kind(rec);
    if (kind == REC_BLOCK) return block(rec, changed);
    if (kind == REC_DROP) *changed = drop(rec);
    return STATUS_OK;
  }
};

// Stale partials a single search looks at, at most.
inline constexpr size_t STALE_VISIT_MAX = 64;

// A partial already dealt with in this search, known by what its journal
// header says (the search hands the predicate nothing else).
struct VisitedPartial {
  Uuid uuid;
  int64_t created;
};

struct StaleKey {
  const char* name;
  uint8_t type;
  Uuid parent_uuid;
  VisitedPartial visited[STALE_VISIT_MAX];
  size_t visited_count;
};

bool match_stale(const BackupHeader& h, const void* key) {
  const auto* k = static_cast<const StaleKey*>(key);
  if (header_type(h) != k->type || uuid_equal(header_parent_uuid(h), k->parent_uuid) != 1) return false;
  char name[HDR_NAME_SIZE];
  header_name(h, name);
  if (strcmp(name, k->name) != 0) return false;
  Uuid id = header_uuid(h);
  for (size_t i = 0; i < k->visited_count; ++i) {
    if (k->visited[i].created == header_created(h) && uuid_equal(k->visited[i].uuid, id) == 1) return false;
  }
  return true;
}

// Visitor of the single pass: applies every valid record as the scan meets
// it and notes, at each checkpoint, how far the entries are trusted.
void apply_visited(void* ctx, const uint8_t* rec, const JournalScan&) {
  auto* r = static_cast<Replay*>(ctx);
  if (r->error != STATUS_OK) return;
  if (journal_record_kind(rec) == REC_CHECKPOINT) {
    r->checkpoint_entries = r->count;
    r->tail_changed = false;
    return;
  }
  bool changed = false;
  r->error = r->apply(rec, &changed);
  if (changed) r->tail_changed = true;
}

// Second pass, used only when the single pass cannot be cut back: applies
// the records from first to checkpoint_end, which the scan has already
// validated (CRCs are not checked again).
int32_t replay(int fd, uint64_t first, uint64_t checkpoint_end, Replay* r) {
  auto* buf = static_cast<uint8_t*>(malloc(kReplayChunk));
  if (buf == nullptr) return STATUS_NOMEM;
  int32_t rc = STATUS_OK;
  uint64_t p = first;
  while (rc == STATUS_OK && p < checkpoint_end) {
    uint64_t left = checkpoint_end - p;
    size_t want = left < kReplayChunk ? static_cast<size_t>(left) : kReplayChunk;
    size_t got = 0;
    rc = file_pread(fd, buf, want, p, &got);
    if (rc != STATUS_OK) break;
    if (got < JOURNAL_RECORD_SIZE) {
      rc = STATUS_CORRUPT;  // the file shrank since the scan
      break;
    }
    size_t whole = got / JOURNAL_RECORD_SIZE * JOURNAL_RECORD_SIZE;
    for (size_t off = 0; off < whole && rc == STATUS_OK; off += JOURNAL_RECORD_SIZE) {
      bool changed = false;
      rc = r->apply(buf + off, &changed);
    }
    p += whole;
  }
  free(buf);
  return rc;
}

}  // namespace

int32_t partial_find(const char* dir, PartialPredicate pred, const void* key, char* journal_path, size_t cap,
                     BackupHeader* header) {
  if (cap > 0) journal_path[0] = '\0';
  DirReader d;
  if (d.open(dir) != STATUS_OK) return STATUS_NOT_FOUND;
  auto* payload = new (std::nothrow) BackupHeader;
  auto* best = new (std::nothrow) BackupHeader;
  if (payload == nullptr || best == nullptr) {
    delete payload;
    delete best;
    return STATUS_NOMEM;
  }
  int64_t best_time = -1;
  char best_path[PATH_SIZE] = {};
  char path[PATH_SIZE];
  char tmp[PATH_SIZE];
  char image[PATH_SIZE];
  char catalog[PATH_SIZE];
  uint8_t head[JOURNAL_HEADER_SIZE];
  while (const char* file_name = d.next()) {
    if (!is_journal_name(file_name)) continue;
    if (!format_fits(path, sizeof path, "%s/%s", dir, file_name)) continue;
    uint64_t first = 0;
    int32_t hr = read_journal_header(path, head, payload, &first);
    if (hr == STATUS_INVALID) log_write(LEVEL_DEBUG, "skipping %s: %s", path, "not a regular file");
    if (hr != STATUS_OK) continue;
    const char* image_name = journal_header_image_name(head);
    const char* catalog_name = journal_header_catalog_name(head);
    // A journal naming files outside its directory can never be continued.
    if (!is_plain_file_name(image_name) || !is_plain_file_name(catalog_name)) continue;
    if (!format_fits(tmp, sizeof tmp, "%s/%s%s", dir, image_name, TMP_SUFFIX.data())) continue;
    if (!path_is_regular(tmp)) {
      if (!format_fits(image, sizeof image, "%s/%s", dir, image_name)) continue;
      if (!format_fits(catalog, sizeof catalog, "%s/%s", dir, catalog_name)) continue;
      if (!image_left_by_end(image, catalog)) continue;
    }
    if (!pred(*payload, key)) continue;
    int64_t created = header_created(*payload);
    if (created > best_time) {
      best_time = created;
      copy_text(best_path, sizeof best_path, path);
      memcpy(best->bytes, payload->bytes, BACKUP_HEADER_SIZE);
    }
  }
  int32_t rc = STATUS_OK;
  if (best_path[0] == '\0') {
    // A listing cut short by a read error cannot tell that there is none.
    rc = d.status() != STATUS_OK ? d.status() : STATUS_NOT_FOUND;
  } else if (strlen(best_path) >= cap) {
    rc = STATUS_INVALID;
  } else {
    copy_text(journal_path, cap, best_path);
    if (header != nullptr) memcpy(header->bytes, best->bytes, BACKUP_HEADER_SIZE);
  }
  delete payload;
  delete best;
  return rc;
}

int32_t partial_find_by_uuid(const char* dir, const Uuid& uuid, char* journal_path, size_t cap) {
  UuidKey key{&uuid};
  return partial_find(dir, match_uuid, &key, journal_path, cap, nullptr);
}

int32_t partial_find_by_name(const char* dir, const char* name, uint8_t type, const Uuid& parent_uuid,
                             char* journal_path, size_t cap, BackupHeader* header) {
  if (name == nullptr) name = "";
  NameKey key{name, type, &parent_uuid};
  return partial_find(dir, match_name, &key, journal_path, cap, header);
}

int32_t partial_load(const char* journal_path, PartialBackup* p) {
  memset(p, 0, sizeof *p);
  int raw = -1;
  int32_t rc = file_open_read_regular(journal_path, &raw);
  if (rc != STATUS_OK) return rc;
  UniqueFd fd(raw);
  uint8_t head[JOURNAL_HEADER_SIZE];
  uint64_t first = 0;
  rc = journal_read_header(fd.get(), head, &p->header, &first);
  if (rc != STATUS_OK) return rc;
  uint64_t end = 0;
  rc = file_size(fd.get(), &end);
  if (rc != STATUS_OK) return rc;
  const char* cat_name = journal_header_catalog_name(head);
  const char* img_name = journal_header_image_name(head);
  if (!is_plain_file_name(cat_name) || !is_plain_file_name(img_name)) return STATUS_INVALID;

  // One pass normally does it: records are applied while the scan checks
  // them. Records after the last checkpoint must not count; when they only
  // appended entries, cutting the list back to its length at that
  // checkpoint undoes them. When they changed earlier entries (or applying
  // failed), the list is rebuilt by a second pass that stops at the
  // checkpoint.
  Replay r;
  // Room for every record the file can hold, so the list never moves while
  // it fills; pages that are never written cost nothing. A journal too big
  // for that (or a damaged size) falls back to growing the list.
  uint64_t most = end > first ? (end - first) / JOURNAL_RECORD_SIZE : 0;
  r.index_hint = most < kReserveMax ? most : kReserveMax;
  if (most > 0 && most <= kReserveMax) {
    r.entries = entry_array_alloc(most);
    if (r.entries != nullptr) r.capacity = most;
  }
  JournalScan scan;
  rc = journal_scan_visit(fd.get(), end, first, &scan, apply_visited, &r);
  if (rc != STATUS_OK) return rc;
  if (scan.checkpoint_end == 0) return STATUS_CORRUPT;
  if (r.error != STATUS_OK || r.tail_changed) {
    r.reset();
    r.index_hint = scan.checkpoint_count;
    rc = replay(fd.get(), first, scan.checkpoint_end, &r);
    if (rc != STATUS_OK) return rc;
  } else {
    r.count = r.checkpoint_entries;
  }

  // Without an index the keys arrived strictly ascending: already in
  // catalog order. Without a dropped flag there is nothing to compact.
  uint64_t kept = r.any_dropped ? entries_compact(r.entries, r.count) : r.count;
  if (r.indexed) entries_sort(r.entries, kept);
  if (kept > 0) {
    p->entries = r.entries;
    r.entries = nullptr;  // ownership moves to p
  }
  p->entry_count = kept;
  copy_text(p->catalog_name, sizeof p->catalog_name, cat_name);
  copy_text(p->image_name, sizeof p->image_name, img_name);
  p->checkpoint_image_size = scan.checkpoint_image_size;
  p->checkpoint_end = scan.checkpoint_end;
  p->first_record_offset = first;
  return STATUS_OK;
}

void partial_free(PartialBackup* p) {
  if (p == nullptr) return;
  free(p->entries);
  p->entries = nullptr;
  p->entry_count = 0;
}

int32_t partial_prepare_image(const char* tmp_image_path, uint64_t checkpoint_image_size, int* fd) {
  *fd = -1;
  int32_t rc = reclaim_image_from_end(tmp_image_path);
  if (rc != STATUS_OK) return rc;
  bool existed = path_exists(tmp_image_path);
  int raw = -1;
  rc = file_open_rw(tmp_image_path, FILE_MODE, &raw);
  if (rc != STATUS_OK) return rc;
  UniqueFd owner(raw);
  uint64_t size = 0;
  rc = file_size(owner.get(), &size);
  if (rc != STATUS_OK) return rc;
  // The checkpoint promised these bytes; without them the entries would
  // point past the end of the image.
  if (size < checkpoint_image_size) return STATUS_CORRUPT;
  rc = file_truncate(owner.get(), checkpoint_image_size);
  if (rc == STATUS_OK) rc = file_sync(owner.get());
  // An image created here must not vanish in a crash while the checkpoints
  // of the continued backup are reported durable.
  if (rc == STATUS_OK && !existed) rc = dir_sync_parent_checked(tmp_image_path);
  if (rc != STATUS_OK) return rc;
  *fd = owner.release();
  return STATUS_OK;
}

void partial_remove(const char* journal_path) {
  char dir[PATH_SIZE];
  copy_text(dir, sizeof dir, journal_path);
  char* slash = strrchr(dir, '/');
  if (slash != nullptr) {
    *slash = '\0';
  } else {
    copy_text(dir, sizeof dir, ".");
  }
  auto* payload = new (std::nothrow) BackupHeader;
  if (payload != nullptr) {
    uint8_t head[JOURNAL_HEADER_SIZE];
    uint64_t first = 0;
    if (read_journal_header(journal_path, head, payload, &first) == STATUS_OK) {
      const char* image_name = journal_header_image_name(head);
      const char* catalog_name = journal_header_catalog_name(head);
      char tmp[PATH_SIZE + JH_NAME_SIZE + 8];
      char image[PATH_SIZE + JH_NAME_SIZE];
      char catalog[PATH_SIZE + JH_NAME_SIZE];
      // Only a plain name: a damaged or hostile journal must not make us
      // delete a file outside its directory.
      if (is_plain_file_name(image_name) && format_fits(tmp, sizeof tmp, "%s/%s%s", dir, image_name, TMP_SUFFIX.data())) {
        if (path_exists(tmp)) {
          (void)file_remove(tmp);  // failures are ignored: the file may already be gone
        } else if (is_plain_file_name(catalog_name) && format_fits(image, sizeof image, "%s/%s", dir, image_name) &&
                   format_fits(catalog, sizeof catalog, "%s/%s", dir, catalog_name) &&
                   image_left_by_end(image, catalog)) {
          (void)file_remove(image);  // the image of an END cut short; no catalog refers to it
        }
      }
    }
    delete payload;
  }
  (void)file_remove(journal_path);  // failures are ignored
}

uint64_t partial_expire(const char* dir, int64_t max_age_seconds, PartialLocks& locks) {
  if (max_age_seconds <= 0) return 0;
  DirReader d;
  if (d.open(dir) != STATUS_OK) return 0;
  int64_t now = now_seconds();
  uint64_t removed = 0;
  char path[PATH_SIZE];
  char journal[PATH_SIZE + JOURNAL_SUFFIX.size()];
  while (const char* file_name = d.next()) {
    TempKind kind = temp_kind(file_name);
    if (kind == TempKind::none) continue;
    if (!format_fits(path, sizeof path, "%s/%s", dir, file_name)) continue;
    int64_t mtime = 0;
    int32_t rc = path_mtime(path, &mtime);
    if (rc == STATUS_INVALID) log_write(LEVEL_DEBUG, "skipping %s: %s", path, "not a regular file");
    if (rc != STATUS_OK) continue;
    int64_t age = now - mtime;
    if (age <= max_age_seconds) continue;
    switch (kind) {
      case TempKind::journal:
        // A held lock means a session is still receiving this backup (it
        // may just be idle), here or in another target on the same
        // storage; its files are not ours to delete.
        if (locks.try_lock(path, -1) != STATUS_OK) break;
        partial_remove(path);
        locks.unlock(path);
        removed += 1;
        break;
      case TempKind::image: {
        // Left by a crash between the name's reservation and the journal's
        // creation, or by a backup without a journal that ended unfinished.
        // One with a journal belongs to a partial (expired with it). A
        // backup still being received keeps its image locked (the same
        // kind of lock as a journal's, seen by other targets on the same
        // storage) and, in this process, its journal's lock even when its
        // journal could not be kept.
        size_t stem = strlen(path) - TMP_SUFFIX.size();
        if (!format_fits(journal, sizeof journal, "%.*s%s", static_cast<int>(stem), path, JOURNAL_SUFFIX.data())) break;
        if (path_exists(journal) || locks.held(journal)) break;
        int fd = -1;
        if (file_open_read_regular(path, &fd) != STATUS_OK) break;
        if (file_lock_probe(fd) != STATUS_AGAIN) {
          log_write(LEVEL_DEBUG, "removing %s: %s", path, "temporary image without a journal");
          (void)file_remove(path);  // best effort, like every removal of expiry
        }
        (void)file_close(fd);  // read-only
        break;
      }
      case TempKind::catalog:
        // A catalog is written under this name and renamed at once; an old
        // one is what a failed write left.
        log_write(LEVEL_DEBUG, "removing %s: %s", path, "temporary catalog of a failed write");
        (void)file_remove(path);  // best effort
        break;
      case TempKind::none:
        break;
    }
  }
  return removed;
}

void partial_remove_stale(const char* dir, const char* name, uint8_t type, const Uuid& parent_uuid,
                          PartialLocks& locks) {
  auto* key = new (std::nothrow) StaleKey;
  if (key == nullptr) return;  // only housekeeping; expiry catches them later
  key->name = name != nullptr ? name : "";
  key->type = type;
  key->parent_uuid = parent_uuid;
  key->visited_count = 0;
  char path[PATH_SIZE];
  auto* found = new (std::nothrow) BackupHeader;
  while (found != nullptr && key->visited_count < STALE_VISIT_MAX) {
    if (partial_find(dir, match_stale, key, path, sizeof path, found) != STATUS_OK) break;
    if (locks.try_lock(path, -1) != STATUS_OK) break;
    partial_remove(path);
    locks.unlock(path);
    metrics_add(service_metrics().partials_discarded, 1);
    key->visited[key->visited_count++] = VisitedPartial{header_uuid(*found), header_created(*found)};
  }
  delete found;
  delete key;
}

void partial_discard(const char* dir, const Uuid& uuid, int holder, uint32_t wait_ms, PartialLocks& locks) {
  char journal_path[PATH_SIZE];
  if (partial_find_by_uuid(dir, uuid, journal_path, sizeof journal_path) == STATUS_OK &&
      locks.takeover(journal_path, holder, wait_ms) == STATUS_OK) {
    partial_remove(journal_path);
    locks.unlock(journal_path);
    metrics_add(service_metrics().partials_discarded, 1);
  }
}

}  // namespace orv
