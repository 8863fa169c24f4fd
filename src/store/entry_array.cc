#include "store/entry_array.h"

#include <sys/mman.h>

#include <cstdlib>

#include "core/status.h"

namespace orv {

namespace {
constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
constexpr uint64_t kMaxEntries = SIZE_MAX / CATALOG_ENTRY_SIZE;
}  // namespace

void advise_huge_pages(void* p, size_t bytes) {
  if (p == nullptr || bytes < kHugePage) return;
  uintptr_t start = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHugePage - 1);
  if (end <= start) return;
  // Only whole huge pages inside the buffer; a refusal (no THP support,
  // memory not from mmap) just leaves the default pages.
  (void)madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

CatalogEntry* entry_array_alloc(uint64_t count) {
  if (count == 0) count = 1;
  if (count > kMaxEntries) return nullptr;
  size_t bytes = static_cast<size_t>(count) * CATALOG_ENTRY_SIZE;
  auto* p = static_cast<CatalogEntry*>(malloc(bytes));
  advise_huge_pages(p, bytes);
  return p;
}

uint64_t entry_array_capacity_for(uint64_t capacity, uint64_t needed) {
  if (needed <= capacity && capacity != 0) return capacity;
  uint64_t cap = capacity == 0 ? ENTRY_ARRAY_MIN_CAPACITY : capacity;
  while (cap < needed) {
    if (cap > kMaxEntries / 2) return 0;
    cap *= 2;
  }
  return cap > kMaxEntries ? 0 : cap;
}

int32_t entry_array_reserve(CatalogEntry** entries, uint64_t* capacity, uint64_t needed) {
  if (needed <= *capacity && *entries != nullptr) return STATUS_OK;
  uint64_t cap = *capacity == 0 ? ENTRY_ARRAY_MIN_CAPACITY : *capacity;
  while (cap < needed) {
    if (cap > kMaxEntries / 2) return STATUS_NOMEM;
    cap *= 2;
  }
  if (cap > kMaxEntries) return STATUS_NOMEM;
  size_t bytes = static_cast<size_t>(cap) * CATALOG_ENTRY_SIZE;
  void* grown = realloc(*entries, bytes);
  if (grown == nullptr) return STATUS_NOMEM;
  advise_huge_pages(grown, bytes);
  *entries = static_cast<CatalogEntry*>(grown);
  *capacity = cap;
  return STATUS_OK;
}

}  // namespace orv
