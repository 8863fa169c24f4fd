// The store's settings: built once from the command line (the server keeps
// them as ServerConfig::store) and passed down by const reference to every
// store operation that depends on them. Nothing in the store reads a
// process-wide setting.
//
// Like the options of an embedded database, the settings also name the two
// objects that every session of one server shares: the partial-lock table
// and the memory budget. The program makes both from the settings at start,
// before any connection, and they outlive every session. A caller that
// brings none (a tool or a test) gets the default lock table of the process
// (partial_locks(), partial_lock.h) and no memory limit. The defaults of the
// values are the program's, so StoreSettings{} is the server's behaviour.
#pragma once

#include <cstdint>

namespace orv {

class PartialLocks;
class MemoryBudget;

inline constexpr uint64_t CHECKPOINT_BYTES_DEFAULT = 33554432;  // 32 MiB
inline constexpr uint32_t CHECKPOINT_SECONDS_DEFAULT = 10;
inline constexpr int64_t PARTIAL_MAX_AGE_DEFAULT = 604800;      // 7 days
inline constexpr uint32_t PARTIAL_TAKEOVER_WAIT_MS = 15000;

struct StoreSettings {
  // A checkpoint of an open backup is due after this many bytes of block
  // data (each dropped entry counts 1) or this many seconds since the last.
  uint64_t checkpoint_bytes = CHECKPOINT_BYTES_DEFAULT;
  uint32_t checkpoint_seconds = CHECKPOINT_SECONDS_DEFAULT;
  // Partials of a directory whose journal is older than this (seconds) are
  // deleted when a new backup opens there; 0 or less: none are.
  int64_t partial_max_age = PARTIAL_MAX_AGE_DEFAULT;
  // Longest wait for another connection to let go of a partial that is
  // continued or discarded.
  uint32_t takeover_wait_ms = PARTIAL_TAKEOVER_WAIT_MS;
  // Free space a new backup's file system must have (bytes; 0: no check).
  uint64_t min_free = 0;
  // Shared objects, not owned; see the top of this file.
  PartialLocks* locks = nullptr;   // null: partial_locks()
  MemoryBudget* budget = nullptr;  // null: no limit
};

// The lock table the settings name (settings.locks, else partial_locks()).
PartialLocks& store_locks(const StoreSettings& settings);

}  // namespace orv
