// Parent links among the backups of one directory, resolved in memory from
// an inventory: the same rules as the server's chain resolution (a backup's
// parent is the backup of the same directory with that uuid; only a full
// backup ends a chain), without reading a catalog again for every step.
#pragma once

#include <cstddef>
#include <cstdint>

#include "admin/grow_array.h"
#include "admin/inventory.h"

namespace orv {

// The backups of one directory whose header reads, ordered by uuid.
struct UuidIndex {
  GrowArray<uint32_t> order;  // indices into Inventory::backups
};

[[nodiscard]] int32_t uuid_index_build(const Inventory& inv, uint32_t dir, UuidIndex* index);

// The range [*first, *first + count) of index.order holding uuid; count 0
// when no backup has it. More than one means duplicate identifiers.
size_t uuid_index_find(const Inventory& inv, const UuidIndex& index, const Uuid& uuid, size_t* first);

enum class ChainState : uint8_t {
  complete,        // parent links lead to a full backup
  missing_parent,  // a parent named by a link is not in the directory
  loop,            // the links come back to a backup already passed
};

// Follows the parent links of backup b (which must have a readable header).
// *missing gets the uuid that could not be found. *length gets the number
// of backups walked, b included.
ChainState chain_follow(const Inventory& inv, const UuidIndex& index, uint32_t b, Uuid* missing, uint32_t* length);

}  // namespace orv
