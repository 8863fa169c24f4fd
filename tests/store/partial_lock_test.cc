#include "store/partial_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>
#include <cerrno>

#include "core/status.h"
#include "core/file_io.h"
#include "store/store_test_util.h"

namespace orv {
namespace {

using Clock = std::chrono::steady_clock;
using test::TempDir;

long elapsed_ms(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Journal files to lock, in a directory of their own. Paths are kept as
// std::string members so that c_str() stays valid.
class LockDir {
 public:
  std::string make(const std::string& name) {
    std::string p = dir_.file(name);
    FILE* f = fopen(p.c_str(), "w");
    if (f != nullptr) fclose(f);
    return p;
  }
  std::string path(const std::string& name) const { return dir_.file(name); }

 private:
  TempDir dir_;
};

// A child process that takes the file lock of path on its own (as another
// target does), reports whether it got it, and keeps it until told to go or
// killed.
class OtherProcess {
 public:
  explicit OtherProcess(const std::string& path) {
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(to_child[1]);
      close(from_child[0]);
      JournalFileLock lock;
      char rc = static_cast<char>(-journal_file_lock_try(path.c_str(), &lock));
      if (write(from_child[1], &rc, 1) != 1) _exit(2);
      char c;
      (void)read(to_child[0], &c, 1);  // until told to go (or the parent ends)
      _exit(0);
    }
    close(to_child[0]);
    close(from_child[1]);
    to_child_ = to_child[1];
    char rc = 1;
    if (read(from_child[0], &rc, 1) == 1) status_ = -static_cast<int32_t>(rc);
    close(from_child[0]);
  }
  ~OtherProcess() { finish(); }
  // What the child's attempt gave.
  int32_t status() const { return status_; }
  // Ends the child in an orderly way (its lock goes with it).
  void finish() {
    if (pid_ <= 0) return;
    close(to_child_);
    (void)waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // SIGKILL: the lock is lost with the process.
  void kill_now() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    (void)waitpid(pid_, nullptr, 0);
    close(to_child_);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int to_child_ = -1;
  int32_t status_ = STATUS_IO;
};

// What another process would get for path right now.
int32_t seen_from_another_process(const std::string& path) {
  OtherProcess other(path);
  return other.status();
}

TEST(PartialLocks, TryUnlockAndSlotExhaustion) {
  PartialLocks locks;
  LockDir d;
  std::string a = d.make("a.part");
  std::string b = d.make("b.part");
  EXPECT_EQ(STATUS_OK, locks.try_lock(a.c_str(), 5));
  EXPECT_EQ(STATUS_AGAIN, locks.try_lock(a.c_str(), 6));
  EXPECT_TRUE(locks.held(a.c_str()));
  locks.unlock(b.c_str());  // not locked: only wakes waiters
  EXPECT_TRUE(locks.held(a.c_str()));
  locks.unlock(a.c_str());
  EXPECT_EQ(STATUS_OK, locks.try_lock(a.c_str(), 6));

  std::vector<std::string> many;
  for (size_t i = 1; i < PARTIAL_LOCK_SLOTS; ++i) {
    many.push_back(d.make(std::to_string(i)));
    ASSERT_EQ(STATUS_OK, locks.try_lock(many.back().c_str(), -1));
  }
  std::string extra = d.make("one-too-many");
  EXPECT_EQ(STATUS_NOMEM, locks.try_lock(extra.c_str(), -1));
  EXPECT_EQ(STATUS_NOMEM, locks.takeover(extra.c_str(), -1, 10));
  locks.unlock(many[6].c_str());
  EXPECT_EQ(STATUS_OK, locks.try_lock(extra.c_str(), -1));
}

// The holder is a session blocked reading its connection; when the socket
// is shut down its read returns and it releases the lock, as a session end
// does.
TEST(PartialLocks, TakeoverEndsTheHoldersConnectionAndGetsTheLock) {
  PartialLocks locks;
  LockDir d;
  const std::string j = d.make("j.part");
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
  ASSERT_EQ(STATUS_OK, locks.try_lock(j.c_str(), sv[0]));
  std::atomic<bool> released{false};
  std::thread holder([&] {
    char c;
    ssize_t n = read(sv[0], &c, 1);  // returns 0 once shut down
    EXPECT_EQ(0, n);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a last checkpoint takes a while
    released = true;
    locks.unlock(j.c_str());
  });
  auto start = Clock::now();
  EXPECT_EQ(STATUS_OK, locks.takeover(j.c_str(), 99, 5000));
  EXPECT_TRUE(released.load());
  EXPECT_LT(elapsed_ms(start), 4000);
  holder.join();
  EXPECT_EQ(STATUS_AGAIN, locks.try_lock(j.c_str(), 1));  // now held by the taker
  close(sv[0]);
  close(sv[1]);
}

TEST(PartialLocks, TakeoverGivesUpWhenTheHolderNeverLetsGo) {
  PartialLocks locks;
  LockDir d;
  const std::string j = d.make("j.part");
  const std::string k = d.make("k.part");
  const std::string other = d.make("other.part");
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
  ASSERT_EQ(STATUS_OK, locks.try_lock(j.c_str(), sv[0]));
  // Unrelated unlocks wake the waiter, which must go back to waiting.
  std::thread noise([&] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      locks.unlock(other.c_str());
    }
  });
  auto start = Clock::now();
  EXPECT_EQ(STATUS_AGAIN, locks.takeover(j.c_str(), 42, 300));
  long ms = elapsed_ms(start);
  EXPECT_GE(ms, 290);
  EXPECT_LT(ms, 3000);
  noise.join();
  // The holder's connection was shut down once, at the start of the wait.
  char c;
  EXPECT_EQ(0, read(sv[0], &c, 1));
  EXPECT_TRUE(locks.held(j.c_str()));
  // A lock held without a connection (-1) is waited for, never shut down.
  ASSERT_EQ(STATUS_OK, locks.try_lock(k.c_str(), -1));
  EXPECT_EQ(STATUS_AGAIN, locks.takeover(k.c_str(), 42, 0));
  close(sv[0]);
  close(sv[1]);
}

// Another target on the same storage sees every lock of this table, whether
// taken on an existing journal or made with its new journal file, and is
// free to take it once released.
TEST(PartialLocks, EveryLockIsAFileLockOtherProcessesSee) {
  PartialLocks locks;
  LockDir d;
  std::string existing = d.make("old.part");
  ASSERT_EQ(STATUS_OK, locks.try_lock(existing.c_str(), -1));
  EXPECT_EQ(STATUS_AGAIN, seen_from_another_process(existing));
  locks.unlock(existing.c_str());
  EXPECT_EQ(STATUS_OK, seen_from_another_process(existing));

  std::string fresh = d.path("new.part");
  ASSERT_EQ(STATUS_OK, locks.create_locked(fresh.c_str(), -1));
  struct stat st;
  ASSERT_EQ(0, stat(fresh.c_str(), &st));
  EXPECT_EQ(0, st.st_size);  // locked before anything is in it
  EXPECT_EQ(STATUS_AGAIN, seen_from_another_process(fresh));
  EXPECT_EQ(STATUS_AGAIN, locks.create_locked(fresh.c_str(), -1));  // held here
  locks.unlock(fresh.c_str());
  EXPECT_EQ(STATUS_EXISTS, locks.create_locked(fresh.c_str(), -1));  // never two journals under one name
  EXPECT_FALSE(locks.held(fresh.c_str()));
  EXPECT_EQ(STATUS_OK, seen_from_another_process(fresh));
}

// Held by another process, the lock is refused at once to try_lock and
// create_locked never replaces that journal; the slot is free again after
// each refusal.
TEST(PartialLocks, ALockHeldByAnotherProcessIsRefusedWithoutWaiting) {
  PartialLocks locks;
  LockDir d;
  std::string j = d.make("j.part");
  OtherProcess other(j);
  ASSERT_EQ(STATUS_OK, other.status());
  EXPECT_EQ(STATUS_AGAIN, locks.try_lock(j.c_str(), -1));
  EXPECT_FALSE(locks.held(j.c_str()));
  EXPECT_EQ(STATUS_EXISTS, locks.create_locked(j.c_str(), -1));
  other.finish();
  EXPECT_EQ(STATUS_OK, locks.try_lock(j.c_str(), -1));
  locks.unlock(j.c_str());
}

// A takeover of a partial another target holds keeps asking; when that
// target is killed its lock goes with it and the taker has it at once.
TEST(PartialLocks, TakeoverGetsTheLockAtOnceWhenTheOtherHolderDies) {
  PartialLocks locks;
  LockDir d;
  std::string j = d.make("j.part");
  OtherProcess other(j);
  ASSERT_EQ(STATUS_OK, other.status());
  std::atomic<long> killed_at{-1};
  auto start = Clock::now();
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    other.kill_now();
    killed_at = elapsed_ms(start);
  });
  EXPECT_EQ(STATUS_OK, locks.takeover(j.c_str(), -1, 10000));
  long got_at = elapsed_ms(start);
  killer.join();
  ASSERT_GE(killed_at.load(), 0);
  EXPECT_LT(got_at - killed_at.load(), 1000);  // the retry interval, not the time limit
  EXPECT_TRUE(locks.held(j.c_str()));
  EXPECT_EQ(STATUS_AGAIN, seen_from_another_process(j));
  locks.unlock(j.c_str());
}

