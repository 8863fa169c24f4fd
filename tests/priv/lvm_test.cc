// No device-mapper here, so the LVM tools cannot succeed: the success paths
// run against stand-in scripts first on PATH that record their arguments
// and print fixed output. The real lvs shows the missing-volume-group path.
#include "priv/lvm.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>

#include "priv/subprocess.h"
#include "priv/test_support.h"

namespace orv {
namespace {

using testing_support::ScopedPath;
using testing_support::TempDir;
using testing_support::read_file;

TEST(LvNameValid, AcceptsAndRefusesNames) {
  for (std::string ok : std::initializer_list<std::string>{"vg0", "a.b+c_d-e", "9lives", std::string(126, 'x')}) EXPECT_TRUE(lv_name_valid(ok.c_str())) << ok;
  for (std::string bad : std::initializer_list<std::string>{"", "-vg", ".vg", "_vg", "vg;rm", "vg/lv", "vg lv", "vg\xc3\xa4", std::string(127, 'x')}) {
    EXPECT_FALSE(lv_name_valid(bad.c_str())) << bad;
  }
  EXPECT_FALSE(lv_name_valid(nullptr));
  EXPECT_EQ(lvm_size_kib(0), 1u);
  EXPECT_EQ(lvm_size_kib(1024), 1u);
  EXPECT_EQ(lvm_size_kib(1025), 2u);
  EXPECT_EQ(lvm_size_kib(UINT64_MAX), UINT64_MAX / 1024 + 1);  // no wrap to 0
}

TEST(LvsParseLine, ParsesEightTrimmedFields) {
  LvInfo info;
  ASSERT_EQ(lvs_parse_line("  vg0|lv0|-wi-a-----|10737418240|linear||253|3", &info), 0);
  EXPECT_STREQ(info.vg_name, "vg0");
  EXPECT_STREQ(info.lv_name, "lv0");
  EXPECT_STREQ(info.lv_attr, "-wi-a-----");
  EXPECT_EQ(info.lv_size, 10737418240u);
  EXPECT_STREQ(info.segtype, "linear");
  EXPECT_STREQ(info.origin, "");
  EXPECT_EQ(info.kernel_major, 253);
  EXPECT_EQ(info.kernel_minor, 3);

  ASSERT_EQ(lvs_parse_line(" vg0 | snap | swi-a-s--- | 4096 | linear | lv0 | | |extra|", &info), 0);
  EXPECT_STREQ(info.origin, "lv0");
  EXPECT_EQ(info.kernel_major, -1);
  EXPECT_EQ(info.kernel_minor, -1);

  std::string wide = "vg0|lv0|" + std::string(40, 'a') + "|1|" + std::string(40, 's') + "|" + std::string(200, 'o') + "|-1|-1";
  ASSERT_EQ(lvs_parse_line(wide.c_str(), &info), 0);
  EXPECT_EQ(std::string(info.lv_attr), std::string(15, 'a'));
  EXPECT_EQ(std::string(info.segtype), std::string(31, 's'));
  EXPECT_EQ(std::string(info.origin), std::string(127, 'o'));
  EXPECT_EQ(info.kernel_minor, -1);
}

TEST(LvsParseLine, RejectsMalformedLines) {
  LvInfo info;
  EXPECT_EQ(lvs_parse_line(nullptr, &info), -1);
  for (std::string bad : std::initializer_list<std::string>{"", "vg0|lv0|-wi-a-----|1024|linear||253", "vg0|lv0|-wi|size|linear||1|1",
                          "vg0|lv0|-wi||linear||1|1", "|lv0|-wi|1|linear||1|1", "vg0| |-wi|1|linear||1|1",
                          "vg0|lv0||1|linear||1|1", "vg0|lv0|-wi|99999999999999999999999|linear||1|1",
                          "  Volume group \"vg9\" not found", "vg0|lv0|-wi|1|linear||1|" + std::string(1100, '1')}) {
    EXPECT_EQ(lvs_parse_line(bad.c_str(), &info), -1) << bad;
  }
}

class LvmTools : public ::testing::Test {
 protected:
  void SetUp() override { path_.emplace(dir_.path() + ":" + testing_support::current_path_env()); }

  // A stand-in that records its arguments (one a line) and the value of
  // LVM_SUPPRESS_FD_WARNINGS, prints output and exits with code.
  void tool(const std::string& name, const std::string& output, int code) {
    ASSERT_TRUE(testing_support::write_script(
        dir_.path(), name,
        "printf '%s\\n' \"$LVM_SUPPRESS_FD_WARNINGS\" \"$@\" > '" + dir_.file(name + ".args") + "'\n" +
            "printf '%s' '" + output + "'\nexit " + std::to_string(code)));
  }
  std::string args(const std::string& name) { return read_file(dir_.file(name + ".args")); }

