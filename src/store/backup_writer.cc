#include "store/backup_writer.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/endian.h"
#include "core/file_io.h"
#include "core/log.h"
#include "core/status.h"
#include "core/sysinfo.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "store/catalog.h"
#include "store/entry_array.h"
#include "store/journal_format.h"
#include "store/memory_budget.h"
#include "store/names.h"
#include "store/partial.h"
#include "store/partial_lock.h"
#include "store/retention.h"

namespace orv {

namespace {

// "<working directory>/<recorded or chosen name>" always fits the paths, and
// so do the temporary image and journal names after the image path.
static_assert(WORKDIR_SIZE + JH_NAME_SIZE <= STORE_PATH_SIZE);
static_assert(STORE_PATH_SIZE + TMP_SUFFIX.size() <= STORE_TEMP_PATH_SIZE);
static_assert(STORE_PATH_SIZE + JOURNAL_SUFFIX.size() <= STORE_TEMP_PATH_SIZE);

// The partial being continued, on the heap (its header is 128 KiB).
struct PartialOwner {
  PartialBackup* p = new (std::nothrow) PartialBackup();
  PartialOwner() = default;
  PartialOwner(const PartialOwner&) = delete;
  PartialOwner& operator=(const PartialOwner&) = delete;
  ~PartialOwner() {
    if (p != nullptr) partial_free(p);
    delete p;
  }
};

// A partial's lock while resume prepares it: released on every early
// return, kept once the writer owns the partial.
class LockHold {
 public:
  LockHold(PartialLocks& locks, const char* path) : locks_(locks), path_(path) {}
  LockHold(const LockHold&) = delete;
  LockHold& operator=(const LockHold&) = delete;
  ~LockHold() {
    if (path_ != nullptr) locks_.unlock(path_);
  }
  void keep() { path_ = nullptr; }

