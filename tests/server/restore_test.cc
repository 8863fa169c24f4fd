// Order and cut of the backup list: oldest first, equal times by uuid bytes,
// and only the newest 50,000 of a longer list. Refusals of restore requests
// in one process, for failures the real binary cannot be made to show: a
// read of an image that fails outright.
#include "server/restore.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/status.h"
#include "protocol/payloads.h"
#include "server/session.h"
#include "store/backup_writer.h"
#include "support/server_process.h"

namespace orv {
namespace {

BackupListEntry entry(int64_t created, uint8_t first_uuid_byte, uint32_t serial) {
  BackupListEntry e;
  e.created = static_cast<uint64_t>(created);
  e.uuid.bytes[0] = first_uuid_byte;
  e.uuid.bytes[12] = static_cast<uint8_t>(serial >> 24);
  e.uuid.bytes[13] = static_cast<uint8_t>(serial >> 16);
  e.uuid.bytes[14] = static_cast<uint8_t>(serial >> 8);
  e.uuid.bytes[15] = static_cast<uint8_t>(serial);
  e.entry_count = serial;  // identifies the entry after sorting
  return e;
}

TEST(BackupListOrder, EqualTimesAreOrderedByUnsignedUuidBytes) {
  std::vector<BackupListEntry> v = {entry(100, 0x80, 1), entry(100, 0x7f, 2), entry(50, 0xff, 3),
                                    entry(100, 0x00, 4), entry(-5, 0x01, 5), entry(100, 0x7f, 0)};
  EXPECT_EQ(backup_list_order(v.data(), v.size()), 0u);
  std::vector<uint64_t> order;
  for (const BackupListEntry& e : v) order.push_back(e.entry_count);
  // A time before the epoch is the oldest; 0x7f..00 < 0x7f..02 < 0x80.
  EXPECT_EQ(order, (std::vector<uint64_t>{5, 3, 4, 0, 2, 1}));
}

TEST(BackupListOrder, KeepsTheNewest50000OfALongerList) {
  const uint32_t n = BACKUP_LIST_MAX_ENTRIES + 1;
  std::vector<BackupListEntry> v;
  v.reserve(n);
  // Times repeat in pairs, so the cut also depends on the uuid tie-break.
  for (uint32_t i = 0; i < n; ++i) v.push_back(entry(1000 + i / 2, static_cast<uint8_t>(i % 2 == 0 ? 9 : 3), i));
  std::shuffle(v.begin(), v.end(), std::mt19937(7));

  size_t first = backup_list_order(v.data(), v.size());
  ASSERT_EQ(first, 1u);
  // The dropped entry is the oldest: time 1000 with the smaller uuid (serial 1).
  EXPECT_EQ(v[0].entry_count, 1u);
  EXPECT_EQ(v[1].entry_count, 0u);
  EXPECT_EQ(v[2].entry_count, 3u);
  EXPECT_EQ(v[n - 1].entry_count, n - 1);  // the newest comes last
  EXPECT_TRUE(std::is_sorted(v.begin(), v.end(), [](const BackupListEntry& a, const BackupListEntry& b) {
    return a.created < b.created;
  }));

  std::vector<BackupListEntry> exact(v.begin() + 1, v.end());
  EXPECT_EQ(backup_list_order(exact.data(), exact.size()), 0u);
  EXPECT_EQ(backup_list_order(nullptr, 0), 0u);
}


// A pread that fails as if the kernel ran out of memory.
ssize_t failing_pread(int, void*, size_t, off_t) {
  errno = ENOMEM;
  return -1;
}

class RestoreRefusalTest : public ::testing::Test {
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
  // The frames the session sent, in order (types only; the last ERROR kept).
  std::vector<uint16_t> answers() {
    std::vector<uint16_t> types;
    std::vector<uint8_t> buf(FRAME_MAX_PAYLOAD);
    uint8_t probe;
    while (recv(peer.fd, &probe, 1, MSG_DONTWAIT | MSG_PEEK) == 1) {
      FrameHeader h;
      if (receive_frame(&peer, &h, buf) != STATUS_OK) break;
      types.push_back(h.msg_type);
      if (h.msg_type == MSG_ERROR) {
        EXPECT_EQ(decode_error(std::span<const uint8_t>(buf.data(), h.length), &error), STATUS_OK);
      }
    }
    return types;
  }

