// Pruning real backup files: which expired backups go and which stay (the
// newest of a name and type, chains of kept backups, parents named by
// partials, directories whose catalogs cannot be read), the order of the
// deletions, orphan files by age, and deletions that fail.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "admin/inventory.h"
#include "admin/prune.h"
#include "admin/admin_test_util.h"

namespace orv {
namespace {

using admin_test::BackupSpec;
using admin_test::exists;
using admin_test::image_of;
using admin_test::write_backup;
using admin_test::write_partial;

constexpr int64_t kT0 = 1700000000;
constexpr int64_t kDay = 86400;

class PruneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp.path().empty());
    root = tmp.path();
    dir = root + "/host1";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  }

  // A backup created at kT0 + day days that expires `life` days later.
  std::string add(const std::string& name, uint8_t type, uint32_t id, uint32_t parent, int64_t day, int64_t life,
                  const std::string& where = "") {
    BackupSpec s;
    s.name = name;
    s.type = type;
    s.uuid = id;
    s.parent = parent;
    s.created = kT0 + day * kDay;
    s.expires = life == 0 ? 0 : s.created + life * kDay;
    std::string path = write_backup(where.empty() ? dir : where, s);
    EXPECT_NE(path, "");
    return path;
  }

  // Runs prune as of kT0 + day days and returns the result.
  std::unique_ptr<PruneResult> prune(int64_t day, bool dry_run, const char* glob = nullptr) {
    inv = std::make_unique<Inventory>();
    char error[256];
    EXPECT_EQ(inventory_load(root.c_str(), glob, kT0 + day * kDay, inv.get(), error, sizeof error), STATUS_OK)
        << error;
    PruneOptions o;
    o.as_of = kT0 + day * kDay;
    o.dry_run = dry_run;
    auto r = std::make_unique<PruneResult>();
    EXPECT_EQ(prune_run(*inv, o, r.get()), STATUS_OK);
    return r;
  }

  KeepReason reason_of(const PruneResult& r, const std::string& catalog) {
    for (size_t i = 0; i < inv->backups.size(); ++i) {
      if (catalog == inv->dirs[inv->backups[i].dir].abs + std::string("/") + inv->backups[i].file) {
        return r.reason[i];
      }
    }
    ADD_FAILURE() << catalog << " not in the inventory";
    return KeepReason::none;
  }

  test::TempDir tmp;
  std::string root;
  std::string dir;
  std::unique_ptr<Inventory> inv;
};

TEST_F(PruneTest, ExpiredBackupsGoExceptTheNewestOfEachNameAndType) {
  std::string f1 = add("db", BACKUP_FULL, 1, 0, 0, 7);
  std::string f2 = add("db", BACKUP_FULL, 2, 0, 1, 7);
  std::string f3 = add("db", BACKUP_FULL, 3, 0, 2, 7);
  std::string other = add("web", BACKUP_FULL, 4, 0, 0, 7);
  std::string forever = add("db", BACKUP_FULL, 5, 0, -1, 0);

  auto preview = prune(30, true);
  EXPECT_EQ(preview->deleted_count, 2u);
  EXPECT_TRUE(exists(f1)) << "a dry run deletes nothing";

  auto r = prune(30, false);
  EXPECT_EQ(r->deleted_count, 2u);
  EXPECT_FALSE(exists(f1));
  EXPECT_FALSE(exists(image_of(f1)));
  EXPECT_FALSE(exists(f2));
  EXPECT_TRUE(exists(f3)) << "the newest db FULL stays";
  EXPECT_TRUE(exists(image_of(f3)));
  EXPECT_TRUE(exists(other)) << "the only web backup stays";
  EXPECT_TRUE(exists(forever));
  EXPECT_EQ(reason_of(*r, f3), KeepReason::newest);
  EXPECT_EQ(r->kept_expired_count, 2u);
  EXPECT_EQ(r->freed_bytes, preview->freed_bytes);
  EXPECT_EQ(r->freed_bytes, 2 * (BACKUP_HEADER_SIZE + 4 * CATALOG_ENTRY_SIZE + 4 * 4096u));

  // Before anything expired, nothing goes.
  auto early = prune(3, false);
  EXPECT_EQ(early->deleted_count, 0u);
  EXPECT_EQ(early->kept_expired_count, 0u);
}

