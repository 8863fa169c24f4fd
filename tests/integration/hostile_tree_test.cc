// The storage tree as a tenant who can write below the storage root, or an
// operator's script, may leave it: directories, FIFOs and symbolic links
// under the names of backup files, links between tenants' directories and
// out of the tree, the diagnostics directory inside the root. The real
// orv_target serves every request on such a tree promptly (each client call
// is bounded, so a server that blocks on a FIFO fails the test), never
// follows a link below the root and never takes such a name for a file of
// a backup. The storage root itself is given as a link, as operators do.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "client/client.h"
#include "core/status.h"
#include "protocol/payloads.h"
#include "support/client_conn.h"
#include "support/server_process.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using orv_support::TargetFiles;

constexpr const char* kKeyA = "tenant-a-key-000001";
constexpr const char* kKeyB = "tenant-b-key-000002";
constexpr const char* kKeyStar = "star-key-0000000003";
constexpr const char* kKeyDeep = "deep-key-0000000004";
constexpr int kWaitMs = 20000;
// Every request on a hostile tree must be answered within this time.
constexpr int kAnswerMs = 8000;
constexpr const char* kNotPermitted = "target_subdir not permitted for this api key";

Uuid make_uuid(uint8_t seed) {
  Uuid u;
  for (size_t i = 0; i < UUID_SIZE; ++i) u.bytes[i] = static_cast<uint8_t>(seed + i);
  return u;
}

BeginRequest begin_request(const std::string& subdir, const std::string& name, uint8_t seed) {
  BeginRequest r;
  r.uuid = make_uuid(seed);
  r.chain_uuid = r.uuid;
  r.type = BACKUP_FULL;
  r.block_size = 4096;
  r.source_size = 8192;
  snprintf(r.target_name, sizeof r.target_name, "%s", name.c_str());
  snprintf(r.target_subdir, sizeof r.target_subdir, "%s", subdir.c_str());
  return r;
}

// Sets a file's (or FIFO's, or directory's) times days back, without
// following a link.
void age_days(const std::string& path, int days) {
  struct timespec t[2];
  t[0].tv_sec = t[1].tv_sec = time(nullptr) - days * 86400;
  t[0].tv_nsec = t[1].tv_nsec = 0;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << path;
}

struct Conn : orv_support::ClientConn {
  int32_t open(uint16_t port, const char* key, uint32_t flags = 0) {
    int32_t rc = connect(port, kAnswerMs);
    if (rc != STATUS_OK) return rc;
    HelloReply reply;
    return client_hello(&c, key, true, flags, &reply);
  }
  // A FULL backup of two 4 KiB blocks; true when END_OK came.
  bool backup(const std::string& subdir, const std::string& name, uint8_t seed) {
    if (client_begin(&c, begin_request(subdir, name, seed)) != STATUS_OK) return false;
    std::vector<uint8_t> data(4096, seed);
    for (uint64_t k = 0; k < 2; ++k) {
      BlockHeader h;
      h.key = k;
      h.data_length = static_cast<uint32_t>(data.size());
      bool has_seq = false;
      uint64_t seq = 0;
      if (client_block(&c, h, data, &has_seq, &seq) != STATUS_OK) return false;
    }
    EndOk ok;
    return client_end(&c, &ok) == STATUS_OK;
  }
  int32_t list(const std::string& subdir, uint32_t* count) {
    ListBackupsRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "%s", subdir.c_str());
    bool truncated = false;
    std::span<const uint8_t> payload;
    return client_list_backups(&c, req, count, &truncated, &payload);
  }
  bool refused_as_not_permitted() const {
    return c.got_error && c.last_error.status == STATUS_INVALID && strcmp(c.last_error.text, kNotPermitted) == 0;
  }
};

int32_t ignore_frames(void*, uint16_t, std::span<const uint8_t>) { return STATUS_OK; }