// A holder in another process that never lets go: refused after the time
// limit, with a WARN that names the journal.
TEST(PartialLocks, TakeoverGivesUpOnAnotherProcessAndNamesTheJournal) {
  PartialLocks locks;
  LockDir d;
  std::string j = d.make("stuck.csfb.part");
  OtherProcess other(j);
  ASSERT_EQ(STATUS_OK, other.status());
  testing::internal::CaptureStderr();
  auto start = Clock::now();
  EXPECT_EQ(STATUS_AGAIN, locks.takeover(j.c_str(), -1, 300));
  long ms = elapsed_ms(start);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_GE(ms, 290);
  EXPECT_LT(ms, 3000);
  EXPECT_NE(std::string::npos, err.find(j)) << err;
  EXPECT_NE(std::string::npos, err.find("WARN")) << err;
  EXPECT_FALSE(locks.held(j.c_str()));
}

// A journal that was removed, or removed and made again under its name,
// while a taker opened it is not the partial that was looked for.
TEST(PartialLocks, AJournalThatIsGoneIsNotFound) {
  PartialLocks locks;
  LockDir d;
  std::string gone = d.path("gone.part");
  EXPECT_EQ(STATUS_NOT_FOUND, locks.try_lock(gone.c_str(), -1));
  EXPECT_EQ(STATUS_NOT_FOUND, locks.takeover(gone.c_str(), -1, 100));
  EXPECT_FALSE(locks.held(gone.c_str()));
}

