#include "server/acl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/status.h"
#include "support/server_process.h"

namespace orv {
namespace {

AclEntry entry_with(std::initializer_list<const char*> patterns) {
  AclEntry e;
  memset(&e, 0, sizeof e);
  for (const char* p : patterns) snprintf(e.patterns[e.pattern_count++], ACL_PATTERN_SIZE, "%s", p);
  return e;
}

struct GlobCase {
  const char* pattern;
  const char* subdir;
  bool permitted;
};

TEST(AclPermits, GlobForms) {
  const GlobCase cases[] = {
      {"msd*", "msd1", true},          {"msd*", "msd-foo", true},        {"msd*", "msd1/x", false},
      {"msd/*", "msd/a", true},        {"msd/*", "msd", false},          {"msd/*", "msd/a/b", false},
      {"msd/**", "msd/a", true},       {"msd/**", "msd/a/b/c", true},    {"msd/**", "msd", false},
      {"msd/**", "msdx/a", false},     {"m?d/**", "mxd/a", true},        {"a/b*/**", "a/bc/d/e", true},
      {"a/b*/**", "a/bc", false},      {"a/b*/**", "a/x/d", false},      {"**", "x", true},
      {"**", "x/y/z", true},           {"**", "a/../b", false},          {"**", "/abs", false},
      {"**", "a//b", false},           {"**", "a\\b", false},            {"**", "", false},
      {"msd**", "msd12", true},        {"msd**", "msd1/2", false},       {"*", ".hidden", true},
      {"[ab]x", "bx", true},           {"[ab]x", "cx", false},           {"x?", "x/", false},
  };
  for (const GlobCase& c : cases) {
    AclEntry e = entry_with({c.pattern});
    EXPECT_EQ(acl_permits(&e, c.subdir), c.permitted) << c.pattern << " vs " << c.subdir;
  }
  AclEntry two = entry_with({"a", "b/**"});
  EXPECT_TRUE(acl_permits(&two, "b/c"));
  EXPECT_FALSE(acl_permits(&two, "c"));
  EXPECT_FALSE(acl_permits(nullptr, "a"));
}

TEST(AclPermits, DeepPatternRefusesComponentsLongerThanAField) {
  AclEntry e = entry_with({"*/**"});
  std::string long_component(64, 'x');
  EXPECT_TRUE(acl_permits(&e, (std::string(63, 'x') + "/y").c_str()));
  EXPECT_FALSE(acl_permits(&e, (long_component + "/y").c_str()));
}

TEST(SubdirIsSafe, RejectsEmptyDotAndBackslashComponents) {
  for (const char* ok : {"a", "a/b", "a.b/c..d", "...", ".x"}) EXPECT_TRUE(subdir_is_safe(ok)) << ok;
  for (const char* bad : {"", "/", "/a", "a/", "a//b", ".", "..", "a/./b", "a/../b", "a\\b", "..\\x"}) {
    EXPECT_FALSE(subdir_is_safe(bad)) << bad;
  }
}

TEST(ConfigCutComment, CommentAndQuotingRule) {
  EXPECT_EQ(config_cut_comment("# whole line\n"), 0);
  EXPECT_EQ(config_cut_comment("; whole line"), 0);
  EXPECT_EQ(config_cut_comment("key dir # note\r\n"), 8);
  EXPECT_EQ(config_cut_comment("key dir\t;note"), 8);
  EXPECT_EQ(config_cut_comment("key dir#x\n"), 9);
  EXPECT_EQ(config_cut_comment("a = \"x # y\" # c"), 12);
  EXPECT_EQ(config_cut_comment("a = 'x ; y'"), 11);
  EXPECT_EQ(config_cut_comment("a = \"q\\\"# \" "), 12);
  EXPECT_EQ(config_cut_comment("a = \"open"), -1);
  EXPECT_EQ(config_cut_comment("a = \"x\" tail"), -1);
  EXPECT_EQ(config_cut_comment("k= b=\"unclosed"), 14);  // only the first '=' starts a value
}

class AclLoadTest : public ::testing::Test {
 protected:
  int32_t load(const std::string& text) {
    acl_free(table);
    table = nullptr;
    std::string path = dir.sub("acl");
    EXPECT_TRUE(orv_support::write_text(path, text));
    return acl_load(path.c_str(), &table, &count);
  }
  const AclEntry* find(const char* key) {
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256(key, strlen(key), digest);
    return acl_find_key(table, count, digest);
  }
  void TearDown() override { acl_free(table); }
  orv_support::TempDir dir;
  AclEntry* table = nullptr;
  size_t count = 0;
};

TEST_F(AclLoadTest, ParsesEntriesCommentsAndBlanks) {
  ASSERT_EQ(load("# comment\n\n  k1 a, b ,c  # trailing comment\r\nk2\tdir#x\nk1 other\n"), STATUS_OK);
  ASSERT_EQ(count, 3u);
  const AclEntry* e1 = find("k1");
  ASSERT_NE(e1, nullptr);
  ASSERT_EQ(e1->pattern_count, 3u);
  EXPECT_STREQ(e1->patterns[0], "a");
  EXPECT_STREQ(e1->patterns[1], "b");
  EXPECT_STREQ(e1->patterns[2], "c");
  EXPECT_EQ(e1, &table[0]);  // the first line with a key wins
  const AclEntry* e2 = find("k2");
  ASSERT_NE(e2, nullptr);
  EXPECT_STREQ(e2->patterns[0], "dir#x");
  EXPECT_EQ(find("k3"), nullptr);
}

TEST_F(AclLoadTest, KeepsOnlyDigestsAndRefusesPatternsLongerThanTheirField) {
  std::string pattern(63, 'p');
  ASSERT_EQ(load("secret-key-text " + pattern + ",,x,\n"), STATUS_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(strlen(table[0].patterns[0]), 63u);
  EXPECT_EQ(table[0].pattern_count, 2u);
  EXPECT_EQ(memmem(table, sizeof(AclEntry), "secret-key-text", 15), nullptr);
  // Cut to 63 characters this pattern would end in "*" and permit far more.
  std::string wide = "reports-*" + std::string(60, 'f');
  EXPECT_EQ(load("k " + wide + "\n"), STATUS_INVALID);
}

TEST_F(AclLoadTest, GrowsPastInitialCapacity) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "key" + std::to_string(i) + " d" + std::to_string(i) + "\n";
  ASSERT_EQ(load(text), STATUS_OK);
  EXPECT_EQ(count, 40u);
  ASSERT_NE(find("key39"), nullptr);
  EXPECT_STREQ(find("key39")->patterns[0], "d39");
}

TEST_F(AclLoadTest, EmptyFileIsAValidTableWithoutKeys) {
  ASSERT_EQ(load(""), STATUS_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(find("anything"), nullptr);
}

TEST_F(AclLoadTest, MalformedLinesRejectTheWholeFile) {
  for (const char* bad : {"good a\nonly-key\n", "k a, ,b\n", "k a/../b\n", "k /abs\n", "k 1,2,3,4,5,6,7,8,9\n",
                          "k ,,\n", "k = \"open\n", "only-key # dirs in a comment\n"}) {
    EXPECT_EQ(load(bad), STATUS_INVALID) << bad;
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(count, 0u);
  }
  EXPECT_EQ(load("k 1,2,3,4,5,6,7,8\n"), STATUS_OK);
}

TEST_F(AclLoadTest, MissingFileIsNotFound) {
  EXPECT_EQ(acl_load(dir.sub("absent").c_str(), &table, &count), STATUS_NOT_FOUND);
}

}  // namespace
}  // namespace orv
