#include "admin/chains.h"

#include <cstdlib>
#include <cstring>

#include "core/status.h"

namespace orv {

namespace {

// qsort has no context argument; the comparison reads the inventory through
// this pointer, set only while one index is sorted (one thread).
const Inventory* g_sort_inv = nullptr;

int compare_by_uuid(const void* a, const void* b) {
  const AdminBackup& x = g_sort_inv->backups[*static_cast<const uint32_t*>(a)];
  const AdminBackup& y = g_sort_inv->backups[*static_cast<const uint32_t*>(b)];
  int c = memcmp(x.uuid.bytes, y.uuid.bytes, UUID_SIZE);
  if (c != 0) return c;
  // Equal identifiers keep directory-walk order, so the first is stable.
  uint32_t i = *static_cast<const uint32_t*>(a);
  uint32_t j = *static_cast<const uint32_t*>(b);
  return i < j ? -1 : (i > j ? 1 : 0);
}

}  // namespace

int32_t uuid_index_build(const Inventory& inv, uint32_t dir, UuidIndex* index) {
  const AdminDir& d = inv.dirs[dir];
  for (uint32_t i = d.backup_first; i < d.backup_first + d.backup_count; ++i) {
    if (inv.backups[i].header_status != STATUS_OK) continue;
    uint32_t* slot = index->order.add();
    if (slot == nullptr) return STATUS_NOMEM;
    *slot = i;
  }
  g_sort_inv = &inv;
  if (index->order.size() > 1) qsort(index->order.data(), index->order.size(), sizeof(uint32_t), compare_by_uuid);
  g_sort_inv = nullptr;
  return STATUS_OK;
}

size_t uuid_index_find(const Inventory& inv, const UuidIndex& index, const Uuid& uuid, size_t* first) {
  size_t lo = 0;
  size_t hi = index.order.size();
  while (lo < hi) {  // first position whose uuid is not below the wanted one
    size_t mid = lo + (hi - lo) / 2;
    if (memcmp(inv.backups[index.order[mid]].uuid.bytes, uuid.bytes, UUID_SIZE) < 0) lo = mid + 1;
    else hi = mid;
  }
  *first = lo;
  size_t end = lo;
  while (end < index.order.size() && memcmp(inv.backups[index.order[end]].uuid.bytes, uuid.bytes, UUID_SIZE) == 0) {
    ++end;
  }
  return end - lo;
}

ChainState chain_follow(const Inventory& inv, const UuidIndex& index, uint32_t b, Uuid* missing, uint32_t* length) {
  *length = 1;
  uint32_t current = b;
  // A real chain passes each backup of the directory at most once.
  size_t limit = index.order.size();
  while (inv.backups[current].type != BACKUP_FULL) {
    size_t first = 0;
    const Uuid& wanted = inv.backups[current].parent_uuid;
    if (uuid_index_find(inv, index, wanted, &first) == 0) {
      *missing = wanted;
      return ChainState::missing_parent;
    }
    if (*length > limit) return ChainState::loop;
    current = index.order[first];
    *length += 1;
  }
  return ChainState::complete;
}

}  // namespace orv
