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

// A session and the settings it refers to, together. diag_dir "": no
// diagnostics (--no-diag).
struct DiagSession {
  std::string dir;
  ServerConfig config;
  Session session;
};

std::unique_ptr<DiagSession> make_session(const std::string& diag_dir) {
  auto s = std::make_unique<DiagSession>();
  s->dir = diag_dir;
  s->config.storage_root = "/nonexistent";
  s->config.diag_dir = s->dir.c_str();
  s->config.diag_off = diag_dir.empty();
  session_init(&s->session, s->config, nullptr, 0, Channel{});
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
  EXPECT_EQ(line_of(s->session),
            "{\"schema\":1,\"record_type\":\"target_session\",\"ts\":1760000000,\"backup_name\":\"\","
            "\"backup_type\":0,\"final_state\":\"wait_hello\",\"disconnect_status\":-1,\"duration_ms\":1250,"
            "\"bytes_received\":0,\"frames\":0,\"durable_seq\":0,\"checkpoint_count\":0,"
            "\"partial_expired_count\":0,\"resumed\":false}");
}

TEST(SessionDiagTest, CountersReachTheRecord) {
  auto s = make_session("");
  s->session.frames = 9;
  s->session.durable_seq = 8;
  s->session.checkpoint_count = 2;
  s->session.partial_expired_count = 1;
  std::string line = line_of(s->session);
  EXPECT_NE(line.find("\"frames\":9,\"durable_seq\":8,\"checkpoint_count\":2,\"partial_expired_count\":1,"),
            std::string::npos)
      << line;
}

TEST(SessionDiagTest, WrittenOnlyWithADiagnosticsDirectory) {
  orv_support::TempDir dir;
  std::string diag = dir.path() + "/diag";
  auto with = make_session(diag);
  diag_write_session_record(with->session, 0);
  diag_write_session_record(with->session, 0);
  std::string text = orv_support::read_text(diag + "/diag.jsonl");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;

  auto without = make_session("");
  diag_write_session_record(without->session, 0);  // nothing to write, nothing to fail
}

// Where the records go: --diag-dir, else "<storage>/diag"; nowhere with
// --no-diag or when the path would not fit (a cut path names another
// directory).
TEST(SessionDiagTest, DirectoryFromTheSettings) {
  ServerConfig config;
  config.storage_root = "/srv/root";
  char dir[64];
  EXPECT_TRUE(session_diag_dir(config, dir, sizeof dir));
  EXPECT_STREQ(dir, "/srv/root/diag");
  config.diag_dir = "/var/d";
  EXPECT_TRUE(session_diag_dir(config, dir, sizeof dir));
  EXPECT_STREQ(dir, "/var/d");
  config.diag_off = true;
  EXPECT_FALSE(session_diag_dir(config, dir, sizeof dir));
  EXPECT_STREQ(dir, "");

  // A storage root longer than the 511 characters a session once kept is
  // used whole.
  std::string root = "/" + std::string(600, 'r');
  config = ServerConfig{};
  config.storage_root = root.c_str();
  char big[PATH_SIZE];
  EXPECT_TRUE(session_diag_dir(config, big, sizeof big));
  EXPECT_EQ(std::string(big), root + "/diag");
  EXPECT_FALSE(session_diag_dir(config, dir, sizeof dir));
  EXPECT_STREQ(dir, "");
}

}  // namespace
}  // namespace orv
