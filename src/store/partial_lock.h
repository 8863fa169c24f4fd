// Locks that keep two connections off the same partial backup.
//
// A lock is named by the journal path and records the socket of the
// connection holding it. There is one process-wide table (one mutex, one
// condition variable); partial_lock_try, partial_lock_takeover and
// partial_unlock work on it. It has as many slots as connections may exist
// at once (partial_locks_set_slots) plus a few for holders without a
// connection, and a connection holds at most one lock at a time, so no
// client can take the slots that others' backups need. The class exists so
// that tests can use a table of their own.
//
// Who takes which lock: a new backup takes the lock of its own journal with
// try; continuing or discarding a partial takes it with takeover (15,000 ms
// in the session); expiry and stale-partial removal use try and skip what
// is held. A session releases its lock when its backup ends, when its
// journal fails, and when its connection ends.
//
// A holder must release its lock before it closes its socket, so that a
// takeover never shuts down a descriptor that was reused meanwhile.
//
// Thread rules: every method may be called from any thread. takeover may
// block up to its wait time and must be called holding no other lock.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace orv {

// Slots of a table made without a size (and the least a table gets).
inline constexpr size_t PARTIAL_LOCK_SLOTS = 256;
// Slots added to the connection count for holders without a connection
// (expiry and stale-partial removal hold a lock only briefly).
inline constexpr size_t PARTIAL_LOCK_SPARE_SLOTS = 16;
inline constexpr size_t PARTIAL_LOCK_PATH_SIZE = 1100;  // paths cut to 1,099 characters
inline constexpr uint32_t PARTIAL_TAKEOVER_WAIT_MS = 15000;

class PartialLocks {
 public:
  // slots below PARTIAL_LOCK_SLOTS are raised to it. When the slot arrays
  // cannot be allocated the table has none and every take gives
  // STATUS_NOMEM.
  explicit PartialLocks(size_t slots = PARTIAL_LOCK_SLOTS);
  ~PartialLocks();
  PartialLocks(const PartialLocks&) = delete;
  PartialLocks& operator=(const PartialLocks&) = delete;

  // Takes the lock for holder (a socket descriptor, or -1 for a holder
  // without a connection). STATUS_AGAIN when it is held, STATUS_NOMEM when
  // every slot is in use.
  [[nodiscard]] int32_t try_lock(const char* path, int holder);

  // Takes the lock, ending the current holder's connection if necessary:
  // the first time the lock is found held, the holder's socket (when it is
  // 0 or more) is shut down for reading and writing, which makes that
  // session end and release the lock. Then waits until the lock is free or
  // wait_ms has passed. STATUS_AGAIN when it is still held at the deadline,
  // STATUS_NOMEM when no slot is free.
  [[nodiscard]] int32_t takeover(const char* path, int holder, uint32_t wait_ms);

  // Releases the lock of path if held (by anyone) and wakes every waiter.
  void unlock(const char* path);

  bool held(const char* path);

 private:
  using PathBuf = char[PARTIAL_LOCK_PATH_SIZE];
  int find_locked(const char* path) const;
  int32_t take_free_locked(const char* path, int holder);

  pthread_mutex_t mu_;
  pthread_cond_t cv_;  // broadcast on every unlock
  // Guarded by mu_. Slot i is in use when holders_[i] is not kFree; the
  // compact holder array is what a look-up scans, so the paths of free
  // slots are never touched (and a large table costs memory only for the
  // locks in use).
  size_t count_ = 0;
  int* holders_ = nullptr;
  PathBuf* paths_ = nullptr;
  static constexpr int kFree = -2;
};

// Sizes the process-wide table for max_connections connections (plus the
// spare slots). Takes effect only before the table's first use; the server
// calls it at start, before any connection.
void partial_locks_set_slots(size_t max_connections);

// The process-wide table. Never destroyed, so detached connection threads
// may use it until the process ends.
PartialLocks& partial_locks();

[[nodiscard]] int32_t partial_lock_try(const char* path, int holder);
[[nodiscard]] int32_t partial_lock_takeover(const char* path, int holder, uint32_t wait_ms);
void partial_unlock(const char* path);

}  // namespace orv
