// Values an agent controls, and names read back from files it caused to be
// written, used as weapons: sub-directories and names that try to leave
// the storage root ("..", absolute paths, backslashes), fields that fill
// their width without a NUL, names that look like command-line options,
// identifiers that form parent loops, ranges and counts that overflow, and
// journals whose recorded file names point elsewhere. Each must be refused
// or stay harmless: nothing is created, read or deleted outside the
// storage root, and the server keeps serving.
//
// First at the level of the functions that take such values, then through
// the real binary over TLS.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/client.h"
#include "core/status.h"
#include "integrity/sha256.h"
#include "priv/lvm.h"
#include "protocol/messages.h"
#include "protocol/payloads.h"
#include "server/acl.h"
#include "store/journal_format.h"
#include "store/names.h"
#include "store/partial.h"
#include "store/partial_lock.h"
#include "support/server_process.h"

namespace orv {
namespace {

using orv_support::TempDir;

// Texts that would lead out of the directory they are joined to.
const char* const kEscapes[] = {"..",   "../x", "a/../b", "a/..", "/abs",    "/",    "a//b", "a/",
                                "./a",  "a/.",  ".",      "a\\b", "..\\x",   "\\",   "",     "x/../../.."};
// Odd but harmless: they stay one or more levels below the root.
const char* const kOddButSafe[] = {"...", "a..b", ".hidden", "-rf", "--force", "a b", "a\tb", "*", "x/-y/..z"};

std::vector<std::string> entries_of(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// A journal of one checkpoint with the given recorded names.
std::vector<uint8_t> crafted_journal(const std::string& catalog_name, const std::string& image_name, uint8_t id,
                                     int64_t created) {
  std::vector<uint8_t> payload(JOURNAL_PAYLOAD_SIZE, 0);
  memcpy(payload.data(), HEADER_MAGIC, 4);
  payload[HDR_UUID_OFF] = id;
  for (int i = 0; i < 8; ++i) payload[HDR_CREATED_OFF + i] = static_cast<uint8_t>(created >> (8 * i));
  memcpy(payload.data() + HDR_NAME_OFF, "db", 2);
  std::vector<uint8_t> file(JOURNAL_HEADER_SIZE);
  encode_journal_header(catalog_name, image_name, JOURNAL_PAYLOAD_SIZE, payload, file.data());
  file.insert(file.end(), payload.begin(), payload.end());
  uint8_t body[REC_BODY_SIZE] = {};  // checkpoint of 0 records and 0 image bytes
  uint8_t rec[JOURNAL_RECORD_SIZE];
  encode_journal_record(REC_CHECKPOINT, std::span<const uint8_t>(body, sizeof body), rec);
  file.insert(file.end(), rec, rec + sizeof rec);
  return file;
}

bool write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  return orv_support::write_text(path, std::string(bytes.begin(), bytes.end()));
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// ---- sub-directories --------------------------------------------------------

TEST(HostileValues, EscapingSubdirsAreUnsafeAndNeverPermitted) {
  AclEntry all;
  memset(&all, 0, sizeof all);
  snprintf(all.patterns[0], ACL_PATTERN_SIZE, "**");
  snprintf(all.patterns[1], ACL_PATTERN_SIZE, "*");
  snprintf(all.patterns[2], ACL_PATTERN_SIZE, "*/**");
  all.pattern_count = 3;
  for (const char* s : kEscapes) {
    EXPECT_FALSE(subdir_is_safe(s)) << s;
    EXPECT_FALSE(acl_permits(&all, s)) << s;
  }
  for (const char* s : kOddButSafe) {
    EXPECT_TRUE(subdir_is_safe(s)) << s;
    EXPECT_TRUE(acl_permits(&all, s)) << s;
  }
  // The loader refuses an escaping pattern, so no entry can carry one.
  TempDir dir;
  for (const char* s : {"../up", "/etc", "a\\b", "a//b"}) {
    std::string path = dir.sub("acl");
    ASSERT_TRUE(orv_support::write_text(path, std::string("key ") + s + "\n"));
    AclEntry* table = nullptr;
    size_t count = 0;
    EXPECT_EQ(STATUS_INVALID, acl_load(path.c_str(), &table, &count)) << s;
    EXPECT_EQ(table, nullptr);
  }
}

// A text field that fills its whole width is read up to the field's end and
// never runs on into the next field.
TEST(HostileValues, FullWidthFieldsEndAtTheirWidth) {
  std::vector<uint8_t> begin(BEGIN_SIZE, 'n');
  memset(begin.data() + BEGIN_SUBDIR_OFF, 's', WIRE_SUBDIR_SIZE);
  memset(begin.data() + BEGIN_RETENTION_OFF, 'r', BEGIN_RETENTION_SIZE);
  memset(begin.data() + BEGIN_LABEL_OFF, 'l', BEGIN_LABEL_SIZE);
  BeginRequest b;
  ASSERT_EQ(STATUS_OK, decode_begin(begin, &b));
  EXPECT_EQ(std::string(b.target_name), std::string(BEGIN_NAME_SIZE, 'n'));
  EXPECT_EQ(std::string(b.target_subdir), std::string(WIRE_SUBDIR_SIZE, 's'));
  EXPECT_EQ(std::string(b.retention), std::string(BEGIN_RETENTION_SIZE, 'r'));
  EXPECT_EQ(std::string(b.retention_label), std::string(BEGIN_LABEL_SIZE, 'l'));

  std::vector<uint8_t> hello(HELLO_SIZE, 'k');
  hello[0] = 3;
  hello[1] = 0;
  HelloRequest h;
  ASSERT_EQ(STATUS_OK, decode_hello(hello, &h));
  EXPECT_EQ(std::string(h.api_key), std::string(HELLO_API_KEY_SIZE, 'k'));

  std::vector<uint8_t> chain(REQ_SUBDIR_UUID_SIZE + 7, 'x');
  SubdirUuidRequest r;
  ASSERT_EQ(STATUS_OK, decode_subdir_uuid(chain, &r));
  EXPECT_EQ(std::string(r.target_subdir), std::string(WIRE_SUBDIR_SIZE, 'x'));

  std::vector<uint8_t> query(QUERY_PARTIAL_MIN_SIZE, 'q');
  QueryPartialRequest q;
  ASSERT_EQ(STATUS_OK, decode_query_partial(query, &q));
  EXPECT_EQ(strlen(q.target_subdir), WIRE_SUBDIR_SIZE);
  EXPECT_EQ(strlen(q.target_name), WIRE_NAME64_SIZE);
}

TEST(HostileValues, CountsThatWouldOverflowAreRefused) {
  // 4 + 8 x 0x20000000 wraps to 4 in 32-bit arithmetic.
  for (uint32_t count : {0x20000000u, 0xFFFFFFFFu, DROP_MAX_KEYS + 1}) {
    std::vector<uint8_t> p(4);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(count >> (8 * i));
    uint32_t n = 0;
    EXPECT_EQ(STATUS_PROTOCOL, decode_drop_entries(p, &n)) << count;
  }
  // A BLOCK whose length field disagrees with the payload by any amount.
  BlockHeader bh;
  bh.data_length = 0xFFFFFFFFu;
  std::vector<uint8_t> block(BLOCK_HEADER_SIZE + 4);
  encode_block_header(bh, block);
  BlockHeader out;
  std::span<const uint8_t> data;
  EXPECT_EQ(STATUS_PROTOCOL, decode_block(block, &out, &data));
}

// ---- backup names --------------------------------------------------------------

TEST(HostileValues, BackupNamesStayInsideTheirDirectory) {
  TempDir dir;
  std::string d = dir.make_dir("w");
  char cat[1024];
  char img[1024];
  for (const char* bad : {"../x", "a/b", "/abs", "a\\b", "..\\..\\x", ""}) {
    EXPECT_EQ(STATUS_INVALID, backup_paths(d.c_str(), bad, 0, 1767225600, cat, sizeof cat, img, sizeof img)) << bad;
    EXPECT_STREQ(cat, "");
  }
  // Names that look like options or dot names become ordinary file names
  // in the directory: the reservation is made there and nowhere else.
  for (const char* odd : {"..", ".", "-rf", "--help", "a b", "\x01\x7f"}) {
    ASSERT_EQ(STATUS_OK, backup_paths(d.c_str(), odd, 2, 1767225600, cat, sizeof cat, img, sizeof img)) << odd;
    std::string c(cat);
    ASSERT_EQ(c.rfind(d + "/", 0), 0u) << c;
    EXPECT_EQ(c.find('/', d.size() + 1), std::string::npos) << c;
    EXPECT_TRUE(exists(std::string(img) + ".tmp")) << img;
  }
  EXPECT_EQ(entries_of(dir.path()), std::vector<std::string>{"w"});
  // A name too long for one file name is refused, not cut into a path.
  std::string huge(BEGIN_NAME_SIZE, 'n');
  EXPECT_NE(STATUS_OK, backup_paths(d.c_str(), huge.c_str(), 0, 1767225600, cat, sizeof cat, img, sizeof img));
}

// ---- names read from journals -----------------------------------------------------

TEST(HostileValues, JournalNamesThatLeaveTheDirectoryAreNeverUsed) {
  TempDir dir;
  std::string d = dir.make_dir("hosts");
  std::string work = dir.make_dir("hosts/w");
  // What the hostile names below point at.
  ASSERT_TRUE(orv_support::write_text(dir.sub("victim.tmp"), "keep me"));
  ASSERT_TRUE(orv_support::write_text(d + "/victim.tmp", "keep me too"));
  ASSERT_TRUE(orv_support::write_text("/tmp/orv_hostile_abs.tmp", "keep"));
  struct Case {
    const char* catalog;
    const char* image;
  } cases[] = {{"db.infb", "../../victim"}, {"db.infb", "../victim"}, {"../victim", "db.csfb"},
               {"db.infb", "/tmp/orv_hostile_abs"}, {"db.infb", ".."}, {"db.infb", "a\\..\\..\\victim"},
               {"", "db.csfb"}, {"db.infb", ""}};
  uint8_t id = 1;
  for (const Case& c : cases) {
    std::string journal = work + "/j" + std::to_string(id) + ".part";
    ASSERT_TRUE(write_bytes(journal, crafted_journal(c.catalog, c.image, id, 1000)));
    Uuid u;
    u.bytes[0] = id;
    char found[PATH_SIZE];
    EXPECT_EQ(STATUS_NOT_FOUND, partial_find_by_uuid(work.c_str(), u, found, sizeof found)) << c.image;
    auto p = std::make_unique<PartialBackup>();
    EXPECT_EQ(STATUS_INVALID, partial_load(journal.c_str(), p.get())) << c.catalog << " " << c.image;
    EXPECT_EQ(p->entries, nullptr);
    partial_remove(journal.c_str());
    EXPECT_FALSE(exists(journal));
    ++id;
  }
  // Expiry removes old journals the same way.
  ASSERT_TRUE(write_bytes(work + "/old.part", crafted_journal("db.infb", "../../victim", 99, 1000)));
  struct timeval old_times[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(0, utimes((work + "/old.part").c_str(), old_times));
  EXPECT_EQ(1u, partial_expire(work.c_str(), 3600, partial_locks()));
  EXPECT_EQ(orv_support::read_text(dir.sub("victim.tmp")), "keep me");
  EXPECT_EQ(orv_support::read_text(d + "/victim.tmp"), "keep me too");
  EXPECT_TRUE(exists("/tmp/orv_hostile_abs.tmp"));
  unlink("/tmp/orv_hostile_abs.tmp");

  // A name that fills its 240-byte field is cut at 239 characters and read
  // as that plain name.
  std::string long_name(300, 'i');
  ASSERT_TRUE(write_bytes(work + "/long.part", crafted_journal("db.infb", long_name, 7, 1000)));
  ASSERT_TRUE(orv_support::write_text(work + "/" + long_name.substr(0, 239) + ".tmp", ""));
  auto p = std::make_unique<PartialBackup>();
  ASSERT_EQ(STATUS_OK, partial_load((work + "/long.part").c_str(), p.get()));
  EXPECT_EQ(std::string(p->image_name), long_name.substr(0, 239));
  partial_free(p.get());
}

// ---- names handed to the LVM tools ---------------------------------------------------

TEST(HostileValues, VolumeNamesThatLookLikeOptionsOrPathsAreInvalid) {
  for (const char* bad : {"-y", "--force", "-", "..", ".x", "a/b", "a b", "a;b", "a\nb", "$(id)", ""}) {
    EXPECT_FALSE(lv_name_valid(bad)) << bad;
  }
  EXPECT_FALSE(lv_name_valid(std::string(127, 'a').c_str()));
  EXPECT_TRUE(lv_name_valid("a-y"));
  // Refused before any tool runs: a command line is never built.
  char err[256] = "";
  EXPECT_EQ(-1, lvm_create("-vg", "lv", 1024, err, sizeof err));
  EXPECT_STREQ(err, LVM_INVALID_NAME_TEXT);
  EXPECT_EQ(-1, lvm_remove("vg", "--force", err, sizeof err));
  EXPECT_STREQ(err, LVM_INVALID_NAME_TEXT);
}

// ---- through the real binary -----------------------------------------------------------

constexpr const char* kKey = "hostile-agent-key-0001";

class HostileServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    files_ = new orv_support::TargetFiles;
    // "**" permits every safe sub-directory: only the safety rules stand
    // between a hostile text and the file system.
    ASSERT_TRUE(files_->create(std::string(kKey) + " **\n"));
    server_ = new orv_support::TargetServer(*files_);
    ASSERT_TRUE(server_->start(ORV_TARGET_BIN)) << server_->process.log();
  }
  static void TearDownTestSuite() {
    if (server_ != nullptr) {
      (void)server_->process.signal(SIGTERM);
      (void)server_->process.wait_exit(30000);
    }
    delete server_;
    delete files_;
    server_ = nullptr;
    files_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(server_, nullptr);
    ASSERT_TRUE(server_->process.running()) << server_->process.log();
  }

  // A connected, authenticated client.
  void connect(Client* c) {
    ClientOptions o;
    o.timeout_ms = 30000;
    ASSERT_EQ(STATUS_OK, client_connect(c, "127.0.0.1", server_->port(), o));
    HelloReply reply;
    ASSERT_EQ(STATUS_OK, client_hello(c, kKey, true, FLAG_CONTINUE, &reply));
  }
  // The next frame is ERROR with this text, and then the server closes.
  void expect_error_and_close(Client* c, const char* text) {
    std::span<const uint8_t> payload;
    ASSERT_EQ(STATUS_OK, client_receive(c, &payload));
    ASSERT_EQ(c->header.msg_type, MSG_ERROR);
    ErrorReply e;
    ASSERT_EQ(STATUS_OK, decode_error(payload, &e));
    EXPECT_STREQ(e.text, text);
    EXPECT_LT(e.status, 0);
    EXPECT_EQ(STATUS_IO, client_receive(c, &payload));
  }
  static BeginRequest begin_req(uint8_t id, uint8_t type, uint8_t parent, const std::string& subdir,
                                const std::string& name) {
    BeginRequest b;
    b.uuid.bytes[0] = id;
    b.parent_uuid.bytes[0] = parent;
    b.type = type;
    b.block_size = 4096;
    memcpy(b.target_subdir, subdir.data(), std::min(subdir.size(), WIRE_SUBDIR_SIZE));
    memcpy(b.target_name, name.data(), std::min(name.size(), BEGIN_NAME_SIZE));
    return b;
  }
  // One finished backup with `blocks` blocks of 100 bytes.
  void backup(const BeginRequest& b, int blocks) {
    Client c;
    connect(&c);
    ASSERT_EQ(STATUS_OK, client_begin(&c, b)) << c.last_error.text << "\n" << server_->process.log();
    std::vector<uint8_t> data(100, 0x42);
    for (int i = 0; i < blocks; ++i) {
      BlockHeader h;
      h.key = static_cast<uint64_t>(i);
      h.data_length = 100;
      bool has = false;
      uint64_t seq = 0;
      ASSERT_EQ(STATUS_OK, client_block(&c, h, data, &has, &seq));
    }
    EndOk ok;
    ASSERT_EQ(STATUS_OK, client_end(&c, &ok));
    client_close(&c);
  }

  static orv_support::TargetFiles* files_;
  static orv_support::TargetServer* server_;
};
orv_support::TargetFiles* HostileServer::files_ = nullptr;
orv_support::TargetServer* HostileServer::server_ = nullptr;

// Every request that names a sub-directory refuses the escaping ones, and
// nothing appears outside the storage root.
TEST_F(HostileServer, EscapingSubdirsAreRefusedByEveryRequest) {
  std::vector<std::string> before = entries_of(files_->dir.path());
  for (const char* s : kEscapes) {
    std::string subdir = s;
    for (uint16_t type : {MSG_BEGIN, MSG_LIST_BACKUPS, MSG_FIND_PARENT, MSG_FETCH_CHAIN, MSG_QUERY_PARTIAL,
                          MSG_CONTINUE, MSG_DISCARD_PARTIAL}) {
      Client c;
      connect(&c);
      std::vector<uint8_t> p(BEGIN_SIZE, 0);
      if (type == MSG_BEGIN) {
        p.resize(encode_begin(begin_req(1, 0, 0, subdir, "db"), p));
      } else {
        // Every other request starts with the 64-byte sub-directory field.
        memcpy(p.data(), subdir.data(), subdir.size());
        p.resize(type == MSG_LIST_BACKUPS ? LIST_BACKUPS_MIN_SIZE
                 : type == MSG_FIND_PARENT ? FIND_PARENT_MIN_SIZE
                 : type == MSG_QUERY_PARTIAL ? QUERY_PARTIAL_MIN_SIZE
                                             : REQ_SUBDIR_UUID_SIZE);
      }
      ASSERT_EQ(STATUS_OK, client_send(&c, type, p));
      expect_error_and_close(&c, "target_subdir not permitted for this api key");
      client_close(&c);
    }
  }
  EXPECT_EQ(entries_of(files_->dir.path()), before);
  EXPECT_TRUE(server_->process.running());
}

// A sub-directory field filled to its 64 bytes names exactly that
// directory; names with dots, minus signs and control bytes are stored as
// ordinary files inside it; names with separators are refused.
TEST_F(HostileServer, FullWidthSubdirAndOddNamesStayInside) {
  std::string subdir(WIRE_SUBDIR_SIZE, 'w');
  backup(begin_req(2, 0, 0, subdir, "-rf --no-preserve-root"), 2);
  backup(begin_req(3, 0, 0, subdir, ".."), 1);
  // The longest name whose journal name ("<name>-<stamp>.csfb.part") still
  // fits in one file name.
  backup(begin_req(4, 0, 0, subdir, std::string(255 - 23, 'n')), 1);
  std::vector<std::string> made = entries_of(files_->storage + "/" + subdir);
  EXPECT_EQ(made.size(), 6u);  // three catalogs and three images, nothing else
  for (const std::string& f : made) {
    bool ok = f.rfind("-rf --no-preserve-root-", 0) == 0 || f.rfind("..-", 0) == 0 || f.rfind("nnnn", 0) == 0;
    EXPECT_TRUE(ok) << f;
  }
  for (const std::string& name : {std::string("../../escape"), std::string("a\\b"), std::string("x/y"),
                                  std::string(BEGIN_NAME_SIZE, 'z')}) {
    Client c;
    connect(&c);
    std::vector<uint8_t> p(BEGIN_SIZE);
    p.resize(encode_begin(begin_req(5, 0, 0, "names", name), p));
    ASSERT_EQ(STATUS_OK, client_send(&c, MSG_BEGIN, p));
    expect_error_and_close(&c, "invalid target_name or path collision");
    client_close(&c);
  }
  EXPECT_TRUE(entries_of(files_->storage + "/names").empty());
}

// Ranges and counts chosen to overflow are refused and end the session;
// a parent link that points at the backup itself cannot make the chain
// walk run on.
TEST_F(HostileServer, HostileRangesCountsAndParentLoops) {
  backup(begin_req(10, 0, 0, "ranges", "db"), 3);  // image of 300 bytes
  struct Range {
    uint32_t index;
    uint32_t length;
    uint64_t offset;
  } bad[] = {{0, 0, 0},          {0, 301, 0},         {0, 1, 300},          {0, 0x7FFFC1, 0},
             {1, 1, 0},          {0xFFFFFFFFu, 1, 0}, {0, 10, UINT64_MAX - 5}, {0, 0xFFFFFFFFu, 1}};
  for (const Range& r : bad) {
    Client c;
    connect(&c);
    SubdirUuidRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "ranges");
    req.uuid.bytes[0] = 10;
    ASSERT_EQ(STATUS_OK, client_fetch_chain(&c, req, nullptr, nullptr));
    // The range exactly at the end is served.
    RangeRequest ok{0, 100, 200};
    std::span<const uint8_t> data;
    ASSERT_EQ(STATUS_OK, client_read_range(&c, ok, &data));
    EXPECT_EQ(data.size(), 100u);
    RangeRequest rr{r.index, r.length, r.offset};
    uint8_t out[READ_RANGE_SIZE];
    ASSERT_EQ(STATUS_OK, client_send(&c, MSG_READ_RANGE, std::span<const uint8_t>(out, encode_read_range(rr, out))));
    expect_error_and_close(&c, "READ_RANGE outside the announced chain files");
    client_close(&c);
  }
  {
    // A DROP_ENTRIES count that overflows 32-bit arithmetic ends the session.
    Client c;
    connect(&c);
    ASSERT_EQ(STATUS_OK, client_begin(&c, begin_req(11, 0, 0, "ranges", "drops")));
    uint8_t p[4] = {0, 0, 0, 0x20};
    ASSERT_EQ(STATUS_OK, client_send(&c, MSG_DROP_ENTRIES, p));
    std::span<const uint8_t> payload;
    EXPECT_EQ(STATUS_IO, client_receive(&c, &payload));  // closed without an answer
    client_close(&c);
  }
  // An INC that names itself as its parent, and two that name each other.
  backup(begin_req(20, 2, 20, "loops", "self"), 1);
  backup(begin_req(21, 2, 22, "loops", "pair"), 1);
  backup(begin_req(22, 2, 21, "loops", "pair"), 1);
  for (uint8_t id : {20, 21, 22}) {
    Client c;
    connect(&c);
    SubdirUuidRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "loops");
    req.uuid.bytes[0] = id;
    EXPECT_NE(STATUS_OK, client_fetch_chain(&c, req, nullptr, nullptr));
    EXPECT_TRUE(c.got_error);
    EXPECT_STREQ(c.last_error.text, "failed to load chain");
    client_close(&c);
  }
  // Identifiers are only compared: all-ones and all-zero ones are unknown.
  for (uint8_t fill : {0x00, 0xFF}) {
    Client c;
    connect(&c);
    SubdirUuidRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "loops");
    memset(req.uuid.bytes, fill, sizeof req.uuid.bytes);
    EXPECT_EQ(STATUS_NOT_FOUND, client_fetch_chain(&c, req, nullptr, nullptr));
    client_close(&c);
  }
  EXPECT_TRUE(server_->process.running());
}

