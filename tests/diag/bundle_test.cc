#include "diag/bundle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/status.h"
#include "core/sysinfo.h"
#include "diag/archive_tools.h"

namespace orv {
namespace {

using namespace testing_tools;

const std::string kRecords =
    "{\"schema\":1,\"final_state\":\"done\"}\n{\"schema\":1,\"final_state\":\"error\"}\n"
    "{\"schema\":1,\"final_state\":\"wait_hello\"}\n";

struct Bundle {
  std::vector<std::string> listing;
  std::string manifest, environment, records;
};

// Opens a bundle with the real zstd and tar tools.
Bundle open_bundle(const std::string& path) {
  Bundle b;
  b.listing = list_bundle(path);
  std::string x = path + ".d";
  EXPECT_EQ(run_command("mkdir " + x + " && zstd -q -d -c " + path + " | tar -x -C " + x + " -f -"),
            0);
  EXPECT_TRUE(read_file(x + "/manifest.json", &b.manifest));
  EXPECT_TRUE(read_file(x + "/environment.json", &b.environment));
  EXPECT_TRUE(read_file(x + "/diag_records.jsonl", &b.records));
  return b;
}

long long json_number(const std::string& json, const std::string& key) {
  size_t at = json.find("\"" + key + "\":");
  return at == std::string::npos ? -1 : atoll(json.c_str() + at + key.size() + 3);
}

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(storage_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(diag_.c_str(), 0755), 0);
  }
  int32_t collect(const char* diag_dir, const std::string& out, bool all) {
    return collect_diag_as_host(storage_.c_str(), diag_dir, out.c_str(), all, "testhost");
  }
  std::string mark() const {
    std::string text;
    return read_file(diag_ + "/.last_collected", &text) ? text : "<none>";
  }

  ScratchDir dir_;
  std::string storage_ = dir_ / "store", diag_ = storage_ + "/diag";
};

TEST_F(BundleTest, EachRecordIsHandedOverOnceAndAllTakesEverything) {
  ASSERT_TRUE(write_file(diag_ + "/diag.jsonl", kRecords));
  int64_t t0 = now_seconds();
  testing::internal::CaptureStderr();
  ASSERT_EQ(collect(nullptr, dir_ / "1.tar.zst", false), STATUS_OK);
  std::string log = testing::internal::GetCapturedStderr();
  std::string zst;
  ASSERT_TRUE(read_file(dir_ / "1.tar.zst", &zst));
  EXPECT_NE(log.find("INFO  diag: wrote " + (dir_ / "1.tar.zst") + " (3 record(s), " +
                     std::to_string(zst.size()) + " byte(s))\n"),
            std::string::npos)
      << log;

  Bundle b = open_bundle(dir_ / "1.tar.zst");
  EXPECT_EQ(b.listing, (std::vector<std::string>{
                           "-rw-r--r-- root/root " + std::to_string(b.manifest.size()) +
                               " 1970-01-01 00:00:00 manifest.json",
                           "-rw-r--r-- root/root " + std::to_string(b.environment.size()) +
                               " 1970-01-01 00:00:00 environment.json",
                           "-rw-r--r-- root/root 109 1970-01-01 00:00:00 diag_records.jsonl"}));
  EXPECT_EQ(b.records, kRecords);
  long long generated = json_number(b.manifest, "generated_at");
  EXPECT_TRUE(generated >= t0 && generated <= now_seconds()) << b.manifest;
  EXPECT_EQ(b.manifest, "{\"bundle_schema\":1,\"component\":\"orv_target\",\"hostname\":"
                        "\"testhost\",\"generated_at\":" + std::to_string(generated) +
                            ",\"record_count\":3,\"all_records\":false}");
  EXPECT_EQ(b.environment.rfind("{\"os_version\":\"", 0), 0u) << b.environment;
  EXPECT_NE(b.environment.find("\",\"target_version\":\"1.0.2-alpha028\","
                               "\"disk_free_bytes_diag_dir\":"),
            std::string::npos);
  EXPECT_GT(json_number(b.environment, "disk_free_bytes_diag_dir"), 0);
  EXPECT_TRUE(b.environment.ends_with(",\"selftest_ok\":true,\"selftest_error\":null}"));
  EXPECT_EQ(mark(), "109\n");

  // At once again: an empty member without a data block, the same mark.
  ASSERT_EQ(collect(nullptr, dir_ / "2.tar.zst", false), STATUS_OK);
  b = open_bundle(dir_ / "2.tar.zst");
  EXPECT_EQ(b.listing.at(2), "-rw-r--r-- root/root 0 1970-01-01 00:00:00 diag_records.jsonl");
  EXPECT_NE(b.manifest.find("\"record_count\":0,"), std::string::npos);
  EXPECT_EQ(mark(), "109\n");

  // New records, the last one still being written: it travels, uncounted.
  ASSERT_TRUE(write_file(diag_ + "/diag.jsonl", kRecords + "{\"n\":4}\n{\"n\":"));
  ASSERT_EQ(collect(nullptr, dir_ / "3.tar.zst", false), STATUS_OK);
  b = open_bundle(dir_ / "3.tar.zst");
  EXPECT_EQ(b.records, "{\"n\":4}\n{\"n\":");
  EXPECT_NE(b.manifest.find("\"record_count\":1,"), std::string::npos);
  EXPECT_EQ(mark(), "122\n");

  // --all takes everything and leaves the mark alone.
  ASSERT_TRUE(write_file(diag_ + "/.last_collected", "7\n"));
  ASSERT_EQ(collect(nullptr, dir_ / "4.tar.zst", true), STATUS_OK);
  b = open_bundle(dir_ / "4.tar.zst");
  EXPECT_EQ(b.records.size(), 122u);
  EXPECT_TRUE(b.manifest.ends_with("\"record_count\":4,\"all_records\":true}"));
  EXPECT_EQ(mark(), "7\n");

  // A mark past the end (the file was started anew) or unreadable counts as 0.
  for (const char* text : {"99999\n", "x1\n", "184467440737095516150\n"}) {
    ASSERT_TRUE(write_file(diag_ + "/.last_collected", text));
    ASSERT_EQ(collect(nullptr, dir_ / "5.tar.zst", false), STATUS_OK);
    EXPECT_EQ(mark(), "122\n");
    ASSERT_EQ(unlink((dir_ / "5.tar.zst").c_str()), 0);
  }
}

