// Backup reception inside one process: a session on a Unix socket pair with
// a real storage root, for what the real binary cannot be made to do on
// demand: a continued backup's replace and drop rules, a failing journal,
// a failing image write, and an END whose catalog cannot be written. File
// failures are made through the file primitives' call table.
#include "server/session_handlers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/endian.h"
#include "core/file_io.h"
#include "core/status.h"
#include "integrity/sha256.h"
#include "protocol/payloads.h"
#include "store/catalog.h"
#include "store/journal_reader.h"
#include "store/partial_lock.h"
#include "support/server_process.h"

namespace orv {
namespace {

namespace fs = std::filesystem;

class BackupRecvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    Channel ch;
    ch.fd = sv[0];
    peer.fd = sv[1];
    memset(&acl, 0, sizeof acl);
    snprintf(acl.patterns[0], ACL_PATTERN_SIZE, "**");
    acl.pattern_count = 1;
    session = std::make_unique<Session>();
    config.storage_root = root.path().c_str();
    config.diag_off = true;
    session_init(session.get(), config, &acl, 1, ch);
    session->acl_entry = &acl;
    session->state = SessionState::wait_begin;
    session->peer_flags = FLAG_CONTINUE;
    BeginRequest req;
    req.type = BACKUP_FULL;
    snprintf(req.target_name, sizeof req.target_name, "db");
    snprintf(req.target_subdir, sizeof req.target_subdir, "h");
    std::vector<uint8_t> out(BEGIN_SIZE);
    encode_begin(req, out);
    ASSERT_EQ(dispatch(MSG_BEGIN, out), STATUS_OK);
    ASSERT_EQ(next_type(), MSG_BEGIN_OK);
    ASSERT_TRUE(session->backup.journaling());
  }
  void TearDown() override { end_session(); }

  void end_session() {
    if (!session) return;
    session_end(session.get(), 0);
    channel_close(&session->channel);
    channel_close(&peer);
    session.reset();
  }

  int32_t dispatch(uint16_t type, std::span<const uint8_t> payload) {
    FrameHeader h;
    h.version = PROTOCOL_VERSION;
    h.msg_type = type;
    h.length = static_cast<uint32_t>(payload.size());
    return session_dispatch(session.get(), h, payload);
  }
  int32_t block(uint64_t key, size_t size, uint8_t fill) {
    std::vector<uint8_t> p(BLOCK_HEADER_SIZE + size, fill);
    BlockHeader h;
    h.key = key;
    h.data_length = static_cast<uint32_t>(size);
    h.agent_u8 = fill;
    encode_block_header(h, p);
    return dispatch(MSG_BLOCK, p);
  }
  int32_t drop(std::vector<uint64_t> keys) {
    std::vector<uint8_t> p(4 + 8 * keys.size());
    encode_drop_entries(keys, p);
    return dispatch(MSG_DROP_ENTRIES, p);
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
  // Ends this session (its backup stays as a partial) and continues that
  // partial in a new one.
  void continue_in_new_session() {
    end_session();
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    Channel ch;
    ch.fd = sv[0];
    peer.fd = sv[1];
    session = std::make_unique<Session>();
    config.storage_root = root.path().c_str();
    config.diag_off = true;
    session_init(session.get(), config, &acl, 1, ch);
    session->acl_entry = &acl;
    session->state = SessionState::wait_begin;
    session->peer_flags = FLAG_CONTINUE;
    SubdirUuidRequest req;
    snprintf(req.target_subdir, sizeof req.target_subdir, "h");
    std::vector<uint8_t> out(REQ_SUBDIR_UUID_SIZE);
    encode_subdir_uuid(req, out);
    ASSERT_EQ(dispatch(MSG_CONTINUE, out), STATUS_OK);
    ASSERT_EQ(next_type(), MSG_CONTINUE_OK);
    while (next_type() == MSG_CONTINUE_ENTRIES) {
    }
    ASSERT_EQ(session->state, SessionState::receiving_blocks);
  }
  std::string workdir() const { return root.path() + "/h"; }

  orv_support::TempDir root;
  ServerConfig config;  // the sessions' settings; outlives them
  AclEntry acl;
  Channel peer;
  std::unique_ptr<Session> session;
  std::vector<uint8_t> reply;
};

TEST_F(BackupRecvTest, ContinuedBackupReplacesAndDropsByKey) {
  for (uint64_t k = 1; k <= 3; ++k) ASSERT_EQ(block(k, 100, static_cast<uint8_t>(k)), STATUS_OK);
  continue_in_new_session();
  ASSERT_EQ(block(2, 50, 0x22), STATUS_OK);  // replaces key 2 in place
  ASSERT_EQ(drop({1, 99, 1}), STATUS_OK);    // unknown and repeated keys: one drop record
  ASSERT_EQ(drop({3}), STATUS_OK);
  ASSERT_EQ(block(1, 10, 0x11), STATUS_OK);  // a dropped key sent again is kept
  ASSERT_EQ(block(4, 0, 0x44), STATUS_OK);
  EXPECT_EQ(session->backup.entry_count(), 4u);
  EXPECT_EQ(session->frames, 5u);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(next_type(), MSG_ACK);
    EXPECT_EQ(reply.size(), ACK_SIZE);
  }

