#include "store/memory_budget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/status.h"

namespace orv {
namespace {

// Holders of one budget share its limit; shrinking and releasing give the
// bytes back to the others.
TEST(MemoryBudget, HoldersShareTheLimit) {
  MemoryBudget budget(1000);
  BudgetCharge a{0, &budget};
  BudgetCharge b{0, &budget};
  ASSERT_EQ(STATUS_OK, budget_charge_to(&a, 600));
  EXPECT_EQ(STATUS_NOMEM, budget_charge_to(&b, 401));
  EXPECT_EQ(0u, b.bytes);  // refused: the charge stays as it was
  ASSERT_EQ(STATUS_OK, budget_charge_to(&b, 400));
  EXPECT_EQ(1000u, budget.used());
  ASSERT_EQ(STATUS_OK, budget_charge_to(&a, 100));  // shrinking never fails
  ASSERT_EQ(STATUS_OK, budget_charge_to(&b, 900));
  budget_release(&a);
  budget_release(&b);
  EXPECT_EQ(0u, a.bytes);
  EXPECT_EQ(0u, budget.used());
}

// A limit of 0 only counts; a charge tied to no budget is never refused.
TEST(MemoryBudget, NoLimitAndNoBudget) {
  MemoryBudget unlimited(0);
  BudgetCharge c{0, &unlimited};
  ASSERT_EQ(STATUS_OK, budget_charge_to(&c, uint64_t{1} << 50));
  EXPECT_EQ(uint64_t{1} << 50, unlimited.used());
  budget_release(&c);
  EXPECT_EQ(0u, unlimited.used());

  BudgetCharge free_charge;
  ASSERT_EQ(STATUS_OK, budget_charge_to(&free_charge, 12345));
  EXPECT_EQ(12345u, free_charge.bytes);
  budget_release(&free_charge);
  EXPECT_EQ(0u, free_charge.bytes);
}

// Holders on several threads never push the total past the limit.
TEST(MemoryBudget, ConcurrentChargesStayWithinTheLimit) {
  MemoryBudget budget(64 * 100);
  std::vector<std::thread> threads;
  std::atomic<int> granted{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        BudgetCharge c{0, &budget};
        if (budget_charge_to(&c, 100) == STATUS_OK) {
          granted.fetch_add(1);
          EXPECT_LE(budget.used(), budget.limit());
          budget_release(&c);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(4000, granted.load());
  EXPECT_EQ(0u, budget.used());
}

}  // namespace
}  // namespace orv
