// TLS channel between a server and a client end on loopback TCP, with a
// certificate made by the openssl tool.
#include "protocol/tls_channel.h"

#include <gtest/gtest.h>
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

}  // namespace
}  // namespace orv
