// Failing file calls, one at a time, during the store's three busy paths.
//
// A working directory holds a finished full backup, a finished incremental
// backup on it and an interrupted incremental (a partial with checkpoints).
// Then one path runs with the file primitives backed by a simulated disk
// and call number n made to fail (EIO, a disk that stays full, a short
// read or write, EINTR), for every n the path makes:
//   - a new backup: begin, blocks with checkpoints, end;
//   - the continuation of the partial: replaced, dropped and new blocks, end;
//   - a restore: listing, latest backup, chain resolution, range reads.
// Afterwards, and after a power loss at the end or just before END, every
// backup must be in a state that agrees with what was acknowledged; finished backups must be byte for
// byte what they were; no descriptor or partial lock may be left behind; a
// restore that reports success must have read the right bytes. The calls
// include the file locks of partials (a lock that cannot be taken: the
// backup goes on without a journal, the continuation is refused).
//
// All three paths also run on the real file system, with I/O errors and a
// full disk injected into the kernel's calls (no power loss there).
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/status.h"
#include "reliability/fault_ops.h"
#include "reliability/sim_fs.h"
#include "reliability/store_driver.h"
#include "store/catalog.h"
#include "store/journal.h"
#include "store/partial_lock.h"
#include "store/scan.h"
#include "store/store_test_util.h"

