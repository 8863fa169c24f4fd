// Session diagnostics records: the exact line, and whole lines from
// sessions ending together (the real binary's records are checked by the
// integration tests).
#include "diag/session_record.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/server_process.h"

namespace orv {
namespace {

using orv_support::read_text;

std::unique_ptr<Session> make_session(const std::string& diag_dir) {
  auto s = std::make_unique<Session>();
  session_init(s.get(), "/nonexistent", nullptr, 0, diag_dir.c_str(), !diag_dir.empty(), Channel{});
  return s;
}

TEST(SessionRecordTest, LineHasEveryMemberInOrder) {
  auto s = make_session("");
  char out[DIAG_RECORD_SIZE];
  size_t n = diag_format_session_record(*s, -1, 1760000000, 1250, out);
  EXPECT_EQ(std::string(out, n),
            "{\"schema\":1,\"record_type\":\"target_session\",\"ts\":1760000000,\"backup_name\":\"\","
            "\"backup_type\":0,\"final_state\":\"wait_hello\",\"disconnect_status\":-1,\"duration_ms\":1250,"
            "\"bytes_received\":0,\"frames\":0,\"durable_seq\":0,\"checkpoint_count\":0,"
            "\"partial_expired_count\":0,\"resumed\":false}");
}

TEST(SessionRecordTest, AppendsWholeLinesAndCreatesTheDirectory) {
  orv_support::TempDir dir;
  std::string diag = dir.path() + "/a/b/diag";
  // Sessions ending at the same moment, each appending on its own.
  constexpr int kThreads = 4, kEach = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&diag, t] {
      auto s = make_session(diag);
      s->frames = static_cast<uint64_t>(t);
      for (int i = 0; i < kEach; ++i) diag_write_session_record(*s, -t);
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

}  // namespace
}  // namespace orv