  orv_support::TempDir root;
  ServerConfig config;  // the sessions' settings; outlives them
  AclEntry acl;
  Channel peer;
  std::unique_ptr<Session> session;
  ErrorReply error;
};

// A failed query ends the session in state error, which the diagnostics
// record shows, like every refusal that ends a session.
TEST_F(RestoreRefusalTest, FailedQueryEndsTheSessionInError) {
  std::string dir = root.path() + "/h";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ListBackupsRequest req;
  snprintf(req.target_subdir, sizeof req.target_subdir, "h");
  std::vector<uint8_t> out(LIST_BACKUPS_MIN_SIZE);
  encode_list_backups(req, out);
  // A directory that cannot be listed (an I/O error).
  FileOps ops = file_io_system_ops();
  ops.opendir_fn = [](const char*) -> void* {
    errno = EIO;
    return nullptr;
  };
  const FileOps* before = file_io_set_ops(&ops);
  int32_t rc = dispatch(MSG_LIST_BACKUPS, out);
  (void)file_io_set_ops(before);
  EXPECT_EQ(rc, STATUS_IO);
  EXPECT_EQ(answers(), std::vector<uint16_t>{MSG_ERROR});
  EXPECT_EQ(error.status, STATUS_IO);
  EXPECT_STREQ(error.text, "failed to scan target directory");
  EXPECT_EQ(session->state, SessionState::error);
}

// A read of an image that fails outright is answered like a short one, and
// the session ends with the status its ERROR carried.
TEST_F(RestoreRefusalTest, FailedImageReadEndsTheSessionWithTheStatusSent) {
  Uuid id;
  id.bytes[0] = 9;
  {
    BackupWriter w;
    BackupOpenRequest req;
    std::string dir = root.path() + "/h";
    req.workdir = dir.c_str();
    req.name = "db";
    req.fields.uuid = id;
    req.fields.chain_uuid = id;
    snprintf(req.fields.name, sizeof req.fields.name, "db");
    OpenRefusal refusal;
    uint64_t expired = 0;
    ASSERT_EQ(w.open(StoreSettings{}, req, &refusal, &expired), STATUS_OK);
    std::vector<uint8_t> data(100, 7);
    CatalogEntry e = {};
    BackupWriter::Progress p;
    ASSERT_EQ(w.append_block(e, data, &p), STATUS_OK);
    uint64_t count = 0;
    ASSERT_EQ(w.finish(&count), STATUS_OK);
  }
  SubdirUuidRequest fetch;
  snprintf(fetch.target_subdir, sizeof fetch.target_subdir, "h");
  fetch.uuid = id;
  std::vector<uint8_t> out(REQ_SUBDIR_UUID_SIZE);
  encode_subdir_uuid(fetch, out);
  ASSERT_EQ(dispatch(MSG_FETCH_CHAIN, out), STATUS_OK);
  ASSERT_EQ(answers().back(), MSG_CHAIN_END);

  RangeRequest range;
  range.length = 10;
  uint8_t rr[READ_RANGE_SIZE];
  encode_read_range(range, rr);
  FileOps ops = file_io_system_ops();
  ops.pread_fn = failing_pread;
  const FileOps* before = file_io_set_ops(&ops);
  int32_t rc = dispatch(MSG_READ_RANGE, rr);
  (void)file_io_set_ops(before);
  EXPECT_EQ(rc, STATUS_IO);
  EXPECT_EQ(answers(), std::vector<uint16_t>{MSG_ERROR});
  EXPECT_EQ(error.status, STATUS_IO);
  EXPECT_STREQ(error.text, "failed to read image file");
  EXPECT_EQ(session->state, SessionState::error);
}

}  // namespace
}  // namespace orv
