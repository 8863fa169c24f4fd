#include "core/file_io.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/aligned_buffer.h"
#include "core/status.h"

// pwrite on a regular file never fails with EINTR and never returns 0 on this
// kernel, so the retry and no-progress branches of file_pwrite_all cannot be
// driven by a real file. This program therefore interposes pwrite: while a
// script is armed, each call takes its next step from it (write at most n
// bytes, or fail with an errno, or return 0); otherwise it forwards to libc.
namespace {
struct PwriteStep {
  ssize_t max_bytes;  // >0: write at most this many bytes; 0: return 0
  int fail_errno;     // non-zero: fail with this errno instead
};
std::vector<PwriteStep> g_script;
std::atomic<bool> g_script_armed{false};
size_t g_script_pos = 0;
std::vector<off_t> g_offsets_seen;
}  // namespace

extern "C" ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
  using Fn = ssize_t (*)(int, const void*, size_t, off_t);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pwrite"));
  if (g_script_armed.load() && g_script_pos < g_script.size()) {
    PwriteStep s = g_script[g_script_pos++];
    g_offsets_seen.push_back(off);
    if (s.fail_errno != 0) {
      errno = s.fail_errno;
      return -1;
    }
    if (s.max_bytes == 0) return 0;
    if (n > static_cast<size_t>(s.max_bytes)) n = static_cast<size_t>(s.max_bytes);
  }
  return real(fd, buf, n, off);
}

// fsync is interposed only to observe which directory dir_sync_parent
// flushes; every call still reaches the real fsync.
namespace {
std::atomic<bool> g_record_fsync{false};
std::vector<std::string> g_synced_dirs;
}  // namespace

extern "C" int fsync(int fd) {
  using Fn = int (*)(int);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "fsync"));
  if (g_record_fsync.load()) {
    char link[64];
    char target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    g_synced_dirs.push_back(n > 0 ? std::string(target, static_cast<size_t>(n)) : "?");
  }
  return real(fd);
}