class HostileTree : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string acl = std::string(kKeyA) + " tenA,tenA/**\n" + kKeyB + " tenB\n" + kKeyStar + " *\n" + kKeyDeep +
                      " **\n";
    ASSERT_TRUE(files.create(acl));
    real_storage = files.storage;
    tenA = files.dir.make_dir("storage/tenA");
    tenB = files.dir.make_dir("storage/tenB");
    outside = files.dir.make_dir("outside");
    // The storage root is named through a link.
    root_link = files.dir.sub("root-link");
    ASSERT_EQ(symlink(real_storage.c_str(), root_link.c_str()), 0);
    setenv("ORV_TARGET_PRIV_SOCK_DIR", files.dir.sub("run").c_str(), 1);
  }
  void TearDown() override {
    if (proc.signal(SIGTERM)) (void)proc.wait_exit(kWaitMs);
  }

  void start(std::vector<std::string> extra = {}) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = orv_support::pick_port();
      std::vector<std::string> args = {"--storage", root_link, "--tls-cert", files.cert, "--tls-key", files.key,
                                       "--acl-file", files.acl, "--bind", "127.0.0.1", "--port",
                                       std::to_string(port), "--no-log", "--no-syslog"};
      args.insert(args.end(), extra.begin(), extra.end());
      ASSERT_TRUE(proc.start(ORV_TARGET_BIN, args, files.dir.sub("server.log")));
      if (proc.wait_for_log("listening on", kWaitMs) && proc.running()) return;
      bool clash = proc.log().find("cannot bind") != std::string::npos;
      proc.kill_and_reap();
      ASSERT_TRUE(clash) << proc.log();
    }
    FAIL() << "no free port";
  }

  // The one catalog and image in dir.
  std::string only_file(const std::string& dir, const std::string& ext) {
    std::string found;
    for (const auto& e : fs::directory_iterator(dir)) {
      if (e.is_regular_file() && e.path().extension() == ext) found = e.path().string();
    }
    return found;
  }

  TargetFiles files;
  orv_support::ChildProcess proc;
  uint16_t port = 0;
  std::string real_storage, tenA, tenB, outside, root_link;
};

// Scans and chain resolution: a directory, a FIFO and a link named like
// catalogs are no backups; an image replaced by a FIFO is refused, not
// waited on.
TEST_F(HostileTree, ScansSkipWhatIsNotARegularFile) {
  start();
  Conn a;
  ASSERT_EQ(a.open(port, kKeyA), STATUS_OK);
  ASSERT_TRUE(a.backup("tenA", "db", 0x10));
  Conn b;
  ASSERT_EQ(b.open(port, kKeyB), STATUS_OK);
  ASSERT_TRUE(b.backup("tenB", "secret", 0x20));
  std::string b_catalog = only_file(tenB, ".infb");
  ASSERT_FALSE(b_catalog.empty());

  ASSERT_EQ(mkdir((tenA + "/trap.infb").c_str(), 0777), 0);
  ASSERT_EQ(mkfifo((tenA + "/fifo.indb").c_str(), 0666), 0);
  ASSERT_EQ(symlink(b_catalog.c_str(), (tenA + "/stolen.infb").c_str()), 0);

  Conn r;
  ASSERT_EQ(r.open(port, kKeyA), STATUS_OK);
  uint32_t count = 0;
  ASSERT_EQ(r.list("tenA", &count), STATUS_OK);
  EXPECT_EQ(count, 1u) << "only the backup made in tenA";
  FindParentRequest fp;
  snprintf(fp.target_subdir, sizeof fp.target_subdir, "tenA");
  snprintf(fp.target_name, sizeof fp.target_name, "db");
  bool found = false;
  std::span<const uint8_t> header;
  ASSERT_EQ(client_find_parent(&r.c, fp, &found, &header), STATUS_OK);
  EXPECT_TRUE(found);
  // The other tenant's backup is not reachable through the link.
  fp.type = -1;
  snprintf(fp.target_name, sizeof fp.target_name, "secret");
  ASSERT_EQ(client_find_parent(&r.c, fp, &found, &header), STATUS_OK);
  EXPECT_FALSE(found);

  // The image of the backup replaced by a FIFO: the chain is announced
  // from the catalog, and the read is refused instead of blocking.
  std::string image = only_file(tenA, ".csfb");
  ASSERT_FALSE(image.empty());
  ASSERT_EQ(unlink(image.c_str()), 0);
  ASSERT_EQ(mkfifo(image.c_str(), 0666), 0);
  SubdirUuidRequest fc;
  snprintf(fc.target_subdir, sizeof fc.target_subdir, "tenA");
  fc.uuid = make_uuid(0x10);
  ASSERT_EQ(client_fetch_chain(&r.c, fc, ignore_frames, nullptr), STATUS_OK);
  RangeRequest rr;
  rr.file_index = 0;
  rr.offset = 0;
  rr.length = 4096;
  std::span<const uint8_t> data;
  EXPECT_NE(client_read_range(&r.c, rr, &data), STATUS_OK);
  EXPECT_TRUE(r.c.got_error);
  EXPECT_STREQ(r.c.last_error.text, "failed to open image file");
}

