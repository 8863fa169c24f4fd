#include "store/key_index.h"

#include <cstdlib>
#include <cstring>

#include "core/status.h"
#include "store/entry_array.h"

namespace orv {

namespace {

// Largest capacity whose arrays can still be sized without overflow.
constexpr uint64_t kMaxCapacity = uint64_t{1} << 58;

// Slot holding key, or the empty slot where it would go. The load factor
// stays below one half, so an empty slot always exists.
uint64_t probe(const KeyIndex& index, uint64_t key) {
  uint64_t mask = index.capacity - 1;
  uint64_t slot = fmix64(key) & mask;
  while (index.keys[slot] != key && index.keys[slot] != KEY_INDEX_EMPTY) slot = (slot + 1) & mask;
  return slot;
}

// Inserts into a slot array known to have room; no growth, no checks.
void insert_raw(KeyIndex* index, uint64_t key, uint64_t position) {
  uint64_t slot = probe(*index, key);
  if (index->keys[slot] == KEY_INDEX_EMPTY) {
    index->keys[slot] = key;
    index->count += 1;
  }
  index->values[slot] = position;
}

// Doubles the capacity when the growth rule asks for it.
int32_t grow_if_needed(KeyIndex* index) {
  if (index->capacity >= 2 * index->count + 2) return STATUS_OK;
  // init doubles: the new capacity is the smallest power of two >= 2 * old.
  KeyIndex grown;
  int32_t rc = key_index_init(&grown, index->capacity);
  if (rc != STATUS_OK) return rc;
  for (uint64_t i = 0; i < index->capacity; ++i) {
    if (index->keys[i] != KEY_INDEX_EMPTY) insert_raw(&grown, index->keys[i], index->values[i]);
  }
  key_index_free(index);
  *index = grown;
  return STATUS_OK;
}

}  // namespace

int32_t key_index_init(KeyIndex* index, uint64_t expected) {
  *index = KeyIndex{};
  uint64_t cap = KEY_INDEX_MIN_CAPACITY;
  while (cap / 2 < expected) {  // cap < 2 * expected, without overflow
    if (cap >= kMaxCapacity) return STATUS_NOMEM;
    cap *= 2;
  }
  size_t bytes = static_cast<size_t>(cap) * sizeof(uint64_t);
  auto* keys = static_cast<uint64_t*>(malloc(bytes));
  auto* values = static_cast<uint64_t*>(malloc(bytes));
  if (keys == nullptr || values == nullptr) {
    free(keys);
    free(values);
    return STATUS_NOMEM;
  }
  advise_huge_pages(keys, bytes);
  advise_huge_pages(values, bytes);
  memset(keys, 0xFF, bytes);  // every slot empty
  index->keys = keys;
  index->values = values;
  index->capacity = cap;
  return STATUS_OK;
}

bool key_index_find(const KeyIndex& index, uint64_t key, uint64_t* position) {
  if (index.capacity == 0 || key == KEY_INDEX_EMPTY) return false;
  uint64_t slot = probe(index, key);
  if (index.keys[slot] != key) return false;
  *position = index.values[slot];
  return true;
}

int32_t key_index_put(KeyIndex* index, uint64_t key, uint64_t position) {
  if (key == KEY_INDEX_EMPTY) return STATUS_INVALID;
  int32_t rc = grow_if_needed(index);
  if (rc != STATUS_OK) return rc;
  insert_raw(index, key, position);
  return STATUS_OK;
}

int32_t key_index_find_or_put(KeyIndex* index, uint64_t key, uint64_t position, bool* found, uint64_t* existing) {
  *found = false;
  if (key == KEY_INDEX_EMPTY) return STATUS_INVALID;
  int32_t rc = grow_if_needed(index);
  if (rc != STATUS_OK) return rc;
  uint64_t slot = probe(*index, key);
  if (index->keys[slot] == key) {
    *found = true;
    *existing = index->values[slot];
    return STATUS_OK;
  }
  index->keys[slot] = key;
  index->values[slot] = position;
  index->count += 1;
  return STATUS_OK;
}

void key_index_free(KeyIndex* index) {
  free(index->keys);
  free(index->values);
  *index = KeyIndex{};
}

}  // namespace orv