  // Journal: 3 block records from the first session, then 3 block records
  // and 2 drop records, all before the checkpoint.
  ASSERT_TRUE(session->backup.checkpoint());
  std::string journal = session->backup.journal_path();
  int fd = open(journal.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  JournalScan scan;
  ASSERT_EQ(journal_scan(fd, fs::file_size(journal), JOURNAL_FIRST_RECORD, &scan), STATUS_OK);
  close(fd);
  EXPECT_EQ(scan.checkpoint_count, 8u);
  EXPECT_EQ(scan.checkpoint_image_size, 360u);

  std::string catalog = session->backup.catalog_path();
  ASSERT_EQ(dispatch(MSG_END, {}), STATUS_OK);
  EXPECT_EQ(session->state, SessionState::done);
  EXPECT_FALSE(fs::exists(journal));
  EXPECT_FALSE(partial_locks().held(journal.c_str()));
  auto cat = std::make_unique<LoadedCatalog>();
  ASSERT_EQ(catalog_load(catalog.c_str(), cat.get()), STATUS_OK);
  ASSERT_EQ(cat->entry_count, 3u);  // 1, 2, 4; 3 dropped
  uint64_t want_keys[] = {1, 2, 4}, want_off[] = {350, 300, 360}, want_len[] = {10, 50, 0};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(entry_key(cat->entries[i]), want_keys[i]);
    EXPECT_EQ(entry_offset(cat->entries[i]), want_off[i]);
    EXPECT_EQ(entry_length(cat->entries[i]), want_len[i]);
    EXPECT_FALSE(entry_dropped(cat->entries[i]));
  }
  catalog_free(cat.get());
}

