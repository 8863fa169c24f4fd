#include "store/memory_budget.h"

#include <unistd.h>

#include "core/status.h"

namespace orv {

uint64_t memory_budget_default() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size) / 4;
}

int32_t budget_charge_to(BudgetCharge* charge, uint64_t total_bytes) {
  MemoryBudget* budget = charge->budget;
  if (budget == nullptr) {
    charge->bytes = total_bytes;
    return STATUS_OK;
  }
  if (total_bytes <= charge->bytes) {
    budget->used_.fetch_sub(charge->bytes - total_bytes);
    charge->bytes = total_bytes;
    return STATUS_OK;
  }
  uint64_t more = total_bytes - charge->bytes;
  uint64_t limit = budget->limit_;
  uint64_t used = budget->used_.load();
  do {
    if (limit != 0 && (used > limit || more > limit - used)) return STATUS_NOMEM;
  } while (!budget->used_.compare_exchange_weak(used, used + more));
  charge->bytes = total_bytes;
  return STATUS_OK;
}

void budget_release(BudgetCharge* charge) {
  if (charge->budget != nullptr) charge->budget->used_.fetch_sub(charge->bytes);
  charge->bytes = 0;
}

}  // namespace orv
