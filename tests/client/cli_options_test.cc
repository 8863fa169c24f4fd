// Command-line parsing of orv_client, the API key file, and the progress
// line's text.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "client/cli_options.h"
#include "client/progress.h"
#include "core/status.h"
#include "support/server_process.h"

namespace orv {
namespace {

int32_t parse(std::vector<std::string> args, CliOptions* o, std::string* error) {
  args.insert(args.begin(), "orv_client");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  char text[2048];
  int32_t rc = cli_parse(static_cast<int>(argv.size()), argv.data(), o, text, sizeof text);
  *error = text;
  return rc;
}

TEST(CliOptionsTest, UuidsAndTargets) {
  Uuid u;
  ASSERT_EQ(cli_parse_uuid("0123abcd-EF01-4567-89ab-cdef01234567", &u), STATUS_OK);
  EXPECT_EQ(u.bytes[0], 0x01);
  EXPECT_EQ(u.bytes[4], 0xEF);
  EXPECT_EQ(u.bytes[15], 0x67);
  for (const char* bad : {"0123abcd-ef01-4567-89ab-cdef0123456", "0123abcd-ef01-4567-89ab-cdef012345678",
                          "0123abcdef01-4567-89ab-cdef012345678", "0123abcd-ef01-4567-89ab-cdef0123456g"}) {
    EXPECT_EQ(cli_parse_uuid(bad, &u), STATUS_INVALID) << bad;
  }

  char host[16];
  uint16_t port = 0;
  ASSERT_EQ(cli_parse_target("backup.lan:9991", host, sizeof host, &port), STATUS_OK);
  EXPECT_STREQ(host, "backup.lan");
  EXPECT_EQ(port, 9991);
  ASSERT_EQ(cli_parse_target("10.0.0.2", host, sizeof host, &port), STATUS_OK);
  EXPECT_EQ(port, CLI_DEFAULT_PORT);
  for (const char* bad : {"", ":9990", "h:", "h:0", "h:65536", "h:99x", "[::1]:9990", "a:b:9990",
                          "a-very-long-host-name.example:1"}) {
    EXPECT_EQ(cli_parse_target(bad, host, sizeof host, &port), STATUS_INVALID) << bad;
  }
}

TEST(CliOptionsTest, ApiKeyFile) {
  orv_support::TempDir dir;
  char key[HELLO_API_KEY_SIZE + 1];
  char error[512];
  std::string path = dir.sub("k");
  // A development access list works as a key file: the first word of the
  // first entry line.
  ASSERT_TRUE(orv_support::write_text(path, "# comment\n\n   \t\n  abc123 **\nsecond **\n", 0600));
  ASSERT_EQ(cli_read_api_key(path.c_str(), key, sizeof key, error, sizeof error), STATUS_OK);
  EXPECT_STREQ(key, "abc123");
  ASSERT_TRUE(orv_support::write_text(path, std::string(64, 'k') + "\r\n", 0600));
  ASSERT_EQ(cli_read_api_key(path.c_str(), key, sizeof key, error, sizeof error), STATUS_OK);
  EXPECT_EQ(std::string(key), std::string(64, 'k'));
  ASSERT_TRUE(orv_support::write_text(path, std::string(65, 'k') + "\n", 0600));
  EXPECT_EQ(cli_read_api_key(path.c_str(), key, sizeof key, error, sizeof error), STATUS_INVALID);
  EXPECT_NE(std::string(error).find("longer than 64"), std::string::npos) << error;
  ASSERT_TRUE(orv_support::write_text(path, "# nothing here\n", 0600));
  EXPECT_EQ(cli_read_api_key(path.c_str(), key, sizeof key, error, sizeof error), STATUS_NOT_FOUND);
  EXPECT_STREQ(key, "");
  EXPECT_EQ(cli_read_api_key(dir.sub("missing").c_str(), key, sizeof key, error, sizeof error), STATUS_NOT_FOUND);
  EXPECT_NE(std::string(error).find("cannot read the API key file"), std::string::npos) << error;
}

TEST(CliOptionsTest, CommandLines) {
  CliOptions o;
  std::string e;
  const std::vector<std::string> base = {"--api-key-file", "/k", "--ca-file", "/ca.pem", "--subdir", "hosts/a"};
  auto with = [&base](std::vector<std::string> a) {
    a.insert(a.end(), base.begin(), base.end());
    return a;
  };

  ASSERT_EQ(parse(with({"backup", "/dev/vg0/root", "--type=inc", "--block-size", "1M", "--retention", "4w"}), &o, &e),
            STATUS_OK)
      << e;
  EXPECT_EQ(o.command, CliCommand::backup);
  EXPECT_STREQ(o.path, "/dev/vg0/root");
  EXPECT_STREQ(o.name, "root");  // the source's file name
  EXPECT_EQ(o.type, BACKUP_INC);
  EXPECT_EQ(o.block_size, 1u << 20);
  EXPECT_TRUE(o.block_size_given);
  EXPECT_STREQ(o.retention, "4w");
  EXPECT_STREQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.port, CLI_DEFAULT_PORT);