TEST_F(BundleTest, DirectoryChoiceAndFailuresThatKeepTheMark) {
  std::string other = dir_ / "other";
  ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
  ASSERT_TRUE(write_file(other + "/diag.jsonl", "{}\n"));
  ASSERT_EQ(collect(other.c_str(), dir_ / "a.tar.zst", false), STATUS_OK);  // over --storage
  EXPECT_EQ(open_bundle(dir_ / "a.tar.zst").records, "{}\n");
  EXPECT_EQ(mark(), "<none>");

  // Missing records: an empty bundle and the mark 0.
  ASSERT_TRUE(write_file(diag_ + "/.last_collected", "40\n"));
  ASSERT_EQ(collect("", dir_ / "b.tar.zst", false), STATUS_OK);
  EXPECT_EQ(open_bundle(dir_ / "b.tar.zst").records, "");
  EXPECT_EQ(mark(), "0\n");

  testing::internal::CaptureStderr();
  EXPECT_EQ(collect_diag_as_host("", "", (dir_ / "c").c_str(), false, "h"), STATUS_INVALID);
  EXPECT_EQ(collect_diag(nullptr, nullptr, (dir_ / "c").c_str(), false), STATUS_INVALID);
  // Unwritable output (no such directory, or a directory): the mark stays.
  ASSERT_TRUE(write_file(diag_ + "/diag.jsonl", kRecords));
  ASSERT_TRUE(write_file(diag_ + "/.last_collected", "3\n"));
  EXPECT_EQ(collect(nullptr, dir_ / "no/d.tar.zst", false), STATUS_IO);
  EXPECT_EQ(collect(nullptr, dir_.path(), false), STATUS_IO);
  // A selection one byte over 64 MiB cannot be bundled: the mark stays.
  ASSERT_EQ(truncate((diag_ + "/diag.jsonl").c_str(), 3 + (off_t{64} << 20) + 1), 0);
  EXPECT_EQ(collect(nullptr, dir_ / "e.tar.zst", false), STATUS_IO);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(mark(), "3\n");
  const std::vector<std::string> lines = {
      "ERROR diag: --collect-diag needs --diag-dir or --storage\n",
      "ERROR diag: cannot write " + (dir_ / "no/d.tar.zst") + "\n",
      "ERROR diag: cannot write " + dir_.path() + "\n",
      "ERROR diag: diag_records.jsonl is too large for a diagnostics archive\n"};
  for (const std::string& line : lines) {
    EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
  }
  EXPECT_NE(access((dir_ / "c").c_str(), F_OK), 0);
  EXPECT_NE(access((dir_ / "e.tar.zst").c_str(), F_OK), 0);
}

TEST_F(BundleTest, DefaultFileNameCarriesTheHostOrTheWordHost) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  std::string work = dir_ / "cwd";
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  ASSERT_EQ(chdir(work.c_str()), 0);
  int64_t t0 = now_seconds();
  int32_t rc1 = collect_diag_as_host(storage_.c_str(), nullptr, "", true, "");
  int32_t rc2 = collect_diag_as_host(storage_.c_str(), nullptr, nullptr, true, "node-7");
  int64_t t1 = now_seconds();
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(rc1, STATUS_OK);
  EXPECT_EQ(rc2, STATUS_OK);

  std::string names;
  ASSERT_EQ(run_command("ls " + work, &names), 0);
  bool found_host = false, found_node = false;
  for (int64_t t = t0; t <= t1; ++t) {
    std::string suffix = "_" + std::to_string(t) + ".tar.zst\n";
    found_host |= names.find("orv_diag_target_host" + suffix) != std::string::npos;
    found_node |= names.find("orv_diag_target_node-7" + suffix) != std::string::npos;
  }
  EXPECT_TRUE(found_host && found_node) << names;
}

TEST_F(BundleTest, CommandLineModeReadsItsOptionsAndGivesTheExitStatus) {
  if (access(ORV_TARGET_BIN, X_OK) != 0) GTEST_SKIP() << "orv_target is not built";
  ASSERT_TRUE(write_file(diag_ + "/diag.jsonl", kRecords));
  const std::string bin = std::string(ORV_TARGET_BIN) + " --no-log --no-syslog --collect-diag";
  std::string out;
  EXPECT_EQ(run_command(bin + " --all --storage=" + storage_ + " --out " + (dir_ / "a") + " 2>&1",
                        &out),
            0)
      << out;
  EXPECT_EQ(open_bundle(dir_ / "a").records, kRecords);
  EXPECT_EQ(run_command(bin + " --diag-dir " + diag_ + " --out " + (dir_ / "b"), &out), 0);
  EXPECT_EQ(mark(), "109\n");
  EXPECT_EQ(run_command(bin + " --out " + (dir_ / "c") + " 2>&1", &out), 1);
  EXPECT_NE(out.find("ERROR diag: --collect-diag needs --diag-dir or --storage"),
            std::string::npos)
      << out;
}

}  // namespace
}  // namespace orv