// A journal planted in a working directory whose recorded names lead out
// of it is never continued, and neither discarding nor expiring it deletes
// the files its names point at.
TEST_F(HostileServer, PlantedJournalWithHostileNamesIsHarmless) {
  std::string work = files_->storage + "/planted";
  ASSERT_EQ(0, mkdir(work.c_str(), 0777));
  ASSERT_EQ(0, chmod(work.c_str(), 0777));
  // storage/planted/../victim.tmp, in a directory the server may write, so
  // only the server's own rules keep it from being deleted.
  std::string victim = files_->storage + "/victim.tmp";
  ASSERT_TRUE(orv_support::write_text(victim, "keep me", 0666));
  std::string journal = work + "/db-202601010000.csfb.part";
  ASSERT_TRUE(write_bytes(journal, crafted_journal("db.infb", "../victim", 77, 1000)));
  ASSERT_EQ(0, chmod(journal.c_str(), 0666));

  Client c;
  connect(&c);
  QueryPartialRequest q;
  snprintf(q.target_subdir, sizeof q.target_subdir, "planted");
  snprintf(q.target_name, sizeof q.target_name, "db");
  PartialInfo info;
  ASSERT_EQ(STATUS_OK, client_query_partial(&c, q, &info));
  EXPECT_FALSE(info.found);
  SubdirUuidRequest req;
  snprintf(req.target_subdir, sizeof req.target_subdir, "planted");
  req.uuid.bytes[0] = 77;
  ContinueOk ok;
  int32_t rc = client_continue(&c, req, &ok, nullptr, nullptr);
  EXPECT_TRUE(rc == STATUS_NOT_FOUND || rc == STATUS_CORRUPT) << rc;
  EXPECT_EQ(STATUS_OK, client_discard_partial(&c, req));
  client_close(&c);
  EXPECT_EQ(orv_support::read_text(victim), "keep me");

  // Make it old enough to expire; a new backup there expires it.
  struct timeval old_times[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(0, utimes(journal.c_str(), old_times));
  backup(begin_req(78, 0, 0, "planted", "fresh"), 1);
  EXPECT_FALSE(exists(journal));
  EXPECT_EQ(orv_support::read_text(victim), "keep me");
  EXPECT_TRUE(server_->process.running());
}

}  // namespace
}  // namespace orv
