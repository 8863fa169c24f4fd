// The backup writer on a real directory: a backup opened, written, finished;
// abandoned as a partial and taken over again; refusals that leave nothing
// behind; and failures of the journal and the image, made with the file
// primitives' call table.
#include "store/backup_writer.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "core/endian.h"
#include "core/file_io.h"
#include "core/status.h"
#include "store/catalog.h"
#include "store/journal_format.h"
#include "store/journal_reader.h"
#include "store/partial.h"
#include "store/partial_lock.h"
#include "store_test_util.h"

namespace orv {
namespace {

using test::file_exists;
using test::make_uuid;
using test::size_of;
using test::TempDir;

// The path a descriptor stands for ("" when it cannot be told).
std::string fd_path(int fd) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char buf[4096];
  ssize_t n = readlink(link, buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool ends_in(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Makes writes (pwrite) or fsyncs of files whose name ends in `suffix` fail
// with EIO while installed.
const char* g_fail_suffix = "";
ssize_t failing_pwrite(int fd, const void* buf, size_t len, off_t off) {
  if (ends_in(fd_path(fd), g_fail_suffix)) {
    errno = EIO;
    return -1;
  }
  return file_io_system_ops().pwrite_fn(fd, buf, len, off);
}
int failing_fsync(int fd) {
  if (ends_in(fd_path(fd), g_fail_suffix)) {
    errno = EIO;
    return -1;
  }
  return file_io_system_ops().fsync_fn(fd);
}

class FailingFiles {
 public:
  FailingFiles(const char* suffix, bool writes, bool syncs) {
    g_fail_suffix = suffix;
    ops_ = file_io_system_ops();
    if (writes) ops_.pwrite_fn = failing_pwrite;
    if (syncs) ops_.fsync_fn = failing_fsync;
    before_ = file_io_set_ops(&ops_);
  }
  ~FailingFiles() { (void)file_io_set_ops(before_); }

 private:
  FileOps ops_;
  const FileOps* before_;
};

CatalogEntry block_entry(uint64_t key, uint8_t flags = 0) {
  CatalogEntry e = {};
  put_u64_le(e.span(), ENT_KEY_OFF, key);
  e.bytes[ENT_AGENT_BYTE_OFF] = static_cast<uint8_t>(key);
  e.bytes[ENT_FLAGS_OFF] = flags;
  return e;
}

// Settings whose takeover waits ms milliseconds.
StoreSettings waiting(uint32_t ms) {
  StoreSettings s;
  s.takeover_wait_ms = ms;
  return s;
}

class BackupWriterTest : public ::testing::Test {
 protected:
  BackupOpenRequest request(const char* name = "db") {
    BackupOpenRequest req;
    req.workdir = workdir.c_str();
    req.name = name;
    req.fields.type = BACKUP_FULL;
    req.fields.block_size = 4096;
    req.fields.uuid = make_uuid(7);
    snprintf(req.fields.name, sizeof req.fields.name, "%s", name);
    req.retention = "";
    req.retention_label = "";
    return req;
  }
  void open(BackupWriter* w) {
    OpenRefusal refusal;
    uint64_t expired = 0;
    ASSERT_EQ(w->open(StoreSettings{}, request(), &refusal, &expired), STATUS_OK);
    ASSERT_TRUE(w->journaling());
  }
  // Appends a block of `size` bytes of `fill`.
  int32_t block(BackupWriter* w, uint64_t key, size_t size, uint8_t fill, BackupWriter::Progress* progress = nullptr) {
    std::vector<uint8_t> data(size, fill);
    BackupWriter::Progress p;
    return w->append_block(block_entry(key), data, progress != nullptr ? progress : &p);
  }
  void drop(BackupWriter* w, std::vector<uint64_t> keys) {
    std::vector<uint8_t> le(8 * keys.size());
    for (size_t i = 0; i < keys.size(); ++i) put_u64_le(le, 8 * i, keys[i]);
    BackupWriter::Progress p;
    ASSERT_EQ(STATUS_OK, w->drop_entries(le, static_cast<uint32_t>(keys.size()), &p));
  }

  TempDir root;
  std::string workdir = root.path() + "/h";
};

TEST_F(BackupWriterTest, NewBackupIsWrittenAndFinished) {
  auto w = std::make_unique<BackupWriter>();
  open(w.get());
  std::string tmp = w->tmp_image_path(), journal = w->journal_path();
  EXPECT_EQ(tmp, std::string(w->image_path()) + ".tmp");
  EXPECT_EQ(journal, std::string(w->image_path()) + ".part");
  EXPECT_TRUE(file_exists(tmp));
  EXPECT_TRUE(partial_locks().held(journal.c_str()));

  ASSERT_EQ(block(w.get(), 5, 100, 5), STATUS_OK);
  BackupWriter::Progress p;
  std::vector<uint8_t> ignored(30, 1);
  ASSERT_EQ(w->append_block(block_entry(3, ENTRY_FLAG_NO_DATA), ignored, &p), STATUS_OK);
  ASSERT_EQ(block(w.get(), 1, 50, 1), STATUS_OK);
  drop(w.get(), {1});  // a new backup has nothing an agent may withdraw
  EXPECT_EQ(w->image_size(), 150u);
  EXPECT_EQ(size_of(tmp), 150);

  uint64_t count = 0;
  ASSERT_EQ(w->finish(&count), STATUS_OK);
  EXPECT_EQ(count, 3u);
  EXPECT_TRUE(w->finished());
  EXPECT_FALSE(w->journaling());
  EXPECT_FALSE(file_exists(tmp));
  EXPECT_FALSE(file_exists(journal));
  EXPECT_FALSE(partial_locks().held(journal.c_str()));
  EXPECT_EQ(size_of(w->image_path()), 150);

  auto cat = std::make_unique<LoadedCatalog>();
  ASSERT_EQ(catalog_load(w->catalog_path(), cat.get()), STATUS_OK);
  ASSERT_EQ(cat->entry_count, 3u);
  EXPECT_EQ(header_image_size(cat->header), 150u);
  uint64_t keys[] = {1, 3, 5}, offsets[] = {100, ENTRY_NO_OFFSET, 0};
  uint32_t lengths[] = {50, 0, 100};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(entry_key(cat->entries[i]), keys[i]);
    EXPECT_EQ(entry_offset(cat->entries[i]), offsets[i]);
    EXPECT_EQ(entry_length(cat->entries[i]), lengths[i]);
    EXPECT_EQ(cat->entries[i].bytes[ENT_AGENT_BYTE_OFF], static_cast<uint8_t>(keys[i]));
  }
  catalog_free(cat.get());
}

// Refusals name their step and leave no file of the backup; a working
// directory created before the refusal stays.
TEST_F(BackupWriterTest, RefusedOpenLeavesNoFiles) {
  struct Case {
    const char* name;
    const char* retention;
    OpenRefusal refusal;
    int32_t status;
  } cases[] = {
      {"", "", OpenRefusal::empty_name, STATUS_INVALID},
      {"db", "forever and a day", OpenRefusal::retention, STATUS_INVALID},
      {"a/b", "", OpenRefusal::names, STATUS_INVALID},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BackupWriter w;
    BackupOpenRequest req = request(c.name);
    req.retention = c.retention;
    OpenRefusal refusal = OpenRefusal::none;
    uint64_t expired = 1;
    EXPECT_EQ(w.open(StoreSettings{}, req, &refusal, &expired), c.status);
    EXPECT_EQ(refusal, c.refusal);
    EXPECT_EQ(expired, 0u);
    EXPECT_FALSE(w.is_open());
    EXPECT_FALSE(w.journaling());
    DirReader d;
    ASSERT_EQ(d.open(workdir.c_str()), STATUS_OK);
    while (const char* n = d.next()) EXPECT_TRUE(strcmp(n, ".") == 0 || strcmp(n, "..") == 0) << n;
  }
  BackupWriter w;
  BackupOpenRequest req = request();
  std::string missing = root.path() + "/no/such";
  req.workdir = missing.c_str();
  OpenRefusal refusal = OpenRefusal::none;
  uint64_t expired = 0;
  EXPECT_NE(w.open(StoreSettings{}, req, &refusal, &expired), STATUS_OK);
  EXPECT_EQ(refusal, OpenRefusal::directory);
}

// An abandoned backup is a partial up to its last checkpoint: taken over,
// it continues where that left off, a key sent again replaces its entry in
// place, a drop withdraws one, and finishing leaves only the catalog's
// entries.
TEST_F(BackupWriterTest, AbandonedBackupIsResumedAndFinished) {
  std::string journal, tmp;
  {
    BackupWriter w;
    open(&w);
    for (uint64_t k = 1; k <= 3; ++k) ASSERT_EQ(block(&w, k, 100, static_cast<uint8_t>(k)), STATUS_OK);
    journal = w.journal_path();
    tmp = w.tmp_image_path();
    w.abandon();
    EXPECT_FALSE(w.is_open());
    EXPECT_EQ(w.image_size(), 300u);  // kept for the report
    EXPECT_FALSE(partial_locks().held(journal.c_str()));
  }
  ASSERT_EQ(size_of(journal), static_cast<off_t>(JOURNAL_FIRST_RECORD + 4 * JOURNAL_RECORD_SIZE));

  auto w = std::make_unique<BackupWriter>();
  ResumeRefusal refusal = ResumeRefusal::none;
  ASSERT_EQ(w->resume(waiting(1000), workdir.c_str(), make_uuid(7), -1, &refusal), STATUS_OK);
  EXPECT_EQ(refusal, ResumeRefusal::none);
  EXPECT_TRUE(w->resumed());
  EXPECT_TRUE(w->journaling());
  EXPECT_EQ(w->journal_path(), journal);
  EXPECT_EQ(w->tmp_image_path(), tmp);
  EXPECT_TRUE(partial_locks().held(journal.c_str()));
  ASSERT_EQ(w->entry_count(), 3u);
  EXPECT_EQ(w->image_size(), 300u);

  ASSERT_EQ(block(w.get(), 2, 50, 0x22), STATUS_OK);  // replaces key 2 in place
  drop(w.get(), {1, 99, 1});                          // unknown and repeated keys: one drop
  ASSERT_EQ(block(w.get(), 4, 10, 4), STATUS_OK);
  EXPECT_EQ(w->entry_count(), 4u);
  EXPECT_EQ(entry_key(w->entries()[1]), 2u);
  EXPECT_EQ(entry_offset(w->entries()[1]), 300u);
  ASSERT_TRUE(w->checkpoint());

  int fd = -1;
  ASSERT_EQ(file_open_read(journal.c_str(), &fd), STATUS_OK);
  JournalScan scan;
  ASSERT_EQ(journal_scan(fd, static_cast<uint64_t>(size_of(journal)), JOURNAL_FIRST_RECORD, &scan), STATUS_OK);
  (void)file_close(fd);
  EXPECT_EQ(scan.checkpoint_count, 6u);  // 3 blocks, then 2 blocks and 1 drop
  EXPECT_EQ(scan.checkpoint_image_size, 360u);

  uint64_t count = 0;
  ASSERT_EQ(w->finish(&count), STATUS_OK);
  EXPECT_EQ(count, 3u);  // 2, 3, 4; 1 dropped
  EXPECT_FALSE(file_exists(journal));
  EXPECT_FALSE(partial_locks().held(journal.c_str()));
}

TEST_F(BackupWriterTest, ResumeRefusalsLeaveThePartialAsItWas) {
  std::string journal;
  {
    BackupWriter w;
    open(&w);
    ASSERT_EQ(block(&w, 1, 100, 1), STATUS_OK);
    journal = w.journal_path();
  }  // the destructor abandons: a partial with one checkpoint
  auto before = test::read_all(journal);
  ResumeRefusal refusal = ResumeRefusal::none;
  BackupWriter w;
  EXPECT_EQ(w.resume(waiting(1000), workdir.c_str(), make_uuid(8), -1, &refusal), STATUS_NOT_FOUND);
  EXPECT_EQ(refusal, ResumeRefusal::not_found);

  ASSERT_EQ(partial_lock_try(journal.c_str(), -1), STATUS_OK);
  EXPECT_EQ(w.resume(waiting(50), workdir.c_str(), make_uuid(7), -1, &refusal), STATUS_AGAIN);
  EXPECT_EQ(refusal, ResumeRefusal::in_use);
  EXPECT_TRUE(partial_locks().held(journal.c_str()));
  partial_unlock(journal.c_str());

  // The only checkpoint record damaged: nothing can be trusted.
  std::vector<uint8_t> bad = before;
  bad[bad.size() - 1] ^= 0xFF;
  ASSERT_TRUE(test::write_all(journal, bad));
  EXPECT_EQ(w.resume(waiting(50), workdir.c_str(), make_uuid(7), -1, &refusal), STATUS_CORRUPT);
  EXPECT_EQ(refusal, ResumeRefusal::no_checkpoint);
  EXPECT_FALSE(w.is_open());
  EXPECT_FALSE(partial_locks().held(journal.c_str()));
  EXPECT_EQ(test::read_all(journal), bad);
}

// What another process (another target on the same storage) gets when it
// tries the journal's file lock right now.
int32_t lock_from_another_process(const std::string& journal) {
  pid_t pid = fork();
  if (pid == 0) {
    JournalFileLock lock;
    _exit(-journal_file_lock_try(journal.c_str(), &lock));
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return STATUS_IO;
  return -WEXITSTATUS(status);
}

// The writer's lock is a file lock other targets see, from the moment the
// journal exists until the writer lets go; a partial that another process
// holds is not taken over, and is once that process lets go.
TEST_F(BackupWriterTest, ItsLockIsAFileLockOtherTargetsSee) {
  std::string journal;
  {
    BackupWriter w;
    open(&w);
    journal = w.journal_path();
    EXPECT_EQ(lock_from_another_process(journal), STATUS_AGAIN);
    ASSERT_EQ(block(&w, 1, 100, 1), STATUS_OK);
  }  // abandoned: a partial nobody holds
  EXPECT_EQ(lock_from_another_process(journal), STATUS_OK);

  int go[2];
  int ready[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    close(go[1]);
    close(ready[0]);
    JournalFileLock lock;
    char rc = static_cast<char>(-journal_file_lock_try(journal.c_str(), &lock));
    if (write(ready[1], &rc, 1) != 1) _exit(1);
    char c;
    (void)read(go[0], &c, 1);
    _exit(0);
  }
  close(go[0]);
  close(ready[1]);
  char got = 1;
  ASSERT_EQ(read(ready[0], &got, 1), 1);
  ASSERT_EQ(got, 0);
  ResumeRefusal refusal = ResumeRefusal::none;
  BackupWriter w;
  EXPECT_EQ(w.resume(waiting(100), workdir.c_str(), make_uuid(7), -1, &refusal), STATUS_AGAIN);
  EXPECT_EQ(refusal, ResumeRefusal::in_use);
  EXPECT_FALSE(partial_locks().held(journal.c_str()));
  close(go[1]);  // the holder lets go and ends
  (void)waitpid(holder, nullptr, 0);
  close(ready[0]);
  EXPECT_EQ(w.resume(waiting(100), workdir.c_str(), make_uuid(7), -1, &refusal), STATUS_OK);
  EXPECT_EQ(lock_from_another_process(journal), STATUS_AGAIN);
}

// A journal that fails only stops the backup from being continuable: the
// journal is deleted under the lock, the lock released, and the backup
// still finishes.
TEST_F(BackupWriterTest, JournalFailureKeepsTheBackupGoing) {
  BackupWriter w;
  open(&w);
  ASSERT_EQ(block(&w, 1, 100, 1), STATUS_OK);
  std::string journal = w.journal_path();
  {
    FailingFiles fail(".part", false, true);
    EXPECT_FALSE(w.checkpoint());
  }
  EXPECT_FALSE(w.journaling());
  EXPECT_FALSE(file_exists(journal));
  EXPECT_FALSE(w.checkpoint());  // nothing to checkpoint any more
  // The lock stays while the backup runs: expiry leaves its temporary
  // image alone however long the connection stays idle.
  EXPECT_TRUE(partial_locks().held(journal.c_str()));
  ASSERT_TRUE(test::set_mtime(w.tmp_image_path(), 1000));
  EXPECT_EQ(partial_expire(workdir.c_str(), 3600, partial_locks()), 0u);
  EXPECT_TRUE(file_exists(w.tmp_image_path()));

  ASSERT_EQ(block(&w, 2, 100, 2), STATUS_OK);
  uint64_t count = 0;
  ASSERT_EQ(w.finish(&count), STATUS_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(size_of(w.image_path()), 200);
  EXPECT_FALSE(partial_locks().held(journal.c_str()));
}

// Opens of files whose name ends in `suffix` fail with EACCES while set.
int denying_open(const char* path, int flags, mode_t mode) {
  if (ends_in(path, g_fail_suffix)) {
    errno = EACCES;
    return -1;
  }
  return file_io_system_ops().open_fn(path, flags, mode);
}

// A temporary image that cannot be created is the image's refusal, not a
// bad name; a name too long for the journal's file name is a bad name,
// refused before anything is created.
TEST_F(BackupWriterTest, ImageThatCannotBeCreatedIsNotABadName) {
  {
    g_fail_suffix = ".tmp";
    FileOps ops = file_io_system_ops();
    ops.open_fn = denying_open;
    const FileOps* before = file_io_set_ops(&ops);
    BackupWriter w;
    OpenRefusal refusal = OpenRefusal::none;
    uint64_t expired = 0;
    EXPECT_EQ(w.open(StoreSettings{}, request(), &refusal, &expired), STATUS_IO);
    (void)file_io_set_ops(before);
    EXPECT_EQ(refusal, OpenRefusal::image);
  }
  // "<name>-<minute>.csfb.part" must be one file name: 232 characters of
  // name leave room for it, 233 do not.
  std::string too_long(233, 'n');
  BackupWriter w;
  OpenRefusal refusal = OpenRefusal::none;
  uint64_t expired = 0;
  EXPECT_EQ(w.open(StoreSettings{}, request(too_long.c_str()), &refusal, &expired), STATUS_INVALID);
  EXPECT_EQ(refusal, OpenRefusal::names);
  DirReader d;
  ASSERT_EQ(d.open(workdir.c_str()), STATUS_OK);
  while (const char* n = d.next()) EXPECT_TRUE(strcmp(n, ".") == 0 || strcmp(n, "..") == 0) << n;
  // The journal records the file names in 239 characters: with 232
  // characters of name the backup runs without a journal, with 221 with one.
  std::string no_journal(232, 'n');
  ASSERT_EQ(w.open(StoreSettings{}, request(no_journal.c_str()), &refusal, &expired), STATUS_OK);
  EXPECT_FALSE(w.journaling());
  // Its temporary image has no journal, but it is being received: expiry
  // leaves it however old it looks, until the backup has ended.
  std::string tmp = w.tmp_image_path();
  struct timespec old[2] = {{time(nullptr) - 7200, 0}, {time(nullptr) - 7200, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, tmp.c_str(), old, 0), 0);
  (void)partial_expire(workdir.c_str(), 3600, partial_locks());
  EXPECT_TRUE(file_exists(tmp));
  w.abandon();
  ASSERT_EQ(utimensat(AT_FDCWD, tmp.c_str(), old, 0), 0);
  (void)partial_expire(workdir.c_str(), 3600, partial_locks());
  EXPECT_FALSE(file_exists(tmp));
  std::string longest(221, 'n');
  ASSERT_EQ(w.open(StoreSettings{}, request(longest.c_str()), &refusal, &expired), STATUS_OK);
  EXPECT_TRUE(w.journaling());
}

TEST_F(BackupWriterTest, FailedImageWriteRecordsNothing) {
  BackupWriter w;
  open(&w);
  ASSERT_EQ(block(&w, 1, 100, 1), STATUS_OK);
  BackupWriter::Progress p;
  {
    FailingFiles fail(".tmp", true, false);
    EXPECT_EQ(block(&w, 2, 100, 2, &p), STATUS_IO);
  }
  EXPECT_TRUE(p.image_failed);
  EXPECT_EQ(w.entry_count(), 1u);
  EXPECT_EQ(w.image_size(), 100u);
  EXPECT_TRUE(w.journaling());
}

// Blocks received into the writer's buffers are written by its image
// stream, placed at their image offset within a page; the image is byte
// exact whatever the lengths. A queued write that fails shows at the next
// call, and no checkpoint is made over it, also not when the backup is
// abandoned.
TEST_F(BackupWriterTest, BlocksFromTheReceiveBuffersAndAQueuedWriteThatFails) {
  BackupWriter w;
  open(&w);
  std::vector<uint8_t> expect;
  auto queue = [&](uint64_t key, size_t len, uint8_t fill, BackupWriter::Progress* p) {
    std::span<uint8_t> buf = w.receive_buffer();
    EXPECT_GE(buf.size(), WRITER_RECEIVE_BUFFER_SIZE);
    size_t at = static_cast<size_t>(w.image_size() % 4096);
    memset(buf.data() + at, fill, len);
    int32_t rc = w.append_block(block_entry(key), buf.subspan(at, len), p);
    if (rc == STATUS_OK) expect.insert(expect.end(), len, fill);
    return rc;
  };
  BackupWriter::Progress p;
  ASSERT_EQ(queue(1, 3 * 4096 + 10, 0x11, &p), STATUS_OK);
  ASSERT_EQ(queue(2, 5000, 0x22, &p), STATUS_OK);
  ASSERT_EQ(queue(3, 4096, 0x33, &p), STATUS_OK);
  EXPECT_TRUE(w.checkpoint());
  std::string tmp = w.tmp_image_path();
  {
    std::string got(expect.size(), '\0');
    FILE* f = fopen(tmp.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fread(got.data(), 1, got.size(), f), expect.size());
    fclose(f);
    EXPECT_TRUE(memcmp(got.data(), expect.data(), expect.size()) == 0);
  }
  uint64_t durable = w.image_size();
  {
    FailingFiles fail(".tmp", true, false);
    // Queued; its write fails on the writer thread, which may already have
    // happened by the time this call looks.
    int32_t queued = queue(4, 8192, 0x44, &p);
    EXPECT_TRUE(queued == STATUS_OK || queued == STATUS_IO) << queued;
    EXPECT_EQ(w.flush_image(), STATUS_IO);
  }
  EXPECT_EQ(queue(5, 100, 0x55, &p), STATUS_IO);
  EXPECT_TRUE(p.image_failed);
  std::vector<uint8_t> keys(8, 0);
  EXPECT_EQ(w.drop_entries(keys, 1, &p), STATUS_IO);
  EXPECT_FALSE(w.checkpoint());
  EXPECT_TRUE(w.journaling());  // the journal itself is whole
  std::string journal = w.journal_path();
  w.abandon();
  // The partial stops at the last checkpoint before the failure.
  auto part = std::make_unique<PartialBackup>();
  ASSERT_EQ(partial_load(journal.c_str(), part.get()), STATUS_OK);
  EXPECT_EQ(part->checkpoint_image_size, durable);
  partial_free(part.get());
}

// A catalog that cannot be written fails the finish and leaves the partial
// whole: the image gets its temporary name back next to the journal.
TEST_F(BackupWriterTest, FailedCatalogWriteKeepsThePartial) {
  BackupWriter w;
  open(&w);
  ASSERT_EQ(block(&w, 1, 100, 1), STATUS_OK);
  ASSERT_TRUE(w.checkpoint());  // the image is closed after the failure: no last checkpoint then
  ASSERT_EQ(mkdir((std::string(w.catalog_path()) + ".tmp").c_str(), 0755), 0);
  uint64_t count = 7;
  EXPECT_NE(w.finish(&count), STATUS_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(w.finished());
  EXPECT_FALSE(file_exists(w.image_path()));
  EXPECT_FALSE(file_exists(w.catalog_path()));
  EXPECT_EQ(size_of(w.tmp_image_path()), 100);
  EXPECT_TRUE(file_exists(w.journal_path()));
  std::string journal = w.journal_path();
  w.abandon();
  EXPECT_FALSE(partial_locks().held(journal.c_str()));
  auto p = std::make_unique<PartialBackup>();
  ASSERT_EQ(partial_load(journal.c_str(), p.get()), STATUS_OK);
  EXPECT_EQ(p->entry_count, 1u);
  partial_free(p.get());
}

// Abandoning releases the image descriptor and the entry list.
TEST_F(BackupWriterTest, AbandonReleasesImageAndEntries) {
  BackupWriter w;
  open(&w);
  ASSERT_EQ(block(&w, 1, 100, 1), STATUS_OK);
  std::string tmp = w.tmp_image_path();
  int open_before = 0;
  for (int fd = 0; fd < 1024; ++fd) open_before += fd_path(fd) == tmp ? 1 : 0;
  EXPECT_GE(open_before, 1);  // two when the image stream writes with direct I/O
  EXPECT_LE(open_before, 2);
  w.abandon();
  int open_after = 0;
  for (int fd = 0; fd < 1024; ++fd) open_after += fd_path(fd) == tmp ? 1 : 0;
  EXPECT_EQ(open_after, 0);
  EXPECT_EQ(w.entry_count(), 0u);
  EXPECT_TRUE(w.entries().empty());
  w.abandon();  // twice is harmless
}

}  // namespace
}  // namespace orv
