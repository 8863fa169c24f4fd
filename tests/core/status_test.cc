#include "core/status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace orv {
namespace {

TEST(StatusTest, TextsOfEveryCodeAndUnknownValues) {
  EXPECT_STREQ(status_text(STATUS_OK), "ok");
  EXPECT_STREQ(status_text(STATUS_IO), "I/O error");
  EXPECT_STREQ(status_text(STATUS_DECRYPT), "decryption failed (wrong key or corrupted data)");
  EXPECT_STREQ(status_text(STATUS_PROTOCOL), "protocol error");
  EXPECT_STREQ(status_text(-11), "unknown error");
  EXPECT_STREQ(status_text(5), "unknown error");
}

TEST(StatusTest, ErrnoTableMapsOnlyItsFiveClasses) {
  for (int e = -5; e < 200; ++e) {
    int32_t expected = STATUS_IO;
    if (e == ENOENT) expected = STATUS_NOT_FOUND;
    if (e == EAGAIN) expected = STATUS_AGAIN;
    if (e == ENOMEM) expected = STATUS_NOMEM;
    if (e == EEXIST) expected = STATUS_EXISTS;
    if (e == EINVAL) expected = STATUS_INVALID;
    EXPECT_EQ(status_from_errno(e), expected) << "errno " << e;
  }
}

TEST(StatusTest, ErrnoTextKeepsErrnoAndHandlesNoBuffer) {
  char buf[128];
  errno = ENOENT;
  EXPECT_STREQ(errno_text(buf, sizeof buf), strerror(ENOENT));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_STREQ(errno_text(nullptr, 10), "");
  EXPECT_STREQ(errno_text(buf, 0), "");
  char tiny[4];
  errno = ENOENT;
  EXPECT_EQ(strlen(errno_text(tiny, sizeof tiny)), 3u);
}

}  // namespace
}  // namespace orv