namespace orv {
namespace {

class FileIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/orv_file_io_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    g_script_armed = false;
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  static void write_text(const std::string& p, const std::string& s) {
    std::ofstream(p, std::ios::binary) << s;
  }
  static std::string read_text(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string dir_;
};

TEST_F(FileIoTest, CreateEmptiesButOpenRwKeepsContents) {
  const std::string p = path("f");
  write_text(p, "hello world");
  int fd = -1;
  ASSERT_EQ(file_open_rw(p.c_str(), FILE_MODE, &fd), STATUS_OK);
  uint64_t size = 0;
  ASSERT_EQ(file_size(fd, &size), STATUS_OK);
  EXPECT_EQ(size, 11u);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  ASSERT_EQ(file_close(fd), STATUS_OK);

  ASSERT_EQ(file_create(p.c_str(), FILE_MODE, &fd), STATUS_OK);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  ASSERT_EQ(file_size(fd, &size), STATUS_OK);
  EXPECT_EQ(size, 0u);
  ASSERT_EQ(file_close(fd), STATUS_OK);

  // A new file gets the requested mode (under the umask).
  mode_t old = umask(022);
  ASSERT_EQ(file_create(path("g").c_str(), 0640, &fd), STATUS_OK);
  umask(old);
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ASSERT_EQ(file_close(fd), STATUS_OK);
  EXPECT_EQ(file_close(-1), STATUS_OK);
}

TEST_F(FileIoTest, OpenFailuresMapErrnoAndLeaveNoDescriptor) {
  int fd = 123;
  EXPECT_EQ(file_open_read(path("missing").c_str(), &fd), STATUS_NOT_FOUND);
  EXPECT_EQ(fd, -1);
  fd = 123;
  EXPECT_EQ(file_create(path("no/such/dir").c_str(), FILE_MODE, &fd), STATUS_NOT_FOUND);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(file_open_rw(dir_.c_str(), FILE_MODE, &fd), STATUS_INVALID);  // not a regular file

  // Permission denied maps to STATUS_IO. Root bypasses permissions, so the
  // check runs in a child that has dropped to an unprivileged user.
  const std::string secret = path("secret");
  write_text(secret, "x");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 && setuid(65534) != 0) _exit(2);
    int cfd = -1;
    int32_t rc = file_open_read(secret.c_str(), &cfd);
    _exit(rc == STATUS_IO && cfd == -1 ? 0 : 1);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST_F(FileIoTest, PreadIsPositionedAndReturnsZeroAtOrPastEnd) {
  const std::string p = path("r");
  write_text(p, "0123456789");
  int fd = -1;
  ASSERT_EQ(file_open_read(p.c_str(), &fd), STATUS_OK);
  char buf[16] = {};
  size_t count = 99;
  ASSERT_EQ(file_pread(fd, buf, 4, 3, &count), STATUS_OK);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(std::string(buf, 4), "3456");
  ASSERT_EQ(file_pread(fd, buf, 16, 8, &count), STATUS_OK);  // short read
  EXPECT_EQ(count, 2u);
  ASSERT_EQ(file_pread(fd, buf, 4, 10, &count), STATUS_OK);
  EXPECT_EQ(count, 0u);
  count = 99;
  ASSERT_EQ(file_pread(fd, buf, 4, 1000000, &count), STATUS_OK);
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(file_pread(fd, buf, 4, 0, nullptr), STATUS_OK);  // count may be omitted
  // Reading through a write-only descriptor fails (EBADF).
  int wfd = -1;
  ASSERT_EQ(file_create(path("w").c_str(), FILE_MODE, &wfd), STATUS_OK);
  EXPECT_EQ(file_pread(wfd, buf, 4, 0, &count), STATUS_IO);
  ASSERT_EQ(file_close(wfd), STATUS_OK);
  ASSERT_EQ(file_close(fd), STATUS_OK);
}

TEST_F(FileIoTest, PwriteAllResumesAfterInterruptionAndShortWrites) {
  const std::string p = path("w");
  int fd = -1;
  ASSERT_EQ(file_open_rw(p.c_str(), FILE_MODE, &fd), STATUS_OK);
  std::string data(10000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  g_script = {{3000, 0}, {0, EINTR}, {0, EINTR}, {1, 0}, {100000, 0}};
  g_script_pos = 0;
  g_offsets_seen.clear();
  g_script_armed = true;
  size_t count = 0;
  int32_t rc = file_pwrite_all(fd, data.data(), data.size(), 100, &count);
  g_script_armed = false;
  ASSERT_EQ(rc, STATUS_OK);
  EXPECT_EQ(count, data.size());
  EXPECT_EQ(g_offsets_seen, (std::vector<off_t>{100, 3100, 3100, 3100, 3101}));
  ASSERT_EQ(file_close(fd), STATUS_OK);
  EXPECT_EQ(read_text(p), std::string(100, '\0') + data);
}

TEST_F(FileIoTest, PwriteAllStopsOnNoProgressAndFailsOnErrors) {
  int fd = -1;
  ASSERT_EQ(file_open_rw(path("w").c_str(), FILE_MODE, &fd), STATUS_OK);
  const std::string data(64, 'x');
  g_script = {{10, 0}, {0, 0}};
  g_script_pos = 0;
  g_script_armed = true;
  size_t count = 0;
  int32_t rc = file_pwrite_all(fd, data.data(), data.size(), 0, &count);
  g_script_armed = false;
  EXPECT_EQ(rc, STATUS_OK);
  EXPECT_EQ(count, 10u);  // success with a short count; callers compare

  g_script = {{10, 0}, {0, ENOSPC}};
  g_script_pos = 0;
  g_script_armed = true;
  count = 77;
  rc = file_pwrite_all(fd, data.data(), data.size(), 0, nullptr);
  g_script_armed = false;
  EXPECT_EQ(rc, STATUS_IO);
  ASSERT_EQ(file_close(fd), STATUS_OK);

  // Real failures: a full device and a read-only descriptor.
  ASSERT_EQ(file_create_output("/dev/full", 0, &fd), STATUS_OK);
  EXPECT_EQ(file_pwrite_all(fd, data.data(), data.size(), 0, &count), STATUS_IO);
  EXPECT_EQ(count, 77u);  // not stored on failure
  ASSERT_EQ(file_close(fd), STATUS_OK);
  ASSERT_EQ(file_open_read(path("w").c_str(), &fd), STATUS_OK);
  EXPECT_EQ(file_pwrite_all(fd, data.data(), data.size(), 0, &count), STATUS_IO);
  ASSERT_EQ(file_close(fd), STATUS_OK);
  // Zero bytes is success without a call.
  EXPECT_EQ(file_pwrite_all(-1, nullptr, 0, 0, &count), STATUS_OK);
  EXPECT_EQ(count, 0u);
}

// The opens for files below the storage root take nothing but a regular
// file: a link is not followed (its target stays untouched), a FIFO is not
// waited on, a directory or device is refused; each leaves no descriptor.
TEST_F(FileIoTest, StoreOpensTakeOnlyRegularFiles) {
  const std::string target = path("target");
  write_text(target, "keep");
  const std::string link = path("link");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  const std::string fifo = path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& p : {link, fifo, dir_, std::string("/dev/full")}) {
    SCOPED_TRACE(p);
    int fd = 123;
    EXPECT_EQ(file_open_read_regular(p.c_str(), &fd), STATUS_INVALID);
    EXPECT_EQ(fd, -1);
    fd = 123;
    EXPECT_EQ(file_create(p.c_str(), FILE_MODE, &fd), STATUS_INVALID);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(file_open_rw(p.c_str(), FILE_MODE, &fd), STATUS_INVALID);
    EXPECT_EQ(file_open_existing_rw(p.c_str(), &fd), STATUS_INVALID);
    EXPECT_EQ(file_create_excl(p.c_str(), FILE_MODE, &fd), STATUS_EXISTS);
  }
  EXPECT_EQ(read_text(target), "keep") << "the link's target was not emptied";

  // Opening again for direct I/O keeps only the file already open: a link,
  // a FIFO (without waiting) or another file now at the name is refused.
  {
    int held = -1;
    ASSERT_EQ(file_open_read_regular(target.c_str(), &held), STATUS_OK);
    for (const std::string& p : {link, fifo, path("other")}) {
      SCOPED_TRACE(p);
      if (p == path("other")) write_text(p, "else");
      int again = 123;
      // (O_DIRECT on a FIFO may be refused as unsupported before its type is seen.)
      EXPECT_NE(file_reopen_read_direct(held, p.c_str(), &again), STATUS_OK);
      EXPECT_NE(file_reopen_write_direct(held, p.c_str(), &again), STATUS_OK);
      EXPECT_EQ(again, -1);
    }
    int again = -1;
    int32_t rc = file_reopen_write_direct(held, target.c_str(), &again);
    EXPECT_TRUE(rc == STATUS_OK || rc == STATUS_UNSUPPORTED) << rc;  // tmpfs has no direct I/O
    if (again >= 0) {
      EXPECT_EQ(file_close(again), STATUS_OK);
    }
    ASSERT_EQ(file_close(held), STATUS_OK);
  }
  int fd = -1;
  ASSERT_EQ(file_open_read_regular(target.c_str(), &fd), STATUS_OK);
  ASSERT_EQ(file_close(fd), STATUS_OK);

  // Names are tested without following links, and only files are removed.
  EXPECT_TRUE(path_exists(link.c_str()));
  EXPECT_FALSE(path_is_regular(link.c_str()));
  EXPECT_FALSE(path_is_regular(fifo.c_str()));
  EXPECT_TRUE(path_is_regular(target.c_str()));
  int64_t mtime = 0;
  EXPECT_EQ(path_mtime(link.c_str(), &mtime), STATUS_INVALID);
  EXPECT_EQ(path_mtime(dir_.c_str(), &mtime), STATUS_INVALID);
  EXPECT_EQ(file_remove(link.c_str()), STATUS_OK);
  EXPECT_EQ(read_text(target), "keep");
  const std::string sub = path("sub");
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  EXPECT_NE(file_remove(sub.c_str()), STATUS_OK);
  EXPECT_TRUE(path_exists(sub.c_str()));
}

TEST_F(FileIoTest, TruncateSyncRenameAndExists) {
  const std::string a = path("a.tmp");
  const std::string b = path("a");
  int fd = -1;
  ASSERT_EQ(file_create(a.c_str(), FILE_MODE, &fd), STATUS_OK);
  ASSERT_EQ(file_pwrite_all(fd, "abcdef", 6, 0, nullptr), STATUS_OK);
  ASSERT_EQ(file_truncate(fd, 3), STATUS_OK);
  ASSERT_EQ(file_sync(fd), STATUS_OK);
  ASSERT_EQ(file_close(fd), STATUS_OK);
  EXPECT_TRUE(path_exists(a.c_str()));
  ASSERT_EQ(file_rename(a.c_str(), b.c_str()), STATUS_OK);
  EXPECT_FALSE(path_exists(a.c_str()));
  EXPECT_EQ(read_text(b), "abc");
  EXPECT_TRUE(path_exists(dir_.c_str()));
  EXPECT_EQ(file_rename(a.c_str(), b.c_str()), STATUS_NOT_FOUND);
  EXPECT_EQ(file_sync(-1), STATUS_IO);
  uint64_t size = 5;
  EXPECT_EQ(file_size(-1, &size), STATUS_IO);
  EXPECT_EQ(size, 5u);
}

TEST_F(FileIoTest, DirEnsureCreatesOneLevel) {
  const std::string d = path("d");
  EXPECT_EQ(dir_ensure(d.c_str()), STATUS_OK);
  struct stat st;
  ASSERT_EQ(stat(d.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(dir_ensure(d.c_str()), STATUS_OK);  // already there
  write_text(path("file"), "x");
  EXPECT_EQ(dir_ensure(path("file").c_str()), STATUS_EXISTS);
  EXPECT_EQ(dir_ensure(path("missing/child").c_str()), STATUS_NOT_FOUND);
  EXPECT_FALSE(path_exists(path("missing").c_str()));
  // A dangling symbolic link is in the way but is not a directory.
  ASSERT_EQ(symlink("nowhere", path("link").c_str()), 0);
  EXPECT_EQ(dir_ensure(path("link").c_str()), STATUS_EXISTS);
}

TEST_F(FileIoTest, SizeOfBlockDeviceIsDeviceSize) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a loop device";
  const std::string img = path("img");
  const uint64_t kSize = 3 * 1024 * 1024 + 512 * 3;
  int fd = -1;
  ASSERT_EQ(file_create(img.c_str(), FILE_MODE, &fd), STATUS_OK);
  ASSERT_EQ(file_truncate(fd, kSize), STATUS_OK);
  ASSERT_EQ(file_close(fd), STATUS_OK);
  std::string cmd = "losetup -f --show '" + img + "' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char dev[128] = {};
  bool got = fgets(dev, sizeof dev, p) != nullptr;
  int prc = pclose(p);
  if (!got || prc != 0) GTEST_SKIP() << "losetup not usable here";
  dev[strcspn(dev, "\n")] = '\0';
  uint64_t size = 0;
  int32_t rc = file_open_read(dev, &fd);
  if (rc == STATUS_OK) {
    rc = file_size(fd, &size);
    (void)file_close(fd);  // read-only descriptor; the result changes nothing
  }
  std::string detach = std::string("losetup -d ") + dev;
  EXPECT_EQ(system(detach.c_str()), 0);
  ASSERT_EQ(rc, STATUS_OK);
  EXPECT_EQ(size, kSize);
}

// Direct reads of whole pages; a file that ends inside a page is read to
// its end, and the rest of a range that a direct read leaves at an
// unaligned position comes through the plain descriptor.
TEST_F(FileIoTest, DirectReadsServeRangesUpToAnUnalignedEnd) {
  const std::string f = path("image");
  std::vector<uint8_t> data(3 * 4096 + 100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 1);
  int fd = -1;
  ASSERT_EQ(file_create(f.c_str(), FILE_MODE, &fd), STATUS_OK);
  size_t n = 0;
  ASSERT_EQ(file_pwrite_all(fd, data.data(), data.size(), 0, &n), STATUS_OK);
  ASSERT_EQ(file_sync(fd), STATUS_OK);
  ASSERT_EQ(file_close(fd), STATUS_OK);
  int plain = -1, direct = -1;
  ASSERT_EQ(file_open_read(f.c_str(), &plain), STATUS_OK);
  int32_t rc = file_open_read_direct(f.c_str(), &direct);
  if (rc == STATUS_UNSUPPORTED) {
    (void)file_close(plain);
    GTEST_SKIP() << "no direct I/O on this file system";
  }
  ASSERT_EQ(rc, STATUS_OK);
  AlignedBuffer buf;
  ASSERT_TRUE(buf.allocate(4 * 4096));
  ASSERT_EQ(file_pread_direct(direct, plain, buf.get(), data.size(), 0, &n), STATUS_OK);
  ASSERT_EQ(n, data.size());
  EXPECT_EQ(memcmp(buf.get(), data.data(), n), 0);
  ASSERT_EQ(file_pread_direct(direct, plain, buf.get(), 2 * 4096 + 100, 4096, &n), STATUS_OK);
  ASSERT_EQ(n, 2 * 4096u + 100);
  EXPECT_EQ(memcmp(buf.get(), data.data() + 4096, n), 0);
  // Past the end: what is there.
  ASSERT_EQ(file_pread_direct(direct, plain, buf.get(), 4096, 3 * 4096, &n), STATUS_OK);
  EXPECT_EQ(n, 100u);
  (void)file_close(direct);
  (void)file_close(plain);
}

TEST_F(FileIoTest, DirSyncParentFlushesTheRightDirectory) {
  ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
  // A path longer than the internal buffer whose parent still fits: the
  // parent must be the one flushed, never a cut-off prefix of the path. A
  // parent that itself does not fit is not flushed at all.
  const std::string long_name = path("sub") + "/" + std::string(PATH_SIZE, 'n');
  const std::string long_parent = "/" + std::string(PATH_SIZE + 10, 'p') + "/f";
  g_synced_dirs.clear();
  g_record_fsync = true;
  for (const std::string& p : {std::string("name-without-slash"), std::string("/x"), path("sub/journal"),
                               path("gone/journal"), long_name, long_parent}) {
    dir_sync_parent(p.c_str());
  }
  g_record_fsync = false;
  EXPECT_EQ(g_synced_dirs, (std::vector<std::string>{"/", path("sub"), path("sub")}));
}

}  // namespace
}  // namespace orv
