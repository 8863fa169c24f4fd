#include "core/runlog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "app/child_process.h"
#include "app/options.h"

namespace orv {
namespace {

using orv_test::ChildResult;
using orv_test::TempDir;
using Lines = std::vector<std::string>;

// The run log is process-wide and closes in an exit hook, so each case runs
// in a child: set up from words, write one program and two session entries
// (unless bare), and exit with exit_status.
ChildResult run_case(const TempDir& dir, std::vector<std::string> words, int exit_status = 0,
                     bool bare = false, bool check_options = false) {
  return orv_test::run_in_child(dir.path(), [&] {
    std::vector<const char*> argv = {"orv_target"};
    for (const std::string& w : words) argv.push_back(w.c_str());
    int argc = static_cast<int>(argv.size());
    runlog_init(argc, argv.data(), "orv_target");
    if (!bare) {
      runlog_write(RUNLOG_PROGRAM, "program entry %d", 7);
      runlog_backup_started("host1-sda", 0);
      runlog_backup_finished("host1-sda", 9);
    }
    if (check_options) exit_status = opt_check(argc, argv.data(), known_options, 0);
    exit(exit_status);
  });
}

// Entry texts of a log file, each line's prefix checked.
Lines entries(const std::string& path) {
  static const std::regex prefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[orv_target\] pid=\d+ (.*)$)");
  Lines out;
  std::string text = orv_test::read_file(path);
  for (size_t pos = 0, nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1) {
    std::string line = text.substr(pos, nl - pos);
    std::smatch m;
    out.push_back(std::regex_match(line, m, prefix) ? m[1].str() : "BAD LINE: " + line);
  }
  return out;
}

const Lines kProgramOnly = {"started", "program entry 7", "stopped exit=0"};
const Lines kSessionOnly = {"backup started name=host1-sda type=FULL", "backup finished name=host1-sda type=?"};

TEST(RunlogFile, FileMaskSelectsCategories) {
  const std::pair<const char*, Lines> cases[] = {
      {nullptr, kProgramOnly},
      {"", kProgramOnly},
      {"3", {"started", "program entry 7", kSessionOnly[0], kSessionOnly[1], "stopped exit=0"}},
      {"0x2", kSessionOnly},
      {"02", kSessionOnly},
      {"0", {}},  // the file is still opened (created)
  };
  for (const auto& [mask, want] : cases) {
    TempDir dir;
    std::vector<std::string> words = {"--no-syslog", "--log-path=" + dir.path()};
    if (mask != nullptr) words.insert(words.end(), {"--log", mask});
    ChildResult r = run_case(dir, words);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.err, "") << (mask ? mask : "none");
    EXPECT_EQ(access(dir.sub("target.log").c_str(), F_OK), 0);
    EXPECT_EQ(entries(dir.sub("target.log")), want) << (mask ? mask : "none");
  }
}

TEST(RunlogFile, InvalidMaskWarnsAndUsesOne) {
  for (const char* mask : {"abc", "3x", "0x"}) {
    TempDir dir;
    ChildResult r = run_case(dir, {"--no-syslog", "--log-path", dir.path(), "--log", mask});
    EXPECT_EQ(r.err, std::string("warning: orv_runlog: invalid --log value '") + mask + "' -- using default 1\n");
    EXPECT_EQ(entries(dir.sub("target.log")), kProgramOnly) << mask;
  }
  TempDir dir;
  ChildResult r = run_case(dir, {"--no-syslog", "--syslog", "abc", "--log-path", dir.path()});
  EXPECT_EQ(r.err, "warning: orv_runlog: invalid --syslog value 'abc' -- using default 1\n");
}