 private:
  PartialLocks& locks_;
  const char* path_;
};

// Slots of keys this many entries ahead are fetched into the cache while
// the current key is put: the slots are scattered over two arrays of tens of
// MiB, and fetching them one at a time doubles the time of a large index.
inline constexpr uint64_t INDEX_PREFETCH_AHEAD = 16;

// The WARN line of a temporary image that could not be created, with the
// system's reason (a name that is not a regular file has none).
void warn_image_not_created(const char* path, int32_t status, int error) {
  char reason[128];
  if (status == STATUS_INVALID) {
    copy_text(reason, sizeof reason, "not a regular file");
  } else {
    errno = error;
    errno_text(reason, sizeof reason);
  }
  log_write(LEVEL_WARN, "failed to create image file %s: %s (%s, status=%d)", path, reason, status_text(status),
            status);
}

}  // namespace

BackupWriter::~BackupWriter() { abandon(); }

void BackupWriter::reset() {
  assert(!journaling_ && !locked_);  // a partial's lock would be lost
  memset(header_.bytes, 0, sizeof header_.bytes);
  tmp_image_path_[0] = image_path_[0] = catalog_path_[0] = journal_path_[0] = '\0';
  close_image();
  release_memory();
  image_size_ = 0;
  image_uncached_ = 0;
  journal_init(&journal_);
  open_ = journaling_ = locked_ = resumed_ = indexed_ = finished_ = false;
}

int32_t BackupWriter::lock_create(int holder) {
  int32_t rc = store_locks(settings_).create_locked(journal_path_, holder);
  locked_ = rc == STATUS_OK;
  return rc;
}

void BackupWriter::lock_image() {
  // Expiry (here or in another target on the same storage) removes an old
  // temporary image without a journal only when it can lock it, so this
  // lock keeps a backup being received safe even when its journal could
  // not be kept. It lasts as long as image_fd_. A storage without such
  // locks has only the in-process lock and the image's age to go by.
  (void)file_lock_exclusive(image_fd_);  // best effort, see above
}

void BackupWriter::lock_release() {
  if (!locked_) return;
  store_locks(settings_).unlock(journal_path_);
  locked_ = false;
}

void BackupWriter::close_image() {
  (void)image_stream_.stop();  // normally stopped already; an unfinished image stays as it is
  if (image_fd_ >= 0) {
    (void)file_close(image_fd_);  // an unfinished image stays as it is; nothing to report to
    image_fd_ = -1;
  }
}

void BackupWriter::release_memory() {
  key_index_free(&key_index_);
  budget_release(&entries_charge_);
  free(entries_);
  entries_ = nullptr;
  entry_count_ = 0;
  entry_capacity_ = 0;
}

int32_t BackupWriter::open(const StoreSettings& settings, const BackupOpenRequest& req, OpenRefusal* refusal,
                           uint64_t* expired) {
  assert(!open_);
  *refusal = OpenRefusal::none;
  *expired = 0;
  reset();
  settings_ = settings;
  entries_charge_.budget = settings.budget;
  int32_t rc = dir_ensure(req.workdir);
  if (rc != STATUS_OK) {
    *refusal = OpenRefusal::directory;
    return rc;
  }
  if (settings.min_free > 0) {
    uint64_t free_bytes = 0;
    // A file system that cannot be asked is not refused for it: the check
    // only keeps backups from starting into a disk known to be full.
    if (disk_free_bytes(req.workdir, &free_bytes) == STATUS_OK && free_bytes < settings.min_free) {
      log_write(LEVEL_WARN, "refusing a new backup in %s: the storage file system has %llu bytes free, less than "
                "--min-free %llu", req.workdir, static_cast<unsigned long long>(free_bytes),
                static_cast<unsigned long long>(settings.min_free));
      *refusal = OpenRefusal::image;
      return STATUS_IO;
    }
  }

  BackupHeaderFields fields = req.fields;
  fields.created = now_seconds();
  encode_backup_header(fields, &header_);
  const char* name = req.name != nullptr ? req.name : "";
  if (name[0] == '\0') {
    *refusal = OpenRefusal::empty_name;
    return STATUS_INVALID;
  }
  if (retention_apply(&header_, req.retention != nullptr ? req.retention : "",
                      req.retention_label != nullptr ? req.retention_label : "") != 0) {
    *refusal = OpenRefusal::retention;
    return STATUS_INVALID;
  }

  // Picks the first free name of this minute and reserves it by creating
  // the (empty) temporary image, so no other backup can take it.
  NameReservation reserve;
  rc = backup_paths(req.workdir, name, fields.type, fields.created, catalog_path_, sizeof catalog_path_, image_path_,
                    sizeof image_path_, &reserve);
  if (rc != STATUS_OK) {
    // A good name whose temporary image could not be created is a failed
    // creation (permissions, space, inodes), not a bad name.
    if (reserve.failed) {
      warn_image_not_created(reserve.path, rc, reserve.error);
      *refusal = OpenRefusal::image;
    } else {
      *refusal = OpenRefusal::names;
    }
    return rc;
  }
  // Both fit: the image path is shorter than 1,024 characters.
  (void)snprintf(tmp_image_path_, sizeof tmp_image_path_, "%s%s", image_path_, TMP_SUFFIX.data());
  (void)snprintf(journal_path_, sizeof journal_path_, "%s%s", image_path_, JOURNAL_SUFFIX.data());

  PartialLocks& locks = store_locks(settings);
  *expired = partial_expire(req.workdir, settings.partial_max_age, locks);
  if (req.remove_stale_partials) partial_remove_stale(req.workdir, name, fields.type, fields.parent_uuid, locks);

  int fd = -1;
  errno = 0;
  rc = file_create(tmp_image_path_, FILE_MODE, &fd);
  if (rc != STATUS_OK) {
    warn_image_not_created(tmp_image_path_, rc, errno);
    (void)file_remove(tmp_image_path_);  // the empty reservation; nothing else was written
    *refusal = OpenRefusal::image;
    return rc;
  }
  image_fd_ = fd;
  lock_image();
  image_size_ = 0;
  image_uncached_ = 0;
  open_ = true;
  start_journal(req.holder);
  start_stream();
  return STATUS_OK;
}

void BackupWriter::start_stream() {
  int32_t rc = image_stream_.start(tmp_image_path_, image_fd_, WRITER_RECEIVE_BUFFER_SIZE);
  if (rc != STATUS_OK) {
    log_write(LEVEL_WARN, "image of %s written without a writer thread: %s (status=%d)", image_path_,
              status_text(rc), rc);
  }
}

std::span<uint8_t> BackupWriter::receive_buffer() {
  if (!image_stream_.started()) return {};
  return image_stream_.buffer();
}

int32_t BackupWriter::flush_image() { return image_stream_.drain(); }

void BackupWriter::start_journal(int holder) {
  // The lock comes first: a journal that exists unlocked, even briefly,
  // could be taken for a stale partial by another backup (of this target or
  // another one on the same storage) and deleted. So the journal file is
  // created empty under its lock, and only then written. The lock is kept
  // when the journal cannot be written (the file is removed then): it tells
  // expiry in this process that the temporary image belongs to a backup
  // still being received.
  int32_t rc = lock_create(holder);
  if (rc == STATUS_OK) {
    rc = journal_create_reserved(&journal_, journal_path_, header_, catalog_path_, image_path_);
    if (rc != STATUS_OK) (void)file_remove(journal_path_);  // the empty file made for it; gone already or nothing in it
  }
  if (rc != STATUS_OK) {
    journal_close(&journal_);
    log_write(LEVEL_WARN, "no journal for %s: this backup cannot be continued if it is interrupted", image_path_);
  }
  journaling_ = rc == STATUS_OK;
}

int32_t BackupWriter::resume(const StoreSettings& settings, const char* workdir, const Uuid& uuid, int holder,
                             ResumeRefusal* refusal) {
  assert(!open_);
  *refusal = ResumeRefusal::none;
  reset();
  settings_ = settings;
  PartialLocks& locks = store_locks(settings);
  char journal_path[PATH_SIZE];
  int32_t rc = partial_find_by_uuid(workdir, uuid, journal_path, sizeof journal_path);
  if (rc == STATUS_NOMEM) {
    *refusal = ResumeRefusal::no_memory;
    return STATUS_NOMEM;
  }
  if (rc != STATUS_OK) {
    *refusal = ResumeRefusal::not_found;
    return STATUS_NOT_FOUND;
  }

  // Ends a connection that still holds the partial (an agent reconnecting
  // before its old connection noticed) and waits for its session to finish
  // with a last checkpoint. Held by another target on the same storage, it
  // is asked for again until the same time limit: that holder cannot be
  // told to let go, but loses the lock when its session ends or it dies.
  rc = locks.takeover(journal_path, holder, settings.takeover_wait_ms);
  if (rc == STATUS_NOT_FOUND) {
    // Removed (discarded, expired or finished) while this one waited.
    *refusal = ResumeRefusal::not_found;
    return STATUS_NOT_FOUND;
  }
  if (rc != STATUS_OK) {
    *refusal = rc == STATUS_AGAIN ? ResumeRefusal::in_use : ResumeRefusal::cannot_continue;
    return rc;
  }
  LockHold lock(locks, journal_path);

  // The table is charged before it is read: at most one entry per journal
  // record after the journal header and the backup header it carries, so a
  // journal larger than the budget allows is refused unread.
  struct ChargeHold {
    BudgetCharge c;
    ~ChargeHold() { budget_release(&c); }
  } load_charge;
  load_charge.c.budget = settings.budget;
  struct stat journal_st;
  constexpr uint64_t kRecordsStart = JOURNAL_HEADER_SIZE + BACKUP_HEADER_SIZE;
  uint64_t journal_size = lstat(journal_path, &journal_st) == 0 && journal_st.st_size > 0
                              ? static_cast<uint64_t>(journal_st.st_size)
                              : 0;
  uint64_t most_entries = journal_size > kRecordsStart ? (journal_size - kRecordsStart) / JOURNAL_RECORD_SIZE : 0;
  if (budget_charge_to(&load_charge.c, most_entries * CATALOG_ENTRY_SIZE) != STATUS_OK) {
    *refusal = ResumeRefusal::no_memory;
    return STATUS_NOMEM;
  }

  PartialOwner owner;
  if (owner.p == nullptr) {
    *refusal = ResumeRefusal::no_memory;
    return STATUS_NOMEM;
  }
  PartialBackup* p = owner.p;
  rc = partial_load(journal_path, p);
  if (rc == STATUS_NOMEM) {
    *refusal = ResumeRefusal::no_memory;
    return STATUS_NOMEM;
  }
  // STATUS_INVALID: the journal reads, but names files outside the directory.
  if (rc != STATUS_OK || !is_plain_file_name(p->image_name) || !is_plain_file_name(p->catalog_name)) {
    *refusal = rc == STATUS_OK || rc == STATUS_INVALID ? ResumeRefusal::bad_journal : ResumeRefusal::no_checkpoint;
    return STATUS_CORRUPT;
  }

  char image_path[STORE_PATH_SIZE];
  char catalog_path[STORE_PATH_SIZE];
  char tmp_image_path[STORE_TEMP_PATH_SIZE];
  // Sizes checked above: none of these is cut.
  (void)snprintf(image_path, sizeof image_path, "%s/%s", workdir, p->image_name);
  (void)snprintf(catalog_path, sizeof catalog_path, "%s/%s", workdir, p->catalog_name);
  (void)snprintf(tmp_image_path, sizeof tmp_image_path, "%s%s", image_path, TMP_SUFFIX.data());

  // Both files are cut back to the last checkpoint and fsynced before the
  // caller hears of them: what it reports is on disk.
  int raw_fd = -1;
  rc = partial_prepare_image(tmp_image_path, p->checkpoint_image_size, &raw_fd);
  if (rc != STATUS_OK) {
    *refusal = ResumeRefusal::cannot_continue;
    return rc;
  }
  UniqueFd image(raw_fd);
  rc = journal_reopen(&journal_, journal_path, *p);
  if (rc != STATUS_OK) {
    *refusal = ResumeRefusal::cannot_continue;
    return rc;
  }
  // What the table really holds (never more than charged: one entry per record).
  if (budget_charge_to(&load_charge.c, p->entry_count * CATALOG_ENTRY_SIZE) != STATUS_OK) {
    journal_close(&journal_);
    *refusal = ResumeRefusal::no_memory;
    return STATUS_NOMEM;
  }
  // The index gets its memory now; it is filled before the first block or
  // drop, so that a caller can send the entries first.
  rc = key_index_init(&key_index_, p->entry_count);
  if (rc != STATUS_OK) {
    journal_close(&journal_);
    *refusal = ResumeRefusal::no_memory;
    return STATUS_NOMEM;
  }

  // The writer takes the partial over.
  memcpy(header_.bytes, p->header.bytes, BACKUP_HEADER_SIZE);
  copy_text(image_path_, sizeof image_path_, image_path);
  copy_text(catalog_path_, sizeof catalog_path_, catalog_path);
  copy_text(tmp_image_path_, sizeof tmp_image_path_, tmp_image_path);
  copy_text(journal_path_, sizeof journal_path_, journal_path);
  image_fd_ = image.release();
  lock_image();
  image_size_ = p->checkpoint_image_size;
  image_uncached_ = p->checkpoint_image_size;  // cut and fsynced: nothing worth caching
  entries_ = p->entries;
  entry_count_ = p->entry_count;
  entry_capacity_ = p->entry_count;
  entries_charge_ = load_charge.c;  // the writer holds the charge with the table
  load_charge.c = BudgetCharge{0, settings.budget};
  p->entries = nullptr;
  p->entry_count = 0;
  open_ = journaling_ = locked_ = resumed_ = true;
  indexed_ = false;
  lock.keep();  // released by finish or abandon
  start_stream();

  char uuid_text[UUID_TEXT_SIZE];
  uuid_format(header_uuid(header_), uuid_text);
  log_write(LEVEL_INFO, "continuing backup %s: %llu entries, %llu image bytes kept", uuid_text,
            static_cast<unsigned long long>(entry_count_), static_cast<unsigned long long>(image_size_));
  return STATUS_OK;
}

void BackupWriter::fill_key_index() {
  // Sized for every entry by resume, no put grows the index, so none can
  // fail for want of memory, and the slots fetched ahead are the ones the
  // puts use. The all-ones key cannot live in the index; such an entry is
  // kept, only a later block with that key does not replace it.
  KeyIndex* index = &key_index_;
  const CatalogEntry* entries = entries_;
  const uint64_t count = entry_count_;
  assert(index->capacity >= 2 * count);
  const uint64_t mask = index->capacity - 1;
  for (uint64_t i = 0; i < count; ++i) {
    if (i + INDEX_PREFETCH_AHEAD < count) {
      uint64_t ahead = fmix64(entry_key(entries[i + INDEX_PREFETCH_AHEAD])) & mask;
      __builtin_prefetch(&index->keys[ahead], 1);
      __builtin_prefetch(&index->values[ahead], 1);
    }
    uint64_t key = entry_key(entries[i]);
    if (key == KEY_INDEX_EMPTY) continue;
    int32_t rc = key_index_put(index, key, i);
    assert(rc == STATUS_OK);  // the index has room for every key
    (void)rc;
  }
  indexed_ = true;
}

int32_t BackupWriter::write_image(std::span<const uint8_t> data) {
  // Queued for the image stream when it runs: the data stays in its
  // receive buffer until it is written, and a failure shows later.
  if (image_stream_.started()) return image_stream_.write(data, image_size_);
  // The data goes from the caller's buffer to the image as it is.
  size_t written = 0;
  int32_t rc = file_pwrite_all(image_fd_, data.data(), data.size(), image_size_, &written);
  if (rc == STATUS_OK && written != data.size()) rc = STATUS_IO;  // no progress: the device is full
  if (rc != STATUS_OK) return rc;
  // Start writing the block back now, so that the next checkpoint's fsync
  // finds little left to do. Only a hint: without a wait flag it does not
  // wait for the writes and does not consume a writeback error, which the
  // checkpoint's fsync still reports.
  (void)sync_file_range(image_fd_, static_cast<off64_t>(image_size_), static_cast<off64_t>(data.size()),
                        SYNC_FILE_RANGE_WRITE);
  return STATUS_OK;
}

// The memory budget is charged for the grown table before it is grown; a
// table that would pass it fails like an allocation (STATUS_NOMEM).
int32_t BackupWriter::reserve_entries(uint64_t needed) {
  if (needed <= entry_capacity_ && entries_ != nullptr) return STATUS_OK;
  uint64_t cap = entry_array_capacity_for(entry_capacity_, needed);
  if (cap == 0) return STATUS_NOMEM;
  uint64_t before = entries_charge_.bytes;
  int32_t rc = budget_charge_to(&entries_charge_, cap * CATALOG_ENTRY_SIZE);
  if (rc != STATUS_OK) return rc;
  rc = entry_array_reserve(&entries_, &entry_capacity_, needed);
  if (rc != STATUS_OK) (void)budget_charge_to(&entries_charge_, before);  // shrinking never fails
  return rc;
}

int32_t BackupWriter::record_entry(const CatalogEntry& entry) {
  // Room first, so that an index slot never points past the array.
  int32_t rc = reserve_entries(entry_count_ + 1);
  if (rc != STATUS_OK) return rc;
  if (resumed_) {
    // In a continued backup the later block for a key replaces the earlier
    // entry in place (flags included).
    bool found = false;
    uint64_t existing = 0;
    rc = key_index_find_or_put(&key_index_, entry_key(entry), entry_count_, &found, &existing);
    if (rc == STATUS_NOMEM) return rc;
    // Any other failure is the all-ones key, which the index cannot hold:
    // the entry is kept, only not replaceable by a later block.
    if (rc == STATUS_OK && found) {
      assert(existing < entry_count_);
      entries_[existing] = entry;
      return STATUS_OK;
    }
  }
  entries_[entry_count_++] = entry;
  return STATUS_OK;
}

int32_t BackupWriter::append_block(CatalogEntry entry, std::span<const uint8_t> data, Progress* progress) {
  assert(open_ && !finished_ && image_fd_ >= 0);
  *progress = Progress{};
  // A block queued earlier that could not be written ends the backup
  // before this one is acknowledged.
  int32_t failed = image_stream_.failure();
  if (failed != STATUS_OK) {
    progress->image_failed = true;
    return failed;
  }
  std::span<uint8_t> e = entry.span();
  bool has_data = (entry_flags(entry) & ENTRY_FLAG_NO_DATA) == 0;
  uint32_t length = 0;
  if (has_data) {
    length = static_cast<uint32_t>(data.size());
    int32_t rc = write_image(data);
    if (rc != STATUS_OK) {
      progress->image_failed = true;
      return rc;
    }
    put_u64_le(e, ENT_OFFSET_OFF, image_size_);
    image_size_ += length;
  } else {
    put_u64_le(e, ENT_OFFSET_OFF, ENTRY_NO_OFFSET);
  }
  put_u32_le(e, ENT_LENGTH_OFF, length);

  if (resumed_ && !indexed_) fill_key_index();
  int32_t rc = record_entry(entry);
  if (rc != STATUS_OK) return rc;

  if (journaling_) {
    if (journal_add_block(&journal_, entry, length) != STATUS_OK) {
      abandon_journal("write");
    } else {
      progress->checkpointed = checkpoint_if_due();
    }
  }
  return image_failure(progress);
}

int32_t BackupWriter::image_failure(Progress* progress) {
  int32_t rc = image_stream_.failure();
  if (rc != STATUS_OK) progress->image_failed = true;
  return rc;
}

int32_t BackupWriter::drop_entries(std::span<const uint8_t> keys_le, uint32_t count, Progress* progress) {
  assert(open_ && !finished_ && keys_le.size() >= uint64_t{8} * count);
  *progress = Progress{};
  int32_t failed = image_failure(progress);
  if (failed != STATUS_OK) return failed;
  // Only a continued backup has entries from before that an agent may
  // withdraw; in a new one the keys mean nothing.
  if (resumed_) {
    if (!indexed_) fill_key_index();
    for (uint32_t i = 0; i < count; ++i) {
      uint64_t key = get_u64_le(keys_le, size_t{8} * i);
      uint64_t pos = 0;
      if (!key_index_find(key_index_, key, &pos)) continue;
      CatalogEntry* e = &entries_[pos];
      if (entry_dropped(*e)) continue;
      entry_set_flags(e, static_cast<uint8_t>(entry_flags(*e) | ENTRY_FLAG_DROPPED));
      if (journaling_ && journal_add_drop(&journal_, key) != STATUS_OK) abandon_journal("write");
    }
  }
  progress->checkpointed = checkpoint_if_due();
  return image_failure(progress);
}

bool BackupWriter::checkpoint_if_due() {
  if (!journaling_ || !journal_checkpoint_due(journal_, settings_)) return false;
  return checkpoint();
}

bool BackupWriter::checkpoint() {
  if (!journaling_) return false;
  assert(image_fd_ >= 0);
  // Every block before the checkpoint is in the image first. A block that
  // could not be written makes no checkpoint: it would state bytes the
  // image does not hold (the caller learns of it from image_failed).
  if (image_stream_.drain() != STATUS_OK) return false;
  int32_t rc = journal_checkpoint(&journal_, image_fd_, image_size_);
  if (rc != STATUS_OK) {
    abandon_journal("checkpoint");
    return false;
  }
  // The range is on disk now; keeping it cached only slows further writes.
  if (image_size_ > image_uncached_) {
    (void)posix_fadvise(image_fd_, static_cast<off_t>(image_uncached_),
                        static_cast<off_t>(image_size_ - image_uncached_),
                        POSIX_FADV_DONTNEED);  // advice only; a refusal changes nothing
    image_uncached_ = image_size_;
  }
  return true;
}

void BackupWriter::abandon_journal(const char* what) {
  log_write(LEVEL_WARN, "journal of %s: %s failed; this backup cannot be continued any more", image_path_, what);
  journal_close(&journal_);
  // Deleted while the lock is still held: between an unlock and the
  // deletion another connection could take the partial over and write the
  // image this writer goes on writing.
  (void)file_remove(journal_path_);  // a journal that may miss records must not be offered for continuation
  dir_sync_parent(journal_path_);    // best effort, like the deletion
  // The lock stays until the backup ends: expiry must leave the temporary
  // image of a backup still being received alone.
  journaling_ = false;
}

int32_t BackupWriter::finish(uint64_t* entry_count) {
  assert(open_ && !finished_);
  *entry_count = 0;
  // Every block is in the image, or the backup cannot be finished.
  int32_t rc = image_stream_.stop();
  if (rc != STATUS_OK) {
    close_image();
    return rc;
  }
  entry_count_ = entries_compact(entries_, entry_count_);
  entries_sort(entries_, entry_count_);

  // The image is complete and on disk before it takes its final name.
  rc = file_sync(image_fd_);
  int32_t close_rc = file_close(image_fd_);
  image_fd_ = -1;
  if (rc == STATUS_OK) rc = close_rc;
  if (rc != STATUS_OK) return rc;
  rc = file_rename(tmp_image_path_, image_path_);
  if (rc != STATUS_OK) return rc;

  // catalog_write syncs the directory after its rename, which also makes
  // the image's rename above durable.
  header_set_image_size(&header_, image_size_);
  rc = catalog_write(catalog_path_, FILE_MODE, header_, entries_, entry_count_);
  if (rc != STATUS_OK) {
    // Give the image its temporary name back, so that the partial (image
    // and journal) stays whole and can still be continued.
    if (file_rename(image_path_, tmp_image_path_) != STATUS_OK) {
      log_write(LEVEL_WARN, "cannot restore the temporary name of %s", image_path_);
    }
    return rc;
  }

  if (journaling_) {
    journal_close(&journal_);
    (void)file_remove(journal_path_);  // the finished backup no longer needs it; a leftover is never a partial
    // Success leaves a directory without the journal, also after a power
    // loss. Best effort: a journal that comes back beside its catalog is
    // never offered for continuation, only expired.
    dir_sync_parent(journal_path_);
    journaling_ = false;
  }
  lock_release();
  finished_ = true;
  *entry_count = entry_count_;
  return STATUS_OK;
}

void BackupWriter::abandon() {
  // Every queued block reaches the image (or fails) before it is left.
  int32_t written = image_stream_.stop();
  if (journaling_) {
    if (image_fd_ >= 0 && written == STATUS_OK) {
      // Whatever this last checkpoint achieves, the earlier ones still stand.
      // After a failed block write none is made: it would state bytes the
      // image does not hold.
      (void)journal_checkpoint(&journal_, image_fd_, image_size_);
    }
    journal_close(&journal_);
    journaling_ = false;
  }
  lock_release();
  close_image();
  release_memory();
  open_ = false;
}

}  // namespace orv
