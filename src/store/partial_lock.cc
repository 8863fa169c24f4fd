#include "store/partial_lock.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "core/log.h"
#include "core/status.h"
#include "core/text.h"
#include "core/file_io.h"

namespace orv {

namespace {

// Same cut as the stored path, so that an over-long path still matches.
bool same_path(const char* stored, const char* path) {
  return strncmp(stored, path, PATH_SIZE - 1) == 0;
}

timespec now_monotonic() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

timespec add_ms(timespec ts, uint32_t ms) {
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

bool before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

enum FileLockState : int { kFileLocksOn, kFileLocksOff, kFileLocksUnsupported };

}  // namespace

// The storage refused a file lock: one WARN for the life of the table, and
// in-process locks only from now on.
void PartialLocks::note_unsupported() {
  file_locks_.store(kFileLocksUnsupported, std::memory_order_relaxed);
  if (!unsupported_warned_.exchange(true)) {
    log_write(LEVEL_WARN, "storage does not support file locks: run a single target on it");
  }
}

// The file half of a lock. Opens the journal (create: creates it, empty and
// exclusively) and locks it; *fd keeps the lock, -1 when the storage has no
// file locks (or they are switched off). STATUS_AGAIN when another open of
// the journal holds a lock on it; STATUS_NOT_FOUND when the journal is gone
// or was replaced by another file under the same name while it was being
// opened. On failure nothing is open and a file created here is removed.
int32_t PartialLocks::lock_journal_file(const char* path, bool create, int* fd) {
  *fd = -1;
  bool files = file_locks_.load(std::memory_order_relaxed) == kFileLocksOn;
  if (!files && !create) return STATUS_OK;
  int raw = -1;
  int32_t rc = create ? file_create_excl(path, FILE_MODE, &raw) : file_open_existing_rw(path, &raw);
  if (rc != STATUS_OK) return rc;
  if (files) {
    rc = file_lock_exclusive(raw);
    if (rc == STATUS_UNSUPPORTED) {
      note_unsupported();
      files = false;
      rc = STATUS_OK;
    }
  }
  if (rc == STATUS_OK && files && !create) {
    // Whoever deletes a journal holds its lock, so a file that is still at
    // its name once locked stays there until the lock is released. One that
    // left meanwhile is a removed partial: its lock protects nothing.
    bool same = false;
    rc = file_is_at(raw, path, &same);
    if (rc == STATUS_OK && !same) rc = STATUS_NOT_FOUND;
  }
  if (rc != STATUS_OK || !files) {
    (void)file_close(raw);  // only a lock was held through it; nothing was written
    if (rc != STATUS_OK && create) (void)file_remove(path);  // the empty file made above
    return rc;
  }
  *fd = raw;
  return STATUS_OK;
}

namespace {
alignas(PartialLocks) unsigned char g_storage[sizeof(PartialLocks)];
}  // namespace

PartialLocks::PartialLocks(size_t slots, bool file_locks) : file_locks_(file_locks ? kFileLocksOn : kFileLocksOff) {
  pthread_mutex_init(&mu_, nullptr);
  // The wait deadline runs on the monotonic clock, so a change of the wall
  // clock neither cuts a takeover short nor stretches it.
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&cv_, &attr);
  pthread_condattr_destroy(&attr);
  if (slots < PARTIAL_LOCK_SLOTS) slots = PARTIAL_LOCK_SLOTS;
  holders_ = static_cast<int*>(malloc(slots * sizeof(int)));
  lock_fds_ = static_cast<int*>(malloc(slots * sizeof(int)));
  paths_ = static_cast<PathBuf*>(calloc(slots, sizeof(PathBuf)));
  if (holders_ == nullptr || lock_fds_ == nullptr || paths_ == nullptr) {
    free(holders_);
    free(lock_fds_);
    free(paths_);
    holders_ = nullptr;
    lock_fds_ = nullptr;
    paths_ = nullptr;
    return;
  }
  count_ = slots;
  for (size_t i = 0; i < count_; ++i) {
    holders_[i] = kFree;
    lock_fds_[i] = -1;
  }
}

PartialLocks::~PartialLocks() {
  for (size_t i = 0; i < count_; ++i) {
    if (holders_[i] != kFree) (void)file_close(lock_fds_[i]);  // a table going away lets go of its file locks
  }
  free(holders_);
  free(lock_fds_);
  free(paths_);
  pthread_cond_destroy(&cv_);
  pthread_mutex_destroy(&mu_);
}

int PartialLocks::find_locked(const char* path) const {
  for (size_t i = 0; i < count_; ++i) {
    if (holders_[i] != kFree && same_path(paths_[i], path)) return static_cast<int>(i);
  }
  return -1;
}

int PartialLocks::reserve_locked(const char* path, int holder) {
  for (size_t i = 0; i < count_; ++i) {
    if (holders_[i] != kFree) continue;
    copy_text(paths_[i], sizeof(PathBuf), path);
    holders_[i] = holder < 0 ? -1 : holder;
    lock_fds_[i] = -1;
    return static_cast<int>(i);
  }
  return -1;
}

// Clears a slot whose file half was never taken. REQUIRES: mu_ held.
void PartialLocks::release_slot(int slot) {
  holders_[slot] = kFree;
  lock_fds_[slot] = -1;
  paths_[slot][0] = '\0';
  pthread_cond_broadcast(&cv_);
}

// Both halves without waiting. The slot is reserved first, so no other
// thread of this process tries the file half meanwhile; the file half is
// then taken outside the mutex, since opening a journal on a network file
// system may take a while.
int32_t PartialLocks::acquire(const char* path, int holder, bool create) {
  pthread_mutex_lock(&mu_);
  int32_t rc = STATUS_OK;
  int slot = -1;
  if (find_locked(path) >= 0) {
    rc = STATUS_AGAIN;
  } else {
    slot = reserve_locked(path, holder);
    if (slot < 0) rc = STATUS_NOMEM;
  }
  pthread_mutex_unlock(&mu_);
  if (rc != STATUS_OK) return rc;

  int fd = -1;
  rc = lock_journal_file(path, create, &fd);
  pthread_mutex_lock(&mu_);
  if (rc == STATUS_OK) {
    lock_fds_[slot] = fd;
  } else {
    release_slot(slot);
  }
  pthread_mutex_unlock(&mu_);
  return rc;
}

int32_t PartialLocks::try_lock(const char* path, int holder) { return acquire(path, holder, false); }

int32_t PartialLocks::create_locked(const char* path, int holder) { return acquire(path, holder, true); }

int32_t PartialLocks::takeover(const char* path, int holder, uint32_t wait_ms) {
  const timespec deadline = add_ms(now_monotonic(), wait_ms);
  bool shut_down = false;
  bool elsewhere = false;  // the file lock was found held by another process
  int32_t rc = STATUS_AGAIN;
  pthread_mutex_lock(&mu_);
  while (true) {
    int i = find_locked(path);
    if (i >= 0) {
      if (!shut_down) {
        // Once per takeover: ending the holder's connection makes its
        // session checkpoint and release the lock.
        if (holders_[i] >= 0) (void)shutdown(holders_[i], SHUT_RDWR);  // a closed socket needs nothing
        shut_down = true;
      }
      int w = pthread_cond_timedwait(&cv_, &mu_, &deadline);
      if (w == ETIMEDOUT && find_locked(path) >= 0) {
        rc = STATUS_AGAIN;
        break;
      }
      continue;  // woken, or released just at the deadline: look again
    }

    int slot = reserve_locked(path, holder);
    if (slot < 0) {
      rc = STATUS_NOMEM;
      break;
    }
    pthread_mutex_unlock(&mu_);
    int fd = -1;
    rc = lock_journal_file(path, false, &fd);
    pthread_mutex_lock(&mu_);
    if (rc == STATUS_OK) {
      lock_fds_[slot] = fd;
      break;
    }
    release_slot(slot);
    if (rc != STATUS_AGAIN) break;
    // Another process holds the partial: it cannot be told to let go, so
    // ask again shortly. A holder that dies loses its lock with it, and the
    // next attempt gets it.
    elsewhere = true;
    timespec now = now_monotonic();
    if (!before(now, deadline)) break;
    timespec next = add_ms(now, PARTIAL_FILE_LOCK_RETRY_MS);
    (void)pthread_cond_timedwait(&cv_, &mu_, before(next, deadline) ? &next : &deadline);  // only a pause
  }
  pthread_mutex_unlock(&mu_);
  if (rc == STATUS_AGAIN && elsewhere) {
    log_write(LEVEL_WARN, "partial backup %s is locked by another process; gave up after %u ms", path, wait_ms);
  }
  return rc;
}

void PartialLocks::unlock(const char* path) {
  pthread_mutex_lock(&mu_);
  int i = find_locked(path);
  if (i >= 0) {
    // The file lock goes before the slot, so the next taker in this process
    // never meets its own table's lock on the file.
    (void)file_close(lock_fds_[i]);  // closing ends the lock; nothing was written through it
    release_slot(i);
  } else {
    pthread_cond_broadcast(&cv_);
  }
  pthread_mutex_unlock(&mu_);
}

bool PartialLocks::held(const char* path) {
  pthread_mutex_lock(&mu_);
  bool h = find_locked(path) >= 0;
  pthread_mutex_unlock(&mu_);
  return h;
}

bool PartialLocks::file_locks() const { return file_locks_.load(std::memory_order_relaxed) == kFileLocksOn; }

PartialLocks& partial_locks() {
  static PartialLocks* const locks = new (g_storage) PartialLocks();
  return *locks;
}

PartialLocks& store_locks(const StoreSettings& settings) {
  return settings.locks != nullptr ? *settings.locks : partial_locks();
}

int32_t partial_lock_try(const char* path, int holder) { return partial_locks().try_lock(path, holder); }

int32_t partial_lock_create(const char* path, int holder) { return partial_locks().create_locked(path, holder); }

int32_t partial_lock_takeover(const char* path, int holder, uint32_t wait_ms) {
  return partial_locks().takeover(path, holder, wait_ms);
}

void partial_unlock(const char* path) { partial_locks().unlock(path); }

int32_t PartialLocks::probe(const char* dir) {
  char path[PATH_SIZE];
  int n = snprintf(path, sizeof path, "%s/.orv_lock_probe.%ld", dir, static_cast<long>(getpid()));
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return STATUS_INVALID;
  (void)file_remove(path);  // a probe left by an earlier process of the same number
  int fd = -1;
  int32_t rc = file_create_excl(path, FILE_MODE, &fd);
  if (rc != STATUS_OK) return rc;
  rc = file_lock_exclusive(fd);
  (void)file_close(fd);  // the probe is thrown away
  (void)file_remove(path);
  // The storage root is left as it was, also on disk.
  (void)dir_sync(dir);  // best effort: only a throwaway file came and went
  if (rc == STATUS_UNSUPPORTED) note_unsupported();
  return rc;
}

void JournalFileLock::release() {
  if (fd_ < 0) return;
  (void)file_close(fd_);  // closing ends the lock
  fd_ = -1;
}

int32_t journal_file_lock_try(const char* journal_path, JournalFileLock* lock) {
  lock->release();
  int fd = -1;
  int32_t rc = file_open_existing_rw(journal_path, &fd);
  if (rc != STATUS_OK) return rc;
  rc = file_lock_exclusive(fd);
  if (rc == STATUS_OK) {
    bool same = false;
    rc = file_is_at(fd, journal_path, &same);
    if (rc == STATUS_OK && !same) rc = STATUS_NOT_FOUND;
  }
  if (rc != STATUS_OK) {
    (void)file_close(fd);  // nothing was written through it
    return rc;
  }
  lock->fd_ = fd;
  return STATUS_OK;
}

}  // namespace orv
