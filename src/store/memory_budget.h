// The budget for the entry tables (58 bytes per block) that sessions hold:
// the table of a backup being received or continued and the catalogs of a
// chain being sent for a restore. A peer can make these grow with every
// block it sends or every chain it asks for; the budget bounds them all
// together, and a table that would pass it is refused as an allocation
// failure (STATUS_NOMEM) instead of taking the memory.
//
// A server has one budget, made from its settings at start and named by
// StoreSettings::budget, which every session charges. Each holder keeps a
// BudgetCharge for what it holds, tied to that budget, and moves it with
// its table (charge before growing, release after freeing). The total is
// one atomic counter; any thread may charge and release.
#pragma once

#include <atomic>
#include <cstdint>

namespace orv {

class MemoryBudget;

// What one holder has charged, in bytes, and to which budget (null: none,
// nothing is limited or counted).
struct BudgetCharge {
  uint64_t bytes = 0;
  MemoryBudget* budget = nullptr;
};

// Changes the holder's charge to total_bytes. Growing fails with
// STATUS_NOMEM, the charge unchanged, when the budget would be passed;
// shrinking always succeeds.
[[nodiscard]] int32_t budget_charge_to(BudgetCharge* charge, uint64_t total_bytes);
// Returns everything the holder charged.
void budget_release(BudgetCharge* charge);

class MemoryBudget {
 public:
  // limit_bytes 0: no limit (only counted).
  explicit MemoryBudget(uint64_t limit_bytes) : limit_(limit_bytes) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  uint64_t limit() const { return limit_; }
  // Bytes charged by all holders together.
  uint64_t used() const { return used_.load(); }

 private:
  friend int32_t budget_charge_to(BudgetCharge* charge, uint64_t total_bytes);
  friend void budget_release(BudgetCharge* charge);
  const uint64_t limit_;
  std::atomic<uint64_t> used_{0};
};

// A quarter of the physical memory (the server's default limit).
uint64_t memory_budget_default();

}  // namespace orv
