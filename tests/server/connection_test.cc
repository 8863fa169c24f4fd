// The bounded TLS handshake of a connection, called directly with short limits.
#include "server/connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "core/status.h"
#include "support/server_process.h"

namespace orv {
namespace {

using orv_support::Clock;

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string cert = dir.sub("cert.pem");
    std::string key = dir.sub("key.pem");
    ASSERT_TRUE(orv_support::make_cert(cert, key));
    ASSERT_EQ(tls_context_load(cert.c_str(), key.c_str(), &ctx), STATUS_OK);
  }
  void TearDown() override { tls_context_free(ctx); }
  orv_support::TempDir dir;
  TlsContext* ctx = nullptr;
};

TEST_F(ConnectionTest, SilentPeerTimesOutTheHandshake) {
  int sfd = -1;
  int cfd = -1;
  ASSERT_TRUE(orv_support::tcp_pair(&sfd, &cfd));
  Channel ch;
  auto t0 = Clock::now();
  EXPECT_EQ(connection_handshake(ctx, sfd, 300, &ch), STATUS_PROTOCOL);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  EXPECT_GE(ms, 250);
  EXPECT_LT(ms, 5000);
  EXPECT_EQ(ch.tls, nullptr);
  close(sfd);
  close(cfd);
}

TEST_F(ConnectionTest, TimeoutsAreClearedOnceTheHandshakeSucceeded) {
  int sfd = -1;
  int cfd = -1;
  ASSERT_TRUE(orv_support::tcp_pair(&sfd, &cfd));
  TlsContext* client_ctx = nullptr;
  ASSERT_EQ(tls_client_context_new(nullptr, &client_ctx), STATUS_OK);
  Channel client;
  std::thread t([&] { EXPECT_EQ(tls_connect(client_ctx, cfd, nullptr, &client), STATUS_OK); });
  Channel server;
  EXPECT_EQ(connection_handshake(ctx, sfd, 5000, &server), STATUS_OK);
  t.join();
  struct timeval tv = {1, 1};
  socklen_t len = sizeof tv;
  ASSERT_EQ(getsockopt(sfd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec, 0);
  EXPECT_EQ(tv.tv_usec, 0);
  channel_close(&server);
  channel_close(&client);
  tls_context_free(client_ctx);
}

}  // namespace
}  // namespace orv
