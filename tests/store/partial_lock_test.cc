#include "store/partial_lock.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "core/status.h"

namespace orv {
namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(PartialLocks, TryUnlockAndSlotExhaustion) {
  PartialLocks locks;
  EXPECT_EQ(STATUS_OK, locks.try_lock("/d/a.part", 5));
  EXPECT_EQ(STATUS_AGAIN, locks.try_lock("/d/a.part", 6));
  EXPECT_TRUE(locks.held("/d/a.part"));
  locks.unlock("/d/b.part");  // not locked: only wakes waiters
  EXPECT_TRUE(locks.held("/d/a.part"));
  locks.unlock("/d/a.part");
  EXPECT_EQ(STATUS_OK, locks.try_lock("/d/a.part", 6));

  for (size_t i = 1; i < PARTIAL_LOCK_SLOTS; ++i) {
    ASSERT_EQ(STATUS_OK, locks.try_lock(("/d/" + std::to_string(i)).c_str(), -1));
  }
  EXPECT_EQ(STATUS_NOMEM, locks.try_lock("/d/one-too-many", -1));
  EXPECT_EQ(STATUS_NOMEM, locks.takeover("/d/one-too-many", -1, 10));
  locks.unlock("/d/7");
  EXPECT_EQ(STATUS_OK, locks.try_lock("/d/one-too-many", -1));
}

// The holder is a session blocked reading its connection; when the socket
// is shut down its read returns and it releases the lock, as a session end
// does.
TEST(PartialLocks, TakeoverEndsTheHoldersConnectionAndGetsTheLock) {
  PartialLocks locks;
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
  ASSERT_EQ(STATUS_OK, locks.try_lock("/d/j.part", sv[0]));
  std::atomic<bool> released{false};
  std::thread holder([&] {
    char c;
    ssize_t n = read(sv[0], &c, 1);  // returns 0 once shut down
    EXPECT_EQ(0, n);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a last checkpoint takes a while
    released = true;
    locks.unlock("/d/j.part");
  });
  auto start = Clock::now();
  EXPECT_EQ(STATUS_OK, locks.takeover("/d/j.part", 99, 5000));
  EXPECT_TRUE(released.load());
  EXPECT_LT(elapsed_ms(start), 4000);
  holder.join();
  EXPECT_EQ(STATUS_AGAIN, locks.try_lock("/d/j.part", 1));  // now held by the taker
  close(sv[0]);
  close(sv[1]);
}

TEST(PartialLocks, TakeoverGivesUpWhenTheHolderNeverLetsGo) {
  PartialLocks locks;
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
  ASSERT_EQ(STATUS_OK, locks.try_lock("/d/j.part", sv[0]));
  // Unrelated unlocks wake the waiter, which must go back to waiting.
  std::thread noise([&] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      locks.unlock("/d/other.part");
    }
  });
  auto start = Clock::now();
  EXPECT_EQ(STATUS_AGAIN, locks.takeover("/d/j.part", 42, 300));
  long ms = elapsed_ms(start);
  EXPECT_GE(ms, 290);
  EXPECT_LT(ms, 3000);
  noise.join();
  // The holder's connection was shut down once, at the start of the wait.
  char c;
  EXPECT_EQ(0, read(sv[0], &c, 1));
  EXPECT_TRUE(locks.held("/d/j.part"));
  // A lock held without a connection (-1) is waited for, never shut down.
  ASSERT_EQ(STATUS_OK, locks.try_lock("/d/k.part", -1));
  EXPECT_EQ(STATUS_AGAIN, locks.takeover("/d/k.part", 42, 0));
  close(sv[0]);
  close(sv[1]);
}

}  // namespace
}  // namespace orv