TEST(RunlogFile, ExitHookRecordsTheStatusAndTheWritersPid) {
  TempDir dir;
  ChildResult r = orv_test::run_in_child(dir.path(), [&] {
    const char* argv[] = {"orv_target", "--no-syslog", "--log-path", dir.path().c_str()};
    runlog_init(4, argv, "orv_target");
    printf("%ld", static_cast<long>(getpid()));
    exit(3);
  });
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 3);
  std::string text = orv_test::read_file(dir.sub("target.log"));
  EXPECT_NE(text.find("[orv_target] pid=" + r.out + " started\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[orv_target] pid=" + r.out + " stopped exit=3\n"), std::string::npos) << text;

  // A negative status is recorded without a number.
  TempDir dir2;
  run_case(dir2, {"--no-syslog", "--log-path", dir2.path()}, -1, true);
  EXPECT_EQ(entries(dir2.sub("target.log")), (Lines{"started", "stopped"}));
}

TEST(RunlogFile, EntriesAreCutTo511Characters) {
  TempDir dir;
  orv_test::run_in_child(dir.path(), [&] {
    const char* argv[] = {"orv_target", "--no-syslog", "--log-path", dir.path().c_str()};
    runlog_init(4, argv, "orv_target");
    runlog_write(RUNLOG_PROGRAM, "x%s", std::string(600, 'n').c_str());
  });
  Lines got = entries(dir.sub("target.log"));
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1], "x" + std::string(510, 'n'));
}

TEST(RunlogFile, DirectoryHandling) {
  // --no-log creates nothing.
  TempDir dir;
  ChildResult r = run_case(dir, {"--no-syslog", "--no-log", "--log-path", dir.sub("sub")});
  EXPECT_EQ(r.err, "");
  EXPECT_NE(access(dir.sub("sub").c_str(), F_OK), 0);
  // Missing parents are created.
  run_case(dir, {"--no-syslog", "--log-path", dir.sub("a/b")});
  EXPECT_EQ(entries(dir.sub("a/b/target.log")), kProgramOnly);

  char path[RUNLOG_PATH_MAX + 1];
  runlog_file_name("/tmp/x", "orv_target", path, sizeof path);
  EXPECT_STREQ(path, "/tmp/x/target.log");
  runlog_file_name("/tmp/x/", "orv_target", path, sizeof path);
  EXPECT_STREQ(path, "/tmp/x/target.log");
  runlog_file_name(std::string(1300, 'd').c_str(), "orv_target", path, sizeof path);
  EXPECT_EQ(strlen(path), RUNLOG_PATH_MAX);
}

TEST(RunlogFile, UnusableDirectoryOrFileWarnsOnceAndRunsOn) {
  TempDir dir;
  FILE* f = fopen(dir.sub("plain").c_str(), "w");  // a file where a directory should be
  ASSERT_NE(f, nullptr);
  fclose(f);
  ChildResult r = run_case(dir, {"--no-syslog", "--log-path", dir.sub("plain/logs")}, 4);
  EXPECT_EQ(r.exit_code, 4);
  EXPECT_EQ(r.err, "warning: orv_runlog: could not create log directory '" + dir.sub("plain/logs") +
                       "' -- continuing without logfile\n");

  TempDir dir2;
  ASSERT_EQ(mkdir(dir2.sub("target.log").c_str(), 0700), 0);  // a directory where the file should be
  r = run_case(dir2, {"--no-syslog", "--log-path", dir2.path() + "/"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "warning: orv_runlog: could not open logfile '" + dir2.path() +
                       "/target.log' -- continuing without logfile\n");
}

TEST(RunlogFile, OptionWarningsAreEntriesAndLoggingOptionsAreKnown) {
  TempDir dir;
  ChildResult r = run_case(dir, {"--no-syslog", "--log-path", dir.path(), "--log", "1", "--syslog=1",
                                 "--no-log-x", "--colour", "red"},
                           0, true, true);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(entries(dir.sub("target.log")),
            (Lines{"started", "unknown option '--no-log-x' ignored",
                   "unknown option '--colour' ignored (with the value after it)", "stopped exit=2"}));
}

}  // namespace
}  // namespace orv
