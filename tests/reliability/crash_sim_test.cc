// Power loss at every point of a backup store's life.
//
// A scripted lifecycle runs through the real store code on a simulated file
// system: a full backup with checkpoints, interrupted; its continuation with
// replaced, dropped and re-sent keys, finished; an incremental backup on
// top; a partial discarded; an old partial expired; a last partial left
// open. For every operation index k the state right after operation k is
// kept, a power loss is applied to it in several ways (unsynced data
// dropped, kept, cut at a 4 KiB boundary, kept page by page, or with its
// last write torn; unsynced directory changes dropped, kept or kept up to
// some point), and the store's own recovery readers must find every backup
// in a state that agrees with what had been acknowledged by then.
//
// The seed can be changed with ORV_CRASH_SEED to explore other crash states.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/status.h"
#include "reliability/sim_fs.h"
#include "reliability/store_driver.h"
#include "store/journal.h"
#include "store/partial.h"
#include "store/partial_lock.h"

namespace orv {
namespace {

using rel::Ack;
using rel::Model;
using rel::Writer;
using sim::CrashPlan;
using sim::DataLoss;
using sim::DirLoss;
using sim::SimFs;
using sim::SimInstall;

constexpr char kRoot[] = "/sim/store";
constexpr char kDir[] = "/sim/store/host1";
constexpr int64_t kT0 = 1780000000;
constexpr int64_t kDay = 86400;

uint64_t base_seed() {
  const char* s = getenv("ORV_CRASH_SEED");
  return s != nullptr ? strtoull(s, nullptr, 10) : 20260611;
}

// The ways a power loss is applied to each kept state.
const CrashPlan kVariants[] = {
    {DataLoss::kDrop, DirLoss::kDrop, 0},      {DataLoss::kKeep, DirLoss::kKeep, 0},
    {DataLoss::kCut4k, DirLoss::kPrefix, 0},   {DataLoss::kTornLast, DirLoss::kPrefix, 0},
    {DataLoss::kPages, DirLoss::kRandom, 0},   {DataLoss::kRandom, DirLoss::kRandom, 0},
};

// The driver checkpoints every 8 KiB of data (Model::settings).
class CrashSim : public ::testing::Test {};

// The whole life of one working directory. Every store call is expected to
// succeed: no failures are injected here.
void run_lifecycle(Model& m, SimFs& fs) {
  ASSERT_EQ(STATUS_OK, dir_ensure(kDir));
  int b_old = m.add("old", BACKUP_FULL, 0x30, 0);
  int b_full = m.add("db", BACKUP_FULL, 0x10, 0);
  int b_inc = m.add("db", BACKUP_INC, 0x20, 0x10);
  int b_scratch = m.add("scratch", BACKUP_FULL, 0x40, 0);
  int b_inc2 = m.add("db", BACKUP_INC, 0x50, 0x20);
  {
    // A partial left ten days ago; expiry takes it later.
    fs.set_clock_offset(-10 * kDay);
    Writer w(&m, b_old);
    ASSERT_EQ(STATUS_OK, w.begin(kT0 - 10 * kDay));
    for (uint64_t key = 0; key < 4; ++key) ASSERT_EQ(STATUS_OK, w.block(key, 3000, false, 0));
    w.session_end();
    fs.set_clock_offset(0);
  }
  {
    Writer w(&m, b_full);
    ASSERT_EQ(STATUS_OK, w.begin(kT0));
    ASSERT_TRUE(w.journaling());
    for (uint64_t key = 0; key < 25; ++key) {
      ASSERT_EQ(STATUS_OK, w.block(key, static_cast<uint32_t>(700 + key * 337 % 2500), key % 7 == 3, 0));
    }
    // More records than the journal buffer holds, with no data: the buffer
    // is written out without a checkpoint over it.
    for (uint64_t key = 1000; key < 2100; ++key) ASSERT_EQ(STATUS_OK, w.block(key, 0, true, 0));
    for (uint64_t key = 25; key < 30; ++key) ASSERT_EQ(STATUS_OK, w.block(key, 1500, false, 0));
    w.session_end();
  }
  {
    Writer w(&m, b_full);
    ASSERT_EQ(STATUS_OK, w.resume());
    ASSERT_EQ(STATUS_OK, w.block(3, 2000, false, 1));   // had no data before
    ASSERT_EQ(STATUS_OK, w.block(7, 900, false, 1));
    ASSERT_EQ(STATUS_OK, w.block(12, 0, true, 1));      // loses its data
    ASSERT_EQ(STATUS_OK, w.drop({5, 9, 1005, 424242}));
    for (uint64_t key = 30; key < 40; ++key) {
      ASSERT_EQ(STATUS_OK, w.block(key, static_cast<uint32_t>(1200 + key * 17), false, 1));
    }
    ASSERT_EQ(STATUS_OK, w.drop({20}));
    ASSERT_EQ(STATUS_OK, w.block(20, 800, false, 2));  // dropped, then sent again
    ASSERT_EQ(STATUS_OK, w.end());
  }
  m.event(b_old, Ack::kRemoved);
  ASSERT_EQ(1u, partial_expire(kDir, 7 * kDay, partial_locks()));
  {
    Writer w(&m, b_inc);
    ASSERT_EQ(STATUS_OK, w.begin(kT0 + 120));
    for (uint64_t i = 0; i < 10; ++i) {
      ASSERT_EQ(STATUS_OK, w.block(i * 3, static_cast<uint32_t>(1000 + i * 211), i == 4, 0));
    }
    ASSERT_EQ(STATUS_OK, w.end());
  }
  {
    Writer w(&m, b_scratch);
    ASSERT_EQ(STATUS_OK, w.begin(kT0 + 240));
    for (uint64_t key = 0; key < 6; ++key) ASSERT_EQ(STATUS_OK, w.block(key, 2500, false, 0));
    w.session_end();
  }
  rel::discard(&m, b_scratch);
  {
    Writer w(&m, b_inc2);
    ASSERT_EQ(STATUS_OK, w.begin(kT0 + 360));
    for (uint64_t key = 0; key < 7; ++key) ASSERT_EQ(STATUS_OK, w.block(key, 1800, false, 3));
    w.session_end();
  }
  EXPECT_TRUE(m.live_problems().empty()) << m.live_problems().front();
}

std::string context(const SimFs& fs, uint64_t k) {
  std::string s;
  for (uint64_t i = k >= 3 ? k - 3 : 0; i < k && i < fs.log().size(); ++i) {
    s += "\n    op " + std::to_string(i + 1) + ": " + fs.log()[i];
  }
  return s;
}

// Runs the lifecycle once per operation index and checks every crash
// variant; returns the violations (at most `limit` of them).
std::vector<std::string> sweep(const FileOps* wrapper, size_t limit, uint64_t* ops_seen) {
  std::vector<std::string> found;
  uint64_t total = 0;
  {
    SimFs fs;
    SimInstall install(&fs);
    if (wrapper != nullptr) (void)file_io_set_ops(wrapper);
    fs.make_durable_dirs(kRoot);
    Model m(&fs, kDir);
    run_lifecycle(m, fs);
    total = fs.ops();
    for (const std::string& v : rel::check_store(m, UINT64_MAX, false)) found.push_back("at the end: " + v);
  }
  *ops_seen = total;
  for (uint64_t k = 0; k <= total && found.size() < limit; ++k) {
    SimFs fs;
    SimInstall install(&fs);
    if (wrapper != nullptr) (void)file_io_set_ops(wrapper);
    fs.make_durable_dirs(kRoot);
    fs.snapshot_after(k);
    Model m(&fs, kDir);
    run_lifecycle(m, fs);
    if (::testing::Test::HasFatalFailure()) return found;
    if (fs.snapshot() == nullptr) {
      found.push_back("no snapshot after op " + std::to_string(k) + ": the lifecycle is not deterministic");
      return found;
    }
    const sim::State taken = *fs.snapshot();
    for (size_t v = 0; v < std::size(kVariants) && found.size() < limit; ++v) {
      CrashPlan plan = kVariants[v];
      plan.seed = base_seed() ^ (k * 131 + v);
      fs.load(SimFs::crash_image(taken, plan));
      for (const std::string& problem : rel::check_store(m, k, true)) {
        found.push_back("power loss after op " + std::to_string(k) + " (variant " + std::to_string(v) +
                        "): " + problem + context(fs, k));
      }
    }
  }
  return found;
}

TEST_F(CrashSim, EveryPowerLossLeavesEachBackupInAnAcknowledgedState) {
  uint64_t ops = 0;
  std::vector<std::string> found = sweep(nullptr, 20, &ops);
  EXPECT_GT(ops, 150u);  // the lifecycle really exercised the store
  for (const std::string& f : found) ADD_FAILURE() << f;
}

// Another target on the same storage sees the lock of a partial in use and
// keeps off it; when the holder dies (here with the machine: the lock lives
// only in memory), the lock is gone with it, and the partial, in whatever
// state the power loss left it, can be taken and continued elsewhere from
// an acknowledged checkpoint.
TEST_F(CrashSim, APartialsLockEndsWithItsHolderAndAnotherTargetContinuesIt) {
  SimFs fs;
  SimInstall install(&fs);
  fs.make_durable_dirs(kRoot);
  Model m(&fs, kDir);
  ASSERT_EQ(STATUS_OK, dir_ensure(kDir));
  int b = m.add("db", BACKUP_FULL, 0x10, 0);
  sim::State at_death;
  uint64_t death = 0;
  std::string journal;
  {
    Writer w(&m, b);
    ASSERT_EQ(STATUS_OK, w.begin(kT0));
    ASSERT_TRUE(w.journaling());
    for (uint64_t key = 0; key < 8; ++key) ASSERT_EQ(STATUS_OK, w.block(key, 3000, false, 0));
    journal = w.journal_path();
    EXPECT_TRUE(fs.locked(journal));
    PartialLocks other;  // the table of another target
    EXPECT_EQ(STATUS_AGAIN, other.try_lock(journal.c_str(), -1));
    EXPECT_EQ(STATUS_AGAIN, other.takeover(journal.c_str(), -1, 30));
    EXPECT_FALSE(other.held(journal.c_str()));
    at_death = fs.state();
    death = fs.ops();
  }  // what the writer does after this never reaches the disk that is kept
  for (size_t v = 0; v < std::size(kVariants); ++v) {
    CrashPlan plan = kVariants[v];
    plan.seed = base_seed() ^ (v * 977);
    fs.load(SimFs::crash_image(at_death, plan));
    EXPECT_FALSE(fs.locked(journal));
    {
      PartialLocks other;
      int32_t rc = other.try_lock(journal.c_str(), -1);
      // The journal was durable from its creation on, so it is there to lock.
      EXPECT_EQ(STATUS_OK, rc) << "variant " << v;
      if (rc == STATUS_OK) other.unlock(journal.c_str());
    }
    for (const std::string& problem : rel::check_store(m, death, true)) {
      ADD_FAILURE() << "variant " << v << ": " << problem;
    }
  }
}

// The sweep must catch a store that skips a sync. These tables make one kind
// of fsync report success without doing anything, on top of the simulation.
int fsync_without_directories(int fd) {
  struct stat st;
  if (sim::current_sim()->fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  return sim::current_sim()->fsync(fd);
}

int fsync_without_files(int fd) {
  struct stat st;
  if (sim::current_sim()->fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return 0;
  return sim::current_sim()->fsync(fd);
}

TEST_F(CrashSim, SweepCatchesAStoreThatSkipsSyncs) {
  FileOps no_dir_sync = sim::sim_ops();
  no_dir_sync.fsync_fn = fsync_without_directories;
  uint64_t ops = 0;
  EXPECT_FALSE(sweep(&no_dir_sync, 1, &ops).empty()) << "directory syncs are not needed?";

  FileOps no_file_sync = sim::sim_ops();
  no_file_sync.fsync_fn = fsync_without_files;
  EXPECT_FALSE(sweep(&no_file_sync, 1, &ops).empty()) << "file syncs are not needed?";
}

// The simulation itself: what a power loss keeps.
TEST_F(CrashSim, SimulatedDiskKeepsOnlyWhatWasSynced) {
  SimFs fs;
  SimInstall install(&fs);
  fs.make_durable_dirs("/d");
  int fd = -1;
  ASSERT_EQ(STATUS_OK, file_create("/d/a", 0640, &fd));
  std::vector<uint8_t> page(3 * sim::kPage, 0xAB);
  ASSERT_EQ(STATUS_OK, file_pwrite_all(fd, page.data(), page.size(), 0, nullptr));
  ASSERT_EQ(STATUS_OK, file_sync(fd));

  // Synced data without a synced directory entry is gone.
  sim::State lost = SimFs::crash_image(fs.state(), CrashPlan{DataLoss::kKeep, DirLoss::kDrop, 1});
  fs.load(lost);
  EXPECT_FALSE(fs.exists("/d/a"));

  fs.reset();
  fs.make_durable_dirs("/d");
  ASSERT_EQ(STATUS_OK, file_create("/d/a", 0640, &fd));
  ASSERT_EQ(STATUS_OK, file_pwrite_all(fd, page.data(), page.size(), 0, nullptr));
  ASSERT_EQ(STATUS_OK, file_sync(fd));
  ASSERT_EQ(STATUS_OK, dir_sync("/d"));
  std::vector<uint8_t> more(sim::kPage + 100, 0xCD);
  ASSERT_EQ(STATUS_OK, file_pwrite_all(fd, more.data(), more.size(), page.size(), nullptr));
  ASSERT_EQ(STATUS_OK, file_rename("/d/a", "/d/b"));
  sim::State before = fs.state();

  fs.load(SimFs::crash_image(before, CrashPlan{DataLoss::kDrop, DirLoss::kDrop, 2}));
  EXPECT_EQ(page, fs.contents("/d/a"));
  EXPECT_FALSE(fs.exists("/d/b"));

  fs.load(SimFs::crash_image(before, CrashPlan{DataLoss::kKeep, DirLoss::kKeep, 3}));
  EXPECT_EQ(page.size() + more.size(), fs.contents("/d/b").size());

  for (uint64_t seed = 0; seed < 20; ++seed) {
    fs.load(SimFs::crash_image(before, CrashPlan{DataLoss::kCut4k, DirLoss::kDrop, seed}));
    size_t n = fs.contents("/d/a").size();
    EXPECT_TRUE(n == page.size() || n == page.size() + sim::kPage || n == page.size() + more.size()) << n;
    fs.load(SimFs::crash_image(before, CrashPlan{DataLoss::kTornLast, DirLoss::kDrop, seed}));
    std::vector<uint8_t> torn = fs.contents("/d/a");
    EXPECT_GE(torn.size(), page.size());
    EXPECT_LT(torn.size(), page.size() + more.size());
  }

  // A failed fsync loses what it covered, even if a later one succeeds.
  fs.reset();
  fs.make_durable_dirs("/d");
  ASSERT_EQ(STATUS_OK, file_create("/d/c", 0640, &fd));
  ASSERT_EQ(STATUS_OK, dir_sync("/d"));
  ASSERT_EQ(STATUS_OK, file_pwrite_all(fd, page.data(), page.size(), 0, nullptr));
  fs.fsync_failed(fd);
  ASSERT_EQ(STATUS_OK, file_sync(fd));
  fs.load(SimFs::crash_image(fs.state(), CrashPlan{DataLoss::kKeep, DirLoss::kKeep, 4}));
  EXPECT_EQ(std::vector<uint8_t>(page.size(), 0), fs.contents("/d/c"));
}

}  // namespace
}  // namespace orv
