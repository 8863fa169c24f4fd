#include "store/partial_lock.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "core/status.h"
#include "core/text.h"

namespace orv {

namespace {

// Same cut as the stored path, so that an over-long path still matches.
bool same_path(const char* stored, const char* path) {
  return strncmp(stored, path, PARTIAL_LOCK_PATH_SIZE - 1) == 0;
}

timespec deadline_after(uint32_t wait_ms) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += wait_ms / 1000;
  ts.tv_nsec += static_cast<long>(wait_ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

alignas(PartialLocks) unsigned char g_storage[sizeof(PartialLocks)];
size_t g_process_slots = PARTIAL_LOCK_SLOTS;  // set before the table is made

}  // namespace

PartialLocks::PartialLocks(size_t slots) {
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
  paths_ = static_cast<PathBuf*>(calloc(slots, sizeof(PathBuf)));
  if (holders_ == nullptr || paths_ == nullptr) {
    free(holders_);
    free(paths_);
    holders_ = nullptr;
    paths_ = nullptr;
    return;
  }
  count_ = slots;
  for (size_t i = 0; i < count_; ++i) holders_[i] = kFree;
}

PartialLocks::~PartialLocks() {
  free(holders_);
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

int32_t PartialLocks::take_free_locked(const char* path, int holder) {
  for (size_t i = 0; i < count_; ++i) {
    if (holders_[i] != kFree) continue;
    copy_text(paths_[i], sizeof(PathBuf), path);
    holders_[i] = holder < 0 ? -1 : holder;
    return STATUS_OK;
  }
  return STATUS_NOMEM;
}

int32_t PartialLocks::try_lock(const char* path, int holder) {
  pthread_mutex_lock(&mu_);
  int32_t rc = find_locked(path) >= 0 ? STATUS_AGAIN : take_free_locked(path, holder);
  pthread_mutex_unlock(&mu_);
  return rc;
}

int32_t PartialLocks::takeover(const char* path, int holder, uint32_t wait_ms) {
  timespec deadline = deadline_after(wait_ms);
  bool shut_down = false;
  int32_t rc = STATUS_AGAIN;
  pthread_mutex_lock(&mu_);
  while (true) {
    int i = find_locked(path);
    if (i < 0) {
      rc = take_free_locked(path, holder);
      break;
    }
    if (!shut_down) {
      // Once per takeover: ending the holder's connection makes its session
      // checkpoint and release the lock.
      if (holders_[i] >= 0) (void)shutdown(holders_[i], SHUT_RDWR);  // a closed socket needs nothing
      shut_down = true;
    }
    int w = pthread_cond_timedwait(&cv_, &mu_, &deadline);
    if (w == ETIMEDOUT) {
      if (find_locked(path) >= 0) {
        rc = STATUS_AGAIN;
        break;
      }
      // Released just at the deadline: the next round takes it.
    }
  }
  pthread_mutex_unlock(&mu_);
  return rc;
}

void PartialLocks::unlock(const char* path) {
  pthread_mutex_lock(&mu_);
  int i = find_locked(path);
  if (i >= 0) {
    holders_[i] = kFree;
    paths_[i][0] = '\0';
  }
  pthread_cond_broadcast(&cv_);
  pthread_mutex_unlock(&mu_);
}

bool PartialLocks::held(const char* path) {
  pthread_mutex_lock(&mu_);
  bool h = find_locked(path) >= 0;
  pthread_mutex_unlock(&mu_);
  return h;
}

PartialLocks& partial_locks() {
  static PartialLocks* const locks = new (g_storage) PartialLocks(g_process_slots);
  return *locks;
}

void partial_locks_set_slots(size_t max_connections) {
  g_process_slots = max_connections + PARTIAL_LOCK_SPARE_SLOTS;
}

int32_t partial_lock_try(const char* path, int holder) { return partial_locks().try_lock(path, holder); }

int32_t partial_lock_takeover(const char* path, int holder, uint32_t wait_ms) {
  return partial_locks().takeover(path, holder, wait_ms);
}

void partial_unlock(const char* path) { partial_locks().unlock(path); }

}  // namespace orv
