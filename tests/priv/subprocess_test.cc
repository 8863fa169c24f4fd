#include "priv/subprocess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace orv {
namespace {

struct Outcome {
  int rc = -2;
  RunResult result;
  std::string output;
  long elapsed_ms = 0;
};

Outcome run_sh(const std::string& script, uint32_t timeout_sec = 30, size_t buffer = 2048,
               const char* const* extra_env = nullptr, uint32_t kill_grace_sec = RUN_KILL_GRACE_SEC) {
  const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
  Outcome r;
  std::string buf(buffer, 'X');
  struct timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  r.rc = run_command(argv, extra_env, timeout_sec, buf.data(), buf.size(), &r.result, kill_grace_sec);
  clock_gettime(CLOCK_MONOTONIC, &b);
  r.elapsed_ms = (b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000;
  r.output = buf.c_str();
  return r;
}

TEST(RunCommand, CapturesBothStreamsAndTheExitCode) {
  Outcome r = run_sh("echo out; echo err >&2; exit 3");
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.result.exit_code, 3);
  EXPECT_FALSE(r.result.timed_out);
  EXPECT_EQ(r.output, "out\nerr\n");
}

TEST(RunCommand, OutputBeyondTheBufferIsDroppedAndTheToolStillCompletes) {
  // Far more than a pipe holds: the runner must keep draining.
  Outcome r = run_sh("head -c 102400 /dev/zero | tr '\\0' a", 30, 64);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.result.exit_code, 0);
  EXPECT_EQ(r.output, std::string(63, 'a'));
}

TEST(RunCommand, MissingProgramExitsWith127) {
  const char* argv[] = {"orv-no-such-tool-here", nullptr};
  RunResult result;
  char out[64];
  ASSERT_EQ(run_command(argv, nullptr, 5, out, sizeof out, &result), 0);
  EXPECT_EQ(result.exit_code, RUN_EXIT_NOT_FOUND);
  EXPECT_STREQ(out, "");
}

TEST(RunCommand, ChildEnvironmentGroupStdinAndDescriptors) {
  setenv("LVM_SUPPRESS_FD_WARNINGS", "0", 1);
  setenv("ORV_TEST_EXTRA", "old", 1);
  int leaky = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  const char* extra[] = {"ORV_TEST_EXTRA=new", nullptr};
  Outcome r = run_sh("echo \"$LVM_SUPPRESS_FD_WARNINGS $ORV_TEST_EXTRA $(env | grep -c ORV_TEST_EXTRA)\"; "
                     "set -- $(cut -d' ' -f5 /proc/$$/stat); [ \"$1\" = $$ ] && echo leader; "
                     "[ -e /proc/$$/fd/" + std::to_string(leaky) + " ] && echo leaked; "
                     "read x && echo stdin-not-empty; exit 0",
                     30, 256, extra);
  close(leaky);
  unsetenv("LVM_SUPPRESS_FD_WARNINGS");
  unsetenv("ORV_TEST_EXTRA");
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.output, "1 new 1\nleader\n");
}

TEST(RunCommand, TimeOutSendsSigtermToTheWholeGroup) {
  // sleep is the shell's child and goes only when the whole group is signalled.
  char pid_file[] = "/tmp/orv_run_pid_XXXXXX";
  close(mkstemp(pid_file));
  Outcome r = run_sh(std::string("sleep 20 & echo $! > ") + pid_file + "; wait; echo never", 1);
  ASSERT_EQ(r.rc, 0);
  EXPECT_TRUE(r.result.timed_out);
  EXPECT_EQ(r.result.exit_code, -1);
  EXPECT_EQ(r.output, "");
  EXPECT_GE(r.elapsed_ms, 900);
  EXPECT_LT(r.elapsed_ms, 5000);
  FILE* f = fopen(pid_file, "r");
  int sleeper = 0;
  ASSERT_TRUE(f != nullptr && fscanf(f, "%d", &sleeper) == 1);
  fclose(f);
  unlink(pid_file);
  bool gone = false;
  for (int i = 0; i < 50 && !gone; ++i, usleep(20000)) {
    FILE* st = fopen(("/proc/" + std::to_string(sleeper) + "/stat").c_str(), "r");
    char state = 'Z';
    if (st != nullptr) {
      (void)!fscanf(st, "%*d %*s %c", &state);
      fclose(st);
    }
    gone = state == 'Z' || state == 'X';
  }
  EXPECT_TRUE(gone) << "the tool's child survived the time-out";

  r = run_sh("trap 'echo term; exit 7' TERM; sleep 20 & wait", 1);
  EXPECT_TRUE(r.result.timed_out);
  EXPECT_EQ(r.result.exit_code, 7);  // a tool that exits on SIGTERM keeps its code
  EXPECT_EQ(r.output, "term\n");
}

TEST(RunCommand, ToolIgnoringSigtermIsKilledAfterTheGrace) {
  Outcome r = run_sh("trap '' TERM; sleep 20", 1, 2048, nullptr, 1);
  ASSERT_EQ(r.rc, 0);
  EXPECT_TRUE(r.result.timed_out);
  EXPECT_EQ(r.result.exit_code, -1);
  EXPECT_GE(r.elapsed_ms, 1900);
  EXPECT_LT(r.elapsed_ms, 6000);
}

TEST(RunCommand, DescendantHoldingThePipeDoesNotHoldTheCaller) {
  Outcome r = run_sh("setsid sleep 3 & echo hi", 30);  // leaves the group, keeps stdout
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.result.exit_code, 0);
  EXPECT_EQ(r.output, "hi\n");
  EXPECT_LT(r.elapsed_ms, 2500);
}

}  // namespace
}  // namespace orv
