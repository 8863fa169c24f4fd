// The free-space guard of BackupWriter::open on a small tmpfs: a new backup
// is refused before any file is created when the file system has less free
// space than min_free (with a warning naming the free space), while a
// partial backup is still resumed and finished. Needs permission to mount
// a tmpfs (root); skipped with a message otherwise.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/endian.h"
#include "core/log.h"
#include "core/status.h"
#include "core/sysinfo.h"
#include "store/backup_writer.h"
#include "core/file_io.h"
#include "store/partial_lock.h"
#include "store_test_util.h"

namespace orv {
namespace {

using test::TempDir;

constexpr uint64_t kMiB = 1u << 20;

size_t entries_in(const std::string& dir) {
  size_t n = 0;
  DirReader d;
  if (d.open(dir.c_str()) != STATUS_OK) return 0;
  while (const char* name = d.next()) n += strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
  return n;
}

class MinFreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp.path().empty());
    mnt = tmp.file("mnt");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=8m,mode=0755") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "); the free-space guard is not tested";
    }
    mounted = true;
    workdir = mnt + "/host";
    log_init("min_free_test", LEVEL_INFO);
  }
  void TearDown() override {
    if (mounted && umount(mnt.c_str()) != 0) (void)umount2(mnt.c_str(), MNT_DETACH);
  }

  static StoreSettings with_min_free(uint64_t min_free) {
    StoreSettings s;
    s.min_free = min_free;
    return s;
  }

  BackupOpenRequest request(uint8_t id) {
    BackupOpenRequest req;
    req.workdir = workdir.c_str();
    req.name = "db";
    req.fields.type = BACKUP_FULL;
    req.fields.block_size = 65536;
    req.fields.uuid.bytes[0] = id;
    snprintf(req.fields.name, sizeof req.fields.name, "db");
    return req;
  }

  static int32_t block(BackupWriter* w, uint64_t key) {
    std::vector<uint8_t> data(65536, static_cast<uint8_t>(key));
    CatalogEntry e = {};
    put_u64_le(e.span(), ENT_KEY_OFF, key);
    BackupWriter::Progress p;
    return w->append_block(e, data, &p);
  }

  // Fills the file system until less than `left` bytes are free.
  bool fill_to(uint64_t left) {
    uint64_t free_bytes = 0;
    if (disk_free_bytes(mnt.c_str(), &free_bytes) != STATUS_OK || free_bytes <= left) return free_bytes <= left;
    std::vector<uint8_t> filler(free_bytes - left + 4096, 0x11);
    return test::write_all(mnt + "/filler", filler.data(), filler.size());
  }

  TempDir tmp;
  std::string mnt;
  std::string workdir;
  bool mounted = false;
};

TEST_F(MinFreeTest, NewBackupRefusedBelowMinFreeButPartialResumes) {
  // Plenty of room: the backup opens, takes a few blocks and is left as a
  // partial (an interrupted connection).
  Uuid partial_uuid;
  {
    BackupWriter w;
    OpenRefusal refusal;
    uint64_t expired = 0;
    ASSERT_EQ(w.open(with_min_free(2 * kMiB), request(1), &refusal, &expired), STATUS_OK);
    partial_uuid = header_uuid(w.header());
    for (uint64_t k = 0; k < 4; ++k) ASSERT_EQ(block(&w, k), STATUS_OK);
    w.abandon();
  }
  size_t files_before = entries_in(workdir);

  ASSERT_TRUE(fill_to(kMiB));
  {
    BackupWriter w;
    OpenRefusal refusal;
    uint64_t expired = 0;
    test::StderrCapture err(tmp.file("stderr"));
    EXPECT_EQ(w.open(with_min_free(2 * kMiB), request(2), &refusal, &expired), STATUS_IO);
    std::string log = err.stop();
    EXPECT_EQ(refusal, OpenRefusal::image);
    EXPECT_NE(log.find("WARN  refusing a new backup in " + workdir + ": the storage file system has "),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" bytes free, less than --min-free 2097152"), std::string::npos) << log;
    EXPECT_FALSE(w.is_open());
  }
  EXPECT_EQ(entries_in(workdir), files_before) << "a refused backup leaves no file";

  // Without the guard the same BEGIN opens (and would run into the full disk).
  {
    BackupWriter w;
    OpenRefusal refusal;
    uint64_t expired = 0;
    EXPECT_EQ(w.open(with_min_free(0), request(3), &refusal, &expired), STATUS_OK);
    w.abandon();
  }

  // The partial is continued and finished although space is short.
  {
    BackupWriter w;
    ResumeRefusal refusal;
    ASSERT_EQ(w.resume(with_min_free(2 * kMiB), workdir.c_str(), partial_uuid, -1, &refusal), STATUS_OK);
    ASSERT_EQ(block(&w, 4), STATUS_OK);
    uint64_t entries = 0;
    ASSERT_EQ(w.finish(&entries), STATUS_OK);
    EXPECT_EQ(entries, 5u);
    EXPECT_TRUE(test::file_exists(w.catalog_path()));
  }
}

}  // namespace
}  // namespace orv
