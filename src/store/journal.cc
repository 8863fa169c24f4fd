#include "store/journal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/file_io.h"
#include "core/metrics.h"
#include "core/status.h"
#include "core/sysinfo.h"
#include "core/text.h"
#include "store/catalog.h"
#include "store/journal_format.h"
#include "store/journal_reader.h"
#include "store/partial.h"

namespace orv {

namespace {

std::string_view base_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return std::string_view(slash != nullptr ? slash + 1 : path);
}

int32_t pwrite_exact(int fd, const void* data, size_t len, uint64_t offset) {
  size_t written = 0;
  int32_t rc = file_pwrite_all(fd, data, len, offset, &written);
  if (rc != STATUS_OK) return rc;
  return written == len ? STATUS_OK : STATUS_IO;
}

int32_t flush_buffer(JournalWriter* w) {
  if (w->used == 0) return STATUS_OK;
  int32_t rc = pwrite_exact(w->fd, w->buffer, static_cast<size_t>(w->used), w->write_offset);
  if (rc != STATUS_OK) {
    w->used = 0;  // the buffered records are lost; the caller abandons the journal
    return rc;
  }
  w->write_offset += w->used;
  w->used = 0;
  return STATUS_OK;
}

int32_t append_record(JournalWriter* w, const uint8_t* rec) {
  if (w->fd < 0 || w->buffer == nullptr) return STATUS_INVALID;
  if (w->used + JOURNAL_RECORD_SIZE > w->capacity && w->used > 0) {
    int32_t rc = flush_buffer(w);
    if (rc != STATUS_OK) return rc;
  }
  memcpy(w->buffer + w->used, rec, JOURNAL_RECORD_SIZE);
  w->used += JOURNAL_RECORD_SIZE;
  return STATUS_OK;
}

void reset(JournalWriter* w) { *w = JournalWriter{}; }

}  // namespace

void journal_init(JournalWriter* w) { reset(w); }

namespace {

// reserved: the file exists, empty, made by the lock table's create_locked; otherwise
// it is created here.
int32_t create_journal(JournalWriter* w, const char* path, const BackupHeader& header, const char* catalog_path,
                       const char* image_path, bool reserved) {
  reset(w);
  if (path == nullptr || catalog_path == nullptr || image_path == nullptr) return STATUS_INVALID;
  if (strlen(path) >= STORE_TEMP_PATH_SIZE) return STATUS_INVALID;
  // Names cut to fit the header would never lead back to the files: such a
  // journal could not be continued, so none is made.
  if (base_name(catalog_path).size() >= JH_NAME_SIZE || base_name(image_path).size() >= JH_NAME_SIZE) {
    return STATUS_INVALID;
  }
  int fd = -1;
  int32_t rc = STATUS_OK;
  if (reserved) {
    rc = file_open_existing_rw(path, &fd);
    if (rc != STATUS_OK) return rc;
    uint64_t size = 0;
    rc = file_size(fd, &size);
    if (rc == STATUS_OK && size != 0) rc = STATUS_EXISTS;  // not the empty file reserved for this backup
    if (rc != STATUS_OK) {
      (void)file_close(fd);  // nothing was written
      return rc;
    }
  } else {
    // O_EXCL makes "already exists" and the creation one step.
    rc = file_create_excl(path, FILE_MODE, &fd);
    if (rc != STATUS_OK) return rc;
  }

  uint8_t head[JOURNAL_HEADER_SIZE];
  encode_journal_header(base_name(catalog_path), base_name(image_path), JOURNAL_PAYLOAD_SIZE, header.span(), head);
  rc = pwrite_exact(fd, head, sizeof head, 0);
  if (rc == STATUS_OK) rc = pwrite_exact(fd, header.bytes, BACKUP_HEADER_SIZE, JOURNAL_HEADER_SIZE);
  if (rc == STATUS_OK) rc = file_sync(fd);
  // The new directory entry must be durable before any checkpoint of this
  // journal is reported durable; a directory that cannot be synced means
  // the backup runs without a journal.
  if (rc == STATUS_OK) rc = dir_sync_parent_checked(path);
  if (rc == STATUS_OK) {
    w->buffer = static_cast<uint8_t*>(malloc(JOURNAL_BUFFER_SIZE));
    if (w->buffer == nullptr) rc = STATUS_NOMEM;
  }
  if (rc != STATUS_OK) {
    (void)file_close(fd);  // error path: the file is removed below
    (void)file_remove(path);  // nothing worth keeping; a failure leaves a journal no search accepts
    reset(w);
    return rc;
  }

  w->fd = fd;
  w->write_offset = JOURNAL_FIRST_RECORD;
  w->capacity = JOURNAL_BUFFER_SIZE;
  w->last_checkpoint_ms = monotonic_ms();
  return STATUS_OK;
}

}  // namespace

int32_t journal_create(JournalWriter* w, const char* path, const BackupHeader& header, const char* catalog_path,
                       const char* image_path) {
  return create_journal(w, path, header, catalog_path, image_path, false);
}