// Made without file locks, a table works with in-process locks only and
// ignores other processes; a table with them, in the same process, sees
// them.
TEST(PartialLocks, WithoutFileLocksOnlyInProcessLocksCount) {
  PartialLocks off(PARTIAL_LOCK_SLOTS, false);
  PartialLocks on;
  LockDir d;
  std::string j = d.make("j.part");
  OtherProcess other(j);
  ASSERT_EQ(STATUS_OK, other.status());
  EXPECT_FALSE(off.file_locks());
  EXPECT_TRUE(on.file_locks());
  EXPECT_EQ(STATUS_OK, off.try_lock(j.c_str(), -1));
  EXPECT_EQ(STATUS_AGAIN, off.try_lock(j.c_str(), -1));
  EXPECT_EQ(STATUS_AGAIN, on.try_lock(j.c_str(), -1));
  off.unlock(j.c_str());
}

// The prune tool's check: free, held elsewhere, gone.
TEST(PartialLocks, JournalFileLockOnItsOwn) {
  LockDir d;
  std::string j = d.make("j.part");
  {
    JournalFileLock lock;
    ASSERT_EQ(STATUS_OK, journal_file_lock_try(j.c_str(), &lock));
    EXPECT_TRUE(lock.held());
    EXPECT_EQ(STATUS_AGAIN, seen_from_another_process(j));
    PartialLocks locks;
    EXPECT_EQ(STATUS_AGAIN, locks.try_lock(j.c_str(), -1));  // a target in this process sees it too
  }
  EXPECT_EQ(STATUS_OK, seen_from_another_process(j));
  JournalFileLock lock;
  EXPECT_EQ(STATUS_NOT_FOUND, journal_file_lock_try(d.path("none.part").c_str(), &lock));
  EXPECT_FALSE(lock.held());
}

// A storage that refuses file locks (EINVAL or ENOLCK from the lock call):
// one WARN, then in-process locks only for the life of the table. The lock
// call is replaced for the whole process, so each case runs in a child of
// its own.
int refused_lock(int) {
  errno = EINVAL;
  return -1;
}
int no_lock_manager(int) {
  errno = ENOLCK;
  return -1;
}

void run_on_storage_without_locks(int (*lock_fn)(int), bool probe_first) {
  LockDir d;
  std::string a = d.make("a.part");
  std::string b = d.make("b.part");
  FileOps ops = file_io_system_ops();
  ops.ofd_lock_fn = lock_fn;
  const FileOps* before = file_io_set_ops(&ops);
  testing::internal::CaptureStderr();
  PartialLocks locks;
  if (probe_first && locks.probe(d.path("").c_str()) != STATUS_UNSUPPORTED) _exit(10);
  if (locks.try_lock(a.c_str(), -1) != STATUS_OK) _exit(11);
  if (locks.try_lock(a.c_str(), -1) != STATUS_AGAIN) _exit(12);  // still one holder in the process
  if (locks.create_locked(d.path("c.part").c_str(), -1) != STATUS_OK) _exit(13);
  if (locks.takeover(b.c_str(), -1, 100) != STATUS_OK) _exit(14);
  locks.unlock(a.c_str());
  if (locks.file_locks()) _exit(15);
  PartialLocks other;  // another table finds out for itself
  if (!other.file_locks()) _exit(16);
  std::string err = testing::internal::GetCapturedStderr();
  const std::string warn = "storage does not support file locks: run a single target on it";
  size_t first = err.find(warn);
  if (first == std::string::npos) _exit(17);
  if (err.find(warn, first + 1) != std::string::npos) _exit(18);  // once only
  (void)file_io_set_ops(before);
  _exit(0);
}

TEST(PartialLocksDeathTest, StorageWithoutFileLocksWarnsOnceAndKeepsWorking) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_on_storage_without_locks(refused_lock, true), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(run_on_storage_without_locks(no_lock_manager, false), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace orv
