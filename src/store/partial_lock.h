// Locks that keep two connections off the same partial backup, in this
// process and in every other process working on the same storage.
//
// A lock is named by the journal path and has two halves, taken together
// and released together:
//  - a slot in a process-wide table (256 slots, one mutex, one condition
//    variable) recording the socket of the connection holding it, so that a
//    takeover can end that connection;
//  - an exclusive open-file-description lock on the journal file
//    (file_lock_exclusive), held through a descriptor the table keeps open
//    for as long as the slot is held. Other targets on a shared storage see
//    it, and the kernel (or the file system's lock service) drops it when
//    the holding process dies.
// Taking a lock succeeds only when both halves are free. A server makes one
// table at start, with as many slots as connections may exist at once plus
// a few for holders without a connection (partial_lock_slots), and names it
// in its StoreSettings; a connection holds at most one lock at a time, so no
// client can take the slots that others' backups need. Callers that bring
// no table (tools, tests) share the default one, partial_locks().
//
// On a storage that refuses such file locks (EINVAL, ENOLCK, EOPNOTSUPP:
// some FUSE file systems, NFSv3 without a lock manager) the first refusal
// logs one WARN "storage does not support file locks: run a single target
// on it", and from then on the table works with in-process locks only.
// probe makes that refusal happen at start.
//
// Who takes which lock: a new backup creates its journal file and takes its
// lock in one step (create_locked) before anything is in the file, so no
// other process ever sees the journal unlocked; continuing or discarding a
// partial takes it with takeover (15,000 ms in the session); expiry and
// stale-partial removal use try and skip what is held, here or elsewhere. A
// session releases its lock when its backup ends, when its journal fails,
// and when its connection ends.
//
// A holder must release its lock before it closes its socket, so that a
// takeover never shuts down a descriptor that was reused meanwhile.
//
// Thread rules: every method may be called from any thread. takeover may
// block up to its wait time and must be called holding no other lock.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/paths.h"
#include "store/store_settings.h"

namespace orv {

// Slots of a table made without a size (and the least a table gets).
inline constexpr size_t PARTIAL_LOCK_SLOTS = 256;
// Slots added to the connection count for holders without a connection
// (expiry and stale-partial removal hold a lock only briefly).
inline constexpr size_t PARTIAL_LOCK_SPARE_SLOTS = 16;
// How often a takeover asks again for a file lock held by another process.
inline constexpr uint32_t PARTIAL_FILE_LOCK_RETRY_MS = 20;

class PartialLocks {
 public:
  // slots below PARTIAL_LOCK_SLOTS are raised to it. When the slot arrays
  // cannot be allocated the table has none and every take gives
  // STATUS_NOMEM. file_locks false: in-process locks only (for comparisons
  // and tests; a target always takes file locks).
  explicit PartialLocks(size_t slots = PARTIAL_LOCK_SLOTS, bool file_locks = true);
  ~PartialLocks();
  PartialLocks(const PartialLocks&) = delete;
  PartialLocks& operator=(const PartialLocks&) = delete;

  // Takes the lock of an existing journal for holder (a socket descriptor,
  // or -1 for a holder without a connection), without waiting.
  // STATUS_AGAIN when it is held here or by another process; STATUS_NOMEM
  // when every slot is in use; STATUS_NOT_FOUND when the journal does
  // not exist (any more); other failures to open the journal.
  [[nodiscard]] int32_t try_lock(const char* path, int holder);

  // Creates the journal file at path (empty, mode 0640, exclusively) and
  // takes its lock for holder before anything is written into it.
  // STATUS_AGAIN when the lock is held here; STATUS_EXISTS when the file
  // exists; STATUS_NOMEM when no slot is free; other creation failures. On
  // failure no file was created and nothing is held.
  [[nodiscard]] int32_t create_locked(const char* path, int holder);

