#include "store/image_stream.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/status.h"
#include "core/file_io.h"
#include "store/store_test_util.h"

namespace orv {
namespace {

constexpr size_t kBuffer = 1 << 20;

std::vector<uint8_t> pattern(size_t len, uint32_t seed) {
  std::vector<uint8_t> v(len);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < len; ++i) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

std::vector<uint8_t> read_all(const std::string& path) {
  std::vector<uint8_t> out;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  uint8_t buf[65536];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  fclose(f);
  return out;
}

// Queues data the way the server's receive places a block: in a free
// buffer of the stream, at the address that matches its image offset.
int32_t queue(ImageStream* s, const std::vector<uint8_t>& data, uint64_t offset) {
  std::span<uint8_t> buf = s->buffer();
  size_t at = static_cast<size_t>(offset % DIRECT_IO_ALIGN);
  memcpy(buf.data() + at, data.data(), data.size());
  return s->write(std::span<const uint8_t>(buf.data() + at, data.size()), offset);
}

// A directory on the root file system and one on tmpfs (which refuses
// direct I/O on older kernels): the image must come out the same.
class ImageStreamFs : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    char tmpl[256];
    snprintf(tmpl, sizeof tmpl, "%s/orv_stream_XXXXXX", GetParam());
    if (mkdtemp(tmpl) == nullptr) GTEST_SKIP() << "no scratch directory in " << GetParam();
    dir_ = tmpl;
    path_ = dir_ + "/image.tmp";
    ASSERT_EQ(STATUS_OK, file_create(path_.c_str(), FILE_MODE, &fd_));
  }
  void TearDown() override {
    if (fd_ >= 0) (void)file_close(fd_);
    if (!dir_.empty()) {
      (void)unlink(path_.c_str());
      (void)rmdir(dir_.c_str());
    }
  }
  std::string dir_, path_;
  int fd_ = -1;
};

TEST_P(ImageStreamFs, BlocksOfAnyLengthMakeAByteExactImage) {
  ImageStream s;
  ASSERT_EQ(STATUS_OK, s.start(path_.c_str(), fd_, kBuffer));
  // Whole pages, a tail that leaves the image unaligned, blocks that start
  // and end inside pages, a single byte, and back to a page boundary.
  const size_t lengths[] = {3 * 4096, 100, 2 * 4096 + 17, 1, 8192, 4096 - 118, 65536, 5000, 4096 * 16};
  std::vector<uint8_t> expect;
  uint32_t seed = 1;
  for (size_t len : lengths) {
    std::vector<uint8_t> data = pattern(len, seed++);
    ASSERT_EQ(STATUS_OK, queue(&s, data, expect.size()));
    expect.insert(expect.end(), data.begin(), data.end());
  }
  ASSERT_EQ(STATUS_OK, s.drain());
  ASSERT_EQ(STATUS_OK, file_sync(fd_));
  EXPECT_EQ(expect, read_all(path_));
  // Data that is not in a buffer of the stream is written before write returns.
  std::vector<uint8_t> loose = pattern(10000, 99);
  ASSERT_EQ(STATUS_OK, s.write(loose, expect.size()));
  expect.insert(expect.end(), loose.begin(), loose.end());
  memset(loose.data(), 0, loose.size());
  EXPECT_EQ(STATUS_OK, s.stop());
  EXPECT_FALSE(s.started());
  EXPECT_EQ(expect, read_all(path_));
}

TEST_P(ImageStreamFs, ContinuesAnImageCutAtAnUnalignedSize) {
  std::vector<uint8_t> kept = pattern(7000, 5);
  size_t written = 0;
  ASSERT_EQ(STATUS_OK, file_pwrite_all(fd_, kept.data(), kept.size(), 0, &written));
  ASSERT_EQ(STATUS_OK, file_truncate(fd_, 6000));  // a continuation cuts back to its checkpoint
  kept.resize(6000);
  ImageStream s;
  ASSERT_EQ(STATUS_OK, s.start(path_.c_str(), fd_, kBuffer));
  std::vector<uint8_t> more = pattern(3 * 4096 + 5, 6);
  ASSERT_EQ(STATUS_OK, queue(&s, more, kept.size()));
  EXPECT_EQ(STATUS_OK, s.stop());
  kept.insert(kept.end(), more.begin(), more.end());
  EXPECT_EQ(kept, read_all(path_));
}

INSTANTIATE_TEST_SUITE_P(Dirs, ImageStreamFs, ::testing::Values("/tmp", "/dev/shm"));

// File calls that fail or wait on command, on the real file system.
struct Faults {
  static std::atomic<bool> refuse_direct_open;   // open with O_DIRECT fails with EINVAL
  static std::atomic<bool> refuse_direct_write;  // pwrite on an O_DIRECT descriptor fails with EINVAL
  static std::atomic<int> fail_pwrite_at;   // 1-based pwrite call that fails with EIO; 0 none
  static std::atomic<int> pwrites;
  static std::atomic<bool> hold;            // pwrites wait while set
  static std::atomic<int> waiting;