// Partial searches (QUERY_PARTIAL, the stale-partial removal of BEGIN,
// DISCARD_PARTIAL) and expiry meet FIFOs and directories named like
// journals: skipped, never opened for a blocking read, never removed.
TEST_F(HostileTree, PartialSearchesAndExpirySkipWhatIsNotARegularFile) {
  ASSERT_EQ(mkfifo((tenA + "/x.part").c_str(), 0666), 0);
  ASSERT_EQ(mkfifo((tenA + "/old.part").c_str(), 0666), 0);
  ASSERT_EQ(mkdir((tenA + "/olddir.part").c_str(), 0777), 0);
  age_days(tenA + "/old.part", 30);
  age_days(tenA + "/olddir.part", 30);
  start({"--partial-max-age", "1", "--no-diag"});

  Conn a;
  ASSERT_EQ(a.open(port, kKeyA), STATUS_OK);
  QueryPartialRequest q;
  snprintf(q.target_subdir, sizeof q.target_subdir, "tenA");
  snprintf(q.target_name, sizeof q.target_name, "db");
  PartialInfo info;
  ASSERT_EQ(client_query_partial(&a.c, q, &info), STATUS_OK);
  EXPECT_FALSE(info.found);
  SubdirUuidRequest d;
  snprintf(d.target_subdir, sizeof d.target_subdir, "tenA");
  d.uuid = make_uuid(0x10);
  ASSERT_EQ(client_discard_partial(&a.c, d), STATUS_OK);
  // BEGIN without FLAG_CONTINUE expires old partials and removes stale ones.
  ASSERT_TRUE(a.backup("tenA", "db", 0x10));

  struct stat st;
  ASSERT_EQ(lstat((tenA + "/x.part").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(lstat((tenA + "/old.part").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(lstat((tenA + "/olddir.part").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// A sub-directory component named like a file of a backup would turn into
// a "backup" of its parent for every later scan.
TEST_F(HostileTree, BeginRefusesSubdirectoriesNamedLikeBackupFiles) {
  start({"--no-diag"});
  for (const char* subdir : {"tenA/trap.infb", "tenA/a.indb/x", "tenA/b.inib", "tenA/i.csfb", "tenA/i.csdb",
                             "tenA/i.csib", "tenA/j.part", "tenA/t.tmp/deeper"}) {
    SCOPED_TRACE(subdir);
    Conn a;
    ASSERT_EQ(a.open(port, kKeyA), STATUS_OK);
    EXPECT_NE(client_begin(&a.c, begin_request(subdir, "db", 0x30)), STATUS_OK);
    EXPECT_TRUE(a.refused_as_not_permitted()) << a.c.last_error.text;
  }
  EXPECT_TRUE(fs::is_empty(tenA)) << "nothing was created";
  // Names that merely contain such a text are fine.
  Conn a;
  ASSERT_EQ(a.open(port, kKeyA), STATUS_OK);
  EXPECT_TRUE(a.backup("tenA/infb.x", "db", 0x31));
}

// Links below the root are never followed, wherever they sit in the path;
// every request through one gets the permission refusal.
TEST_F(HostileTree, SymbolicLinksBelowTheRootAreRefused) {
  start({"--no-diag"});
  Conn b;
  ASSERT_EQ(b.open(port, kKeyB), STATUS_OK);
  ASSERT_TRUE(b.backup("tenB", "secret", 0x20));
  ASSERT_EQ(symlink("../tenB", (tenA + "/linkB").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (tenA + "/out").c_str()), 0);

  {
    Conn a;
    ASSERT_EQ(a.open(port, kKeyA), STATUS_OK);
    uint32_t count = 0;
    EXPECT_NE(a.list("tenA/linkB", &count), STATUS_OK);
    EXPECT_TRUE(a.refused_as_not_permitted()) << a.c.last_error.text;
  }
  {
    Conn a;
    ASSERT_EQ(a.open(port, kKeyA), STATUS_OK);
    SubdirUuidRequest fc;
    snprintf(fc.target_subdir, sizeof fc.target_subdir, "tenA/linkB");
    fc.uuid = make_uuid(0x20);
    EXPECT_NE(client_fetch_chain(&a.c, fc, ignore_frames, nullptr), STATUS_OK);
    EXPECT_TRUE(a.refused_as_not_permitted()) << a.c.last_error.text;
  }
  {
    Conn a;
    ASSERT_EQ(a.open(port, kKeyA), STATUS_OK);
    QueryPartialRequest q;
    snprintf(q.target_subdir, sizeof q.target_subdir, "tenA/linkB");
    PartialInfo info;
    EXPECT_NE(client_query_partial(&a.c, q, &info), STATUS_OK);
    EXPECT_TRUE(a.refused_as_not_permitted()) << a.c.last_error.text;
  }
  for (const char* subdir : {"tenA/linkB", "tenA/out", "tenA/out/new"}) {
    SCOPED_TRACE(subdir);
    Conn a;
    ASSERT_EQ(a.open(port, kKeyA), STATUS_OK);
    EXPECT_NE(client_begin(&a.c, begin_request(subdir, "db", 0x40)), STATUS_OK);
    EXPECT_TRUE(a.refused_as_not_permitted()) << a.c.last_error.text;
  }
  EXPECT_TRUE(fs::is_empty(outside)) << "nothing was written outside the storage root";
  // Through the linked storage root itself, backups work as usual.
  Conn a;
  ASSERT_EQ(a.open(port, kKeyA), STATUS_OK);
  EXPECT_TRUE(a.backup("tenA/real", "db", 0x41));
  EXPECT_FALSE(only_file(tenA + "/real", ".infb").empty());
}

// The diagnostics directory inside the storage root, the default one and
// one given with --diag-dir (spelled through the real path while the root
// is given as a link), is no working directory for any key.
TEST_F(HostileTree, DiagnosticsDirectoryIsNeverAWorkingDirectory) {
  start();  // diagnostics on: <storage>/diag
  {
    Conn s;
    ASSERT_EQ(s.open(port, kKeyStar), STATUS_OK);
    EXPECT_NE(client_begin(&s.c, begin_request("diag", "db", 0x50)), STATUS_OK);
    EXPECT_TRUE(s.refused_as_not_permitted()) << s.c.last_error.text;
  }
  {
    Conn s;
    ASSERT_EQ(s.open(port, kKeyStar), STATUS_OK);
    uint32_t count = 0;
    EXPECT_NE(s.list("diag", &count), STATUS_OK);
    EXPECT_TRUE(s.refused_as_not_permitted()) << s.c.last_error.text;
  }
  {
    Conn s;
    ASSERT_EQ(s.open(port, kKeyDeep), STATUS_OK);
    EXPECT_NE(client_begin(&s.c, begin_request("diag/.last_collected", "db", 0x51)), STATUS_OK);
    EXPECT_TRUE(s.refused_as_not_permitted()) << s.c.last_error.text;
  }
  EXPECT_FALSE(fs::exists(real_storage + "/diag/.last_collected"));
  ASSERT_TRUE(proc.signal(SIGTERM));
  ASSERT_TRUE(proc.wait_exit(kWaitMs));

  std::string records = files.dir.make_dir("storage/records");
  start({"--diag-dir", records});
  for (const char* subdir : {"records", "records/x"}) {
    SCOPED_TRACE(subdir);
    Conn s;
    ASSERT_EQ(s.open(port, kKeyDeep), STATUS_OK);
    EXPECT_NE(client_begin(&s.c, begin_request(subdir, "db", 0x52)), STATUS_OK);
    EXPECT_TRUE(s.refused_as_not_permitted()) << s.c.last_error.text;
  }
  Conn s;
  ASSERT_EQ(s.open(port, kKeyStar), STATUS_OK);
  EXPECT_TRUE(s.backup("diagnosis", "db", 0x53)) << "only the directory itself is guarded";
}

// A temporary image that cannot be created is reported as such, with the
// system's reason in the log; a name too long for the journal is a bad
// name, refused before anything is created.
TEST_F(HostileTree, ImageCreationFailuresAreNotNameCollisions) {
  std::string locked = files.dir.make_dir("storage/tenA/locked");
  ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
  start({"--no-diag"});
  {
    Conn a;
    ASSERT_EQ(a.open(port, kKeyA), STATUS_OK);
    EXPECT_NE(client_begin(&a.c, begin_request("tenA/locked", "db", 0x60)), STATUS_OK);
    EXPECT_EQ(a.c.last_error.status, STATUS_IO);
    EXPECT_STREQ(a.c.last_error.text, "failed to create image file");
  }
  EXPECT_TRUE(proc.wait_for_log("WARN  failed to create image file " + root_link + "/tenA/locked/db-", kWaitMs));
  EXPECT_TRUE(proc.wait_for_log(".csfb.tmp: Permission denied (I/O error, status=-1)", kWaitMs)) << proc.log();
  EXPECT_TRUE(fs::is_empty(locked));
  (void)chmod(locked.c_str(), 0755);

  // "<name>-<minute>.csfb.part" must be one file name (255 bytes): 233
  // characters of name leave no room for it. With 221 the journal (which
  // records the image's file name in 239 characters) is made as well.
  std::string fits(221, 'n');
  std::string too_long(233, 'n');
  {
    Conn a;
    ASSERT_EQ(a.open(port, kKeyA), STATUS_OK);
    EXPECT_NE(client_begin(&a.c, begin_request("tenA", too_long, 0x61)), STATUS_OK);
    EXPECT_EQ(a.c.last_error.status, STATUS_INVALID);
    EXPECT_STREQ(a.c.last_error.text, "invalid target_name or path collision");
  }
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(tenA)) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"locked"}) << "nothing was created for the refused name";
  Conn a;
  ASSERT_EQ(a.open(port, kKeyA, FLAG_CONTINUE), STATUS_OK);
  ASSERT_EQ(client_begin(&a.c, begin_request("tenA", fits, 0x62)), STATUS_OK);
  EXPECT_EQ(proc.log().find("no journal for"), std::string::npos) << "the name fits the journal";
}

// Expiry also takes temporary files no backup will ever finish: an old
// temporary image without a journal (a crash between the name's
// reservation and the journal), an old temporary catalog (a failed catalog
// write). Young ones, one that belongs to a partial, and anything that is
// not a regular file stay.
TEST_F(HostileTree, ExpiryRemovesOldTemporaryFilesWithoutAJournal) {
  auto plant = [&](const std::string& name, int days) {
    std::string path = tenA + "/" + name;
    EXPECT_TRUE(orv_support::write_text(path, "x"));
    age_days(path, days);
    return path;
  };
  std::string orphan = plant("lost-202001010000.csfb.tmp", 30);
  std::string orphan_inc = plant("lost-202001010000.csib.tmp", 30);
  std::string catalog_tmp = plant("lost-202001010000.infb.tmp", 30);
  std::string young = plant("new-202001010000.csdb.tmp", 0);
  std::string with_journal = plant("part-202001010000.csfb.tmp", 30);
  std::string journal = plant("part-202001010000.csfb.part", 0);  // a young partial
  std::string other = plant("notes.tmp", 30);
  std::string fifo = tenA + "/pipe-202001010000.csfb.tmp";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  age_days(fifo, 30);
  start({"--partial-max-age", "1", "--no-diag"});

  Conn a;
  ASSERT_EQ(a.open(port, kKeyA), STATUS_OK);
  ASSERT_TRUE(a.backup("tenA", "db", 0x70));
  EXPECT_FALSE(fs::exists(orphan));
  EXPECT_FALSE(fs::exists(orphan_inc));
  EXPECT_FALSE(fs::exists(catalog_tmp));
  for (const std::string& kept : {young, with_journal, journal, other, fifo}) {
    EXPECT_TRUE(fs::exists(fs::symlink_status(kept))) << kept;
  }
}

}  // namespace
}  // namespace orv
