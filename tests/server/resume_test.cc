// Continuing partial backups inside one process: sessions on Unix socket
// pairs over a real storage root, for what the real binary cannot be made
// to do on demand: files changed behind a partial's back, a lock that is
// never let go within a short wait, and a journal naming unsafe files.
#include "server/resume.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/endian.h"
#include "core/status.h"
#include "integrity/crc32c.h"
#include "protocol/payloads.h"
#include "server/session.h"
#include "store/journal_format.h"
#include "store/partial_lock.h"
#include "support/server_process.h"

namespace orv {
namespace {

namespace fs = std::filesystem;

Uuid backup_uuid() {
  Uuid u;
  for (size_t i = 0; i < UUID_SIZE; ++i) u.bytes[i] = static_cast<uint8_t>(0xA0 + i);
  return u;
}

// Every regular file below root with its contents.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) files[e.path().string()] = orv_support::read_text(e.path().string());
  }
  return files;
}

void write_at(const std::string& path, uint64_t offset, const void* data, size_t n) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(pwrite(fd, data, n, static_cast<off_t>(offset)), static_cast<ssize_t>(n));
  close(fd);
}

// One session on a socket pair; the test plays the agent on `peer`.
struct Endpoint {
  std::string root;
  ServerConfig config;  // outlives the session
  std::unique_ptr<Session> session = std::make_unique<Session>();
  Channel peer;
  std::vector<uint8_t> reply;
  bool ended = false;

  void open(const std::string& storage, const AclEntry* acl, uint32_t takeover_wait_ms = PARTIAL_TAKEOVER_WAIT_MS) {
    root = storage;
    config.storage_root = root.c_str();
    config.diag_off = true;
    config.store.takeover_wait_ms = takeover_wait_ms;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    Channel ch;
    ch.fd = sv[0];
    peer.fd = sv[1];
    session_init(session.get(), config, acl, 1, ch);
    session->acl_entry = acl;
    session->state = SessionState::wait_begin;
    session->peer_flags = FLAG_CONTINUE;
  }
  // What the connection thread does when the connection ends.
  void end() {
    if (ended) return;
    ended = true;
    session_end(session.get(), 0);
    channel_close(&session->channel);
    channel_close(&peer);
  }
  ~Endpoint() { end(); }

  int32_t dispatch(uint16_t type, std::span<const uint8_t> payload) {
    FrameHeader h;
    h.version = PROTOCOL_VERSION;
    h.msg_type = type;
    h.length = static_cast<uint32_t>(payload.size());
    return session_dispatch(session.get(), h, payload);
  }
  // Type of the next frame the session sent (0 when none is waiting).
  uint16_t next_type() {
    uint8_t probe;
    if (recv(peer.fd, &probe, 1, MSG_DONTWAIT | MSG_PEEK) != 1) return 0;
    reply.assign(FRAME_MAX_PAYLOAD, 0);
    FrameHeader h;
    if (receive_frame(&peer, &h, reply) != STATUS_OK) return 0;
    reply.resize(h.length);
    return h.msg_type;
  }
  ErrorReply next_error() {
    ErrorReply e;
    EXPECT_EQ(next_type(), MSG_ERROR);
    EXPECT_EQ(decode_error(reply, &e), STATUS_OK);
    return e;
  }
  int32_t begin() {
    BeginRequest req;
    req.uuid = backup_uuid();
    req.type = BACKUP_FULL;
    snprintf(req.target_name, sizeof req.target_name, "db");
    snprintf(req.target_subdir, sizeof req.target_subdir, "h");
    std::vector<uint8_t> out(BEGIN_SIZE);
    encode_begin(req, out);
    return dispatch(MSG_BEGIN, out);
  }
  int32_t block(uint64_t key, size_t size, uint8_t fill) {
    std::vector<uint8_t> p(BLOCK_HEADER_SIZE + size, fill);
    BlockHeader h;
    h.key = key;
    h.data_length = static_cast<uint32_t>(size);
    encode_block_header(h, p);
    return dispatch(MSG_BLOCK, p);
  }
  // CONTINUE or DISCARD_PARTIAL of the test's backup.
  int32_t request(uint16_t type) {
    SubdirUuidRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "h");
    req.uuid = backup_uuid();
    std::vector<uint8_t> out(REQ_SUBDIR_UUID_SIZE);
    encode_subdir_uuid(req, out);
    return dispatch(type, out);
  }
  int32_t continue_backup() { return request(MSG_CONTINUE); }
};

class ResumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(&acl, 0, sizeof acl);
    snprintf(acl.patterns[0], ACL_PATTERN_SIZE, "h");
    acl.pattern_count = 1;
  }

  // A partial of three 100-byte blocks (keys 1 to 3), left by a connection
  // that ended: its last checkpoint covers all of them.
  void make_partial() {
    Endpoint a;
    a.open(root.path(), &acl, wait_ms);
    ASSERT_EQ(a.begin(), STATUS_OK);
    ASSERT_EQ(a.next_type(), MSG_BEGIN_OK);
    for (uint64_t k = 1; k <= 3; ++k) ASSERT_EQ(a.block(k, 100, static_cast<uint8_t>(k)), STATUS_OK);
    journal = a.session->backup.journal_path();
    tmp_image = a.session->backup.tmp_image_path();
    a.end();
    ASSERT_TRUE(fs::exists(journal));
    ASSERT_EQ(fs::file_size(tmp_image), 300u);
    ASSERT_EQ(fs::file_size(journal), JOURNAL_FIRST_RECORD + 4 * JOURNAL_RECORD_SIZE);
  }
  // A refused CONTINUE: ERROR with status and text, session still in
  // wait_begin, the lock as it was, and nothing stored changed.
  void expect_refused(int32_t status, const char* text, bool held_by_test = false) {
    auto before = snapshot(root.path());
    Endpoint b;
    b.open(root.path(), &acl, wait_ms);
    ASSERT_EQ(b.continue_backup(), STATUS_OK);
    ErrorReply e = b.next_error();
    EXPECT_EQ(e.status, status);
    EXPECT_STREQ(e.text, text);
    EXPECT_EQ(b.session->state, SessionState::wait_begin);
    EXPECT_FALSE(b.session->backup.journaling());
    EXPECT_FALSE(b.session->backup.is_open());
    EXPECT_EQ(partial_locks().held(journal.c_str()), held_by_test);
    EXPECT_EQ(snapshot(root.path()), before);
  }

  orv_support::TempDir root;
  AclEntry acl;
  uint32_t wait_ms = PARTIAL_TAKEOVER_WAIT_MS;  // of the sessions opened from now on
  std::string journal, tmp_image;
};

// Records and image bytes after the last checkpoint (a writer that died
// before its next checkpoint) are cut off in both files.
TEST_F(ResumeTest, ContinueCutsBothFilesBackToTheLastCheckpoint) {
  make_partial();
  uint8_t rec[JOURNAL_RECORD_SIZE] = {};
  std::span<uint8_t> r(rec, sizeof rec);
  put_u64_le(r, ENT_KEY_OFF, 9);
  put_u64_le(r, ENT_OFFSET_OFF, 300);
  put_u32_le(r, ENT_LENGTH_OFF, 50);
  rec[REC_KIND_OFF] = REC_BLOCK;
  put_u32_le(r, REC_CRC_OFF, crc32c(0, rec, REC_CRC_OFF));
  write_at(journal, fs::file_size(journal), rec, sizeof rec);
  std::string tail(50, 'x');
  write_at(tmp_image, 300, tail.data(), tail.size());

  Endpoint b;
  b.open(root.path(), &acl, wait_ms);
  ASSERT_EQ(b.continue_backup(), STATUS_OK);
  ASSERT_EQ(b.next_type(), MSG_CONTINUE_OK);
  ContinueOk ok;
  ASSERT_EQ(decode_continue_ok(b.reply, &ok), STATUS_OK);
  EXPECT_EQ(ok.entry_count, 3u);
  EXPECT_EQ(ok.image_size, 300u);
  ASSERT_EQ(b.next_type(), MSG_CONTINUE_ENTRIES);
  ASSERT_EQ(b.reply.size(), 3 * CATALOG_ENTRY_SIZE);
  for (uint64_t i = 0; i < 3; ++i) {
    CatalogEntryFields e = decode_catalog_entry(std::span<const uint8_t>(b.reply).subspan(i * CATALOG_ENTRY_SIZE, CATALOG_ENTRY_SIZE));
    EXPECT_EQ(e.key, i + 1);
    EXPECT_EQ(e.offset, i * 100);
    EXPECT_EQ(e.length, 100u);
  }
  ASSERT_EQ(b.next_type(), MSG_CONTINUE_END);
  EXPECT_TRUE(b.reply.empty());
  EXPECT_EQ(b.next_type(), 0);

  EXPECT_EQ(b.session->state, SessionState::receiving_blocks);
  EXPECT_TRUE(b.session->backup.resumed());
  EXPECT_TRUE(b.session->backup.journaling());
  EXPECT_EQ(b.session->backup.image_size(), 300u);
  EXPECT_EQ(fs::file_size(tmp_image), 300u);
  EXPECT_EQ(fs::file_size(journal), JOURNAL_FIRST_RECORD + 4 * JOURNAL_RECORD_SIZE);
  EXPECT_STREQ(b.session->backup.journal_path(), journal.c_str());
  EXPECT_STREQ(b.session->backup.tmp_image_path(), tmp_image.c_str());
  EXPECT_TRUE(partial_locks().held(journal.c_str()));
  ASSERT_EQ(b.session->backup.entry_count(), 3u);  // in catalog order
  EXPECT_EQ(entry_key(b.session->backup.entries()[1]), 2u);

  // The continued backup appends where the checkpoint left off.
  ASSERT_EQ(b.block(4, 10, 4), STATUS_OK);
  EXPECT_EQ(b.session->backup.image_size(), 310u);
  b.end();
  EXPECT_FALSE(partial_locks().held(journal.c_str()));
  EXPECT_EQ(fs::file_size(tmp_image), 310u);
}

