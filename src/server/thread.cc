#include "server/thread.h"

#include <cerrno>
#include <new>

namespace orv {

namespace {

struct StartRecord {
  ThreadFn fn;
  void* arg;
};

void* thread_entry(void* p) {
  StartRecord* record = static_cast<StartRecord*>(p);
  ThreadFn fn = record->fn;
  void* arg = record->arg;
  delete record;
  fn(arg);
  return nullptr;
}

}  // namespace

int thread_start(pthread_t* out_thread, ThreadFn fn, void* arg) {
  StartRecord* record = new (std::nothrow) StartRecord{fn, arg};
  if (record == nullptr) return ENOMEM;
  int err = pthread_create(out_thread, nullptr, thread_entry, record);
  if (err != 0) delete record;
  return err;
}

}  // namespace orv
