#include "core/sysinfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "core/status.h"

namespace orv {
namespace {

class SysinfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/orv_sysinfo_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    kernel_ = std::string(u.sysname) + " " + u.release;
  }
  void TearDown() override {
    std::string cmd = "chmod -R u+rwx '" + dir_ + "'; rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Description produced from an os-release file holding content.
  std::string describe(const std::string& content, size_t size = OS_DESCRIPTION_SIZE) {
    const std::string p = path("os-release");
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
    char buf[OS_DESCRIPTION_SIZE + 64];
    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(os_description_from(p.c_str(), buf, size), 0);
    EXPECT_EQ(buf[size], 'Z');
    return buf;
  }

  std::string dir_;
  std::string kernel_;
};

TEST_F(SysinfoTest, PrettyNameForms) {
  EXPECT_EQ(describe("NAME=x\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n"),
            "Debian GNU/Linux 12 (bookworm) (" + kernel_ + ")");
  EXPECT_EQ(describe("PRETTY_NAME=Plain Name\r\n"), "Plain Name (" + kernel_ + ")");
  EXPECT_EQ(describe("PRETTY_NAME=\"\n"), "\" (" + kernel_ + ")");  // one quote is kept
  EXPECT_EQ(describe("PRETTY_NAME=\"\"\n"), kernel_);               // empty after unquoting
  EXPECT_EQ(describe("PRETTY_NAME='single'\n"), "'single' (" + kernel_ + ")");
  EXPECT_EQ(describe("PRETTY_NAME=\"half\n"), "\"half (" + kernel_ + ")");
  EXPECT_EQ(describe("PRETTY_NAME = \"Spaced\"\n"), kernel_);
  EXPECT_EQ(describe("pretty_name=\"lower\"\n"), kernel_);
  EXPECT_EQ(describe(" PRETTY_NAME=\"indented\"\n"), kernel_);
  EXPECT_EQ(describe("PRETTY_NAME=\n"), kernel_);
  EXPECT_EQ(describe("PRETTY_NAME=First\nPRETTY_NAME=Second\n"), "First (" + kernel_ + ")");
  EXPECT_EQ(describe("PRETTY_NAME=NoNewlineAtEnd"), "NoNewlineAtEnd (" + kernel_ + ")");
  EXPECT_EQ(describe("ID=debian\n"), kernel_);
  EXPECT_EQ(describe(""), kernel_);

  char buf[OS_DESCRIPTION_SIZE];
  EXPECT_EQ(os_description_from(path("missing").c_str(), buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), kernel_);
  EXPECT_EQ(os_description(buf, sizeof buf), 0);
  EXPECT_NE(std::string(buf).find(kernel_), std::string::npos);
}

TEST_F(SysinfoTest, LongValuesAndLinesAreCut) {
  // The value is cut to 159 characters before the kernel part is added, and
  // the whole text to the caller's buffer.
  std::string name(200, 'p');
  std::string got = describe("PRETTY_NAME=" + name + "\n", OS_DESCRIPTION_SIZE + 63);
  EXPECT_EQ(got, std::string(159, 'p') + " (" + kernel_ + ")");
  got = describe("PRETTY_NAME=" + name + "\n");
  EXPECT_EQ(got, std::string(159, 'p'));
  got = describe("PRETTY_NAME=\"short\"\n", 8);
  EXPECT_EQ(got, "short (");
  // A line longer than the line buffer is read in pieces; a piece that
  // starts with the key counts as a line of its own.
  std::string filler(255, 'f');
  EXPECT_EQ(describe(filler + "PRETTY_NAME=Tail\n"), "Tail (" + kernel_ + ")");
  EXPECT_EQ(describe("X=" + std::string(400, 'x') + "\nPRETTY_NAME=After\n"), "After (" + kernel_ + ")");
}

TEST_F(SysinfoTest, HostNameAndFreeSpace) {
  char host[HOST_NAME_SIZE];
  ASSERT_EQ(host_name(host, sizeof host), STATUS_OK);
  char want[256];
  ASSERT_EQ(gethostname(want, sizeof want), 0);
  EXPECT_EQ(std::string(host), std::string(want).substr(0, HOST_NAME_SIZE - 1));
  // A buffer too small for the name fails with an empty text.
  char tiny[1];
  tiny[0] = 'Z';
  if (strlen(want) > 0) {
    EXPECT_NE(host_name(tiny, sizeof tiny), STATUS_OK);
    EXPECT_EQ(tiny[0], '\0');
  }

  uint64_t free_bytes = 0;
  EXPECT_EQ(disk_free_bytes(dir_.c_str(), &free_bytes), STATUS_OK);
  EXPECT_GT(free_bytes, 0u);
  uint64_t untouched = 1234;
  EXPECT_EQ(disk_free_bytes(path("nope").c_str(), &untouched), STATUS_NOT_FOUND);
  EXPECT_EQ(untouched, 1234u);
}

TEST_F(SysinfoTest, ClocksMove) {
  int64_t t = now_seconds();
  EXPECT_GT(t, 1700000000);
  EXPECT_LE(t - static_cast<int64_t>(time(nullptr)), 0);
  uint64_t a = monotonic_ms();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  uint64_t b = monotonic_ms();
  EXPECT_GE(b - a, 29u);
  EXPECT_LT(b - a, 5000u);
}

TEST_F(SysinfoTest, MakeDirsCreatesMissingParents) {
  ASSERT_EQ(mkdir(path("a").c_str(), 0755), 0);
  EXPECT_EQ(make_dirs(path("a/b/c").c_str()), STATUS_OK);
  struct stat st;
  ASSERT_EQ(stat(path("a/b/c").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(make_dirs(path("a/b/c").c_str()), STATUS_OK);
  EXPECT_EQ(make_dirs(path("x/y/z/").c_str()), STATUS_OK);  // trailing slash
  EXPECT_EQ(stat(path("x/y/z").c_str(), &st), 0);
  std::ofstream(path("file")) << "x";
  EXPECT_EQ(make_dirs(path("file").c_str()), STATUS_EXISTS);
  EXPECT_EQ(make_dirs(path("file/below").c_str()), STATUS_IO);  // ENOTDIR
  EXPECT_EQ(make_dirs("/"), STATUS_OK);
  // A relative path is created relative to the working directory.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  int32_t rc = make_dirs("r1/r2");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(rc, STATUS_OK);
  EXPECT_EQ(stat(path("r1/r2").c_str(), &st), 0);
}

TEST_F(SysinfoTest, MakeDirsRefusesPathsThatDoNotFit) {
  std::string longp = path(std::string(PATH_SIZE, 'l'));
  EXPECT_EQ(make_dirs(longp.c_str()), STATUS_INVALID);
  // Nothing was created under a cut-off name.
  std::string cut = longp.substr(0, PATH_SIZE - 1);
  struct stat st;
  EXPECT_NE(stat(cut.c_str(), &st), 0);
  EXPECT_NE(stat(longp.c_str(), &st), 0);
}

TEST_F(SysinfoTest, MakeDirsBelowUnwritableDirectoryReportsPermissionError) {
  ASSERT_EQ(mkdir(path("ro").c_str(), 0555), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  const std::string direct = path("ro/a");
  const std::string deeper = path("ro/a/b");
  // Root ignores directory permissions, so the attempt runs in a child that
  // has dropped to an unprivileged user.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 && setuid(65534) != 0) _exit(2);
    // The last step decides: EACCES directly below, ENOENT one level deeper
    // (its parent could not be made).
    if (make_dirs(direct.c_str()) != STATUS_IO) _exit(1);
    _exit(make_dirs(deeper.c_str()) == STATUS_NOT_FOUND ? 0 : 1);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  EXPECT_FALSE(access(path("ro/a").c_str(), F_OK) == 0);
}

}  // namespace
}  // namespace orv
