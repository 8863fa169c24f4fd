// TLS channel between a server and a client end on loopback TCP, with a
// certificate made by the openssl tool.
#include "protocol/tls_channel.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "core/status.h"
#include "protocol/frame.h"
#include "support/server_process.h"

namespace orv {
namespace {

class TlsChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cert = dir.sub("cert.pem");
    key = dir.sub("key.pem");
    ASSERT_TRUE(orv_support::make_cert(cert, key));
    ASSERT_EQ(tls_context_load(cert.c_str(), key.c_str(), &server_ctx), STATUS_OK);
    ASSERT_EQ(tls_client_context_new(cert.c_str(), &client_ctx), STATUS_OK);
  }
  void TearDown() override {
    channel_close(&server);
    channel_close(&client);
    tls_context_free(server_ctx);
    tls_context_free(client_ctx);
  }
  // Connects both ends over TLS.
  void connect_pair() {
    int sfd = -1;
    int cfd = -1;
    ASSERT_TRUE(orv_support::tcp_pair(&sfd, &cfd));
    int32_t client_rc = STATUS_IO;
    std::thread t([&] { client_rc = tls_connect(client_ctx, cfd, "localhost", &client); });
    EXPECT_EQ(tls_accept(server_ctx, sfd, &server), STATUS_OK) << last_transport_error();
    t.join();
    ASSERT_EQ(client_rc, STATUS_OK);
  }

  orv_support::TempDir dir;
  std::string cert;
  std::string key;
  TlsContext* server_ctx = nullptr;
  TlsContext* client_ctx = nullptr;
  Channel server;
  Channel client;
};

TEST_F(TlsChannelTest, KeyOfAnotherCertificateOrMissingFileIsInvalid) {
  std::string cert2 = dir.sub("c2.pem");
  std::string key2 = dir.sub("k2.pem");
  ASSERT_TRUE(orv_support::make_cert(cert2, key2));
  TlsContext* ctx = nullptr;
  EXPECT_EQ(tls_context_load(cert.c_str(), key2.c_str(), &ctx), STATUS_INVALID);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(tls_context_load(dir.sub("none.pem").c_str(), key.c_str(), &ctx), STATUS_INVALID);
  EXPECT_EQ(tls_context_load(cert.c_str(), cert.c_str(), &ctx), STATUS_INVALID);
}

TEST_F(TlsChannelTest, LargeFramesCrossInBothDirections) {
  connect_pair();
  std::vector<uint8_t> payload(FRAME_MAX_PAYLOAD - 3);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i ^ (i >> 9));
  std::thread sender([&] { EXPECT_EQ(send_frame(&client, MSG_BLOCK, payload), STATUS_OK); });
  std::vector<uint8_t> buffer(FRAME_MAX_PAYLOAD);
  FrameHeader h;
  ASSERT_EQ(receive_frame(&server, &h, buffer), STATUS_OK);
  sender.join();
  buffer.resize(h.length);
  EXPECT_EQ(buffer, payload);
  ASSERT_EQ(send_frame(&server, MSG_ACK, {}), STATUS_OK);
  ASSERT_EQ(receive_frame(&client, &h, buffer), STATUS_OK);
  EXPECT_EQ(h.msg_type, MSG_ACK);
}

TEST_F(TlsChannelTest, CloseNotifyBetweenFramesReadsAsPeerClosed) {
  connect_pair();
  channel_close(&client);
  channel_close(&client);  // harmless
  std::vector<uint8_t> buffer(64);
  FrameHeader h;
  EXPECT_EQ(receive_frame(&server, &h, buffer), STATUS_IO);
  EXPECT_STREQ(last_transport_error(), "the peer closed the TLS connection");
}