TEST_F(PruneTest, ChainsOfKeptBackupsStay) {
  // FULL (expired) <- DIFF (expired) <- INC (kept for 100 days); a second,
  // unrelated expired FULL chain of an older name goes entirely except its
  // newest INC and what that needs.
  std::string full = add("db", BACKUP_FULL, 1, 0, 0, 1);
  std::string diff = add("db", BACKUP_DIFF, 2, 1, 1, 1);
  std::string inc = add("db", BACKUP_INC, 3, 2, 2, 100);
  std::string old_full = add("db", BACKUP_FULL, 10, 0, -10, 1);
  std::string old_inc = add("db", BACKUP_INC, 11, 10, -9, 1);

  auto r = prune(50, false);
  EXPECT_TRUE(exists(inc));
  EXPECT_TRUE(exists(diff));
  EXPECT_TRUE(exists(full));
  EXPECT_EQ(reason_of(*r, diff), KeepReason::newest);  // newest DIFF of db
  EXPECT_EQ(reason_of(*r, full), KeepReason::newest);
  EXPECT_FALSE(exists(old_full));
  EXPECT_FALSE(exists(old_inc));

  // Once newer backups of each type exist and the INC expired, the old chain
  // goes, and the INC that is still newest keeps its own chain.
  add("db", BACKUP_FULL, 20, 0, 200, 1);
  add("db", BACKUP_DIFF, 21, 20, 201, 1);
  r = prune(300, false);
  EXPECT_TRUE(exists(inc)) << "newest INC";
  EXPECT_TRUE(exists(diff)) << "chain of the newest INC";
  EXPECT_TRUE(exists(full));
  EXPECT_EQ(reason_of(*r, diff), KeepReason::chain);
  EXPECT_EQ(reason_of(*r, full), KeepReason::chain);
}

TEST_F(PruneTest, ParentNamedByAPartialStays) {
  std::string f1 = add("db", BACKUP_FULL, 1, 0, 0, 1);
  add("db", BACKUP_FULL, 2, 0, 1, 100);
  BackupSpec p;
  p.name = "db";
  p.type = BACKUP_INC;
  p.uuid = 50;
  p.parent = 1;
  p.created = kT0 + 2 * kDay;
  std::string journal = write_partial(dir, p);
  ASSERT_NE(journal, "");
  auto r = prune(10, false);
  EXPECT_TRUE(exists(f1));
  EXPECT_EQ(reason_of(*r, f1), KeepReason::partial_parent);
  EXPECT_TRUE(exists(journal)) << "partials are the server's";

  // A partial that appears after the walk, just before the deletions, is
  // seen too: the directory's journals are read again.
  ASSERT_EQ(unlink(journal.c_str()), 0);
  inv = std::make_unique<Inventory>();
  char error[256];
  ASSERT_EQ(inventory_load(root.c_str(), nullptr, kT0 + 10 * kDay, inv.get(), error, sizeof error), STATUS_OK);
  ASSERT_NE(write_partial(dir, p), "");
  PruneOptions o;
  o.as_of = kT0 + 10 * kDay;
  auto late = std::make_unique<PruneResult>();
  ASSERT_EQ(prune_run(*inv, o, late.get()), STATUS_OK);
  EXPECT_TRUE(exists(f1));
  EXPECT_EQ(late->deleted_count, 0u);
}

TEST_F(PruneTest, UnreadableCatalogsAndLinksStopDeletionsInTheirDirectoryOnly) {
  std::string f1 = add("db", BACKUP_FULL, 1, 0, 0, 1);
  add("db", BACKUP_FULL, 2, 0, 1, 1);
  std::string second = root + "/host2";
  ASSERT_EQ(mkdir(second.c_str(), 0755), 0);
  std::string g1 = add("db", BACKUP_FULL, 3, 0, 0, 1, second);
  add("db", BACKUP_FULL, 4, 0, 1, 1, second);
  // host1: a damaged catalog; nobody can tell what it builds on.
  ASSERT_TRUE(test::write_all(dir + "/junk-202601010000.inib", "not a catalog", 13));
  auto r = prune(10, false);
  EXPECT_TRUE(exists(f1));
  EXPECT_EQ(reason_of(*r, f1), KeepReason::unknown_needs);
  EXPECT_TRUE(exists(dir + "/junk-202601010000.inib")) << "never deleted";
  EXPECT_FALSE(exists(g1)) << "the other directory is pruned";

  // A link named like a catalog counts the same way.
  ASSERT_EQ(unlink((dir + "/junk-202601010000.inib").c_str()), 0);
  ASSERT_EQ(symlink("/etc/hostname", (dir + "/link-202601010000.indb").c_str()), 0);
  r = prune(10, false);
  EXPECT_TRUE(exists(f1));
  EXPECT_TRUE(exists(dir + "/link-202601010000.indb"));
  ASSERT_EQ(unlink((dir + "/link-202601010000.indb").c_str()), 0);
  r = prune(10, false);
  EXPECT_FALSE(exists(f1));
}

TEST_F(PruneTest, LoopedParentLinksAreKeptNotFollowedForever) {
  // Two INCs naming each other: neither reaches a full backup.
  std::string a = add("db", BACKUP_INC, 1, 2, 0, 1);
  std::string b = add("db", BACKUP_INC, 2, 1, 1, 1);
  std::string c = add("web", BACKUP_INC, 3, 3, 2, 1);  // its own parent: newest of its name
  auto r = prune(10, false);
  EXPECT_TRUE(exists(b)) << "newest INC";
  EXPECT_TRUE(exists(a)) << "in the (looping) chain of the newest";
  EXPECT_TRUE(exists(c));
}

