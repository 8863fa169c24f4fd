// Session dispatch, HELLO and the directory permission, driven over a plain
// channel on a Unix socket pair; the test reads the answers at the far end.
#include "server/session.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/status.h"
#include "protocol/payloads.h"

namespace orv {
namespace {

constexpr const char* kKey = "the-agent-key";

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    Channel ch;
    ch.fd = sv[0];
    peer.fd = sv[1];
    memset(&acl, 0, sizeof acl);
    sha256(kKey, strlen(kKey), acl.key_digest);
    snprintf(acl.patterns[0], ACL_PATTERN_SIZE, "hosts/**");
    acl.pattern_count = 1;
    session = std::make_unique<Session>();
    config.storage_root = "/srv/root";
    config.diag_off = true;  // the storage root here is not a real directory: write no record
    session_init(session.get(), config, &acl, 1, ch);
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
  int32_t hello(const char* key, uint16_t version = PROTOCOL_VERSION, size_t size = HELLO_SIZE,
                uint32_t flags = 0) {
    HelloRequest h;
    h.protocol_version = version;
    snprintf(h.api_key, sizeof h.api_key, "%s", key);
    h.flags = flags;
    std::vector<uint8_t> out(HELLO_SIZE);
    encode_hello(h, true, out);
    return dispatch(MSG_HELLO, std::span<const uint8_t>(out.data(), size));
  }
  // The next frame the session sent; false when it sent nothing.
  bool answer(FrameHeader* h) {
    uint8_t probe;
    if (recv(peer.fd, &probe, 1, MSG_DONTWAIT | MSG_PEEK) != 1) return false;
    reply.assign(FRAME_MAX_PAYLOAD, 0);
    if (receive_frame(&peer, h, reply) != STATUS_OK) return false;
    reply.resize(h->length);
    return true;
  }
  ErrorReply expect_error() {
    FrameHeader h;
    ErrorReply e;
    EXPECT_TRUE(answer(&h));
    EXPECT_EQ(h.msg_type, MSG_ERROR);
    EXPECT_EQ(decode_error(reply, &e), STATUS_OK);
    return e;
  }