TEST_F(TlsChannelTest, ResetMidFrameIsAnUnexpectedClose) {
  connect_pair();
  // A header announcing 1000 bytes, then a reset instead of the payload.
  std::vector<uint8_t> payload(1000, 1);
  std::vector<uint8_t> frame(FRAME_HEADER_SIZE + payload.size());
  frame_header_encode(MSG_BLOCK, 1000, 0, std::span<uint8_t, FRAME_HEADER_SIZE>(frame.data(), FRAME_HEADER_SIZE));
  ASSERT_EQ(send_all(&client, frame.data(), FRAME_HEADER_SIZE), STATUS_OK);
  struct linger lg = {1, 0};
  ASSERT_EQ(setsockopt(client.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
  close(client.fd);
  client.fd = -1;
  std::vector<uint8_t> buffer(4096);
  FrameHeader h;
  EXPECT_EQ(receive_frame(&server, &h, buffer), STATUS_IO);
  std::string text = last_transport_error();
  EXPECT_TRUE(text == "the connection was closed unexpectedly by the peer or the network" ||
              text.rfind("TLS receive failed: ", 0) == 0)
      << text;
}

TEST_F(TlsChannelTest, SharedHandleKeepsContextAliveAfterTheFirstIsFreed) {
  TlsContext* shared = nullptr;
  ASSERT_EQ(tls_context_share(server_ctx, &shared), STATUS_OK);
  tls_context_free(server_ctx);
  server_ctx = shared;
  connect_pair();
  EXPECT_EQ(send_frame(&client, MSG_PING, {}), STATUS_OK);
}

// The server's channel after its handshake: non-blocking with a bound on
// sends. Reads wait for late data without a bound, a TLS 1.3 key update
// asked for by the peer is answered, large frames cross both ways while the
// peer reads, and a send the peer does not take fails at the bound.
TEST_F(TlsChannelTest, BoundedSendsOnNonBlockingSocketKeepReadsAndKeyUpdatesWorking) {
  connect_pair();
  ASSERT_EQ(channel_bound_sends(&server, 30000), STATUS_OK) << last_transport_error();
  std::vector<uint8_t> buffer(FRAME_MAX_PAYLOAD);
  FrameHeader h;

  std::thread late([&] {
    orv_support::sleep_ms(300);
    EXPECT_EQ(send_frame(&client, MSG_PING, {}), STATUS_OK);
  });
  ASSERT_EQ(receive_frame(&server, &h, buffer), STATUS_OK) << last_transport_error();
  late.join();
  EXPECT_EQ(h.msg_type, MSG_PING);

  ASSERT_EQ(SSL_key_update(client.tls, SSL_KEY_UPDATE_REQUESTED), 1);
  std::vector<uint8_t> payload(FRAME_MAX_PAYLOAD - 3);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  std::thread up([&] { EXPECT_EQ(send_frame(&client, MSG_BLOCK, payload), STATUS_OK); });
  ASSERT_EQ(receive_frame(&server, &h, buffer), STATUS_OK) << last_transport_error();
  up.join();
  EXPECT_EQ(h.length, payload.size());
  std::vector<uint8_t> back(FRAME_MAX_PAYLOAD);
  FrameHeader bh;
  std::thread down([&] { EXPECT_EQ(receive_frame(&client, &bh, back), STATUS_OK) << last_transport_error(); });
  ASSERT_EQ(send_frame(&server, MSG_RANGE_DATA, payload), STATUS_OK) << last_transport_error();
  down.join();
  back.resize(bh.length);
  EXPECT_EQ(back, payload);

  // Far more than the socket buffers hold, even grown to their largest.
  int small_buffer = 64 * 1024;
  (void)setsockopt(client.fd, SOL_SOCKET, SO_RCVBUF, &small_buffer, sizeof small_buffer);
  ASSERT_EQ(channel_bound_sends(&server, 1000), STATUS_OK);
  int32_t rc = STATUS_OK;
  for (int i = 0; i < 4 && rc == STATUS_OK; ++i) rc = send_frame(&server, MSG_RANGE_DATA, payload);
  EXPECT_EQ(rc, STATUS_IO);
  EXPECT_STREQ(last_transport_error(), "the peer did not take the data within 1 s");
}

}  // namespace
}  // namespace orv
