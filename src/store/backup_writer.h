// The writer of one open backup: owns it from the moment it is opened (a new
// backup, or a partial taken over to be continued) until it is finished or
// abandoned, with every file, lock and durability step of that life.
//
// Files, all named by the writer (see names.h):
//   tmp_image_path  block data in arrival order, appended at image_size with
//                   one positioned write per block, straight from the
//                   caller's buffer
//   journal_path    the journal ("<image>.part"), also the name of the
//                   partial's lock that the writer holds while journaling
//   image_path, catalog_path   the final names, taken by finish
//
// Block data is written by the writer's image stream (image_stream.h) on a
// thread of its own, whole pages with direct I/O, while the caller
// receives the next block into the other one of the stream's buffers
// (receive_buffer). A block's write is queued by append_block; a write
// that fails shows at the next append_block, drop_entries, checkpoint,
// flush_image or finish (image_failed), before any acknowledgement that
// would cover it, and no checkpoint is made over it. Where the stream
// cannot be started, append_block writes each block itself, through the
// page cache.
//
// Durability: a checkpoint waits for every queued write, fsyncs the image, then writes the journal's
// records and a checkpoint record and fsyncs the journal (journal.h). Only
// after that are the image pages it covered dropped from the page cache:
// backup images are written once and rarely read back soon, and a page
// cache that keeps growing caps the write rate.
//
// Life of a writer:
//   idle --open/resume--> open --finish--> finished
//                          |  \--(finish failed)--> image closed, partial kept
//                          \--abandon--> idle (files left as a partial)
// While open, the writer is journaling (the journal open and the lock of
// journal_path held for `holder`) or not (the journal could not be had, or
// failed later: it was deleted). A journal failure never stops the backup;
// it only means it can no longer be continued. The lock, once had, is held
// until the backup is finished or abandoned, journal or not, so that
// expiry never takes the temporary image of a backup still being received.
//
// The writer is owned by one connection's session and used from that
// connection's thread only. It works under the StoreSettings given to open
// or resume (kept as a copy until the next one); of the shared state it
// touches only the lock table and the memory budget those settings name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/paths.h"
#include "integrity/uuid.h"
#include "protocol/formats.h"
#include "store/image_stream.h"
#include "store/journal.h"
#include "store/key_index.h"
#include "store/memory_budget.h"
#include "store/store_settings.h"

namespace orv {

// A backup is opened in a working directory shorter than WORKDIR_SIZE
// (core/paths.h); the file names below it always fit the paths.
//
// Receive buffers of the image stream: the largest frame after a lead where
// the frame's payload is placed so that a block's data is aligned.
inline constexpr size_t WRITER_RECEIVE_BUFFER_SIZE = 4096 + (8u << 20);

// A new backup to open.
struct BackupOpenRequest {
  const char* workdir = nullptr;  // working directory; created (one level) if missing
  const char* name = nullptr;     // the full name the agent sent (names and stale partials)
  // The header to write; `created` is set by open, `name` is cut to 63
  // characters by the caller.
  BackupHeaderFields fields;
  const char* retention = nullptr;        // "" or null: no expiry
  const char* retention_label = nullptr;
  // The agent cannot continue backups: partials of an earlier run with the
  // same name, type and parent that nobody holds are deleted first.
  bool remove_stale_partials = false;
  int holder = -1;  // socket of the connection, recorded with the lock
};

// Which step of open refused the backup (the status says why).
enum class OpenRefusal : uint8_t {
  none,
  directory,   // the working directory could not be prepared
  empty_name,  // STATUS_INVALID
  retention,   // STATUS_INVALID
  names,       // no name could be chosen (invalid name, all taken, too long)
  image,       // the temporary image could not be created
};

// The entry table of an open backup is charged to the memory budget
// (memory_budget.h): a block whose entry would pass it fails with
// STATUS_NOMEM, and a partial whose table would not fit is refused with
// no_memory before its journal is read.

// Which step of resume refused the partial; the returned status goes with it.
enum class ResumeRefusal : uint8_t {
  none,
  not_found,      // STATUS_NOT_FOUND: no partial with that uuid
  in_use,         // STATUS_AGAIN: another connection did not let go in time
  no_checkpoint,  // STATUS_CORRUPT: the journal does not read up to a checkpoint
  bad_journal,    // STATUS_CORRUPT: the journal names files outside its directory
  cannot_continue,  // the failing step's status (image, journal, lock table)
  no_memory,      // STATUS_NOMEM
};

class BackupWriter {
 public:
  BackupWriter() = default;
  // Abandons an open backup (as abandon()) and releases everything.
  ~BackupWriter();
  BackupWriter(const BackupWriter&) = delete;
  BackupWriter& operator=(const BackupWriter&) = delete;

