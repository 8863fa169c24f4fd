// The store's durability and recovery rules, one at a time, on the real
// file system. Where a failure is needed, a table of calls that forwards to
// the kernel and fails one kind of call is installed under the primitives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/status.h"
#include "reliability/store_driver.h"
#include "store/catalog.h"
#include "store/journal.h"
#include "store/partial.h"
#include "store/scan.h"
#include "store/store_test_util.h"

namespace orv {
namespace {

// Installs a copy of the kernel's table, changed by the test, for its
// lifetime.
class Calls {
 public:
  Calls() : ops_(file_io_system_ops()) {}
  ~Calls() { (void)file_io_set_ops(prev_); }
  FileOps& ops() { return ops_; }
  void install() { prev_ = file_io_set_ops(&ops_); }

 private:
  FileOps ops_;
  const FileOps* prev_ = nullptr;
};

bool is_directory(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

int fail_directory_fsync(int fd) {
  if (is_directory(fd)) {
    errno = EIO;
    return -1;
  }
  return fsync(fd);
}

int g_fsync_failures = 0;
int fail_first_fsyncs(int fd) {
  if (g_fsync_failures > 0) {
    --g_fsync_failures;
    errno = EIO;
    return -1;
  }
  return fsync(fd);
}

ssize_t short_pread(int fd, void* buf, size_t len, off_t off) { return pread(fd, buf, len < 1000 ? len : 1000, off); }

std::vector<std::string> g_synced_dirs;
int record_directory_fsync(int fd) {
  if (is_directory(fd)) {
    char link[64];
    char target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n > 0) g_synced_dirs.emplace_back(target, static_cast<size_t>(n));
  }
  return fsync(fd);
}

int g_readdir_calls = 0;
const char* readdir_fails_third(void* dir) {
  if (++g_readdir_calls == 3) {
    errno = EIO;
    return nullptr;
  }
  return file_io_system_ops().readdir_fn(dir);
}

class RecoveryRules : public ::testing::Test {
 protected:
  test::TempDir tmp;
  std::string dir() const { return tmp.path(); }
};

TEST_F(RecoveryRules, FailedFsyncKeepsFailingUntilTheDescriptorIsClosed) {
  Calls calls;
  calls.ops().fsync_fn = fail_first_fsyncs;
  calls.install();
  int fd = -1;
  ASSERT_EQ(STATUS_OK, file_open_rw(tmp.file("img").c_str(), 0640, &fd));
  ASSERT_EQ(STATUS_OK, file_pwrite_all(fd, "data", 4, 0, nullptr));
  g_fsync_failures = 1;
  EXPECT_EQ(STATUS_IO, file_sync(fd));
  // The kernel would now report success for pages it never wrote.
  EXPECT_EQ(0, g_fsync_failures);
  EXPECT_EQ(STATUS_IO, file_sync(fd));
  EXPECT_EQ(STATUS_OK, file_close(fd));
  ASSERT_EQ(STATUS_OK, file_open_rw(tmp.file("img").c_str(), 0640, &fd));
  EXPECT_EQ(STATUS_OK, file_sync(fd));
  EXPECT_EQ(STATUS_OK, file_close(fd));
}

TEST_F(RecoveryRules, ShortReadsDoNotMakeAFileLookDamaged) {
  auto h = test::make_header("db", BACKUP_FULL, 1, 0, 1000);
  std::vector<CatalogEntry> entries = {test::make_entry(1, 0, 10), test::make_entry(2, 10, 10)};
  std::string cat = tmp.file("db-1.infb");
  ASSERT_EQ(STATUS_OK, catalog_write(cat.c_str(), 0640, *h, entries.data(), entries.size()));
  std::string journal = tmp.file("db-1.csfb.part");
  JournalWriter w;
  ASSERT_EQ(STATUS_OK, journal_create(&w, journal.c_str(), *h, cat.c_str(), tmp.file("db-1.csfb").c_str()));
  int img = -1;
  ASSERT_EQ(STATUS_OK, file_create(tmp.file("db-1.csfb.tmp").c_str(), 0640, &img));
  ASSERT_EQ(STATUS_OK, journal_add_block(&w, entries[0], 0));
  ASSERT_EQ(STATUS_OK, journal_checkpoint(&w, img, 0));
  journal_close(&w);
  (void)file_close(img);

  Calls calls;
  calls.ops().pread_fn = short_pread;
  calls.install();
  auto loaded = std::make_unique<LoadedCatalog>();
  EXPECT_EQ(STATUS_OK, catalog_load(cat.c_str(), loaded.get()));
  EXPECT_EQ(2u, loaded->entry_count);
  catalog_free(loaded.get());
  auto p = std::make_unique<PartialBackup>();
  EXPECT_EQ(STATUS_OK, partial_load(journal.c_str(), p.get()));
  EXPECT_EQ(1u, p->entry_count);
  partial_free(p.get());
}

TEST_F(RecoveryRules, CatalogIsNotLeftVisibleWhenItsDirectoryCannotBeSynced) {
  auto h = test::make_header("db", BACKUP_FULL, 1, 0, 1000);
  Calls calls;
  calls.ops().fsync_fn = fail_directory_fsync;
  calls.install();
  std::string cat = tmp.file("db-1.infb");
  EXPECT_EQ(STATUS_IO, catalog_write(cat.c_str(), 0640, *h, nullptr, 0));
  EXPECT_FALSE(test::file_exists(cat));
  EXPECT_TRUE(test::file_exists(cat + ".tmp"));
}

TEST_F(RecoveryRules, JournalIsNotCreatedWhenItsDirectoryCannotBeSynced) {
  auto h = test::make_header("db", BACKUP_FULL, 1, 0, 1000);
  Calls calls;
  calls.ops().fsync_fn = fail_directory_fsync;
  calls.install();
  JournalWriter w;
  std::string journal = tmp.file("db-1.csfb.part");
  EXPECT_EQ(STATUS_IO, journal_create(&w, journal.c_str(), *h, tmp.file("db-1.infb").c_str(),
                                      tmp.file("db-1.csfb").c_str()));
  EXPECT_EQ(-1, w.fd);
  EXPECT_FALSE(test::file_exists(journal));
}

TEST_F(RecoveryRules, WorkingDirectoryIsMadeDurableInItsParent) {
  Calls calls;
  calls.ops().fsync_fn = record_directory_fsync;
  calls.install();
  std::string sub = tmp.file("host1");
  g_synced_dirs.clear();
  EXPECT_EQ(STATUS_OK, dir_ensure(sub.c_str()));
  EXPECT_EQ(std::vector<std::string>{dir()}, g_synced_dirs);
  // Also when it exists: an earlier attempt may have failed to sync it.
  g_synced_dirs.clear();
  EXPECT_EQ(STATUS_OK, dir_ensure(sub.c_str()));
  EXPECT_EQ(std::vector<std::string>{dir()}, g_synced_dirs);

  calls.ops().fsync_fn = fail_directory_fsync;
  EXPECT_EQ(STATUS_IO, dir_ensure(tmp.file("host2").c_str()));
}

TEST_F(RecoveryRules, ListingCutShortByAReadErrorFailsTheScan) {
  auto h = test::make_header("db", BACKUP_FULL, 1, 0, 1000);
  for (const char* name : {"a-1.infb", "b-1.infb", "c-1.infb", "d-1.infb"}) {
    ASSERT_EQ(STATUS_OK, catalog_write(tmp.file(name).c_str(), 0640, *h, nullptr, 0));
  }
  Calls calls;
  calls.ops().readdir_fn = readdir_fails_third;
  calls.install();
  g_readdir_calls = 0;
  ScanItem* items = nullptr;
  size_t count = 0;
  EXPECT_EQ(STATUS_IO, backup_scan(dir().c_str(), &items, &count));
  EXPECT_EQ(nullptr, items);
  EXPECT_EQ(0u, count);
}

// END renames the image before it writes the catalog; a crash in between
// leaves the image under its final name with only the journal beside it.
TEST_F(RecoveryRules, PartialWhoseEndWasCutShortIsFoundContinuedAndRemoved) {
  rel::Model m(nullptr, dir());
  int b = m.add("db", BACKUP_FULL, 0x10, 0);
  std::string journal;
  {
    rel::Writer w(&m, b);
    ASSERT_EQ(STATUS_OK, w.begin(1780000000));
    for (uint64_t key = 0; key < 8; ++key) ASSERT_EQ(STATUS_OK, w.block(key, 3000, false, 0));
    journal = w.journal_path();
  }
  std::string image = journal.substr(0, journal.size() - 5);  // without ".part"
  ASSERT_EQ(0, rename((image + ".tmp").c_str(), image.c_str()));

  char found[PATH_SIZE];
  ASSERT_EQ(STATUS_OK, partial_find_by_uuid(dir().c_str(), rel::tag_uuid(0x10), found, sizeof found));
  EXPECT_EQ(journal, found);
  {
    rel::Writer w(&m, b);
    ASSERT_EQ(STATUS_OK, w.resume());  // takes the image back under its temporary name
    EXPECT_TRUE(test::file_exists(image + ".tmp"));
    EXPECT_FALSE(test::file_exists(image));
    EXPECT_EQ(static_cast<off_t>(8 * 3000), test::size_of(image + ".tmp"));
  }
  EXPECT_TRUE(m.live_problems().empty());

  // Cut short again, then discarded: the image goes with the journal.
  ASSERT_EQ(0, rename((image + ".tmp").c_str(), image.c_str()));
  partial_remove(journal.c_str());
  EXPECT_FALSE(test::file_exists(image));
  EXPECT_FALSE(test::file_exists(journal));
}

// Once the catalog exists, the image is the finished backup's: a journal
// left behind by an END whose last deletion was lost must not take it.
TEST_F(RecoveryRules, LeftoverJournalOfAFinishedBackupIsNeverAPartial) {
  rel::Model m(nullptr, dir());
  int b = m.add("db", BACKUP_FULL, 0x10, 0);
  std::string journal;
  std::vector<uint8_t> saved;
  {
    rel::Writer w(&m, b);
    ASSERT_EQ(STATUS_OK, w.begin(1780000000));
    for (uint64_t key = 0; key < 4; ++key) ASSERT_EQ(STATUS_OK, w.block(key, 3000, false, 0));
    journal = w.journal_path();
    w.session_end();
    saved = test::read_all(journal);
  }
  {
    rel::Writer w(&m, b);
    ASSERT_EQ(STATUS_OK, w.resume());
    ASSERT_EQ(STATUS_OK, w.end());
  }
  ASSERT_TRUE(test::write_all(journal, saved));  // the deletion did not survive
  std::string image = journal.substr(0, journal.size() - 5);

  char found[PATH_SIZE];
  EXPECT_EQ(STATUS_NOT_FOUND, partial_find_by_uuid(dir().c_str(), rel::tag_uuid(0x10), found, sizeof found));
  partial_remove(journal.c_str());
  EXPECT_TRUE(test::file_exists(image));
  EXPECT_FALSE(test::file_exists(journal));
  EXPECT_TRUE(rel::check_store(m, UINT64_MAX, false).empty());
}

}  // namespace
}  // namespace orv