TEST_F(PruneTest, OrphansGoOnlyWhenOlderThanTheOrphanAge) {
  std::string f1 = add("db", BACKUP_FULL, 1, 0, 0, 100);
  std::string lone = dir + "/lost-202601010000.csfb";
  std::string cat_tmp = dir + "/lost-202601010000.infb.tmp";
  ASSERT_TRUE(test::write_all(lone, "image bytes", 11));
  ASSERT_TRUE(test::write_all(cat_tmp, "half", 4));
  BackupSpec p;
  p.uuid = 9;
  p.created = kT0;
  std::string journal = write_partial(dir, p);
  ASSERT_NE(journal, "");
  std::string partial_tmp = journal.substr(0, journal.size() - 5) + ".tmp";
  ASSERT_TRUE(exists(partial_tmp));

  // Now: everything is seconds old.
  inv = std::make_unique<Inventory>();
  char error[256];
  int64_t now = time(nullptr);
  ASSERT_EQ(inventory_load(root.c_str(), nullptr, now, inv.get(), error, sizeof error), STATUS_OK);
  PruneOptions o;
  o.as_of = now;
  auto r = std::make_unique<PruneResult>();
  ASSERT_EQ(prune_run(*inv, o, r.get()), STATUS_OK);
  EXPECT_EQ(r->orphans.size(), 0u);
  EXPECT_TRUE(exists(lone));

  // Eight days on: the orphans go, the partial's files stay.
  o.as_of = now + 8 * kDay;
  inv = std::make_unique<Inventory>();
  ASSERT_EQ(inventory_load(root.c_str(), nullptr, now, inv.get(), error, sizeof error), STATUS_OK);
  r = std::make_unique<PruneResult>();
  ASSERT_EQ(prune_run(*inv, o, r.get()), STATUS_OK);
  EXPECT_EQ(r->orphans.size(), 2u);
  EXPECT_FALSE(exists(lone));
  EXPECT_FALSE(exists(cat_tmp));
  EXPECT_TRUE(exists(journal));
  EXPECT_TRUE(exists(partial_tmp));
  EXPECT_TRUE(exists(f1));
  EXPECT_TRUE(exists(image_of(f1)));
}

// Deletions go through the store's file primitives; a table that refuses
// some of them stands in for a directory without write permission (root
// would be allowed anyway).
const char* g_refuse = nullptr;
int refusing_remove(const char* path) {
  if (g_refuse != nullptr && strstr(path, g_refuse) != nullptr) {
    errno = EACCES;
    return -1;
  }
  return file_io_system_ops().remove_fn(path);
}

TEST_F(PruneTest, FailedDeletionsAreReportedAndKeepTheImage) {
  std::string f1 = add("aa", BACKUP_FULL, 1, 0, 0, 1);
  add("aa", BACKUP_FULL, 2, 0, 1, 1);
  std::string g1 = add("bb", BACKUP_FULL, 3, 0, 0, 1);
  add("bb", BACKUP_FULL, 4, 0, 1, 1);
  FileOps ops = file_io_system_ops();
  ops.remove_fn = refusing_remove;
  g_refuse = "aa-";
  const FileOps* saved = file_io_set_ops(&ops);
  auto r = prune(10, false);
  file_io_set_ops(saved);
  g_refuse = nullptr;
  ASSERT_EQ(r->failures.size(), 1u);
  EXPECT_EQ(r->failures[0].status, STATUS_IO);
  EXPECT_TRUE(exists(f1));
  EXPECT_TRUE(exists(image_of(f1))) << "nothing else of that backup is deleted";
  EXPECT_FALSE(exists(g1)) << "other backups are still pruned";
  EXPECT_EQ(r->deleted_count, 1u);
}

TEST_F(PruneTest, SubdirGlobNarrowsThePrune) {
  std::string second = root + "/host2";
  ASSERT_EQ(mkdir(second.c_str(), 0755), 0);
  std::string f1 = add("db", BACKUP_FULL, 1, 0, 0, 1);
  add("db", BACKUP_FULL, 2, 0, 1, 1);
  std::string g1 = add("db", BACKUP_FULL, 3, 0, 0, 1, second);
  add("db", BACKUP_FULL, 4, 0, 1, 1, second);
  auto r = prune(10, false, "host2");
  EXPECT_TRUE(exists(f1));
  EXPECT_FALSE(exists(g1));
  EXPECT_TRUE(admin_subdir_matches("msd/**", "msd/a/b"));
  EXPECT_TRUE(admin_subdir_matches("m*/**", "msd/a"));
  EXPECT_FALSE(admin_subdir_matches("msd/**", "msd"));
  EXPECT_FALSE(admin_subdir_matches("msd*", "msd/a"));
  EXPECT_TRUE(admin_subdir_matches("**", ""));
}

}  // namespace
}  // namespace orv
