// Deleting expired backups, and files that belong to no backup, from an
// inventory.
//
// A backup is expired when its header's `expires` is set and not later
// than the as-of time. It is kept nevertheless when:
//  - it is the newest backup of its name and type in its directory (a new
//    DIFF or INC may be about to build on it);
//  - a partial backup's journal names it as parent;
//  - it lies in the chain of a kept backup (any backup not deleted);
//  - its directory holds a catalog or a journal that cannot be read (a link,
//    a damaged header): what builds on what is then unknown there.
// A backup whose header cannot be read is never deleted.
//
// Deleting one backup: the catalog first (it leaves every listing at once),
// then the image; once a directory is done it is synced. A crash part-way
// leaves an image without a catalog, which a later prune removes. A backup
// whose catalog cannot be deleted keeps its image.
//
// Images without a catalog and ".tmp" files are deleted when the later of
// their change and modification times is more than the orphan age ago;
// files a journal names (a partial backup's) are never touched: expiring
// partials is the server's work. Just before a directory is changed its
// journals are read again, so a backup begun since the walk still protects
// its parent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "admin/grow_array.h"
#include "admin/inventory.h"

namespace orv {

inline constexpr int64_t PRUNE_ORPHAN_AGE_DEFAULT_DAYS = 7;

enum class KeepReason : uint8_t {
  none = 0,        // deleted (when expired)
  not_expired,
  newest,
  partial_parent,
  chain,
  unknown_needs,   // a catalog or journal in the directory cannot be read
  unreadable,      // its own header cannot be read
};

// The text for kept_expired's reason.
const char* keep_reason_text(KeepReason r);

struct PruneOptions {
  int64_t as_of = 0;
  int64_t orphan_age_seconds = PRUNE_ORPHAN_AGE_DEFAULT_DAYS * 86400;
  bool dry_run = false;
};

// One deletion that failed.
struct PruneFailure {
  uint32_t dir;
  char file[ADMIN_FILE_NAME_SIZE];
  int32_t status;
};

struct PruneResult {
  // Per backup of the inventory (same indices): why it is kept.
  GrowArray<KeepReason> reason;
  GrowArray<uint8_t> expired;       // 1 when expired as of the prune's time
  GrowArray<uint8_t> deleted;       // 1 when deleted (or, dry run, to be deleted)
  GrowArray<uint32_t> orphans;      // indices into Inventory::strays deleted (or to be)
  GrowArray<PruneFailure> failures;
  uint64_t freed_bytes = 0;
  uint64_t deleted_count = 0;
  uint64_t kept_expired_count = 0;
};

// Decides what goes, for every selected directory of the inventory, without
// changing anything (the dry run's answer).
[[nodiscard]] int32_t prune_plan(const Inventory& inv, const PruneOptions& opts, PruneResult* result);

// Plans, then deletes (unless dry_run). Failures are collected in
// result->failures; the return is STATUS_OK or STATUS_NOMEM.
[[nodiscard]] int32_t prune_run(const Inventory& inv, const PruneOptions& opts, PruneResult* result);

}  // namespace orv
