#include "core/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace orv {
namespace {

// Redirects standard error into a temporary file for the lifetime of the
// object; text() returns what was written so far.
class StderrCapture {
 public:
  StderrCapture() {
    char tmpl[] = "/tmp/orv_log_test_XXXXXX";
    fd_ = mkstemp(tmpl);
    EXPECT_GE(fd_, 0);
    unlink(tmpl);
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    EXPECT_GE(dup2(fd_, STDERR_FILENO), 0);
  }
  ~StderrCapture() {
    restore();
    if (fd_ >= 0) close(fd_);
  }
  void restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::string text() {
    std::string out;
    char buf[65536];
    off_t off = 0;
    for (;;) {
      ssize_t n = pread(fd_, buf, sizeof buf, off);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
      off += n;
    }
    return out;
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
};

std::vector<std::string> split_lines(const std::string& s) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < s.size()) {
    size_t nl = s.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(s.substr(start));  // an unterminated tail is a fault
      break;
    }
    lines.push_back(s.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

const std::regex kStamp("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z ");

TEST(LogTest, LevelsArePaddedToFiveColumnsAndDebugIsDropped) {
  log_init("orv_target", LEVEL_INFO);
  StderrCapture cap;
  log_write(LEVEL_DEBUG, "hidden %d", 1);
  log_write(LEVEL_INFO, "listening on %s:%d", "0.0.0.0", 9990);
  log_write(LEVEL_WARN, "w");
  log_write(LEVEL_ERROR, "e %s", "x");
  log_write(7, "odd");
  cap.restore();
  auto lines = split_lines(cap.text());
  ASSERT_EQ(lines.size(), 4u) << cap.text();
  for (const auto& l : lines) EXPECT_TRUE(std::regex_search(l, kStamp)) << l;
  EXPECT_EQ(lines[0].substr(21), "[orv_target] INFO  listening on 0.0.0.0:9990");
  EXPECT_EQ(lines[1].substr(21), "[orv_target] WARN  w");
  EXPECT_EQ(lines[2].substr(21), "[orv_target] ERROR e x");
  EXPECT_EQ(lines[3].substr(21), "[orv_target] ?     odd");
}

TEST(LogTest, MinimumLevelFiltersAndDebugAppearsWhenAllowed) {
  log_init("t", LEVEL_WARN);
  StderrCapture cap;
  log_write(LEVEL_INFO, "dropped");
  log_write(LEVEL_WARN, "kept");
  log_init("t", LEVEL_DEBUG);
  log_write(LEVEL_DEBUG, "dbg");
  cap.restore();
  auto lines = split_lines(cap.text());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(21), "[t] WARN  kept");
  EXPECT_EQ(lines[1].substr(21), "[t] DEBUG dbg");
  log_init("orv_target", LEVEL_INFO);
}

TEST(LogTest, ProgramNameIsCutTo63Characters) {
  std::string name(70, 'n');
  name[62] = 'L';  // last character kept
  name[63] = 'X';  // first character cut
  log_init(name.c_str(), LEVEL_INFO);
  StderrCapture cap;
  log_write(LEVEL_INFO, "m");
  cap.restore();
  log_init("orv_target", LEVEL_INFO);
  auto lines = split_lines(cap.text());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(21), "[" + name.substr(0, 63) + "] INFO  m");
}

TEST(LogTest, ConcurrentLinesNeverInterleave) {
  log_init("orv_target", LEVEL_INFO);
  constexpr int kThreads = 16;
  constexpr int kLines = 400;
  StderrCapture cap;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      // Long enough that a line split across several writes would show.
      std::string pad(300, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) log_write(LEVEL_INFO, "thread=%d line=%d %s end", t, i, pad.c_str());
    });
  }
  for (auto& th : threads) th.join();
  cap.restore();
  auto lines = split_lines(cap.text());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  const std::regex re("^\\S+ \\[orv_target\\] INFO  thread=([0-9]+) line=([0-9]+) ([a-p]{300}) end$");
  for (const auto& l : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, re)) << l.substr(0, 120);
    int t = std::stoi(m[1].str());
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(m[3].str(), std::string(300, static_cast<char>('a' + t)));
    // Each thread's own lines keep their order.
    EXPECT_EQ(std::stoi(m[2].str()), next[static_cast<size_t>(t)]++);
  }
}

}  // namespace
}  // namespace orv
