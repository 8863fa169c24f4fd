// Drives the real orv_target binary through its modes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "app/child_process.h"

namespace {

using orv_test::ChildResult;
using orv_test::TempDir;

const std::string kBinary = ORV_TARGET_BIN;
const char kRequiredError[] =
    "error: --storage, --tls-cert, --tls-key and --acl-file are required (use --help)\n";

ChildResult run(const TempDir& dir, std::vector<std::string> args) {
  return orv_test::run_binary(kBinary, dir.path(), args);
}

// Run-log arguments that keep the run in the test's directory.
std::vector<std::string> quiet(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), {"--no-syslog", "--log-path", dir.sub("log")});
  return args;
}

std::string runlog_text(const TempDir& dir) { return orv_test::read_file(dir.sub("log/target.log")); }

TEST(Entry, VersionWinsAndWritesNoRunLog) {
  TempDir dir;
  for (auto args : std::vector<std::vector<std::string>>{
           {"--version"}, {"--selftest", "--version"}, {"--help", "--version", "--colour", "x"}}) {
    ChildResult r = run(dir, quiet(dir, args));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "orv_target 1.0.2-alpha028\n");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_NE(access(dir.sub("log").c_str(), F_OK), 0);  // no run log
}

TEST(Entry, SelftestPasses) {
  TempDir dir;
  ChildResult r = run(dir, quiet(dir, {"--selftest", "--unknown"}));
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "orv_target 1.0.2-alpha028: selftest ok\n");
  EXPECT_EQ(r.err, "");  // no option warnings before the log is set up
  EXPECT_NE(access(dir.sub("log").c_str(), F_OK), 0);  // no run log
}

TEST(Entry, HelpIsPrintedExactlyWithoutRequiredOptions) {
  std::string expected = orv_test::read_file(std::string(ORV_SOURCE_DIR) + "/tests/app/help_expected.txt");
  ASSERT_FALSE(expected.empty());
  for (const char* flag : {"--help", "-h"}) {
    TempDir dir;
    ChildResult r = run(dir, quiet(dir, {flag}));
    ASSERT_TRUE(r.exited) << flag;
    EXPECT_EQ(r.exit_code, 0) << flag;
    EXPECT_EQ(r.out, expected) << flag;
    EXPECT_EQ(r.err, "") << flag;
    // The run log is set up before the help, so both program entries exist.
    std::string log = runlog_text(dir);
    EXPECT_NE(log.find("] pid="), std::string::npos);
    EXPECT_NE(log.find(" started\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" stopped exit=0\n"), std::string::npos) << log;
  }
}

TEST(Entry, MissingRequiredOptionsExitTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--storage", "/s", "--tls-cert", "c", "--tls-key", "k"},
      {"--storage=/s", "--tls-cert=c", "--acl-file=a", "--tls-key"},  // value missing at the end
  };
  for (const auto& args : cases) {
    TempDir dir;
    ChildResult r = run(dir, quiet(dir, args));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kRequiredError);
    EXPECT_NE(runlog_text(dir).find(" stopped exit=2\n"), std::string::npos);
  }
}

TEST(Entry, UnknownOptionsWarnOnStderrAndInTheRunLog) {
  TempDir dir;
  ChildResult r = run(dir, quiet(dir, {"--colour", "red", "--io-uring=1", "stray", "--", "after", "-h"}));
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 0);  // -h after "--" is still found
  const char* warnings[] = {"unknown option '--colour' ignored (with the value after it)",
                            "unknown option '--io-uring=...' ignored", "unexpected argument 'stray' ignored"};
  std::string log = runlog_text(dir);
  for (const char* w : warnings) {
    EXPECT_NE(r.err.find(std::string("[orv_target] WARN  ") + w + "\n"), std::string::npos) << r.err;
    EXPECT_NE(log.find(std::string(" ") + w + "\n"), std::string::npos) << log;
  }
  EXPECT_EQ(r.err.find("'after'"), std::string::npos);  // nothing after "--" is reported
}

TEST(Entry, ModesComeBeforeHelp) {
  // --priv-debug and --collect-diag are chosen before --help; neither prints
  // the help text.
  for (auto args : std::vector<std::vector<std::string>>{{"--help", "--collect-diag"},
                                                         {"--help", "--priv-debug", "lv_query"}}) {
    TempDir dir;
    ChildResult r = run(dir, quiet(dir, args));
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out.find("Usage:"), std::string::npos);
  }
}

TEST(Entry, ServerFailureIsReportedWithStatusAndExitOne) {
  TempDir dir;
  // Nothing exists at these paths, so server mode fails during start-up.
  ChildResult r = run(dir, quiet(dir, {"--storage", dir.sub("store"), "--tls-cert", dir.sub("none.pem"),
                                       "--tls-key", dir.sub("none.key"), "--acl-file", dir.sub("none.acl"),
                                       "--bind", "127.0.0.1", "--port", "0"}));
  ASSERT_TRUE(r.exited) << (r.timed_out ? "timed out" : "killed");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("] ERROR orv_target exited with "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("(status=-"), std::string::npos) << r.err;
  EXPECT_NE(runlog_text(dir).find(" stopped exit=1\n"), std::string::npos);
}

}  // namespace