  // Opens a new backup under `settings`, in this order: the working
  // directory (dir_ensure), the free space (settings.min_free: less is
  // refused as OpenRefusal::image with STATUS_IO and logged at WARN with the
  // free space, before any file is created, so a full disk is met here
  // rather than half-way through the backup; a resumed backup is never
  // refused for it, since finishing it may be what frees the space), the
  // header (created = now; name and retention checked), the names
  // (backup_paths reserves them by creating the temporary image), expiry of
  // partials older than settings.partial_max_age, removal of stale ones,
  // the temporary image created empty,
  // the journal file created empty with the partial's lock taken on it for
  // req.holder (in this process and as a file lock other targets on the
  // storage see), the journal written into it. A lock or
  // journal that cannot be had only leaves the backup without a journal
  // (logged: "no journal for <image>: this backup cannot be continued if it
  // is interrupted").
  // *expired gets the number of partials deleted by expiry (also when a
  // later step refuses). On refusal *refusal tells the step, the status is
  // returned, the writer is idle again and no file of the refused backup is
  // left (a working directory created stays); header() keeps what was
  // filled in before the refusal, for the caller's report.
  // REQUIRES: the writer is idle.
  [[nodiscard]] int32_t open(const StoreSettings& settings, const BackupOpenRequest& req, OpenRefusal* refusal,
                             uint64_t* expired);

  // Takes over the partial of workdir whose header has `uuid`, under
  // `settings`: its lock (takeover for holder in the settings' lock table,
  // waiting at most settings.takeover_wait_ms and ending
  // the connection that holds it; held by another process, asked for again
  // until then), its journal read up to the last valid
  // checkpoint, the temporary image and the journal cut back to that
  // checkpoint and fsynced, the journal reopened for appending. Logs
  // "continuing backup <uuid>: <n> entries, <bytes> image bytes kept".
  // The entries stay in catalog order; a later block with a key already
  // held replaces its entry in place.
  // On refusal the returned status is the one to report with *refusal, the
  // writer is idle again, the lock is released and nothing stored changed.
  // REQUIRES: the writer is idle.
  [[nodiscard]] int32_t resume(const StoreSettings& settings, const char* workdir, const Uuid& uuid, int holder,
                               ResumeRefusal* refusal);

  // Outcome of a block or drop request besides its status.
  struct Progress {
    bool image_failed = false;  // the status is the image write's (the backup cannot go on)
    bool checkpointed = false;  // a checkpoint completed: all recorded so far is durable
  };

  // Appends one block: `entry` carries the key, the agent's fields and the
  // flags; its offset and length are set here. Unless the entry's flags say
  // "no data" (then `data` is ignored and the entry gets offset all ones,
  // length 0), data is written at the end of the image. The entry is
  // recorded (in a continued backup replacing an entry with the same key),
  // journaled, and a checkpoint is made when one is due.
  // Failures: the image write's status with progress->image_failed (this
  // block or one queued before it could not be written; the backup cannot
  // go on), or STATUS_NOMEM for the entry list or key index. A journal
  // failure is not one (see the top of this file).
  // REQUIRES: open, not finished.
  [[nodiscard]] int32_t append_block(CatalogEntry entry, std::span<const uint8_t> data, Progress* progress);

  // Marks the entries of `count` keys (little-endian u64s back to back in
  // keys_le) as dropped, journaling each newly dropped one; keys unknown or
  // already dropped are skipped. Only a continued backup has entries an
  // agent may withdraw: in a new one the keys are ignored. Then a
  // checkpoint when one is due. Fails only when a block queued earlier
  // could not be written (progress->image_failed, its status).
  // REQUIRES: open, not finished; keys_le holds 8 * count bytes.
  [[nodiscard]] int32_t drop_entries(std::span<const uint8_t> keys_le, uint32_t count, Progress* progress);

