#include "store/memory_budget.h"

#include <unistd.h>

#include <atomic>

#include "core/status.h"

namespace orv {

namespace {
std::atomic<uint64_t> g_limit{0};
std::atomic<uint64_t> g_used{0};
}  // namespace

void memory_budget_set(uint64_t bytes) { g_limit.store(bytes); }

uint64_t memory_budget_limit() { return g_limit.load(); }

uint64_t memory_budget_used() { return g_used.load(); }

uint64_t memory_budget_default() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size) / 4;
}

int32_t budget_charge_to(BudgetCharge* charge, uint64_t total_bytes) {
  if (total_bytes <= charge->bytes) {
    g_used.fetch_sub(charge->bytes - total_bytes);
    charge->bytes = total_bytes;
    return STATUS_OK;
  }
  uint64_t more = total_bytes - charge->bytes;
  uint64_t limit = g_limit.load();
  uint64_t used = g_used.load();
  do {
    if (limit != 0 && (used > limit || more > limit - used)) return STATUS_NOMEM;
  } while (!g_used.compare_exchange_weak(used, used + more));
  charge->bytes = total_bytes;
  return STATUS_OK;
}

void budget_release(BudgetCharge* charge) {
  g_used.fetch_sub(charge->bytes);
  charge->bytes = 0;
}

}  // namespace orv
