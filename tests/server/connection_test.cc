// The authentication deadline and the connection limits, called directly with
// short limits on real sockets.
#include "server/connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "core/status.h"
#include "core/sysinfo.h"
#include "server/auth_deadline.h"
#include "server/conn_limits.h"
#include "support/server_process.h"

namespace orv {
namespace {

using orv_support::Clock;

TEST(AuthDeadline, SilentPeerIsCutAtTheDeadline) {
  int sfd = -1;
  int cfd = -1;
  ASSERT_TRUE(orv_support::tcp_pair(&sfd, &cfd));
  AuthWatch watch;
  auto t0 = Clock::now();
  ASSERT_EQ(auth_watch_arm(&watch, sfd, monotonic_ms() + 300), STATUS_OK);
  char byte;
  EXPECT_EQ(read(sfd, &byte, 1), 0);  // shut down: the blocked read ends
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  EXPECT_GE(ms, 250);
  EXPECT_LT(ms, 5000);
  EXPECT_TRUE(auth_watch_disarm(&watch));
  close(sfd);
  close(cfd);
}

TEST(AuthDeadline, DisarmedWatchLeavesTheSocketAlone) {
  int sfd = -1;
  int cfd = -1;
  ASSERT_TRUE(orv_support::tcp_pair(&sfd, &cfd));
  AuthWatch early;
  AuthWatch late;
  int other_s = -1;
  int other_c = -1;
  ASSERT_TRUE(orv_support::tcp_pair(&other_s, &other_c));
  // Armed out of order: the list stays ordered by deadline.
  ASSERT_EQ(auth_watch_arm(&late, sfd, monotonic_ms() + 200), STATUS_OK);
  ASSERT_EQ(auth_watch_arm(&early, other_s, monotonic_ms() + 100), STATUS_OK);
  EXPECT_FALSE(auth_watch_disarm(&late));
  EXPECT_FALSE(auth_watch_disarm(&late));  // twice is harmless
  orv_support::sleep_ms(400);
  EXPECT_TRUE(auth_watch_disarm(&early));
  ASSERT_EQ(write(cfd, "x", 1), 1);
  char byte = 0;
  EXPECT_EQ(read(sfd, &byte, 1), 1);
  EXPECT_EQ(byte, 'x');
  close(sfd);
  close(cfd);
  close(other_s);
  close(other_c);
}

TEST(ConnLimits, TotalAndPerAddressLimitsCountUntilReleased) {
  ASSERT_EQ(conn_limits_init(5, 2), STATUS_OK);
  const uint32_t a = 0x7F000001;
  const uint32_t b = 0x0A000001;
  EXPECT_EQ(conn_limits_admit(a), Admission::admitted);
  EXPECT_EQ(conn_limits_admit(a), Admission::admitted);
  EXPECT_EQ(conn_limits_admit(a), Admission::address_limit);
  EXPECT_EQ(conn_limits_admit(b), Admission::admitted);
  EXPECT_EQ(conn_limits_admit(b), Admission::admitted);
  EXPECT_EQ(conn_limits_admit(0x0A000002), Admission::admitted);
  EXPECT_EQ(conn_limits_admit(0x0A000003), Admission::total_limit);
  EXPECT_EQ(conn_limits_open(), 5u);
  conn_limits_release(a);
  EXPECT_EQ(conn_limits_admit(a), Admission::admitted);
  conn_limits_release(a);
  conn_limits_release(a);
  conn_limits_release(a);  // one too many: nothing to release
  EXPECT_EQ(conn_limits_open(), 3u);
}

TEST(ConnLimits, ManyAddressesComeAndGoWithoutLosingCounts) {
  ASSERT_EQ(conn_limits_init(1000, 3), STATUS_OK);
  // Addresses that share probe runs, released in an order that moves entries.
  for (uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(conn_limits_admit(i * 16), Admission::admitted) << i;
  for (uint32_t i = 0; i < 1000; i += 2) conn_limits_release(i * 16);
  for (uint32_t i = 1; i < 1000; i += 2) {
    EXPECT_EQ(conn_limits_admit(i * 16), Admission::admitted);
    EXPECT_EQ(conn_limits_admit(i * 16), Admission::admitted);
    EXPECT_EQ(conn_limits_admit(i * 16), Admission::address_limit);  // its third
    conn_limits_release(i * 16);
    conn_limits_release(i * 16);
  }
  EXPECT_EQ(conn_limits_open(), 500u);
}

TEST(ConnLimits, RefusalWarningsAtMostOncePerInterval) {
  RefusalWarnings w;
  uint32_t count = 0;
  EXPECT_TRUE(refusal_warning_due(&w, 5000, &count));
  EXPECT_EQ(count, 1u);
  EXPECT_FALSE(refusal_warning_due(&w, 5100, &count));
  EXPECT_FALSE(refusal_warning_due(&w, 5999, &count));
  EXPECT_TRUE(refusal_warning_due(&w, 6000, &count));
  EXPECT_EQ(count, 3u);
}

TEST(ConnLimits, PeerText) {
  char text[PEER_TEXT_SIZE];
  peer_text(0xFFFFFFFF, 65535, text, sizeof text);
  EXPECT_STREQ(text, "255.255.255.255:65535");
  peer_text(0x7F000001, 9990, text, sizeof text);
  EXPECT_STREQ(text, "127.0.0.1:9990");
}

}  // namespace
}  // namespace orv
