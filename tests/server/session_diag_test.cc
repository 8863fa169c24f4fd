// The session's figures as they reach its diagnostics record, and the
// record written only when the session has a diagnostics directory.
#include "server/session_diag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "support/server_process.h"

namespace orv {
namespace {

std::unique_ptr<Session> make_session(const std::string& diag_dir) {
  auto s = std::make_unique<Session>();
  session_init(s.get(), "/nonexistent", nullptr, 0, diag_dir.c_str(), !diag_dir.empty(), Channel{});
  return s;
}

std::string line_of(const Session& s) {
  char name[HDR_NAME_SIZE];
  SessionRecord r;
  session_diag_record(s, name, &r);
  char out[DIAG_RECORD_SIZE];
  size_t n = diag_format_session_record(r, -1, 1760000000, 1250, out);
  return std::string(out, n);
}

TEST(SessionDiagTest, NewSessionGivesTheEmptyRecord) {
  auto s = make_session("");
  EXPECT_EQ(line_of(*s),
            "{\"schema\":1,\"record_type\":\"target_session\",\"ts\":1760000000,\"backup_name\":\"\","
            "\"backup_type\":0,\"final_state\":\"wait_hello\",\"disconnect_status\":-1,\"duration_ms\":1250,"
            "\"bytes_received\":0,\"frames\":0,\"durable_seq\":0,\"checkpoint_count\":0,"
            "\"partial_expired_count\":0,\"resumed\":false}");
}

TEST(SessionDiagTest, CountersReachTheRecord) {
  auto s = make_session("");
  s->frames = 9;
  s->durable_seq = 8;
  s->checkpoint_count = 2;
  s->partial_expired_count = 1;
  std::string line = line_of(*s);
  EXPECT_NE(line.find("\"frames\":9,\"durable_seq\":8,\"checkpoint_count\":2,\"partial_expired_count\":1,"),
            std::string::npos)
      << line;
}

TEST(SessionDiagTest, WrittenOnlyWithADiagnosticsDirectory) {
  orv_support::TempDir dir;
  std::string diag = dir.path() + "/diag";
  auto with = make_session(diag);
  diag_write_session_record(*with, 0);
  diag_write_session_record(*with, 0);
  std::string text = orv_support::read_text(diag + "/diag.jsonl");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;

  auto without = make_session("");
  diag_write_session_record(*without, 0);  // nothing to write, nothing to fail
}

}  // namespace
}  // namespace orv
