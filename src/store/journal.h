// Journal writer of a backup being received, and the checkpoint policy.
//
// While a backup runs, every entry change goes to the journal
// ("<image path>.part", layout in journal_format.h). Records are gathered in
// a 64 KiB buffer (1,024 records) and written with one positioned write when
// the buffer is full or at a checkpoint; only checkpoints fsync. A
// checkpoint first fsyncs the image, then writes the buffered records and a
// checkpoint record {record count, image size}, then fsyncs the journal, so
// it never states image bytes that are not on disk.
//
// How a session drives it:
//   begin:     journal_init at session setup; after the temporary image
//              exists, PartialLocks::create_locked (the empty journal file, locked)
//              and journal_create_reserved.
//   BLOCK:     data written to the image first, then journal_add_block;
//              if journal_checkpoint_due, journal_checkpoint(image fd, size).
//   drops:     journal_add_drop per newly dropped key; checkpoint if due.
//   END:       after the catalog is written: journal_close, delete the file.
//   interrupt: journal_checkpoint (result may be ignored), journal_close;
//              the files stay as a partial backup.
//   continue:  partial_load, then journal_reopen to append after the last
//              checkpoint.
// After any failed append or checkpoint the journal must be abandoned
// (journal_close, delete the file): records in the buffer are lost.
//
// Thread rules: a writer belongs to the one connection thread that owns the
// backup. The checkpoint settings are the caller's (StoreSettings), passed
// to each journal_checkpoint_due.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/paths.h"
#include "protocol/formats.h"
#include "store/store_settings.h"

namespace orv {

struct PartialBackup;

inline constexpr size_t JOURNAL_BUFFER_SIZE = 65536;

struct JournalWriter {
  int fd = -1;                          // owned; -1 when there is no journal
  uint64_t write_offset = 0;            // where the buffered records go
  uint8_t* buffer = nullptr;            // owned, JOURNAL_BUFFER_SIZE bytes
  uint64_t used = 0;                    // bytes in buffer
  uint64_t capacity = 0;
  uint64_t record_count = 0;            // block and drop records since the journal began
  uint64_t pending = 0;                 // data bytes of blocks + 1 per drop since the last checkpoint
  uint64_t last_checkpoint_ms = 0;      // monotonic clock at the last checkpoint or creation
  uint64_t durable_image_size = 0;      // image size stated by the last checkpoint
};

// fd -1, everything else zero. Owns nothing afterwards.
void journal_init(JournalWriter* w);

// Creates the journal at path for a new backup: header and payload written
// and fsynced, then the directory synced so the entry survives a crash (a
// failure of that sync fails the creation: no checkpoint of a journal that
// may vanish could be called durable). catalog_path and image_path are stored by their base
// names. STATUS_EXISTS when path exists (checked atomically),
// STATUS_INVALID for a path of 1,040 characters or more, and for base names
// of JH_NAME_SIZE characters or more (the header could only keep them cut,
// and a cut name never leads back to its file): nothing is created then. On failure the
// writer is reset (fd -1, nothing owned) and a file it created is removed.
[[nodiscard]] int32_t journal_create(JournalWriter* w, const char* path, const BackupHeader& header,
                                     const char* catalog_path, const char* image_path);

// journal_create into the empty file that PartialLocks::create_locked made at path
// and holds locked, so that the journal is never seen unlocked by another
// process. STATUS_EXISTS when the file is not empty (it is left alone);
// STATUS_NOT_FOUND when it is missing. On any other failure the writer is
// reset and the file is removed (the lock is the caller's to release).
[[nodiscard]] int32_t journal_create_reserved(JournalWriter* w, const char* path, const BackupHeader& header,
                                              const char* catalog_path, const char* image_path);

// Appends one block record (the entry as recorded). data_length is the
// block's data bytes (0 for a block without data); it counts towards the
// byte rule. May write the buffer out. On failure the buffered records are
// lost and the journal must be abandoned.
[[nodiscard]] int32_t journal_add_block(JournalWriter* w, const CatalogEntry& entry, uint64_t data_length);

// Appends one drop record for key; counts 1 towards the byte rule.
[[nodiscard]] int32_t journal_add_drop(JournalWriter* w, uint64_t key);

// True when something was recorded since the last checkpoint and either
// `pending` reached settings.checkpoint_bytes or settings.checkpoint_seconds
// have passed.
bool journal_checkpoint_due(const JournalWriter& w, const StoreSettings& settings);

// fsync(image_fd), then the buffered records and a checkpoint record for
// image_size are written, then the journal is fsynced. STATUS_INVALID
// without a journal. A failed image fsync adds nothing to the journal.
[[nodiscard]] int32_t journal_checkpoint(JournalWriter* w, int image_fd, uint64_t image_size);

// Closes the descriptor (if open) and frees the buffer; every field is
// reset. The file is not deleted. Safe on an initialised or closed writer.
void journal_close(JournalWriter* w);

// Reopens the journal of a partial loaded by partial_load to continue it:
// the file is cut to the partial's checkpoint end (dropping every record
// after the last valid checkpoint) and fsynced, and appending resumes
// there. The records up to that point are scanned again; if they no longer
// end at the same checkpoint the file changed underneath and the result is
// STATUS_CORRUPT. A missing journal is STATUS_NOT_FOUND (it is never
// created here), one shorter than the checkpoint end STATUS_CORRUPT.
// REQUIRES: the caller holds the partial's lock. On failure the writer is
// reset and owns nothing.
[[nodiscard]] int32_t journal_reopen(JournalWriter* w, const char* path, const PartialBackup& partial);

}  // namespace orv
