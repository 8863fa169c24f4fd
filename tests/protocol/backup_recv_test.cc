// Backup reception inside one process: a session on a Unix socket pair with
// a real storage root, for what the real binary cannot be made to do on
// demand: a continued backup's replace and drop rules, a failing journal,
// a failing image write, and an END whose catalog cannot be written.
#include "protocol/backup_recv.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

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
    session_init(session.get(), root.path().c_str(), &acl, 1, nullptr, false, ch);
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
    ASSERT_TRUE(session->journaling);
  }
  void TearDown() override {
    session_end(session.get(), 0);
    channel_close(&session->channel);
    channel_close(&peer);
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
  // What a successful CONTINUE leaves behind: the entries indexed by key.
  void mark_resumed() {
    session->resumed = true;
    ASSERT_EQ(key_index_init(&session->key_index, session->entry_count), STATUS_OK);
    for (uint64_t i = 0; i < session->entry_count; ++i) {
      ASSERT_EQ(key_index_put(&session->key_index, entry_key(session->entries[i]), i), STATUS_OK);
    }
  }
  std::string workdir() const { return root.path() + "/h"; }

  orv_support::TempDir root;
  AclEntry acl;
  Channel peer;
  std::unique_ptr<Session> session;
  std::vector<uint8_t> reply;
};

TEST_F(BackupRecvTest, ContinuedBackupReplacesAndDropsByKey) {
  for (uint64_t k = 1; k <= 3; ++k) ASSERT_EQ(block(k, 100, static_cast<uint8_t>(k)), STATUS_OK);
  mark_resumed();
  ASSERT_EQ(block(2, 50, 0x22), STATUS_OK);  // replaces key 2 in place
  ASSERT_EQ(drop({1, 99, 1}), STATUS_OK);    // unknown and repeated keys: one drop record
  ASSERT_EQ(drop({3}), STATUS_OK);
  ASSERT_EQ(block(1, 10, 0x11), STATUS_OK);  // a dropped key sent again is kept
  ASSERT_EQ(block(4, 0, 0x44), STATUS_OK);
  EXPECT_EQ(session->entry_count, 4u);
  EXPECT_EQ(session->frames, 8u);

  // Journal: 6 block records and 2 drop records, all before the checkpoint.
  ASSERT_EQ(STATUS_OK, backup_checkpoint(session.get(), false));
  ASSERT_TRUE(session->journaling);
  EXPECT_EQ(session->durable_seq, 8u);
  EXPECT_EQ(session->checkpoint_count, 0u);
  int fd = open(session->journal_path, O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  JournalScan scan;
  ASSERT_EQ(journal_scan(fd, fs::file_size(session->journal_path), JOURNAL_FIRST_RECORD, &scan), STATUS_OK);
  close(fd);
  EXPECT_EQ(scan.checkpoint_count, 8u);
  EXPECT_EQ(scan.checkpoint_image_size, 360u);

  std::string catalog = session->catalog_path;
  ASSERT_EQ(dispatch(MSG_END, {}), STATUS_OK);
  EXPECT_EQ(session->state, SessionState::done);
  EXPECT_FALSE(fs::exists(session->journal_path));
  EXPECT_FALSE(partial_locks().held(session->journal_path));
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

TEST_F(BackupRecvTest, FailedCheckpointAbandonsJournalButBackupFinishes) {
  ASSERT_EQ(block(1, 100, 1), STATUS_OK);
  // A journal that can no longer be written: the next checkpoint fails.
  int pipefd[2];
  ASSERT_EQ(pipe2(pipefd, O_CLOEXEC), 0);
  close(session->journal.fd);
  session->journal.fd = pipefd[1];
  std::string journal = session->journal_path;
  ASSERT_EQ(STATUS_OK, backup_checkpoint(session.get(), true));
  close(pipefd[0]);
  EXPECT_FALSE(session->journaling);
  EXPECT_EQ(session->journal.fd, -1);
  EXPECT_FALSE(fs::exists(journal));
  EXPECT_FALSE(partial_locks().held(journal.c_str()));
  EXPECT_EQ(session->durable_seq, 0u);
  EXPECT_EQ(session->checkpoint_count, 0u);

  ASSERT_EQ(block(2, 100, 2), STATUS_OK);
  ASSERT_EQ(dispatch(MSG_END, {}), STATUS_OK);
  EXPECT_EQ(session->state, SessionState::done);
  EXPECT_TRUE(fs::exists(session->image_path));
}

TEST_F(BackupRecvTest, FailedImageWriteEndsSessionWithoutEntry) {
  ASSERT_EQ(block(1, 100, 1), STATUS_OK);
  ASSERT_EQ(next_type(), MSG_ACK);
  EXPECT_EQ(reply.size(), ACK_SIZE);
  int ro = open(session->tmp_image_path, O_RDONLY | O_CLOEXEC);
  ASSERT_GE(ro, 0);
  close(session->image_fd);
  session->image_fd = ro;
  EXPECT_EQ(block(2, 100, 2), STATUS_IO);
  EXPECT_EQ(session->state, SessionState::error);
  ASSERT_EQ(next_type(), MSG_ERROR);
  ErrorReply e;
  ASSERT_EQ(decode_error(reply, &e), STATUS_OK);
  EXPECT_EQ(e.status, STATUS_IO);
  EXPECT_STREQ(e.text, "failed to write block to the image file");
  EXPECT_EQ(session->entry_count, 1u);
  EXPECT_EQ(session->image_size, 100u);
  EXPECT_EQ(session->frames, 2u);
}

// A catalog that cannot be written fails END and leaves the partial whole:
// the image keeps (gets back) its temporary name next to the journal.
TEST_F(BackupRecvTest, FailedCatalogWriteKeepsPartial) {
  ASSERT_EQ(block(1, 100, 1), STATUS_OK);
  ASSERT_EQ(next_type(), MSG_ACK);
  ASSERT_EQ(mkdir((std::string(session->catalog_path) + ".tmp").c_str(), 0755), 0);
  EXPECT_NE(dispatch(MSG_END, {}), STATUS_OK);
  EXPECT_EQ(session->state, SessionState::error);
  ASSERT_EQ(next_type(), MSG_ERROR);
  ErrorReply e;
  ASSERT_EQ(decode_error(reply, &e), STATUS_OK);
  EXPECT_STREQ(e.text, "failed to finalize backup");
  EXPECT_FALSE(fs::exists(session->image_path));
  EXPECT_FALSE(fs::exists(session->catalog_path));
  EXPECT_EQ(fs::file_size(session->tmp_image_path), 100u);
  EXPECT_TRUE(fs::exists(session->journal_path));
}

}  // namespace
}  // namespace orv
