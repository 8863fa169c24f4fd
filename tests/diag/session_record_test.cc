// Session diagnostics records: the exact line, and whole lines from
// sessions ending together (the real binary's records are checked by the
// integration tests).
#include "diag/session_record.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "support/server_process.h"

namespace orv {
namespace {

using orv_support::read_text;

TEST(SessionRecordTest, LineHasEveryMemberInOrder) {
  SessionRecord r;
  r.backup_name = "host1-sda";
  r.backup_type = 2;
  r.final_state = "receiving";
  r.bytes_received = 4096;
  r.frames = 7;
  r.durable_seq = 5;
  r.checkpoint_count = 1;
  r.partial_expired_count = 3;
  r.resumed = true;
  char out[DIAG_RECORD_SIZE];
  size_t n = diag_format_session_record(r, -1, 1760000000, 1250, out);
  EXPECT_EQ(std::string(out, n),
            "{\"schema\":1,\"record_type\":\"target_session\",\"ts\":1760000000,\"backup_name\":\"host1-sda\","
            "\"backup_type\":2,\"final_state\":\"receiving\",\"disconnect_status\":-1,\"duration_ms\":1250,"
            "\"bytes_received\":4096,\"frames\":7,\"durable_seq\":5,\"checkpoint_count\":1,"
            "\"partial_expired_count\":3,\"resumed\":true}");
}

TEST(SessionRecordTest, AppendsWholeLinesAndCreatesTheDirectory) {
  orv_support::TempDir dir;
  std::string diag = dir.path() + "/a/b/diag";
  // Sessions ending at the same moment, each appending on its own.
  constexpr int kThreads = 4, kEach = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&diag, t] {
      SessionRecord r;
      r.frames = static_cast<uint64_t>(t);
      for (int i = 0; i < kEach; ++i) diag_write_session_record(diag.c_str(), r, -t);
    });
  }
  for (std::thread& th : threads) th.join();
  std::string text = read_text(diag + "/diag.jsonl");
  size_t lines = 0;
  for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1, ++lines) {
    std::string line = text.substr(start, nl - start);
    ASSERT_EQ(line.rfind("{\"schema\":1,", 0), 0u) << line;
    ASSERT_EQ(line.back(), '}') << line;
  }
  EXPECT_EQ(lines, static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(text.back(), '\n');
}

// The record file may lie below the storage root, where tenants write: a
// FIFO there must not hold up the ending session, and a link must not lead
// the record into another file.
TEST(SessionRecordTest, NeverWaitsOnAFifoNorFollowsALink) {
  orv_support::TempDir dir;
  std::string diag = dir.path() + "/diag";
  ASSERT_EQ(mkdir(diag.c_str(), 0755), 0);
  std::string records = diag + "/diag.jsonl";
  ASSERT_EQ(mkfifo(records.c_str(), 0666), 0);
  SessionRecord r;
  diag_write_session_record(diag.c_str(), r, 0);  // returns: no reader is waited for
  ASSERT_EQ(unlink(records.c_str()), 0);
  std::string elsewhere = dir.path() + "/elsewhere";
  ASSERT_TRUE(orv_support::write_text(elsewhere, "keep", 0644));
  ASSERT_EQ(symlink(elsewhere.c_str(), records.c_str()), 0);
  diag_write_session_record(diag.c_str(), r, 0);
  EXPECT_EQ(read_text(elsewhere), "keep");
}

}  // namespace
}  // namespace orv
