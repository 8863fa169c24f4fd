// KeyIndex: open-addressing hash map from a u64 block key to a u64 entry
// position, used while a continued backup runs (and while a partial's
// journal is replayed).
//
// Capacity is a power of two, at least 1,024. A slot whose key is all ones
// is empty, so that key cannot be stored. The slot of key k is fmix64(k) &
// (capacity - 1); collisions probe the next slot, wrapping. The index grows
// (doubles) before a put whenever capacity < 2 * count + 2, so the load
// factor stays below one half.
//
// Owns both arrays; release with key_index_free. One thread at a time.
#pragma once

#include <cstdint>

namespace orv {

inline constexpr uint64_t KEY_INDEX_EMPTY = ~uint64_t{0};
inline constexpr uint64_t KEY_INDEX_MIN_CAPACITY = 1024;

struct KeyIndex {
  uint64_t* keys = nullptr;    // capacity slots; KEY_INDEX_EMPTY when free
  uint64_t* values = nullptr;  // capacity slots
  uint64_t capacity = 0;
  uint64_t count = 0;
};

// MurmurHash3's 64-bit finalizer.
inline uint64_t fmix64(uint64_t k) {
  k ^= k >> 33;
  k *= 0xFF51AFD7ED558CCDULL;
  k ^= k >> 33;
  k *= 0xC4CEB9FE1A85EC53ULL;
  k ^= k >> 33;
  return k;
}

// Capacity 1,024 doubled while it is less than 2 * expected; both arrays
// allocated, keys all empty, count 0. STATUS_NOMEM (index zeroed, owning
// nothing) when the arrays cannot be allocated.
[[nodiscard]] int32_t key_index_init(KeyIndex* index, uint64_t expected);

// True and *position when key is stored. False for an index of capacity 0.
bool key_index_find(const KeyIndex& index, uint64_t key, uint64_t* position);

// Stores key -> position, replacing the position of a key already present.
// STATUS_INVALID for the all-ones key; STATUS_NOMEM when growing fails (the
// index is then unchanged).
[[nodiscard]] int32_t key_index_put(KeyIndex* index, uint64_t key, uint64_t position);

// Looks key up and, when it is absent, stores key -> position in the same
// probe. *found tells which happened; when found, *existing is the stored
// position (left unchanged). Growth and errors as for key_index_put.
[[nodiscard]] int32_t key_index_find_or_put(KeyIndex* index, uint64_t key, uint64_t position, bool* found,
                                            uint64_t* existing);

// Frees both arrays and zeroes the index. Safe on a zeroed index.
void key_index_free(KeyIndex* index);

}  // namespace orv
