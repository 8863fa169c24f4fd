// Heap arrays of catalog entries (the session's entry list, a partial's
// entries, a catalog's table). They are plain malloc memory: whoever ends up
// owning one may realloc and free it.
//
// Large arrays are advised to use transparent huge pages: on the virtual
// machines this runs on, every first touch of a 4 KiB page costs a host
// page fault, which made faulting in a 58 MB table cost more than reading
// and checking the journal it came from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/formats.h"

namespace orv {

inline constexpr uint64_t ENTRY_ARRAY_MIN_CAPACITY = 1024;

// malloc of count entries (at least one), with the huge-page advice for
// large arrays. Null when out of memory or count is absurd.
CatalogEntry* entry_array_alloc(uint64_t count);

// Makes room for at least `needed` entries: capacity starts at 1,024 and
// doubles until it suffices. On success *entries and *capacity are updated;
// on STATUS_NOMEM both are unchanged and the old array is still owned.
[[nodiscard]] int32_t entry_array_reserve(CatalogEntry** entries, uint64_t* capacity, uint64_t needed);

// The capacity entry_array_reserve would grow to from `capacity` for
// `needed` entries (capacity itself when it suffices); 0 when no capacity
// can hold that many.
uint64_t entry_array_capacity_for(uint64_t capacity, uint64_t needed);

// Huge-page advice for any large heap buffer (ignored when not possible).
void advise_huge_pages(void* p, size_t bytes);

}  // namespace orv
