#include "admin/prune.h"

#include <cstdio>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "admin/chains.h"
#include "core/status.h"
#include "store/catalog.h"
#include "core/file_io.h"

namespace orv {

namespace {

const Inventory* g_sort_inv = nullptr;  // qsort context (one thread)

// Name, type, then newest first.
int compare_by_name_type_created(const void* a, const void* b) {
  const AdminBackup& x = g_sort_inv->backups[*static_cast<const uint32_t*>(a)];
  const AdminBackup& y = g_sort_inv->backups[*static_cast<const uint32_t*>(b)];
  int c = strcmp(x.name, y.name);
  if (c != 0) return c;
  if (x.type != y.type) return x.type < y.type ? -1 : 1;
  if (x.created != y.created) return x.created > y.created ? -1 : 1;
  return 0;
}

bool is_expired(const AdminBackup& b, int64_t as_of) {
  return b.header_status == STATUS_OK && b.expires != 0 && b.expires <= as_of;
}

class DirPlan {
 public:
  DirPlan(const Inventory& inv, uint32_t dir, const PruneOptions& opts, PruneResult* r)
      : inv_(inv), dir_(dir), opts_(opts), r_(r), d_(inv.dirs[dir]) {}

  int32_t build() { return uuid_index_build(inv_, dir_, &index_); }

  // Sets the keep reasons of this directory's backups. `parents` are the
  // parent identifiers of the directory's journals; `unknown` says that a
  // catalog or journal cannot be read.
  int32_t decide(const Uuid* parents, size_t parent_count, bool unknown) {
    uint32_t first = d_.backup_first;
    uint32_t end = first + d_.backup_count;
    for (uint32_t i = first; i < end; ++i) {
      const AdminBackup& b = inv_.backups[i];
      bool expired = is_expired(b, opts_.as_of);
      r_->expired[i] = expired ? 1 : 0;
      if (b.header_status != STATUS_OK) r_->reason[i] = KeepReason::unreadable;
      else if (!expired) r_->reason[i] = KeepReason::not_expired;
      else if (unknown) r_->reason[i] = KeepReason::unknown_needs;
      else r_->reason[i] = KeepReason::none;
    }
    // The newest of each name and type.
    GrowArray<uint32_t> order;
    for (size_t k = 0; k < index_.order.size(); ++k) {
      uint32_t* slot = order.add();
      if (slot == nullptr) return STATUS_NOMEM;
      *slot = index_.order[k];
    }
    g_sort_inv = &inv_;
    if (order.size() > 1) qsort(order.data(), order.size(), sizeof(uint32_t), compare_by_name_type_created);
    g_sort_inv = nullptr;
    for (size_t k = 0; k < order.size(); ++k) {
      const AdminBackup& b = inv_.backups[order[k]];
      bool group_start = k == 0 || strcmp(inv_.backups[order[k - 1]].name, b.name) != 0 ||
                         inv_.backups[order[k - 1]].type != b.type;
      // Every backup that shares the newest time is kept: the server picks
      // one of them by directory order, which may differ from ours.
      bool newest = group_start;
      if (!group_start) {
        size_t g = k;
        while (g > 0 && strcmp(inv_.backups[order[g - 1]].name, b.name) == 0 &&
               inv_.backups[order[g - 1]].type == b.type) {
          --g;
        }
        newest = inv_.backups[order[g]].created == b.created;
      }
      if (newest && r_->reason[order[k]] == KeepReason::none) r_->reason[order[k]] = KeepReason::newest;
    }
    // Parents of backups in progress.
    for (size_t p = 0; p < parent_count; ++p) {
      size_t at = 0;
      size_t n = uuid_index_find(inv_, index_, parents[p], &at);
      for (size_t k = at; k < at + n; ++k) {
        if (r_->reason[index_.order[k]] == KeepReason::none) r_->reason[index_.order[k]] = KeepReason::partial_parent;
      }
    }
    // Everything a kept backup's chain passes through. Each backup is
    // walked from at most once; a walk stops at a backup already passed.
    GrowArray<uint8_t> visited;
    for (uint32_t i = first; i < end; ++i) {
      if (visited.add() == nullptr) return STATUS_NOMEM;
    }
    for (size_t k = 0; k < index_.order.size(); ++k) {
      uint32_t start = index_.order[k];
      if (r_->reason[start] == KeepReason::none || visited[start - first]) continue;
      visited[start - first] = 1;
      walk_up(start, first, &visited);
    }
    return STATUS_OK;
  }