  ServerConfig config;  // the session's settings; outlives it
  AclEntry acl;
  Channel peer;
  std::unique_ptr<Session> session;
  std::vector<uint8_t> reply;
};

TEST_F(SessionTest, InitClearsRecordAndKeepsTheSettings) {
  EXPECT_EQ(session->state, SessionState::wait_hello);
  EXPECT_FALSE(session->backup.is_open());
  EXPECT_EQ(session->config, &config);
}

TEST_F(SessionTest, PingIsAnsweredInEveryOpenState) {
  for (SessionState s : {SessionState::wait_hello, SessionState::wait_begin, SessionState::receiving_blocks}) {
    session->state = s;
    ASSERT_EQ(dispatch(MSG_PING, {}), STATUS_OK);
    FrameHeader h;
    ASSERT_TRUE(answer(&h));
    EXPECT_EQ(h.msg_type, MSG_PONG);
    EXPECT_EQ(h.length, 0u);
  }
}

TEST_F(SessionTest, HelloAuthenticatesAndReplies) {
  ASSERT_EQ(hello(kKey, PROTOCOL_VERSION, HELLO_SIZE, FLAG_CONTINUE), STATUS_OK);
  EXPECT_EQ(session->state, SessionState::wait_begin);
  EXPECT_EQ(session->acl_entry, &acl);
  EXPECT_EQ(session->peer_flags, FLAG_CONTINUE);
  FrameHeader h;
  ASSERT_TRUE(answer(&h));
  ASSERT_EQ(h.msg_type, MSG_HELLO_REPLY);
  HelloReply r;
  ASSERT_EQ(decode_hello_reply(reply, &r), STATUS_OK);
  EXPECT_EQ(h.length, 166u);
  EXPECT_EQ(r.protocol_version, 3);
  EXPECT_STREQ(r.version_text, "1.0.2-alpha028");
  EXPECT_EQ(r.flags, 3u);

  // A 162-byte HELLO (no agent flags) re-authenticates with flags 0.
  ASSERT_EQ(hello(kKey, PROTOCOL_VERSION, HELLO_MIN_SIZE), STATUS_OK);
  EXPECT_EQ(session->peer_flags, 0u);
}

TEST_F(SessionTest, UnknownKeyIsReportedBeforeWrongVersion) {
  EXPECT_EQ(hello("wrong", 2), STATUS_INVALID);
  ErrorReply e = expect_error();
  EXPECT_EQ(e.status, STATUS_INVALID);
  EXPECT_STREQ(e.text, "unknown or invalid api key");
  EXPECT_EQ(session->state, SessionState::error);
  EXPECT_EQ(session->acl_entry, nullptr);
}

TEST_F(SessionTest, KnownKeyWithWrongVersionIsRefused) {
  EXPECT_EQ(hello(kKey, 4), STATUS_PROTOCOL);
  ErrorReply e = expect_error();
  EXPECT_EQ(e.status, STATUS_PROTOCOL);
  EXPECT_STREQ(e.text, "protocol version mismatch: agent and target must be upgraded together");
  EXPECT_EQ(session->state, SessionState::error);
}

// Requests in the wrong state, of unknown or answer types, or shorter than
// their minimum end the session with a protocol error and no answer.
TEST_F(SessionTest, DispatchTableRefusalsSendNothing) {
  struct Case {
    SessionState state;
    uint32_t type;
    size_t length;
  };
  const Case cases[] = {
      {SessionState::wait_hello, MSG_HELLO, 161},         {SessionState::wait_hello, MSG_BEGIN, 446},
      {SessionState::wait_hello, MSG_READ_RANGE, 16},     {SessionState::wait_hello, MSG_LIST_BACKUPS, 128},
      {SessionState::wait_begin, MSG_BLOCK, 60},          {SessionState::wait_begin, MSG_END, 0},
      {SessionState::wait_begin, MSG_DROP_ENTRIES, 4},    {SessionState::wait_begin, MSG_BEGIN, 380},
      {SessionState::wait_begin, MSG_FIND_PARENT, 128},   {SessionState::wait_begin, MSG_FETCH_CHAIN, 79},
      {SessionState::wait_begin, MSG_READ_RANGE, 15},     {SessionState::wait_begin, MSG_LIST_BACKUPS, 127},
      {SessionState::wait_begin, MSG_QUERY_PARTIAL, 144}, {SessionState::wait_begin, MSG_CONTINUE, 79},
      {SessionState::wait_begin, MSG_DISCARD_PARTIAL, 79}, {SessionState::receiving_blocks, MSG_BLOCK, 49},
      {SessionState::receiving_blocks, MSG_DROP_ENTRIES, 3}, {SessionState::receiving_blocks, MSG_BEGIN, 446},
      {SessionState::receiving_blocks, MSG_HELLO, 166},   {SessionState::receiving_blocks, MSG_FETCH_CHAIN, 80},
      {SessionState::wait_begin, 0, 0},                   {SessionState::wait_begin, MSG_HELLO_REPLY, 166},
      {SessionState::wait_begin, MSG_ERROR, 260},         {SessionState::wait_begin, MSG_DISCARD_OK, 0},
      {SessionState::wait_begin, 31, 0},                  {SessionState::wait_begin, 65535, 0},
  };
  std::vector<uint8_t> payload(512);
  for (const Case& c : cases) {
    session->state = c.state;
    session->acl_entry = &acl;
    EXPECT_EQ(dispatch(static_cast<uint16_t>(c.type), std::span<const uint8_t>(payload.data(), c.length)),
              STATUS_PROTOCOL)
        << "type " << c.type << " in " << session_state_name(c.state);
    FrameHeader h;
    EXPECT_FALSE(answer(&h)) << "type " << c.type;
  }
}

TEST_F(SessionTest, SubdirPermissionAndWorkingDirectory) {
  char workdir[WORKDIR_SIZE];
  // Without an accepted key the refusal is a protocol error.
  EXPECT_EQ(session_check_subdir(session.get(), "hosts/a", workdir, sizeof workdir), STATUS_PROTOCOL);
  EXPECT_EQ(expect_error().status, STATUS_PROTOCOL);

  session->state = SessionState::wait_begin;
  session->acl_entry = &acl;
  ASSERT_EQ(session_check_subdir(session.get(), "hosts/a/b", workdir, sizeof workdir), STATUS_OK);
  EXPECT_STREQ(workdir, "/srv/root/hosts/a/b");
  FrameHeader h;
  EXPECT_FALSE(answer(&h));

  for (const char* refused : {"hosts", "other/a", "hosts/../x", "hosts//a", "hosts/a\\b"}) {
    session->state = SessionState::wait_begin;
    EXPECT_EQ(session_check_subdir(session.get(), refused, workdir, sizeof workdir), STATUS_INVALID) << refused;
    ErrorReply e = expect_error();
    EXPECT_EQ(e.status, STATUS_INVALID);
    EXPECT_STREQ(e.text, "target_subdir not permitted for this api key");
    EXPECT_EQ(session->state, SessionState::error);
  }

  // The joined path must stay shorter than 576 characters.
  std::string root(576 - 64 - 1, 'r');  // the longest storage root
  ServerConfig long_root;
  long_root.storage_root = root.c_str();
  Channel none;
  Session other;
  session_init(&other, long_root, &acl, 1, none);
  other.acl_entry = &acl;
  other.channel = session->channel;
  std::string sub = "hosts/" + std::string(58, 's');  // 64 characters
  EXPECT_EQ(session_check_subdir(&other, sub.c_str(), workdir, sizeof workdir), STATUS_INVALID);
  other.state = SessionState::wait_begin;
  (void)expect_error();
  EXPECT_EQ(session_check_subdir(&other, sub.substr(0, 63).c_str(), workdir, sizeof workdir), STATUS_OK);
  EXPECT_EQ(std::string(workdir), root + "/" + sub.substr(0, 63));

  // A storage root is used whole: one of 530 characters (longer than the
  // 511 a session once kept) joins a short subdirectory.
  std::string root530(530, 'q');
  long_root.storage_root = root530.c_str();
  session_init(&other, long_root, &acl, 1, none);
  other.acl_entry = &acl;
  other.channel = session->channel;
  EXPECT_EQ(session_check_subdir(&other, "hosts/a", workdir, sizeof workdir), STATUS_OK);
  EXPECT_EQ(std::string(workdir), root530 + "/hosts/a");
  other.channel = Channel{};  // still owned by the fixture's session
}

}  // namespace
}  // namespace orv
