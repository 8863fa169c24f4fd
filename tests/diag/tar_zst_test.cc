#include "diag/tar_zst.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <string>
#include <vector>

#include "diag/archive_tools.h"

namespace orv {
namespace {

using namespace testing_tools;

struct Built {
  int32_t rc = -1;
  MallocBytes data;
  size_t len = 0;
  std::string err;
};

Built build(const std::vector<TarMember>& members, int level = 19) {
  Built b;
  uint8_t sentinel = 0;
  uint8_t* raw = &sentinel;
  b.len = 1;
  char err[TAR_ERROR_SIZE] = {};
  b.rc = tar_zst_build(members.data(), members.size(), level, &raw, &b.len, err, sizeof err);
  EXPECT_NE(raw, &sentinel);  // both outputs are reset first, on failure too
  if (raw != &sentinel) b.data.reset(raw);
  b.err = err;
  return b;
}

// name must outlive the member.
TarMember member(const char* name, const std::string& data) {
  return {name, reinterpret_cast<const uint8_t*>(data.data()), data.size()};
}

std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed) ^ (i >> 7));
  return s;
}

TEST(TarZstTest, ArchiveFollowsTheUstarLayoutAndReadsBackWithRealTools) {
  ScratchDir dir;
  const std::string name100(100, 'q'), full = pattern(512, 3), over = pattern(513, 4), none;
  Built built = build({member(name100.c_str(), full), member("b", over), member("c", none)});
  ASSERT_EQ(built.rc, 0) << built.err;
  EXPECT_EQ(ZSTD_findFrameCompressedSize(built.data.get(), built.len), built.len);  // one frame

  std::string tar;
  ASSERT_TRUE(write_file(dir / "a.tar.zst",
                         std::string(reinterpret_cast<char*>(built.data.get()), built.len)));
  ASSERT_EQ(run_command("zstd -q -d -o " + (dir / "a.tar") + " " + (dir / "a.tar.zst")), 0);
  ASSERT_TRUE(read_file(dir / "a.tar", &tar));
  // 512 bytes: no padding; 513 bytes: 511 zeros; empty: header only; two zero blocks.
  ASSERT_EQ(tar.size(), size_t{512 + 512 + 512 + 1024 + 512 + 1024});
  const size_t h0 = 0, h1 = 1024, h2 = 2560;
  EXPECT_EQ(tar.substr(h0, 101), name100 + "0");  // a full name leaves no NUL
  EXPECT_EQ(tar.substr(512, 512), full);
  EXPECT_EQ(tar.substr(h1 + 512, 1024), over + std::string(511, '\0'));
  EXPECT_EQ(tar.substr(h1 + 124, 12), std::string("00000001001\0", 12));
  EXPECT_EQ(tar.substr(h2 + 124, 12), std::string("00000000000\0", 12));
  EXPECT_EQ(tar.substr(tar.size() - 1024), std::string(1024, '\0'));
  for (size_t h : {h0, h1, h2}) {
    EXPECT_EQ(tar.substr(h + 100, 24), std::string("0000644\0" "0000000\0" "0000000\0", 24));
    EXPECT_EQ(tar.substr(h + 136, 12), std::string("00000000000\0", 12));
    EXPECT_EQ(tar.substr(h + 156, 101), "0" + std::string(100, '\0'));
    EXPECT_EQ(tar.substr(h + 257, 72), std::string("ustar\0" "00" "root", 12) +
                                           std::string(28, '\0') + "root" + std::string(28, '\0'));
    EXPECT_EQ(tar.substr(h + 329, 183), std::string(183, '\0'));
    unsigned sum = 8 * ' ';
    for (size_t i = 0; i < 512; ++i) sum += (i < 148 || i >= 156) ? uint8_t(tar[h + i]) : 0;
    char chk[9];
    snprintf(chk, sizeof chk, "%06o%c ", sum, '\0');
    EXPECT_EQ(tar.substr(h + 148, 8), std::string(chk, 8));
  }

  EXPECT_EQ(list_bundle(dir / "a.tar.zst"),
            (std::vector<std::string>{"-rw-r--r-- root/root 512 1970-01-01 00:00:00 " + name100,
                                      "-rw-r--r-- root/root 513 1970-01-01 00:00:00 b",
                                      "-rw-r--r-- root/root 0 1970-01-01 00:00:00 c"}));
  std::string extracted;
  ASSERT_EQ(run_command("cd " + dir.path() + " && tar -x -f a.tar"), 0);
  ASSERT_TRUE(read_file(dir / "b", &extracted));
  EXPECT_EQ(extracted, over);
}

TEST(TarZstTest, EmptyArchiveIsTwoZeroBlocks) {
  Built built = build({});
  ASSERT_EQ(built.rc, 0) << built.err;
  std::string raw(4096, '\xff');
  ASSERT_EQ(ZSTD_decompress(raw.data(), raw.size(), built.data.get(), built.len), 1024u);
  EXPECT_EQ(raw.substr(0, 1024), std::string(1024, '\0'));
}

TEST(TarZstTest, LimitsAreCheckedAndNothingIsHandedOutOnFailure) {
  const std::string empty;
  std::vector<std::string> names;
  std::vector<TarMember> many;
  for (int i = 0; i < 257; ++i) names.push_back("m" + std::to_string(i));
  for (int i = 0; i < 256; ++i) many.push_back(member(names[i].c_str(), empty));
  EXPECT_EQ(build(many, 1).rc, 0);

  // The count is checked first, then every size, then each name in turn.
  many.push_back(member(names[256].c_str(), empty));
  many[0].name = "";
  Built b = build(many, 1);
  EXPECT_EQ(b.rc, -1);
  EXPECT_EQ(b.err, "too many files for a diagnostics archive");
  TarMember big{"records.jsonl", nullptr, TAR_MAX_MEMBER_SIZE + 1};
  b = build({member("", empty), big}, 1);
  EXPECT_EQ(b.err, "records.jsonl is too large for a diagnostics archive");
  const std::string name101(101, 'x');
  b = build({member("ok", empty), member(name101.c_str(), empty)}, 1);
  EXPECT_EQ(b.rc, -1);
  EXPECT_EQ(b.err, "archive path too long: " + name101);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.len, 0u);
  EXPECT_EQ(build({member("", empty)}).err, "archive path too long: ");

  // The message is cut to the buffer, or not written without one.
  uint8_t* raw = nullptr;
  size_t len = 0;
  TarMember bad = member("", empty);
  char tiny[8];
  EXPECT_EQ(tar_zst_build(&bad, 1, 1, &raw, &len, tiny, sizeof tiny), -1);
  EXPECT_STREQ(tiny, "archive");
  EXPECT_EQ(tar_zst_build(&bad, 1, 1, &raw, &len, nullptr, 10), -1);
}

TEST(TarZstTest, MemberOfExactlyTheSizeLimitIsAccepted) {
  std::string data(TAR_MAX_MEMBER_SIZE, '\0');
  for (size_t i = 0; i < data.size(); i += 4099) data[i] = static_cast<char>(i);
  Built built = build({member("records.jsonl", data)}, 1);
  ASSERT_EQ(built.rc, 0) << built.err;
  std::string raw(512 + TAR_MAX_MEMBER_SIZE + 1024, '\xff');
  ASSERT_EQ(ZSTD_decompress(raw.data(), raw.size(), built.data.get(), built.len), raw.size());
  EXPECT_EQ(raw.substr(124, 12), std::string("00400000000\0", 12));
  EXPECT_TRUE(raw.compare(512, data.size(), data) == 0);
}

}  // namespace
}  // namespace orv