// The path a descriptor stands for ("" when it cannot be told).
std::string fd_path(int fd) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char buf[4096];
  ssize_t n = readlink(link, buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool has_suffix(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// fsyncs of the journal and writes to the temporary image fail while the
// matching flag is set.
std::atomic<bool> g_fail_journal_sync{false};
std::atomic<bool> g_fail_image_write{false};
int journal_fsync(int fd) {
  if (g_fail_journal_sync && has_suffix(fd_path(fd), ".part")) {
    errno = EIO;
    return -1;
  }
  return file_io_system_ops().fsync_fn(fd);
}
ssize_t image_pwrite(int fd, const void* buf, size_t len, off_t off) {
  if (g_fail_image_write && has_suffix(fd_path(fd), ".tmp")) {
    errno = EIO;
    return -1;
  }
  return file_io_system_ops().pwrite_fn(fd, buf, len, off);
}

class FileFaults {
 public:
  FileFaults() {
    ops_ = file_io_system_ops();
    ops_.fsync_fn = journal_fsync;
    ops_.pwrite_fn = image_pwrite;
    before_ = file_io_set_ops(&ops_);
  }
  ~FileFaults() {
    g_fail_journal_sync = false;
    g_fail_image_write = false;
    (void)file_io_set_ops(before_);
  }

 private:
  FileOps ops_;
  const FileOps* before_;
};

TEST_F(BackupRecvTest, FailedCheckpointAbandonsJournalButBackupFinishes) {
  FileFaults faults;
  ASSERT_EQ(block(1, 100, 1), STATUS_OK);
  ASSERT_EQ(next_type(), MSG_ACK);
  // A journal that can no longer be made durable: the next checkpoint fails.
  std::string journal = session->backup.journal_path();
  g_fail_journal_sync = true;
  EXPECT_FALSE(session->backup.checkpoint());
  g_fail_journal_sync = false;
  EXPECT_FALSE(session->backup.journaling());
  EXPECT_FALSE(fs::exists(journal));
  // The lock stays with the running backup (expiry must leave its image alone).
  EXPECT_TRUE(partial_locks().held(journal.c_str()));
  EXPECT_EQ(session->durable_seq, 0u);
  EXPECT_EQ(session->checkpoint_count, 0u);

  ASSERT_EQ(block(2, 100, 2), STATUS_OK);
  ASSERT_EQ(next_type(), MSG_ACK);
  ASSERT_EQ(reply.size(), ACK_SIZE);
  EXPECT_EQ(get_u64_le(reply, 0), 0u);  // durable_seq stays where it was
  ASSERT_EQ(dispatch(MSG_END, {}), STATUS_OK);
  EXPECT_EQ(session->state, SessionState::done);
  EXPECT_TRUE(fs::exists(session->backup.image_path()));
  EXPECT_FALSE(partial_locks().held(journal.c_str()));
}

TEST_F(BackupRecvTest, FailedImageWriteEndsSessionWithoutEntry) {
  FileFaults faults;
  ASSERT_EQ(block(1, 100, 1), STATUS_OK);
  ASSERT_EQ(next_type(), MSG_ACK);
  EXPECT_EQ(reply.size(), ACK_SIZE);
  g_fail_image_write = true;
  EXPECT_EQ(block(2, 100, 2), STATUS_IO);
  g_fail_image_write = false;
  EXPECT_EQ(session->state, SessionState::error);
  ASSERT_EQ(next_type(), MSG_ERROR);
  ErrorReply e;
  ASSERT_EQ(decode_error(reply, &e), STATUS_OK);
  EXPECT_EQ(e.status, STATUS_IO);
  EXPECT_STREQ(e.text, "failed to write block to the image file");
  EXPECT_EQ(session->backup.entry_count(), 1u);
  EXPECT_EQ(session->backup.image_size(), 100u);
  EXPECT_EQ(session->frames, 2u);
}

// A catalog that cannot be written fails END and leaves the partial whole:
// the image keeps (gets back) its temporary name next to the journal.
TEST_F(BackupRecvTest, FailedCatalogWriteKeepsPartial) {
  ASSERT_EQ(block(1, 100, 1), STATUS_OK);
  ASSERT_EQ(next_type(), MSG_ACK);
  const BackupWriter& b = session->backup;
  ASSERT_EQ(mkdir((std::string(b.catalog_path()) + ".tmp").c_str(), 0755), 0);
  EXPECT_NE(dispatch(MSG_END, {}), STATUS_OK);
  EXPECT_EQ(session->state, SessionState::error);
  ASSERT_EQ(next_type(), MSG_ERROR);
  ErrorReply e;
  ASSERT_EQ(decode_error(reply, &e), STATUS_OK);
  EXPECT_STREQ(e.text, "failed to finalize backup");
  EXPECT_FALSE(fs::exists(b.image_path()));
  EXPECT_FALSE(fs::exists(b.catalog_path()));
  EXPECT_EQ(fs::file_size(b.tmp_image_path()), 100u);
  EXPECT_TRUE(fs::exists(b.journal_path()));
}

}  // namespace
}  // namespace orv