  static int open(const char* path, int flags, mode_t mode) {
    if ((flags & O_DIRECT) != 0 && refuse_direct_open.load()) {
      errno = EINVAL;
      return -1;
    }
    return file_io_system_ops().open_fn(path, flags, mode);
  }
  static ssize_t pwrite(int fd, const void* b, size_t n, off_t o) {
    if (refuse_direct_write.load() && (fcntl(fd, F_GETFL) & O_DIRECT) != 0) {
      errno = EINVAL;
      return -1;
    }
    int call = ++pwrites;
    if (hold.load()) {
      ++waiting;
      while (hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      --waiting;
    }
    if (call == fail_pwrite_at.load()) {
      errno = EIO;
      return -1;
    }
    return file_io_system_ops().pwrite_fn(fd, b, n, o);
  }
  static const FileOps& table() {
    static FileOps ops = [] {
      FileOps o = file_io_system_ops();
      o.pwrite_fn = pwrite;
      o.open_fn = open;
      return o;
    }();
    return ops;
  }
};
std::atomic<bool> Faults::refuse_direct_open{false};
std::atomic<bool> Faults::refuse_direct_write{false};
std::atomic<int> Faults::fail_pwrite_at{0};
std::atomic<int> Faults::pwrites{0};
std::atomic<bool> Faults::hold{false};
std::atomic<int> Faults::waiting{0};

class ImageStreamFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    Faults::refuse_direct_open = false;
    Faults::refuse_direct_write = false;
    Faults::fail_pwrite_at = 0;
    Faults::pwrites = 0;
    Faults::hold = false;
    path_ = dir_.file("image.tmp");
    ASSERT_EQ(STATUS_OK, file_create(path_.c_str(), FILE_MODE, &fd_));
    prev_ = file_io_set_ops(&Faults::table());
  }
  void TearDown() override {
    Faults::hold = false;
    (void)file_io_set_ops(prev_);
    if (fd_ >= 0) (void)file_close(fd_);
  }
  test::TempDir dir_;
  std::string path_;
  int fd_ = -1;
  const FileOps* prev_ = nullptr;
};

// A file system that refuses direct I/O when the image is opened, or only
// at the first direct write: everything goes through the page cache and
// the image is the same.
TEST_F(ImageStreamFaults, RefusedDirectIoFallsBackToTheCache) {
  for (int refuse_at_write = 0; refuse_at_write < 2; ++refuse_at_write) {
    SCOPED_TRACE(refuse_at_write != 0 ? "refused at the first write" : "refused at open");
    Faults::refuse_direct_open = refuse_at_write == 0;
    Faults::refuse_direct_write = refuse_at_write != 0;
    ASSERT_EQ(STATUS_OK, file_truncate(fd_, 0));
    ImageStream s;
    ASSERT_EQ(STATUS_OK, s.start(path_.c_str(), fd_, kBuffer));
    EXPECT_EQ(refuse_at_write != 0, s.direct());
    std::vector<uint8_t> expect;
    for (size_t len : {size_t{3 * 4096}, size_t{4096 + 7}, size_t{8192}}) {
      std::vector<uint8_t> data = pattern(len, static_cast<uint32_t>(len));
      ASSERT_EQ(STATUS_OK, queue(&s, data, expect.size()));
      expect.insert(expect.end(), data.begin(), data.end());
    }
    EXPECT_EQ(STATUS_OK, s.drain());
    EXPECT_FALSE(s.direct());
    EXPECT_EQ(STATUS_OK, s.stop());
    EXPECT_EQ(expect, read_all(path_));
  }
}

TEST_F(ImageStreamFaults, AFailedWriteIsReportedLaterAndStopsEveryLaterWrite) {
  ImageStream s;
  ASSERT_EQ(STATUS_OK, s.start(path_.c_str(), fd_, kBuffer));
  Faults::fail_pwrite_at = 2;  // the second block's write
  ASSERT_EQ(STATUS_OK, queue(&s, pattern(8192, 1), 0));
  (void)queue(&s, pattern(8192, 2), 8192);  // queued; its failure shows later
  EXPECT_EQ(STATUS_IO, s.drain());
  EXPECT_EQ(STATUS_IO, s.failure());
  // Nothing more reaches the image, and every later call says so.
  EXPECT_EQ(STATUS_IO, queue(&s, pattern(8192, 3), 16384));
  EXPECT_EQ(STATUS_IO, s.stop());
  // Stopped, it still says so: a later look must not take the image for whole.
  EXPECT_EQ(STATUS_IO, s.stop());
  EXPECT_EQ(STATUS_IO, s.failure());
  uint64_t size = 0;
  ASSERT_EQ(STATUS_OK, file_size(fd_, &size));
  EXPECT_EQ(8192u, size);
}

TEST_F(ImageStreamFaults, ReceivingWaitsOnlyWhileEveryBufferIsBeingWritten) {
  ImageStream s;
  ASSERT_EQ(STATUS_OK, s.start(path_.c_str(), fd_, kBuffer));
  Faults::hold = true;
  std::span<uint8_t> first = s.buffer();
  ASSERT_EQ(STATUS_OK, queue(&s, pattern(4096, 1), 0));  // being written (held)
  std::span<uint8_t> second = s.buffer();
  EXPECT_NE(first.data(), second.data());  // the next frame goes elsewhere
  ASSERT_EQ(STATUS_OK, queue(&s, pattern(4096, 2), 4096));
  std::atomic<bool> got{false};
  std::thread receiver([&] {
    (void)s.buffer();
    got = true;
  });
  for (int i = 0; i < 2000 && Faults::waiting.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(got.load());  // both buffers busy
  Faults::hold = false;
  receiver.join();
  EXPECT_TRUE(got.load());
  EXPECT_EQ(STATUS_OK, s.stop());
  std::vector<uint8_t> expect = pattern(4096, 1);
  std::vector<uint8_t> second_block = pattern(4096, 2);
  expect.insert(expect.end(), second_block.begin(), second_block.end());
  EXPECT_EQ(expect, read_all(path_));
}

}  // namespace
}  // namespace orv