TEST_F(ResumeTest, RefusalsKeepTheSessionAndChangeNothing) {
  {
    Endpoint b;  // no partial at all: the working directory does not even exist
    b.open(root.path(), &acl, wait_ms);
    ASSERT_EQ(b.continue_backup(), STATUS_OK);
    ErrorReply e = b.next_error();
    EXPECT_EQ(e.status, STATUS_NOT_FOUND);
    EXPECT_STREQ(e.text, "no partial backup with that uuid");
    EXPECT_EQ(b.session->state, SessionState::wait_begin);
  }
  make_partial();

  // Held by someone who does not let go within the wait.
  wait_ms = 300;
  ASSERT_EQ(partial_lock_try(journal.c_str(), -1), STATUS_OK);
  auto t0 = std::chrono::steady_clock::now();
  expect_refused(STATUS_AGAIN, "the partial backup is in use", true);
  partial_unlock(journal.c_str());
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  EXPECT_GE(waited.count(), 300);
  EXPECT_LT(waited.count(), 5000);
  EXPECT_FALSE(partial_locks().held(journal.c_str()));

  // The image lost bytes that the checkpoint promised.
  std::string image = orv_support::read_text(tmp_image);
  ASSERT_EQ(truncate(tmp_image.c_str(), 299), 0);
  expect_refused(STATUS_CORRUPT, "cannot continue the partial backup");
  ASSERT_TRUE(orv_support::write_text(tmp_image, image, 0640));

  // The only checkpoint record is damaged.
  uint64_t cp = JOURNAL_FIRST_RECORD + 3 * JOURNAL_RECORD_SIZE;
  uint8_t bad = 0xEE;
  write_at(journal, cp + REC_CP_IMAGE_SIZE_OFF, &bad, 1);
  expect_refused(STATUS_CORRUPT, "the partial backup has no valid checkpoint");

  // After a refusal the agent can still start a new backup.
  Endpoint c;
  c.open(root.path(), &acl, wait_ms);
  ASSERT_EQ(c.continue_backup(), STATUS_OK);
  EXPECT_EQ(c.next_type(), MSG_ERROR);
  ASSERT_EQ(c.begin(), STATUS_OK);
  EXPECT_EQ(c.next_type(), MSG_BEGIN_OK);
  EXPECT_EQ(c.session->state, SessionState::receiving_blocks);
}

// A journal whose recorded image name leads out of its directory is never
// offered: not found, not continued, and discarding it deletes nothing
// outside the directory.
TEST_F(ResumeTest, JournalNamingFilesOutsideItsDirectoryIsNeverUsed) {
  make_partial();
  std::string head = orv_support::read_text(journal).substr(0, JOURNAL_FIRST_RECORD);
  ASSERT_EQ(head.size(), JOURNAL_FIRST_RECORD);
  std::vector<uint8_t> h(head.begin(), head.end());
  memset(h.data() + JH_IMAGE_NAME_OFF, 0, JH_NAME_SIZE);
  memcpy(h.data() + JH_IMAGE_NAME_OFF, "../outside", 10);
  uint32_t crc = crc32c(0, h.data() + JH_CRC_START, JH_CRC_END - JH_CRC_START);
  crc = crc32c(crc, h.data() + JOURNAL_HEADER_SIZE, JOURNAL_PAYLOAD_SIZE);
  put_u32_le(h, JH_CRC_OFF, crc);
  write_at(journal, 0, h.data(), h.size());
  std::string outside = root.path() + "/outside.tmp";  // what "<dir>/../outside.tmp" names
  ASSERT_TRUE(orv_support::write_text(outside, std::string(300, 'o')));

  expect_refused(STATUS_NOT_FOUND, "no partial backup with that uuid");

  Endpoint b;
  b.open(root.path(), &acl, wait_ms);
  ASSERT_EQ(b.request(MSG_DISCARD_PARTIAL), STATUS_OK);
  EXPECT_EQ(b.next_type(), MSG_DISCARD_OK);
  EXPECT_TRUE(fs::exists(outside));
  EXPECT_TRUE(fs::exists(journal));
}

}  // namespace
}  // namespace orv
