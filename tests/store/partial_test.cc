#include "store/partial.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>

#include "core/file_io.h"
#include "core/status.h"
#include "core/unique_fd.h"
#include "store/journal.h"
#include "store/partial_lock.h"
#include "store_test_util.h"

namespace orv {
namespace {

// One journal operation: a block (key), a drop (key) or a checkpoint.
struct Op {
  char kind;  // 'b', 'd', 'c'
  uint64_t key;
};

class Partials : public ::testing::Test {
 protected:
  test::TempDir dir;

  // Writes a partial through the real writer; returns its journal path.
  // Every record up to the last 'c' is durable; the rest are flushed too so
  // they exist in the file without a checkpoint over them.
  std::string make_partial(const char* base, const char* name, uint8_t type, uint8_t uuid, uint8_t parent,
                           int64_t created, const std::vector<Op>& ops, bool with_image = true) {
    std::string image = dir.file(std::string(base) + ".csfb");
    std::string journal = image + ".part";
    auto h = test::make_header(name, type, uuid, parent, created);
    int raw = -1;
    EXPECT_EQ(STATUS_OK, file_create((image + ".tmp").c_str(), 0640, &raw));
    UniqueFd img(raw);
    JournalWriter w;
    EXPECT_EQ(STATUS_OK, journal_create(&w, journal.c_str(), *h, dir.file(std::string(base) + ".infb").c_str(),
                                        image.c_str()));
    uint64_t size = 0;
    for (const Op& op : ops) {
      if (op.kind == 'b') {
        EXPECT_EQ(STATUS_OK, journal_add_block(&w, test::make_entry(op.key, size, 10), 10));
        size += 10;
      } else if (op.kind == 'd') {
        EXPECT_EQ(STATUS_OK, journal_add_drop(&w, op.key));
      } else {
        std::string data(size, 'i');
        EXPECT_EQ(static_cast<ssize_t>(size), pwrite(img.get(), data.data(), size, 0));
        EXPECT_EQ(STATUS_OK, journal_checkpoint(&w, img.get(), size));
      }
    }
    // Push what is still buffered to the file without a checkpoint.
    if (w.used > 0) {
      EXPECT_EQ(static_cast<ssize_t>(w.used), pwrite(w.fd, w.buffer, w.used, w.write_offset));
    }
    journal_close(&w);
    if (!with_image) unlink((image + ".tmp").c_str());
    return journal;
  }

  // A journal built byte by byte, for names the writer would never store.
  std::string craft(const std::string& file, const char* catalog_name, const char* image_name) {
    auto h = test::make_header("db", 0, 9, 0, 100);
    std::vector<uint8_t> bytes(JOURNAL_FIRST_RECORD + 2 * JOURNAL_RECORD_SIZE);
    memcpy(bytes.data() + 512, h->bytes, BACKUP_HEADER_SIZE);
    encode_journal_header(catalog_name, image_name, JOURNAL_PAYLOAD_SIZE, h->span(), bytes.data());
    CatalogEntry e = test::make_entry(1);
    encode_journal_record(REC_BLOCK, e.span(), bytes.data() + JOURNAL_FIRST_RECORD);
    uint8_t cp[REC_BODY_SIZE] = {1};
    encode_journal_record(REC_CHECKPOINT, std::span<const uint8_t>(cp), bytes.data() + JOURNAL_FIRST_RECORD + 64);
    EXPECT_TRUE(test::write_all(file, bytes));
    return file;
  }