namespace orv {
namespace {

using rel::Fault;
using rel::FaultInstall;
using rel::FaultOps;
using rel::Model;
using rel::Writer;
using sim::SimFs;
using sim::SimInstall;

constexpr char kSimRoot[] = "/sim/store";
constexpr char kSimDir[] = "/sim/store/host1";
constexpr int64_t kT0 = 1780000000;

enum class Phase { kBackup, kContinue, kRestore };

const char* phase_name(Phase p) {
  switch (p) {
    case Phase::kBackup: return "backup";
    case Phase::kContinue: return "continuation";
    case Phase::kRestore: return "restore";
  }
  return "?";
}

size_t open_descriptors() {
  size_t n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return 0;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

// The backups of the working directory, set up without failures.
struct Fixture {
  int base = -1, inc1 = -1, part = -1, fresh = -1;
  std::string base_catalog, inc1_catalog;
};

void set_up_store(Model& m, Fixture* fx) {
  ASSERT_EQ(STATUS_OK, dir_ensure(m.dir().c_str()));
  fx->base = m.add("db", BACKUP_FULL, 0x10, 0);
  fx->inc1 = m.add("db", BACKUP_INC, 0x20, 0x10);
  fx->part = m.add("db", BACKUP_INC, 0x30, 0x20);
  fx->fresh = m.add("db", BACKUP_INC, 0x40, 0x10);
  {
    Writer w(&m, fx->base);
    ASSERT_EQ(STATUS_OK, w.begin(kT0));
    for (uint64_t key = 0; key < 10; ++key) ASSERT_EQ(STATUS_OK, w.block(key, 2000, key == 6, 0));
    ASSERT_EQ(STATUS_OK, w.end());
  }
  {
    Writer w(&m, fx->inc1);
    ASSERT_EQ(STATUS_OK, w.begin(kT0 + 60));
    for (uint64_t key = 0; key < 10; key += 2) ASSERT_EQ(STATUS_OK, w.block(key, 1700, false, 1));
    ASSERT_EQ(STATUS_OK, w.end());
  }
  {
    Writer w(&m, fx->part);
    ASSERT_EQ(STATUS_OK, w.begin(kT0 + 120));
    for (uint64_t key = 0; key < 12; ++key) ASSERT_EQ(STATUS_OK, w.block(key, 2500, false, 2));
    w.session_end();
  }
  ScanItem* items = nullptr;
  size_t count = 0;
  ASSERT_EQ(STATUS_OK, backup_scan(m.dir().c_str(), &items, &count));
  for (size_t i = 0; i < count; ++i) {
    if (uuid_equal(items[i].uuid, rel::tag_uuid(0x10)) == 1) fx->base_catalog = items[i].path;
    if (uuid_equal(items[i].uuid, rel::tag_uuid(0x20)) == 1) fx->inc1_catalog = items[i].path;
  }
  free(items);
  ASSERT_FALSE(fx->base_catalog.empty());
  ASSERT_FALSE(fx->inc1_catalog.empty());
}

// The store as it stood at one moment of a path, for a power loss there.
struct Moment {
  bool taken = false;
  uint64_t k = 0;
  sim::State state;
};

void take(Moment* at, const SimFs* fs) {
  if (fs == nullptr) return;
  // The image stream's thread may be writing the last block right now.
  std::lock_guard<std::recursive_mutex> lock(sim::sim_mutex());
  at->taken = true;
  at->k = fs->ops();
  at->state = fs->state();
}

// A new incremental backup, as a session runs it; stops where the session
// would end.
void new_backup(Model& m, const Fixture& fx, const SimFs* fs, Moment* before_end, std::string* journal) {
  Writer w(&m, fx.fresh);
  if (w.begin(kT0 + 600) != STATUS_OK) return;
  *journal = w.journal_path();
  for (uint64_t key = 0; key < 12; ++key) {
    if (w.block(key, static_cast<uint32_t>(1500 + key * 100), key == 5, 3) != STATUS_OK) return;
  }
  take(before_end, fs);
  (void)w.end();  // a failure is "failed to finalize backup"; the checks look at what is left
}

void continue_partial(Model& m, const Fixture& fx, const SimFs* fs, Moment* before_end, std::string* journal) {
  Writer w(&m, fx.part);
  if (w.resume() != STATUS_OK) return;  // refused: the session stays in wait_begin
  *journal = w.journal_path();
  if (w.block(2, 900, false, 4) != STATUS_OK) return;
  if (w.block(4, 0, true, 4) != STATUS_OK) return;
  if (w.drop({3, 7, 99}) != STATUS_OK) return;
  for (uint64_t key = 100; key < 106; ++key) {
    if (w.block(key, 2100, false, 4) != STATUS_OK) return;
  }
  take(before_end, fs);
  (void)w.end();
}

// Reads back the chain of the first incremental backup the way a restore
// does. Failures must be status codes; whatever is reported as read must be
// the backup's bytes.
void restore_reads(const Model& m, const Fixture& fx, std::vector<std::string>* bad) {
  ScanItem* items = nullptr;
  size_t count = 0;
  if (backup_scan(m.dir().c_str(), &items, &count) == STATUS_OK && count != 2) {
    bad->push_back("listing shows " + std::to_string(count) + " backups instead of 2");
  }
  free(items);
  char latest[STORE_PATH_SIZE];
  if (backup_find_latest(m.dir().c_str(), "db", BACKUP_INC, latest, sizeof latest) == STATUS_OK &&
      fx.inc1_catalog != latest) {
    bad->push_back(std::string("latest incremental is ") + latest);
  }
  Chain chain;
  if (chain_resolve(fx.inc1_catalog.c_str(), m.dir().c_str(), &chain) != STATUS_OK) return;
  if (chain.count != 2) bad->push_back("chain of " + std::to_string(chain.count) + " items");
  const int models[2] = {fx.base, fx.inc1};
  for (size_t i = 0; i < chain.count && i < 2; ++i) {
    const rel::BackupModel& b = m.backups()[static_cast<size_t>(models[i])];
    const LoadedCatalog& cat = chain.items[i];
    if (!rel::same_entries(b.final_entries, cat.entries, cat.entry_count)) {
      bad->push_back(b.name + ": loaded entries differ");
      continue;
    }
    int fd = -1;
    if (file_open_read(cat.image_path, &fd) != STATUS_OK) continue;
    for (uint64_t e = 0; e < cat.entry_count; ++e) {
      uint32_t len = entry_length(cat.entries[e]);
      uint64_t off = entry_offset(cat.entries[e]);
      if (len == 0) continue;
      std::vector<uint8_t> buf(len);
      size_t got = 0;
      if (file_pread(fd, buf.data(), len, off, &got) != STATUS_OK) continue;
      if (got > len || memcmp(buf.data(), b.final_image.data() + off, got) != 0) {
        bad->push_back(b.name + ": a range read returned wrong bytes");
      }
    }
    (void)file_close(fd);  // read-only
  }
  chain_free(&chain);
}

struct RunResult {
  uint64_t calls = 0;
  std::string injected;
  std::vector<std::string> problems;
};

using Reader = std::vector<uint8_t> (*)(const std::string& path);

std::vector<uint8_t> read_sim(const std::string& path) { return sim::current_sim()->contents(path); }

// The files of the finished backups, to see that nothing changes them.
std::map<std::string, std::vector<uint8_t>> finished_files(const Fixture& fx, Reader read) {
  std::map<std::string, std::vector<uint8_t>> out;
  for (const std::string& cat : {fx.base_catalog, fx.inc1_catalog}) {
    char image[STORE_PATH_SIZE];
    EXPECT_EQ(STATUS_OK, catalog_to_image_path(cat.c_str(), image, sizeof image));
    out[cat] = read(cat);
    out[image] = read(image);
  }
  return out;
}

// Runs one path with call `at` failing (UINT64_MAX: none, only counting),
// then the checks that need no power loss.
void run_path(Phase phase, uint64_t at, Fault fault, FaultOps* faults, Model& m, const Fixture& fx,
              const SimFs* fs, Moment* before_end, Reader read, RunResult* r) {
  std::map<std::string, std::vector<uint8_t>> finished = finished_files(fx, read);
  size_t fds = open_descriptors();
  std::string journal;
  faults->arm(at, fault);
  switch (phase) {
    case Phase::kBackup: new_backup(m, fx, fs, before_end, &journal); break;
    case Phase::kContinue: continue_partial(m, fx, fs, before_end, &journal); break;
    case Phase::kRestore: restore_reads(m, fx, &r->problems); break;
  }
  faults->disarm();
  r->calls = faults->calls();
  r->injected = faults->injected();

  for (const std::string& p : m.live_problems()) r->problems.push_back(p);
  for (const auto& [path, bytes] : finished) {
    if (read(path) != bytes) r->problems.push_back("finished file changed: " + path);
  }
  if (open_descriptors() != fds) r->problems.push_back("descriptors left open");
  if (!journal.empty() && partial_locks().held(journal.c_str())) r->problems.push_back("partial lock left held");
  // Continuing each partial is left to the power-loss checks.
  for (const std::string& p : rel::check_store(m, UINT64_MAX, false)) r->problems.push_back(p);
}

// The simulated store after set_up_store, made once.
struct SimStart {
  sim::State state;
  uint64_t ops = 0;
  std::unique_ptr<Model> model;
  Fixture fx;
};

const SimStart& sim_start() {
  static SimStart s;
  if (s.model == nullptr) {
    SimFs fs;
    SimInstall install(&fs);
    fs.make_durable_dirs(kSimRoot);
    s.model = std::make_unique<Model>(&fs, kSimDir);
    set_up_store(*s.model, &s.fx);
    s.model->set_fs(nullptr);
    s.state = fs.state();
    s.ops = fs.ops();
  }
  return s;
}

// On a simulated disk: starts from the prepared store, runs the path, then
// loses power at the end and just before END, and checks what is left each
// time.
RunResult run(Phase phase, uint64_t at, Fault fault) {
  RunResult r;
  const SimStart& start = sim_start();
  if (::testing::Test::HasFatalFailure()) return r;
  SimFs fs;
  SimInstall sim_install(&fs);
  FaultOps faults(&sim::sim_ops(), &fs);
  FaultInstall fault_install(&faults);
  fs.load(start.state);
  fs.set_ops(start.ops);
  Model m = *start.model;
  m.set_fs(&fs);
  const Fixture& fx = start.fx;
  Moment before_end;
  run_path(phase, at, fault, &faults, m, fx, &fs, &before_end, read_sim, &r);

  const sim::State live = fs.state();
  for (sim::DataLoss loss : {sim::DataLoss::kDrop, sim::DataLoss::kKeep}) {
    fs.load(SimFs::crash_image(live, sim::CrashPlan{loss, sim::DirLoss::kDrop, at}));
    for (const std::string& p : rel::check_store(m, UINT64_MAX, true)) {
      r.problems.push_back("after a power loss: " + p);
    }
    if (before_end.taken) {
      fs.load(SimFs::crash_image(before_end.state, sim::CrashPlan{loss, sim::DirLoss::kDrop, at}));
      for (const std::string& p : rel::check_store(m, before_end.k, true)) {
        r.problems.push_back("after a power loss before END: " + p);
      }
    }
  }
  return r;
}

// The same paths on the real file system: a store prepared once is copied
// for every run, and the kernel's calls are the ones made to fail.
struct Golden {
  std::unique_ptr<test::TempDir> tmp;
  std::unique_ptr<Model> model;
  Fixture fx;
};

Golden& golden() {
  static Golden g;
  if (g.tmp == nullptr) {
    g.tmp = std::make_unique<test::TempDir>();
    g.model = std::make_unique<Model>(nullptr, g.tmp->path() + "/host1");
    set_up_store(*g.model, &g.fx);
  }
  return g;
}

std::string rebase(const std::string& path, const std::string& from, const std::string& to) {
  return to + path.substr(from.size());
}

RunResult run_real(Phase phase, uint64_t at, Fault fault) {
  RunResult r;
  Golden& g = golden();
  if (::testing::Test::HasFatalFailure()) return r;
  test::TempDir tmp;
  std::string dir = tmp.path() + "/host1";
  EXPECT_EQ(0, mkdir(dir.c_str(), 0777));
  DIR* d = opendir(g.model->dir().c_str());
  while (struct dirent* e = d != nullptr ? readdir(d) : nullptr) {
    if (e->d_name[0] == '.') continue;
    EXPECT_TRUE(test::write_all(dir + "/" + e->d_name, test::read_all(g.model->dir() + "/" + e->d_name)));
  }
  if (d != nullptr) closedir(d);
  Model m = *g.model;
  m.set_dir(dir);
  Fixture fx = g.fx;
  fx.base_catalog = rebase(fx.base_catalog, g.model->dir(), dir);
  fx.inc1_catalog = rebase(fx.inc1_catalog, g.model->dir(), dir);

  FaultOps faults(&file_io_system_ops(), nullptr);
  FaultInstall install(&faults);
  Moment unused;
  run_path(phase, at, fault, &faults, m, fx, nullptr, &unused, test::read_all, &r);
  return r;
}

// Every call of the path fails once in each way; reports at most 20
// problems.
void sweep(RunResult (*run_one)(Phase, uint64_t, Fault), Phase phase, std::initializer_list<Fault> kinds,
           const char* where) {
  RunResult clean = run_one(phase, UINT64_MAX, Fault::kEio);
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  for (const std::string& p : clean.problems) ADD_FAILURE() << where << ", without failures: " << p;
  ASSERT_GT(clean.calls, 10u);
  size_t reported = 0;
  bool lock_failed = false;  // a partial's file lock was among the calls made to fail
  for (Fault fault : kinds) {
    for (uint64_t at = 1; at <= clean.calls && reported < 20; ++at) {
      RunResult r = run_one(phase, at, fault);
      ASSERT_FALSE(::testing::Test::HasFatalFailure());
      if (r.injected.find(" on lock ") != std::string::npos) lock_failed = true;
      for (const std::string& p : r.problems) {
        ADD_FAILURE() << phase_name(phase) << " " << where << ", " << fault_name(fault) << " at call " << at << " ("
                      << r.injected << "): " << p;
        ++reported;
      }
    }
  }
  // A new backup takes the lock of its journal, a continuation the lock of
  // its partial: both must have met a failing lock call.
  if (phase != Phase::kRestore && (std::find(kinds.begin(), kinds.end(), Fault::kEio) != kinds.end())) {
    EXPECT_TRUE(lock_failed) << phase_name(phase) << " " << where << ": no lock call was made to fail";
  }
}

class FaultInjection : public ::testing::TestWithParam<Phase> {};

TEST_P(FaultInjection, OnASimulatedDiskEachFailureSurfacesAndSurvivesPowerLoss) {
  sweep(run, GetParam(), {Fault::kEio, Fault::kEnospc, Fault::kShort, Fault::kEintr}, "on a simulated disk");
}

// Every run syncs for real here, so only the failures real disks produce
// most; short transfers and EINTR are covered on the simulated disk.
TEST_P(FaultInjection, OnTheRealFileSystemEachFailureSurfacesCleanly) {
  sweep(run_real, GetParam(), {Fault::kEio, Fault::kEnospc}, "on the real file system");
}

std::string param_name(const ::testing::TestParamInfo<Phase>& p) {
  switch (p.param) {
    case Phase::kBackup: return "Backup";
    case Phase::kContinue: return "Continuation";
    case Phase::kRestore: return "Restore";
  }
  return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(Paths, FaultInjection, ::testing::Values(Phase::kBackup, Phase::kContinue, Phase::kRestore),
                         param_name);

}  // namespace
}  // namespace orv