  // Takes the lock, ending the current holder's connection if necessary:
  // the first time the lock is found held in this process, the holder's
  // socket (when it is 0 or more) is shut down for reading and writing,
  // which makes that session end and release the lock. Held by another
  // process, the file lock is asked for again every
  // PARTIAL_FILE_LOCK_RETRY_MS. Either way it waits until the lock is free
  // or wait_ms has passed. STATUS_AGAIN when it is still held at the
  // deadline (a WARN names the journal when another process held it);
  // STATUS_NOMEM when no slot is free; STATUS_NOT_FOUND when the journal
  // is gone.
  [[nodiscard]] int32_t takeover(const char* path, int holder, uint32_t wait_ms);

  // Releases the lock of path if held (by anyone): closes its file lock and
  // wakes every waiter.
  void unlock(const char* path);

  // Whether this process holds the lock of path.
  bool held(const char* path);

  // Whether the table takes file locks: true unless made without them or
  // found unsupported by the storage.
  bool file_locks() const;

  // Checks at start that dir takes file locks, by locking a probe file
  // created there and removed again. Refused (STATUS_UNSUPPORTED): logs the
  // WARN and the table goes on without file locks. Other failures (a
  // directory that cannot be written) are only returned.
  [[nodiscard]] int32_t probe(const char* dir);

 private:
  using PathBuf = char[PATH_SIZE];
  int find_locked(const char* path) const;
  int reserve_locked(const char* path, int holder);
  void release_slot(int slot);
  int32_t acquire(const char* path, int holder, bool create);
  int32_t lock_journal_file(const char* path, bool create, int* fd);
  void note_unsupported();

  pthread_mutex_t mu_;
  pthread_cond_t cv_;  // broadcast on every unlock
  // Guarded by mu_. Slot i is in use when holders_[i] is not kFree; the
  // compact holder array is what a look-up scans, so the paths of free
  // slots are never touched (and a large table costs memory only for the
  // locks in use). lock_fds_[i] keeps the file lock of slot i, -1 without
  // one.
  size_t count_ = 0;
  int* holders_ = nullptr;
  int* lock_fds_ = nullptr;
  PathBuf* paths_ = nullptr;
  // kFileLocksOn, kFileLocksOff or kFileLocksUnsupported (partial_lock.cc);
  // read by every lock operation, changed by the first refusal.
  std::atomic<int> file_locks_;
  std::atomic<bool> unsupported_warned_{false};
  static constexpr int kFree = -2;
};

// Slots of a server's table: one per connection that may exist at once,
// plus the spare slots.
inline size_t partial_lock_slots(uint32_t max_connections) {
  return static_cast<size_t>(max_connections) + PARTIAL_LOCK_SPARE_SLOTS;
}

// The default table, for callers that bring none (StoreSettings::locks
// null): PARTIAL_LOCK_SLOTS slots, with file locks. Never destroyed, so
// threads may use it until the process ends.
PartialLocks& partial_locks();

// The default table's operations.
[[nodiscard]] int32_t partial_lock_try(const char* path, int holder);
[[nodiscard]] int32_t partial_lock_create(const char* path, int holder);
[[nodiscard]] int32_t partial_lock_takeover(const char* path, int holder, uint32_t wait_ms);
void partial_unlock(const char* path);

// The file lock of one journal on its own, without any table: for tools
// that work on the storage beside running targets (pruning). Released when
// destroyed.
class JournalFileLock {
 public:
  JournalFileLock() = default;
  ~JournalFileLock() { release(); }
  JournalFileLock(const JournalFileLock&) = delete;
  JournalFileLock& operator=(const JournalFileLock&) = delete;

  bool held() const { return fd_ >= 0; }
  void release();

 private:
  friend int32_t journal_file_lock_try(const char* journal_path, JournalFileLock* lock);
  int fd_ = -1;
};

// Tries the file lock of the journal at journal_path at once. STATUS_OK:
// nobody holds it (no target is using the partial) and *lock keeps it until
// released. STATUS_AGAIN: a process holds it. STATUS_NOT_FOUND: the journal
// is gone. STATUS_UNSUPPORTED: the storage has no file locks, so nothing can
// be said (no WARN is logged). Other failures to open it.
[[nodiscard]] int32_t journal_file_lock_try(const char* journal_path, JournalFileLock* lock);

}  // namespace orv
