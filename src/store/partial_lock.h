// Locks that keep two connections off the same partial backup.
//
// A lock is named by the journal path and records the socket of the
// connection holding it. There is one process-wide table (256 slots, one
// mutex, one condition variable); partial_lock_try, partial_lock_takeover
// and partial_unlock work on it. The class exists so that tests can use a
// table of their own.
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

inline constexpr size_t PARTIAL_LOCK_SLOTS = 256;
inline constexpr size_t PARTIAL_LOCK_PATH_SIZE = 1100;  // paths cut to 1,099 characters
inline constexpr uint32_t PARTIAL_TAKEOVER_WAIT_MS = 15000;

class PartialLocks {
 public:
  PartialLocks();
  ~PartialLocks();
  PartialLocks(const PartialLocks&) = delete;
  PartialLocks& operator=(const PartialLocks&) = delete;

  // Takes the lock for holder (a socket descriptor, or -1 for a holder
  // without a connection). STATUS_AGAIN when it is held, STATUS_NOMEM when
  // all 256 slots are in use.
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
  struct Slot {
    char path[PARTIAL_LOCK_PATH_SIZE];
    int holder;
    bool in_use;
  };
  int find_locked(const char* path) const;
  int32_t take_free_locked(const char* path, int holder);

  pthread_mutex_t mu_;
  pthread_cond_t cv_;                  // broadcast on every unlock
  Slot slots_[PARTIAL_LOCK_SLOTS];     // guarded by mu_
};

// The process-wide table. Never destroyed, so detached connection threads
// may use it until the process ends.
PartialLocks& partial_locks();

[[nodiscard]] int32_t partial_lock_try(const char* path, int holder);
[[nodiscard]] int32_t partial_lock_takeover(const char* path, int holder, uint32_t wait_ms);
void partial_unlock(const char* path);

}  // namespace orv
