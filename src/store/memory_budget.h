// One process-wide budget for the entry tables (58 bytes per block) that
// sessions hold: the table of a backup being received or continued and the
// catalogs of a chain being sent for a restore. A peer can make these grow
// with every block it sends or every chain it asks for; the budget bounds
// them all together, and a table that would pass it is refused as an
// allocation failure (STATUS_NOMEM) instead of taking the memory.
//
// Each holder keeps a BudgetCharge for what it holds and moves it with its
// table (charge before growing, release after freeing). The total is one
// atomic counter; any thread may charge and release.
#pragma once

#include <cstdint>

namespace orv {

// What one holder has charged, in bytes.
struct BudgetCharge {
  uint64_t bytes = 0;
};

// Sets the limit in bytes; 0 means no limit (the state before any call).
// Call before sessions run.
void memory_budget_set(uint64_t bytes);
uint64_t memory_budget_limit();
// Bytes charged by all holders together.
uint64_t memory_budget_used();
// A quarter of the physical memory (the server's default limit).
uint64_t memory_budget_default();

// Changes the holder's charge to total_bytes. Growing fails with
// STATUS_NOMEM, the charge unchanged, when the budget would be passed;
// shrinking always succeeds.
[[nodiscard]] int32_t budget_charge_to(BudgetCharge* charge, uint64_t total_bytes);
// Returns everything the holder charged.
void budget_release(BudgetCharge* charge);

}  // namespace orv
