// Thread creation with the system's default attributes.
#pragma once

#include <pthread.h>

namespace orv {

using ThreadFn = void (*)(void* arg);

// Starts fn(arg) in a new thread. A small start record carries fn and arg
// and is freed by the new thread before it calls fn. Returns 0, or the error
// number of the failure (the record is then freed and fn never runs).
[[nodiscard]] int thread_start(pthread_t* out_thread, ThreadFn fn, void* arg);

}  // namespace orv
