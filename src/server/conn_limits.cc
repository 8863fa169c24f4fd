#include "server/conn_limits.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>

#include "core/status.h"

namespace orv {

namespace {

// Open addressing with linear probing; a slot with count 0 is empty. An
// address is in the table exactly while it has connections, so at most
// max_total slots are used and the table (at least twice that) never fills.
struct Slot {
  uint32_t address;
  uint32_t count;
};

// Guards everything below.
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
Slot* g_slots = nullptr;
size_t g_mask = 0;  // capacity - 1; capacity a power of two
uint32_t g_max_total = MAX_CONNECTIONS_DEFAULT;
uint32_t g_max_per_address = MAX_CONNECTIONS_PER_ADDRESS_DEFAULT;
uint32_t g_open = 0;

size_t home_slot(uint32_t address) {
  uint64_t h = address;
  h ^= h >> 16;
  h *= 0x45D9F3BULL;
  h ^= h >> 16;
  return static_cast<size_t>(h) & g_mask;
}

// The slot holding address, or the empty slot where it would go.
size_t find_locked(uint32_t address) {
  size_t i = home_slot(address);
  while (g_slots[i].count != 0 && g_slots[i].address != address) i = (i + 1) & g_mask;
  return i;
}

// Empties slot i and moves later members of its probe run back, so that no
// look-up stops early at the hole.
void erase_locked(size_t i) {
  g_slots[i].count = 0;
  size_t j = i;
  for (;;) {
    j = (j + 1) & g_mask;
    if (g_slots[j].count == 0) return;
    size_t home = home_slot(g_slots[j].address);
    // Slot j's entry may move to the hole i when its home does not lie
    // cyclically in (i, j].
    bool home_in_range = i <= j ? (home > i && home <= j) : (home > i || home <= j);
    if (!home_in_range) {
      g_slots[i] = g_slots[j];
      g_slots[j].count = 0;
      i = j;
    }
  }
}

}  // namespace

int32_t conn_limits_init(uint32_t max_total, uint32_t max_per_address) {
  if (max_total == 0) max_total = MAX_CONNECTIONS_DEFAULT;
  if (max_per_address == 0) max_per_address = MAX_CONNECTIONS_PER_ADDRESS_DEFAULT;
  size_t capacity = 16;
  while (capacity < 2 * static_cast<size_t>(max_total)) capacity *= 2;
  Slot* slots = static_cast<Slot*>(calloc(capacity, sizeof(Slot)));
  if (slots == nullptr) return STATUS_NOMEM;
  pthread_mutex_lock(&g_mutex);
  free(g_slots);
  g_slots = slots;
  g_mask = capacity - 1;
  g_max_total = max_total;
  g_max_per_address = max_per_address;
  g_open = 0;
  pthread_mutex_unlock(&g_mutex);
  return STATUS_OK;
}

Admission conn_limits_admit(uint32_t ipv4) {
  pthread_mutex_lock(&g_mutex);
  Admission result = Admission::admitted;
  if (g_open >= g_max_total || g_slots == nullptr) {
    result = Admission::total_limit;
  } else {
    size_t i = find_locked(ipv4);
    if (g_slots[i].count >= g_max_per_address) {
      result = Admission::address_limit;
    } else {
      g_slots[i].address = ipv4;
      g_slots[i].count += 1;
      g_open += 1;
    }
  }
  pthread_mutex_unlock(&g_mutex);
  return result;
}

void conn_limits_release(uint32_t ipv4) {
  pthread_mutex_lock(&g_mutex);
  if (g_slots != nullptr) {
    size_t i = find_locked(ipv4);
    if (g_slots[i].count != 0) {
      g_slots[i].count -= 1;
      if (g_slots[i].count == 0) erase_locked(i);
      g_open -= 1;
    }
  }
  pthread_mutex_unlock(&g_mutex);
}

uint32_t conn_limits_open() {
  pthread_mutex_lock(&g_mutex);
  uint32_t n = g_open;
  pthread_mutex_unlock(&g_mutex);
  return n;
}

void peer_text(uint32_t ipv4, uint16_t port, char* out, size_t cap) {
  snprintf(out, cap, "%u.%u.%u.%u:%u", (ipv4 >> 24) & 0xFFu, (ipv4 >> 16) & 0xFFu, (ipv4 >> 8) & 0xFFu,
           ipv4 & 0xFFu, static_cast<unsigned>(port));
}

bool refusal_warning_due(RefusalWarnings* w, uint64_t now_ms, uint32_t* count) {
  w->pending += 1;
  if (w->warned && now_ms - w->last_ms < REFUSAL_WARN_INTERVAL_MS) return false;
  *count = w->pending;
  w->pending = 0;
  w->last_ms = now_ms;
  w->warned = true;
  return true;
}

}  // namespace orv