  const UuidIndex& index() const { return index_; }

 private:
  void walk_up(uint32_t from, uint32_t first, GrowArray<uint8_t>* visited) {
    uint32_t current = from;
    while (inv_.backups[current].type != BACKUP_FULL) {
      size_t at = 0;
      size_t n = uuid_index_find(inv_, index_, inv_.backups[current].parent_uuid, &at);
      if (n == 0) return;
      // With duplicate identifiers every candidate is kept, and each is
      // walked from in turn by the caller's loop once it is marked.
      for (size_t k = at + 1; k < at + n; ++k) {
        if (r_->reason[index_.order[k]] == KeepReason::none) r_->reason[index_.order[k]] = KeepReason::chain;
      }
      uint32_t parent = index_.order[at];
      if ((*visited)[parent - first]) return;
      (*visited)[parent - first] = 1;
      if (r_->reason[parent] == KeepReason::none) r_->reason[parent] = KeepReason::chain;
      current = parent;
    }
  }

  const Inventory& inv_;
  uint32_t dir_;
  const PruneOptions& opts_;
  PruneResult* r_;
  const AdminDir& d_;
  UuidIndex index_;
};

// The parent identifiers of the partials the walk found in dir.
int32_t walked_parents(const Inventory& inv, uint32_t dir, GrowArray<Uuid>* parents) {
  const AdminDir& d = inv.dirs[dir];
  for (uint32_t i = d.partial_first; i < d.partial_first + d.partial_count; ++i) {
    if (!inv.partials[i].readable) continue;
    Uuid* slot = parents->add();
    if (slot == nullptr) return STATUS_NOMEM;
    *slot = inv.partials[i].parent_uuid;
  }
  return STATUS_OK;
}

int32_t plan_dir(const Inventory& inv, uint32_t dir, const PruneOptions& opts, PruneResult* r, bool recheck) {
  const AdminDir& d = inv.dirs[dir];
  if (!d.selected) return STATUS_OK;
  GrowArray<Uuid> parents;
  bool unknown = d.unreadable_catalog || d.unreadable_journal;
  int32_t rc = walked_parents(inv, dir, &parents);
  if (rc != STATUS_OK) return rc;
  if (recheck) {
    bool unreadable = false;
    rc = inventory_journal_parents(d.abs, &parents, &unreadable);
    if (rc == STATUS_NOMEM) return rc;
    if (rc != STATUS_OK || unreadable) unknown = true;
  }
  DirPlan plan(inv, dir, opts, r);
  rc = plan.build();
  if (rc == STATUS_OK) rc = plan.decide(parents.data(), parents.size(), unknown);
  return rc;
}

void count_and_mark(const Inventory& inv, uint32_t dir, PruneResult* r) {
  const AdminDir& d = inv.dirs[dir];
  for (uint32_t i = d.backup_first; i < d.backup_first + d.backup_count; ++i) {
    if (!r->expired[i]) continue;
    if (r->reason[i] == KeepReason::none) {
      r->deleted[i] = 1;
    } else {
      r->kept_expired_count += 1;
    }
  }
}

int32_t add_failure(PruneResult* r, uint32_t dir, const char* file, int32_t status) {
  PruneFailure* f = r->failures.add();
  if (f == nullptr) return STATUS_NOMEM;
  f->dir = dir;
  snprintf(f->file, sizeof f->file, "%s", file);
  f->status = status;
  return STATUS_OK;
}

// Ages count from the prune's as-of time, like expiry.
bool orphan_due(const AdminStray& s, const PruneOptions& opts) {
  return s.kind != StrayKind::odd && opts.as_of - s.changed > opts.orphan_age_seconds;
}

int32_t prepare(const Inventory& inv, PruneResult* r) {
  for (size_t i = 0; i < inv.backups.size(); ++i) {
    if (r->reason.add() == nullptr || r->expired.add() == nullptr || r->deleted.add() == nullptr) return STATUS_NOMEM;
  }
  return STATUS_OK;
}

// Deletions of one directory shared by several threads. Freeing a file's
// blocks can take milliseconds (file systems that discard freed blocks
// wait for the device), and the waits of parallel unlinks overlap. Each
// backup is handled by one thread, catalog first, then image; each thread
// writes only the result slots of the backups it took.
constexpr size_t kDeleteThreads = 32;
constexpr size_t kBackupsPerThread = 8;  // fewer backups than this per thread: fewer threads

struct DeleteJob {
  const Inventory* inv;
  uint32_t dir;
  const uint32_t* list;          // backup indices to delete
  size_t count;
  int32_t* catalog_rc;           // per list position
  int32_t* image_rc;             // per list position; STATUS_OK when there was no image
  std::atomic<size_t> next{0};
};

void delete_backup(DeleteJob* job, size_t k) {
  const AdminBackup& b = job->inv->backups[job->list[k]];
  char path[STORE_PATH_SIZE + ADMIN_FILE_NAME_SIZE];
  char image[STORE_PATH_SIZE + ADMIN_FILE_NAME_SIZE];
  job->image_rc[k] = STATUS_OK;
  if (!inventory_path(*job->inv, job->dir, b.file, path, sizeof path) ||
      catalog_to_image_path(path, image, sizeof image) != STATUS_OK) {
    job->catalog_rc[k] = STATUS_INVALID;
    return;
  }
  job->catalog_rc[k] = file_remove(path);
  // A backup whose catalog stays keeps its image: it is still listed.
  if (job->catalog_rc[k] != STATUS_OK && job->catalog_rc[k] != STATUS_NOT_FOUND) return;
  if (b.image_present) job->image_rc[k] = file_remove(image);
}

void* delete_worker(void* arg) {
  auto* job = static_cast<DeleteJob*>(arg);
  for (size_t k = job->next.fetch_add(1); k < job->count; k = job->next.fetch_add(1)) delete_backup(job, k);
  return nullptr;
}

// Runs the job on up to kDeleteThreads threads, the caller's included; a
// thread that cannot be started leaves its share to the others.
void run_delete_job(DeleteJob* job) {
  size_t wanted = job->count / kBackupsPerThread;
  if (wanted > kDeleteThreads) wanted = kDeleteThreads;
  pthread_t threads[kDeleteThreads];
  size_t started = 0;
  for (size_t t = 1; t < wanted; ++t) {
    if (pthread_create(&threads[started], nullptr, delete_worker, job) == 0) ++started;
  }
  delete_worker(job);
  for (size_t t = 0; t < started; ++t) pthread_join(threads[t], nullptr);
}

// Deletes what the plan marked in one directory; syncs it afterwards.
int32_t delete_in_dir(const Inventory& inv, uint32_t dir, const PruneOptions& opts, PruneResult* r) {
  const AdminDir& d = inv.dirs[dir];
  char path[STORE_PATH_SIZE + ADMIN_FILE_NAME_SIZE];
  bool changed = false;
  GrowArray<uint32_t> list;
  GrowArray<int32_t> catalog_rc;
  GrowArray<int32_t> image_rc;
  for (uint32_t i = d.backup_first; i < d.backup_first + d.backup_count; ++i) {
    if (!r->deleted[i]) continue;
    uint32_t* slot = list.add();
    if (slot == nullptr || catalog_rc.add() == nullptr || image_rc.add() == nullptr) return STATUS_NOMEM;
    *slot = i;
  }
  if (list.size() > 0) {
    DeleteJob job;
    job.inv = &inv;
    job.dir = dir;
    job.list = list.data();
    job.count = list.size();
    job.catalog_rc = catalog_rc.data();
    job.image_rc = image_rc.data();
    run_delete_job(&job);
  }
  for (size_t k = 0; k < list.size(); ++k) {
    uint32_t i = list[k];
    const AdminBackup& b = inv.backups[i];
    int32_t rc = catalog_rc[k];
    if (rc != STATUS_OK && rc != STATUS_NOT_FOUND) {
      r->deleted[i] = 0;
      if (rc != STATUS_INVALID && add_failure(r, dir, b.file, rc) != STATUS_OK) return STATUS_NOMEM;
      continue;
    }
    changed = true;
    r->deleted_count += 1;
    r->freed_bytes += b.catalog_bytes;
    rc = image_rc[k];
    if (!b.image_present) continue;
    if (rc == STATUS_OK) {
      r->freed_bytes += b.image_bytes;
    } else if (rc != STATUS_NOT_FOUND) {
      char image[ADMIN_FILE_NAME_SIZE];
      if (catalog_to_image_path(b.file, image, sizeof image) != STATUS_OK) image[0] = '\0';
      if (add_failure(r, dir, image, rc) != STATUS_OK) return STATUS_NOMEM;
    }
  }
  for (size_t s = 0; s < inv.strays.size(); ++s) {
    const AdminStray& st = inv.strays[s];
    if (st.dir != dir || !orphan_due(st, opts)) continue;
    if (!inventory_path(inv, dir, st.file, path, sizeof path)) continue;
    int32_t rc = file_remove(path);
    if (rc != STATUS_OK && rc != STATUS_NOT_FOUND) {
      if (add_failure(r, dir, st.file, rc) != STATUS_OK) return STATUS_NOMEM;
      continue;
    }
    uint32_t* slot = r->orphans.add();
    if (slot == nullptr) return STATUS_NOMEM;
    *slot = static_cast<uint32_t>(s);
    r->freed_bytes += rc == STATUS_OK ? st.bytes : 0;
    changed = true;
  }
  if (changed) {
    int32_t rc = dir_sync(d.abs);
    if (rc != STATUS_OK && add_failure(r, dir, ".", rc) != STATUS_OK) return STATUS_NOMEM;
  }
  return STATUS_OK;
}

}  // namespace

const char* keep_reason_text(KeepReason r) {
  switch (r) {
    case KeepReason::none: return "";
    case KeepReason::not_expired: return "not expired";
    case KeepReason::newest: return "newest backup of its name and type in its directory";
    case KeepReason::partial_parent: return "parent of a backup in progress";
    case KeepReason::chain: return "in the chain of a kept backup";
    case KeepReason::unknown_needs: return "its directory holds a catalog or journal that cannot be read";
    case KeepReason::unreadable: return "its header cannot be read";
  }
  return "";
}

int32_t prune_plan(const Inventory& inv, const PruneOptions& opts, PruneResult* r) {
  int32_t rc = prepare(inv, r);
  for (uint32_t dir = 0; rc == STATUS_OK && dir < inv.dirs.size(); ++dir) {
    rc = plan_dir(inv, dir, opts, r, false);
    if (rc == STATUS_OK && inv.dirs[dir].selected) count_and_mark(inv, dir, r);
  }
  if (rc != STATUS_OK) return rc;
  r->deleted_count = 0;
  for (size_t i = 0; i < inv.backups.size(); ++i) {
    if (!r->deleted[i]) continue;
    r->deleted_count += 1;
    r->freed_bytes += inv.backups[i].catalog_bytes + inv.backups[i].image_bytes;
  }
  for (size_t s = 0; s < inv.strays.size(); ++s) {
    if (!inv.dirs[inv.strays[s].dir].selected || !orphan_due(inv.strays[s], opts)) continue;
    uint32_t* slot = r->orphans.add();
    if (slot == nullptr) return STATUS_NOMEM;
    *slot = static_cast<uint32_t>(s);
    r->freed_bytes += inv.strays[s].bytes;
  }
  return STATUS_OK;
}

int32_t prune_run(const Inventory& inv, const PruneOptions& opts, PruneResult* r) {
  if (opts.dry_run) return prune_plan(inv, opts, r);
  int32_t rc = prepare(inv, r);
  for (uint32_t dir = 0; rc == STATUS_OK && dir < inv.dirs.size(); ++dir) {
    if (!inv.dirs[dir].selected) continue;
    rc = plan_dir(inv, dir, opts, r, true);
    if (rc != STATUS_OK) break;
    count_and_mark(inv, dir, r);
    rc = delete_in_dir(inv, dir, opts, r);
  }
  return rc;
}

}  // namespace orv