int32_t journal_create_reserved(JournalWriter* w, const char* path, const BackupHeader& header,
                                const char* catalog_path, const char* image_path) {
  return create_journal(w, path, header, catalog_path, image_path, true);
}

int32_t journal_add_block(JournalWriter* w, const CatalogEntry& entry, uint64_t data_length) {
  uint8_t rec[JOURNAL_RECORD_SIZE];
  encode_journal_record(REC_BLOCK, entry.span(), rec);
  w->record_count += 1;
  w->pending += data_length;
  return append_record(w, rec);
}

int32_t journal_add_drop(JournalWriter* w, uint64_t key) {
  uint8_t body[REC_BODY_SIZE] = {};
  put_u64_le(std::span<uint8_t>(body, REC_BODY_SIZE), REC_DROP_KEY_OFF, key);
  uint8_t rec[JOURNAL_RECORD_SIZE];
  encode_journal_record(REC_DROP, std::span<const uint8_t>(body, REC_BODY_SIZE), rec);
  w->record_count += 1;
  w->pending += 1;
  return append_record(w, rec);
}

bool journal_checkpoint_due(const JournalWriter& w, const StoreSettings& settings) {
  if (w.pending == 0 && w.used == 0) return false;
  if (w.pending >= settings.checkpoint_bytes) return true;
  uint64_t now = monotonic_ms();
  uint64_t elapsed = now >= w.last_checkpoint_ms ? now - w.last_checkpoint_ms : 0;
  return elapsed >= static_cast<uint64_t>(settings.checkpoint_seconds) * 1000;
}

int32_t journal_checkpoint(JournalWriter* w, int image_fd, uint64_t image_size) {
  if (w->fd < 0) return STATUS_INVALID;
  MetricsTimer timer(&service_metrics().checkpoint_seconds);
  // The image first: a checkpoint may only state bytes that are on disk.
  int32_t rc = file_sync(image_fd);
  if (rc != STATUS_OK) return rc;
  uint8_t body[REC_BODY_SIZE] = {};
  std::span<uint8_t> b(body, REC_BODY_SIZE);
  put_u64_le(b, REC_CP_COUNT_OFF, w->record_count);
  put_u64_le(b, REC_CP_IMAGE_SIZE_OFF, image_size);
  uint8_t rec[JOURNAL_RECORD_SIZE];
  encode_journal_record(REC_CHECKPOINT, std::span<const uint8_t>(body, REC_BODY_SIZE), rec);
  rc = append_record(w, rec);
  if (rc == STATUS_OK) rc = flush_buffer(w);
  if (rc == STATUS_OK) rc = file_sync(w->fd);
  if (rc != STATUS_OK) return rc;
  w->pending = 0;
  w->last_checkpoint_ms = monotonic_ms();
  w->durable_image_size = image_size;
  return STATUS_OK;
}

void journal_close(JournalWriter* w) {
  // Everything that must be durable was fsynced at the last checkpoint, so
  // the result of close changes nothing for the caller.
  if (w->fd >= 0) (void)file_close(w->fd);
  free(w->buffer);
  reset(w);
}

int32_t journal_reopen(JournalWriter* w, const char* path, const PartialBackup& partial) {
  reset(w);
  if (path == nullptr || strlen(path) >= STORE_TEMP_PATH_SIZE) return STATUS_INVALID;
  // No O_CREAT: a journal that vanished must not come back empty.
  int fd = -1;
  int32_t rc = file_open_existing_rw(path, &fd);
  if (rc != STATUS_OK) return rc;
  uint64_t size = 0;
  rc = file_size(fd, &size);
  if (rc == STATUS_OK && size < partial.checkpoint_end) rc = STATUS_CORRUPT;
  if (rc == STATUS_OK) rc = file_truncate(fd, partial.checkpoint_end);
  if (rc == STATUS_OK) rc = file_sync(fd);
  if (rc != STATUS_OK) {
    (void)file_close(fd);  // error path
    return rc;
  }
  w->fd = fd;
  w->capacity = JOURNAL_BUFFER_SIZE;
  w->write_offset = partial.checkpoint_end;
  w->buffer = static_cast<uint8_t*>(malloc(JOURNAL_BUFFER_SIZE));
  if (w->buffer == nullptr) {
    journal_close(w);
    return STATUS_NOMEM;
  }
  JournalScan scan;
  rc = journal_scan(fd, partial.checkpoint_end, partial.first_record_offset, &scan);
  if (rc == STATUS_OK && (scan.checkpoint_end != partial.checkpoint_end || scan.checkpoint_end == 0)) {
    rc = STATUS_CORRUPT;
  }
  if (rc != STATUS_OK) {
    journal_close(w);
    return rc;
  }
  w->record_count = scan.count;
  w->durable_image_size = partial.checkpoint_image_size;
  w->last_checkpoint_ms = monotonic_ms();
  w->pending = 0;
  return STATUS_OK;
}

}  // namespace orv
