// Catalog files: the header block followed by the entry table in key order.
//
//   offset 0            BackupHeader (131,072 bytes; entry_count,
//                       header_size and entries_sha256 filled in)
//   offset header_size  entry_count x 58-byte CatalogEntry, keys ascending
//
// A catalog appears under its final name only whole and flushed: it is
// written as "<catalog>.tmp", synced, renamed, and the directory is synced.
// Readers take no lock; temporary names are never catalog names.
// All functions may be called from any thread; they share no state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/formats.h"
#include "store/memory_budget.h"
#include "store/names.h"

namespace orv {

// A catalog read into memory. About 130 KiB: allocate it on the heap.
// Owns `entries` (malloc'd; null when entry_count is 0). Release with
// catalog_free.
struct LoadedCatalog {
  BackupHeader header;
  char catalog_path[STORE_PATH_SIZE];
  char image_path[STORE_PATH_SIZE];
  CatalogEntry* entries;
  uint64_t entry_count;
};

// Reads and validates the header of a catalog file with one 131,072-byte
// read (repeated for the rest only when the kernel returns less before the
// end of the file). STATUS_CORRUPT when fewer than 4,096 bytes could be
// read, the magic is wrong, header_size is outside 4,096..4,194,304 or more
// than was read; then STATUS_UNSUPPORTED for version 2 or higher (checked
// last, so a damaged file reports STATUS_CORRUPT). Open and read failures return their
// mapped status (a vanished file is STATUS_NOT_FOUND, a directory
// STATUS_IO). Bytes beyond the end of a short file read as zero.
// The header's content is unspecified after a failure.
[[nodiscard]] int32_t header_read(const char* path, BackupHeader* header);

// Header, both paths and the entry table, checked against entries_sha256.
// STATUS_CORRUPT when the table is shorter than entry_count says or its
// digest differs; STATUS_INVALID when the path is not a catalog name or
// longer than 1,023 characters; STATUS_NOMEM when the table cannot be
// allocated. On failure *cat holds no table (catalog_free is still safe).
// With a charge, the table is first added to it on the memory budget
// (memory_budget.h): STATUS_NOMEM when it does not fit. The caller releases
// the charge once the table is freed (also after a failure).
[[nodiscard]] int32_t catalog_load(const char* path, LoadedCatalog* cat, BudgetCharge* charge = nullptr);

// Frees the entry table and leaves entries null, entry_count 0.
void catalog_free(LoadedCatalog* cat);

// Writes a catalog from a header and `count` entries already in catalog
// order. The caller's header is not changed: a copy gets entry_count,
// header_size 131,072 and the SHA-256 of the table (zero for no entries).
// Order: "<catalog_path>.tmp" created with `mode`, header and table written,
// fsync, close, rename to catalog_path, fsync of the directory. Any failure
// is returned (a short write is STATUS_IO); only after a 0 result is the
// catalog durable under its name. When the directory sync fails, the
// catalog is renamed back to ".tmp", so a failed write leaves no catalog
// visible. A failure may leave the ".tmp" file.
[[nodiscard]] int32_t catalog_write(const char* catalog_path, uint32_t mode, const BackupHeader& header,
                                    const CatalogEntry* entries, uint64_t count);

// Moves the entries without the dropped flag (bit 7) to the front, keeping
// their order; returns how many remain.
uint64_t entries_compact(CatalogEntry* entries, uint64_t count);

// Sorts into catalog order: key ascending as unsigned 64-bit numbers.
// Entries with equal keys end up next to each other in no defined order.
void entries_sort(CatalogEntry* entries, uint64_t count);

// fsync of the directory that holds path ("/" for "/x", "." for a path
// without "/"), reporting every failure, unlike dir_sync_parent. Used where
// a rename must be durable before success is reported.
[[nodiscard]] int32_t dir_sync_parent_checked(const char* path);

}  // namespace orv