  static std::vector<uint64_t> keys_of(const PartialBackup& p) {
    std::vector<uint64_t> v;
    for (uint64_t i = 0; i < p.entry_count; ++i) v.push_back(entry_key(p.entries[i]));
    return v;
  }
};

TEST_F(Partials, FindByUuidTakesTheNewestAndNeedsTheTemporaryImage) {
  std::string older = make_partial("a", "db", 0, 1, 0, 100, {{'b', 1}, {'c', 0}});
  std::string newer = make_partial("b", "other", 0, 1, 0, 200, {{'b', 1}, {'c', 0}});
  ASSERT_TRUE(test::write_all(dir.file("junk.part"), "not a journal", 13));
  char path[PATH_SIZE];
  ASSERT_EQ(STATUS_OK, partial_find_by_uuid(dir.path().c_str(), test::make_uuid(1), path, sizeof path));
  EXPECT_EQ(newer, path);

  ASSERT_EQ(0, unlink((dir.file("b.csfb") + ".tmp").c_str()));  // a .part whose .tmp is gone
  ASSERT_EQ(STATUS_OK, partial_find_by_uuid(dir.path().c_str(), test::make_uuid(1), path, sizeof path));
  EXPECT_EQ(older, path);

  EXPECT_EQ(STATUS_NOT_FOUND, partial_find_by_uuid(dir.path().c_str(), test::make_uuid(2), path, sizeof path));
  EXPECT_EQ(STATUS_NOT_FOUND, partial_find_by_uuid(dir.file("none").c_str(), test::make_uuid(1), path, sizeof path));
  char tiny[8];
  EXPECT_EQ(STATUS_INVALID, partial_find_by_uuid(dir.path().c_str(), test::make_uuid(1), tiny, sizeof tiny));
}

TEST_F(Partials, FindByNameMatchesNameTypeAndParent) {
  std::string long_name(70, 'L');
  make_partial("a", "db", BACKUP_DIFF, 1, 5, 100, {{'c', 0}});
  make_partial("b", long_name.c_str(), BACKUP_DIFF, 2, 5, 100, {{'c', 0}});
  char path[PATH_SIZE];
  auto h = std::make_unique<BackupHeader>();
  const char* d = dir.path().c_str();
  ASSERT_EQ(STATUS_OK, partial_find_by_name(d, "db", BACKUP_DIFF, test::make_uuid(5), path, sizeof path, h.get()));
  EXPECT_EQ(1, uuid_equal(test::make_uuid(1), header_uuid(*h)));
  EXPECT_EQ(STATUS_NOT_FOUND, partial_find_by_name(d, "db", BACKUP_DIFF, test::make_uuid(6), path, sizeof path, nullptr));
  // The header keeps 63 characters of the name, so the full name never matches.
  EXPECT_EQ(STATUS_NOT_FOUND,
            partial_find_by_name(d, long_name.c_str(), BACKUP_DIFF, test::make_uuid(5), path, sizeof path, nullptr));
}

TEST_F(Partials, LoadKeepsOnlyWhatTheLastCheckpointCovers) {
  // Keys out of order, a replaced block, a drop, a drop of an unknown key,
  // and a dropped key sent again; then records no checkpoint covers.
  std::string j = make_partial("a", "db", 0, 1, 0, 100,
                               {{'b', 5}, {'b', 1}, {'b', 9}, {'b', 5}, {'d', 9}, {'d', 77}, {'b', 3},
                                {'d', 1}, {'b', 1}, {'c', 0}, {'b', 4}, {'d', 3}});
  auto p = std::make_unique<PartialBackup>();
  ASSERT_EQ(STATUS_OK, partial_load(j.c_str(), p.get()));
  EXPECT_EQ((std::vector<uint64_t>{1, 3, 5}), keys_of(*p));
  EXPECT_EQ(60u, p->checkpoint_image_size);  // 6 blocks of 10 bytes before the checkpoint
  EXPECT_EQ(JOURNAL_FIRST_RECORD, p->first_record_offset);
  EXPECT_EQ(JOURNAL_FIRST_RECORD + 10 * 64, p->checkpoint_end);
  EXPECT_STREQ("a.csfb", p->image_name);
  EXPECT_STREQ("a.infb", p->catalog_name);
  // Key 5 holds its second block (image offset 30), key 1 its re-sent one.
  EXPECT_EQ(30u, entry_offset(p->entries[2]));
  EXPECT_EQ(50u, entry_offset(p->entries[0]));
  EXPECT_FALSE(entry_dropped(p->entries[0]));
  partial_free(p.get());
}

TEST_F(Partials, RecordsAfterTheCheckpointAreUndoneWhateverTheyDid) {
  auto p = std::make_unique<PartialBackup>();
  struct Case {
    std::vector<Op> ops;
    std::vector<uint64_t> want;
  };
  const Case cases[] = {
      {{{'b', 1}, {'b', 2}, {'c', 0}, {'b', 3}, {'b', 4}}, {1, 2}},                   // appends only
      {{{'b', 5}, {'b', 1}, {'c', 0}, {'b', 3}, {'b', 0}}, {1, 5}},                   // appends, indexed
      {{{'b', 1}, {'b', 2}, {'c', 0}, {'d', 2}, {'b', 7}}, {1, 2}},                   // a drop of a kept key
      {{{'b', 1}, {'b', 2}, {'c', 0}, {'b', 9}, {'c', 0}, {'d', 1}, {'b', 1}}, {1, 2, 9}},  // last checkpoint wins
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string base = "t" + std::to_string(n++);
    std::string j = make_partial(base.c_str(), "db", 0, 1, 0, 100, c.ops);
    ASSERT_EQ(STATUS_OK, partial_load(j.c_str(), p.get())) << base;
    EXPECT_EQ(c.want, keys_of(*p)) << base;
    for (uint64_t i = 0; i < p->entry_count; ++i) EXPECT_FALSE(entry_dropped(p->entries[i])) << base;
    partial_free(p.get());
  }
}

TEST_F(Partials, LoadOfAscendingKeysMatchesTheIndexedReplay) {
  std::vector<Op> ops;
  for (uint64_t k = 0; k < 3000; ++k) ops.push_back({'b', k * 2});
  ops.push_back({'d', 10});
  ops.push_back({'d', 11});  // never recorded
  ops.push_back({'b', UINT64_MAX});
  ops.push_back({'d', UINT64_MAX});
  ops.push_back({'b', UINT64_MAX});  // the all-ones key comes back
  ops.push_back({'b', 7});           // out of order from here on
  ops.push_back({'d', 0});
  ops.push_back({'c', 0});
  std::string j = make_partial("a", "db", 0, 1, 0, 100, ops);
  auto p = std::make_unique<PartialBackup>();
  ASSERT_EQ(STATUS_OK, partial_load(j.c_str(), p.get()));
  std::vector<uint64_t> want;
  for (uint64_t k = 1; k < 3000; ++k) {
    if (k * 2 != 10) want.push_back(k * 2);
  }
  want.insert(want.begin() + 3, 7);  // 2, 4, 6, 7, 8, ...
  want.push_back(UINT64_MAX);
  EXPECT_EQ(want, keys_of(*p));
  partial_free(p.get());
}

TEST_F(Partials, JournalsWithoutACheckpointOrWithUnsafeNamesAreRefused) {
  auto p = std::make_unique<PartialBackup>();
  std::string none = make_partial("a", "db", 0, 1, 0, 100, {{'b', 1}});
  EXPECT_EQ(STATUS_CORRUPT, partial_load(none.c_str(), p.get()));

  std::string bad_cp = make_partial("b", "db", 0, 2, 0, 100, {{'b', 1}, {'c', 0}, {'b', 2}});
  std::vector<uint8_t> bytes = test::read_all(bad_cp);
  bytes[JOURNAL_FIRST_RECORD + 64 + 8] ^= 0x40;  // the only checkpoint's image size
  ASSERT_TRUE(test::write_all(bad_cp, bytes));
  EXPECT_EQ(STATUS_CORRUPT, partial_load(bad_cp.c_str(), p.get()));
  EXPECT_EQ(nullptr, p->entries);

  // A journal in a sub-directory that names a file one level up.
  std::string sub = dir.file("sub");
  ASSERT_EQ(0, mkdir(sub.c_str(), 0700));
  ASSERT_TRUE(test::write_all(dir.file("victim.tmp"), "keep", 4));
  ASSERT_TRUE(test::write_all(sub + "/victim.tmp", "x", 1));
  std::string evil = craft(sub + "/e.part", "e.infb", "../victim");
  EXPECT_EQ(STATUS_INVALID, partial_load(evil.c_str(), p.get()));
  char path[PATH_SIZE];
  EXPECT_EQ(STATUS_NOT_FOUND, partial_find_by_uuid(sub.c_str(), test::make_uuid(9), path, sizeof path));
  partial_remove(evil.c_str());
  EXPECT_TRUE(test::file_exists(dir.file("victim.tmp")));
  EXPECT_FALSE(test::file_exists(evil));

}

TEST_F(Partials, PrepareImageCutsToTheCheckpointAndRefusesAShortImage) {
  std::string tmp = dir.file("x.csfb.tmp");
  ASSERT_TRUE(test::write_all(tmp, std::string(100, 'a').data(), 100));
  int fd = 7;
  EXPECT_EQ(STATUS_CORRUPT, partial_prepare_image(tmp.c_str(), 101, &fd));
  EXPECT_EQ(-1, fd);
  EXPECT_EQ(100, test::size_of(tmp));
  ASSERT_EQ(STATUS_OK, partial_prepare_image(tmp.c_str(), 60, &fd));
  EXPECT_GE(fd, 0);
  EXPECT_EQ(60, test::size_of(tmp));
  EXPECT_EQ(0, close(fd));
}

TEST_F(Partials, ExpiryUsesTheJournalAgeAndSkipsLockedPartials) {
  std::string a = make_partial("a", "db", 0, 1, 0, 100, {{'c', 0}});
  std::string b = make_partial("b", "db", 0, 2, 0, 100, {{'c', 0}}, /*with_image=*/false);
  std::string c = make_partial("c", "db", 0, 3, 0, 100, {{'c', 0}});
  auto age = [](const std::string& path, int64_t seconds) {
    struct timespec ts[2];
    ts[0].tv_sec = ts[1].tv_sec = time(nullptr) - seconds;
    ts[0].tv_nsec = ts[1].tv_nsec = 0;
    return utimensat(AT_FDCWD, path.c_str(), ts, 0);
  };
  const int64_t max_age = 3600;
  // Exactly max_age old is kept; the second must not tick in between.
  for (int attempt = 0; attempt < 5; ++attempt) {
    time_t before = time(nullptr);
    ASSERT_EQ(0, age(a, max_age));
    uint64_t n = partial_expire(dir.path().c_str(), max_age, partial_locks());
    if (time(nullptr) != before) continue;
    EXPECT_EQ(0u, n);
    break;
  }
  EXPECT_TRUE(test::file_exists(a));

  ASSERT_EQ(0, age(a, max_age + 1));
  ASSERT_EQ(0, age(b, max_age + 100));  // a journal without its image is still removed
  ASSERT_EQ(0, age(c, max_age + 100));
  ASSERT_EQ(STATUS_OK, partial_lock_try(c.c_str(), -1));  // still being received
  EXPECT_EQ(2u, partial_expire(dir.path().c_str(), max_age, partial_locks()));
  EXPECT_FALSE(test::file_exists(a));
  EXPECT_FALSE(test::file_exists(dir.file("a.csfb.tmp")));
  EXPECT_FALSE(test::file_exists(b));
  EXPECT_TRUE(test::file_exists(c));
  EXPECT_FALSE(partial_locks().held(a.c_str()));  // expiry released what it took
  partial_unlock(c.c_str());

  EXPECT_EQ(0u, partial_expire(dir.path().c_str(), 0, partial_locks()));
  EXPECT_EQ(1u, partial_expire(dir.path().c_str(), max_age, partial_locks()));
  EXPECT_EQ(0u, partial_expire(dir.file("missing").c_str(), max_age, partial_locks()));

  // An old temporary image without a journal goes, unless a backup being
  // received holds it (its file lock, which other targets see as well).
  std::string orphan = dir.file("d.csfb.tmp");
  ASSERT_TRUE(test::write_all(orphan, {1}));
  ASSERT_EQ(0, age(orphan, max_age + 100));
  int held = -1;
  ASSERT_EQ(STATUS_OK, file_open_existing_rw(orphan.c_str(), &held));
  ASSERT_EQ(STATUS_OK, file_lock_exclusive(held));
  (void)partial_expire(dir.path().c_str(), max_age, partial_locks());
  EXPECT_TRUE(test::file_exists(orphan));
  ASSERT_EQ(STATUS_OK, file_close(held));
  (void)partial_expire(dir.path().c_str(), max_age, partial_locks());
  EXPECT_FALSE(test::file_exists(orphan));
}

}  // namespace
}  // namespace orv