  // Makes a checkpoint now when journaling; true when one completed. A
  // journal failure abandons the journal; a block that could not be
  // written makes none. REQUIRES: open, image not closed.
  bool checkpoint();

  // Waits until every queued block is in the image; the first block write
  // that failed, or STATUS_OK. REQUIRES: open.
  [[nodiscard]] int32_t flush_image();

  // A free buffer of WRITER_RECEIVE_BUFFER_SIZE bytes (aligned) to receive
  // the next frame into, waiting while every buffer is being written; a
  // block appended from it is written straight from it. Empty when the
  // image stream does not run (the caller then uses its own buffer).
  std::span<uint8_t> receive_buffer();

  // Finishes the backup: every queued block written (a failure returns its
  // status with the image closed); dropped entries removed, the rest sorted; the
  // image fsynced, closed and renamed to its final name; the catalog
  // written (catalog_write syncs the directory, which also makes the
  // image's rename durable); then the journal deleted, its directory
  // synced and the lock released. On success *entry_count and the image
  // size tell what was stored. On failure the image is closed, the backup
  // can only be abandoned, and the partial stays whole (the image gets its
  // temporary name back when the catalog could not be written).
  // REQUIRES: open, not finished.
  [[nodiscard]] int32_t finish(uint64_t* entry_count);

  // Ends an open backup without finishing it: the image stream stopped
  // (every queued block written); when journaling, a last checkpoint if
  // the image is open and no block write failed (its result ignored), the journal
  // closed and the lock released, so the temporary image and the journal
  // stay as a partial that a later resume can take over. Then the image is
  // closed and the entry list and index freed. The header, paths and
  // image_size keep their values for the caller's report. No-op when idle.
  void abandon();

  bool is_open() const { return open_; }
  bool journaling() const { return journaling_; }
  bool resumed() const { return resumed_; }
  bool finished() const { return finished_; }
  uint64_t image_size() const { return image_size_; }
  uint64_t entry_count() const { return entry_count_; }
  std::span<const CatalogEntry> entries() const { return {entries_, static_cast<size_t>(entry_count_)}; }
  const BackupHeader& header() const { return header_; }
  const char* image_path() const { return image_path_; }
  const char* tmp_image_path() const { return tmp_image_path_; }
  const char* catalog_path() const { return catalog_path_; }
  const char* journal_path() const { return journal_path_; }

 private:
  void reset();
  void start_stream();
  // The first block write that failed, with progress->image_failed set.
  int32_t image_failure(Progress* progress);
  int32_t lock_create(int holder);
  void lock_image();
  void lock_release();
  void close_image();
  void release_memory();
  int32_t write_image(std::span<const uint8_t> data);
  int32_t record_entry(const CatalogEntry& entry);
  int32_t reserve_entries(uint64_t needed);
  void fill_key_index();
  void start_journal(int holder);
  bool checkpoint_if_due();
  void abandon_journal(const char* what);

  StoreSettings settings_;        // those of the last open or resume
  BackupHeader header_ = {};
  char tmp_image_path_[STORE_TEMP_PATH_SIZE] = {};
  char image_path_[STORE_PATH_SIZE] = {};
  char catalog_path_[STORE_PATH_SIZE] = {};
  char journal_path_[STORE_TEMP_PATH_SIZE] = {};  // also names the partial's lock
  int image_fd_ = -1;             // owned; -1 when closed
  ImageStream image_stream_;      // writes block data to image_fd_; runs while the backup is open
  uint64_t image_size_ = 0;       // block bytes written to the image
  uint64_t image_uncached_ = 0;   // image bytes already dropped from the page cache (durable ones)
  JournalWriter journal_;         // fd -1 when there is no journal
  bool open_ = false;
  bool journaling_ = false;       // journal open (and lock held)
  bool locked_ = false;           // the lock of journal_path_ held, with or without a journal
  bool resumed_ = false;          // took over a partial
  bool indexed_ = false;          // key_index_ maps every entry's key (resumed only)
  bool finished_ = false;
  // Entries in arrival order (malloc'd; grown geometrically).
  CatalogEntry* entries_ = nullptr;
  uint64_t entry_count_ = 0;
  uint64_t entry_capacity_ = 0;
  BudgetCharge entries_charge_;   // memory budget held for entries_ (capacity x 58 bytes)
  KeyIndex key_index_;            // key -> position in entries_; only when resumed
};

}  // namespace orv