  TempDir dir_;
  std::optional<ScopedPath> path_;
  char err_[600] = "";
};

TEST_F(LvmTools, CreateAndRemoveRunTheExactCommandLines) {
  tool("lvcreate", "  Logical volume \"lv0\" created.\n", 0);
  tool("lvremove", "", 0);
  ASSERT_EQ(lvm_create("vg0", "lv0", 1025, err_, sizeof err_), 0);
  EXPECT_EQ(args("lvcreate"), "1\n-y\n-n\nlv0\n-L\n2K\nvg0\n");
  ASSERT_EQ(lvm_create("vg0", "lv0", 0, nullptr, 0), 0);
  EXPECT_EQ(args("lvcreate"), "1\n-y\n-n\nlv0\n-L\n1K\nvg0\n");
  ASSERT_EQ(lvm_remove("vg0", "lv0", err_, sizeof err_), 0);
  EXPECT_EQ(args("lvremove"), "1\n-f\n-y\nvg0/lv0\n");
}

TEST_F(LvmTools, FailuresQuoteTheToolOutput) {
  tool("lvcreate", "  Volume group \"vg0\" has insufficient free space.\n", 5);
  ASSERT_EQ(lvm_create("vg0", "lv0", 1 << 20, err_, sizeof err_), -1);
  EXPECT_STREQ(err_, "could not create LV vg0/lv0:   Volume group \"vg0\" has insufficient free space.\n");
  tool("lvcreate", std::string(900, 'e'), 5);
  ASSERT_EQ(lvm_create("vg0", "lv0", 1, err_, sizeof err_), -1);
  EXPECT_EQ(std::string(err_), "could not create LV vg0/lv0: " + std::string(400, 'e'));
  tool("lvcreate", "", 5);
  ASSERT_EQ(lvm_create("vg0", "lv0", 1, err_, sizeof err_), -1);
  EXPECT_STREQ(err_, "lvcreate failed");
  tool("lvremove", "  Failed to find logical volume \"vg0/lv0\"\n", 5);
  ASSERT_EQ(lvm_remove("vg0", "lv0", err_, sizeof err_), -1);
  EXPECT_STREQ(err_, "could not remove LV vg0/lv0:   Failed to find logical volume \"vg0/lv0\"\n");
  tool("lvremove", "", 3);
  ASSERT_EQ(lvm_remove("vg0", "lv0", err_, sizeof err_), -1);
  EXPECT_STREQ(err_, "lvremove failed");
}

TEST_F(LvmTools, QueryParsesTheFirstGoodLineAndTagCheckSearchesTheOutput) {
  tool("lvs", "  WARNING: something\n  vg0|lv0|-wi-a-----|10737418240|linear||253|3\n", 0);
  LvInfo info;
  ASSERT_EQ(lvm_query("vg0", "lv0", &info, err_, sizeof err_), 0);
  EXPECT_EQ(args("lvs"), "1\n--noheadings\n--separator\n|\n--units\nb\n--nosuffix\n-o\n"
                         "vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor\nvg0/lv0\n");
  EXPECT_EQ(info.lv_size, 10737418240u);
  tool("lvs", "garbage\n", 0);
  EXPECT_EQ(lvm_query("vg0", "lv0", &info, err_, sizeof err_), 1);
  EXPECT_STREQ(err_, "vg0/lv0 not found");
  EXPECT_EQ(lvm_query("", "lv0", &info, nullptr, 0), 1);

  tool("lvs", "  backup,orv_agent\n", 0);
  EXPECT_EQ(lvm_has_tag("vg0", "lv0", "orv_agent", err_, sizeof err_), 1);
  EXPECT_EQ(args("lvs"), "1\n--noheadings\n-o\nlv_tags\nvg0/lv0\n");
  tool("lvs", "  backup\n", 0);
  EXPECT_EQ(lvm_has_tag("vg0", "lv0", "orv_agent", err_, sizeof err_), 0);
  tool("lvs", "", 5);
  EXPECT_EQ(lvm_has_tag("vg0", "lv0", "orv_agent", err_, sizeof err_), -1);
  EXPECT_STREQ(err_, "no such logical volume");
}

TEST_F(LvmTools, MissingToolsAndTimeOuts) {
  {
    TempDir empty;  // the whole PATH: nothing is installed
    ScopedPath only_empty(empty.path());
    LvInfo info;
    EXPECT_EQ(lvm_query("vg0", "lv0", &info, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "the lvm tools (lvs) are not installed");
    EXPECT_EQ(lvm_has_tag("vg0", "lv0", "orv_agent", err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "the lvm tools (lvs) are not installed");
    EXPECT_EQ(lvm_create("vg0", "lv0", 1, err_, sizeof err_), -1);
    EXPECT_STREQ(err_, "lvcreate failed");
  }
  ASSERT_TRUE(testing_support::write_script(dir_.path(), "lvcreate", "sleep 20"));
  time_t start = time(nullptr);
  EXPECT_EQ(lvm_create("vg0", "lv0", 1, err_, sizeof err_, 1), -1);
  EXPECT_LT(time(nullptr) - start, 5);
}

TEST(LvmRealTools, QueryOfAMissingVolumeGroupIsNotFound) {
  const char* argv[] = {"lvs", "--version", nullptr};
  RunResult rr;
  ASSERT_EQ(run_command(argv, nullptr, 30, nullptr, 0, &rr), 0);
  if (rr.exit_code == RUN_EXIT_NOT_FOUND) GTEST_SKIP() << "lvm2 is not installed (scripts/setup installs it)";
  LvInfo info;
  char err[256] = "";
  EXPECT_EQ(lvm_query("orv_no_such_vg", "lv0", &info, err, sizeof err), 1);
  EXPECT_EQ(lvm_has_tag("orv_no_such_vg", "lv0", "orv_agent", err, sizeof err), -1);
  EXPECT_STREQ(err, "no such logical volume");
}

}  // namespace
}  // namespace orv