  ASSERT_EQ(parse(with({"restore", "--uuid", "0123abcd-ef01-4567-89ab-cdef01234567", "/tmp/out"}), &o, &e), STATUS_OK);
  EXPECT_TRUE(o.has_uuid);
  ASSERT_EQ(parse(with({"list", "--json", "--target", "h:1"}), &o, &e), STATUS_OK);
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.port, 1);
  ASSERT_EQ(parse({"ping", "--api-key-file", "/k", "--insecure"}, &o, &e), STATUS_OK) << e;

  struct Bad {
    std::vector<std::string> args;
    const char* message;
  };
  const std::vector<Bad> bad = {
      {{"backup", "/x", "--subdir", "s", "--ca-file", "c"}, "--api-key-file is required"},
      {{"list", "--api-key", "secret", "--subdir", "s", "--insecure"}, "unknown option --api-key"},
      {{"ping", "--api-key-file", "/k"}, "give --ca-file, or --insecure"},
      {{"ping", "--api-key-file", "/k", "--insecure", "--ca-file", "c"}, "either --ca-file or --insecure"},
      {with({"list", "--uuid", "0123abcd-ef01-4567-89ab-cdef01234567"}), "option --uuid is not valid here"},
      {with({"list", "--json=1"}), "is not valid here"},
      {with({"backup"}), "the source path is missing"},
      {with({"backup", "/a", "/b"}), "more than one path"},
      {with({"backup", "/a", "--type", "weekly"}), "--type wants full, inc or diff"},
      {with({"backup", "/a", "--block-size", "1K"}), "--block-size wants a size"},
      {with({"backup", "/a", "--block-size", "9M"}), "--block-size wants a size"},
      {with({"backup", "/" + std::string(64, 'n')}), "give the backup a name with --name"},
      {with({"restore", "/out"}), "give either --uuid or --name"},
      {with({"restore", "/out", "--name", "a", "--uuid", "0123abcd-ef01-4567-89ab-cdef01234567"}),
       "give either --uuid or --name"},
      {with({"list", "/extra"}), "unexpected argument"},
      {with({"bench", "--sessions", "0"}), "not a valid value"},
      {{"backup", "/a", "--api-key-file", "/k", "--insecure", "--subdir", "s", "--retries"}, "needs a value"},
      {{"frobnicate"}, "unknown command"},
  };
  for (const Bad& b : bad) {
    EXPECT_EQ(parse(b.args, &o, &e), STATUS_INVALID) << b.args[0] << " " << b.message;
    EXPECT_NE(e.find(b.message), std::string::npos) << e;
  }
  ASSERT_EQ(parse({"backup", "--help"}, &o, &e), STATUS_OK);
  EXPECT_EQ(o.command, CliCommand::help);
}

TEST(ProgressTest, LineShowsBytesRateAndEta) {
  char line[160];
  progress_format(line, sizeof line, "backup", 1ull << 30, 4ull << 30, 2.0);
  EXPECT_STREQ(line, "backup 1.0 GiB / 4.0 GiB  25%  536.9 MB/s  ETA 0:06");
  progress_format(line, sizeof line, "restore", 0, 100, 0.0);
  EXPECT_STREQ(line, "restore 0 B / 100 B   0%");
  progress_format(line, sizeof line, "restore", 5000, 0, 1.0);
  EXPECT_STREQ(line, "restore 4.9 KiB / 0 B 100%  0.0 MB/s");
  // A long transfer: minutes in the ETA; a tiny buffer is cut, not overrun.
  progress_format(line, sizeof line, "b", 1ull << 20, 1ull << 40, 1.0);
  EXPECT_NE(std::string(line).find("ETA 17476:"), std::string::npos) << line;
  char tiny[12];
  EXPECT_EQ(progress_format(tiny, sizeof tiny, "backup", 1, 2, 1.0), sizeof tiny - 1);
  EXPECT_EQ(std::string(tiny), "backup 1 B ");
}

}  // namespace
}  // namespace orv
