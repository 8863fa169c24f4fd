#include "server/auth_deadline.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <ctime>

#include "core/log.h"
#include "core/metrics.h"
#include "core/status.h"
#include "core/sysinfo.h"
#include "server/thread.h"

namespace orv {

namespace {

// Guards everything below and the link fields of every armed watch.
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_wake;  // monotonic clock; set up with the thread
bool g_thread_started = false;
AuthWatch* g_head = nullptr;  // earliest deadline first
AuthWatch* g_tail = nullptr;

void unlink_locked(AuthWatch* w) {
  if (w->prev != nullptr) w->prev->next = w->next; else g_head = w->next;
  if (w->next != nullptr) w->next->prev = w->prev; else g_tail = w->prev;
  w->prev = nullptr;
  w->next = nullptr;
  w->armed = false;
}

// Deadlines are accept time plus a constant, so a new watch almost always
// goes last; walking back from the tail keeps the list ordered anyway.
void insert_locked(AuthWatch* w) {
  AuthWatch* after = g_tail;
  while (after != nullptr && after->deadline_ms > w->deadline_ms) after = after->prev;
  w->prev = after;
  w->next = after != nullptr ? after->next : g_head;
  if (w->next != nullptr) w->next->prev = w; else g_tail = w;
  if (after != nullptr) after->next = w; else g_head = w;
  w->armed = true;
}

void watchdog(void*) {
  // The listener's signals are taken by its accept loop, never here.
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &block, nullptr);
  pthread_mutex_lock(&g_mutex);
  for (;;) {
    uint64_t now = monotonic_ms();
    uint32_t expired = 0;
    while (g_head != nullptr && g_head->deadline_ms <= now) {
      AuthWatch* w = g_head;
      unlink_locked(w);
      w->fired = true;
      (void)shutdown(w->fd, SHUT_RDWR);  // the owner's blocked read fails; it closes the socket
      ++expired;
    }
    if (expired > 0) {
      pthread_mutex_unlock(&g_mutex);
      for (uint32_t i = 0; i < expired; ++i) {
        metrics_connection_refused(RefusalReason::authentication);
        log_write(LEVEL_WARN, "no authentication within %u s: closing connection",
                  static_cast<unsigned>(AUTH_DEADLINE_MS / 1000));
      }
      pthread_mutex_lock(&g_mutex);
      continue;
    }
    if (g_head == nullptr) {
      pthread_cond_wait(&g_wake, &g_mutex);
      continue;
    }
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    uint64_t wait_ms = g_head->deadline_ms - now;
    until.tv_sec += static_cast<time_t>(wait_ms / 1000);
    until.tv_nsec += static_cast<long>((wait_ms % 1000) * 1000000);
    if (until.tv_nsec >= 1000000000L) {
      until.tv_sec += 1;
      until.tv_nsec -= 1000000000L;
    }
    (void)pthread_cond_timedwait(&g_wake, &g_mutex, &until);  // time-out or a new head: look again
  }
}

int32_t start_thread_locked() {
  if (g_thread_started) return STATUS_OK;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&g_wake, &attr);
  pthread_condattr_destroy(&attr);
  pthread_t thread;
  if (thread_start(&thread, watchdog, nullptr) != 0) {
    pthread_cond_destroy(&g_wake);
    return STATUS_IO;
  }
  pthread_detach(thread);
  g_thread_started = true;
  return STATUS_OK;
}

}  // namespace

int32_t auth_watch_start() {
  pthread_mutex_lock(&g_mutex);
  int32_t rc = start_thread_locked();
  pthread_mutex_unlock(&g_mutex);
  return rc;
}

int32_t auth_watch_arm(AuthWatch* watch, int fd, uint64_t deadline_ms) {
  pthread_mutex_lock(&g_mutex);
  int32_t rc = start_thread_locked();
  if (rc == STATUS_OK) {
    watch->fd = fd;
    watch->deadline_ms = deadline_ms;
    watch->fired = false;
    insert_locked(watch);
    if (g_head == watch) pthread_cond_signal(&g_wake);
  }
  pthread_mutex_unlock(&g_mutex);
  return rc;
}

bool auth_watch_disarm(AuthWatch* watch) {
  pthread_mutex_lock(&g_mutex);
  if (watch->armed) unlink_locked(watch);
  bool fired = watch->fired;
  pthread_mutex_unlock(&g_mutex);
  return fired;
}

}  // namespace orv
