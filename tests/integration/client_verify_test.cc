// orv_client verify against the real orv_target: a backup chain verifies
// block for block without writing anything, and image bytes changed on
// the target are found, named and answered with exit status 3.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/client_tools.h"

namespace {

namespace fs = std::filesystem;
using orv_support::output_field;
using orv_support::ToolRun;

constexpr const char* kKey = "verify-test-key-0123456789";


class ClientVerifyTest : public orv_support::ClientToolsTest {
 protected:
  ClientVerifyTest() : ClientToolsTest(kKey, "vfy") {}
};

TEST_F(ClientVerifyTest, ChainVerifiesAndDamageExitsWithThree) {
  const size_t block = 64 * 1024;
  std::string data = orv_support::random_bytes(10 * block + 100, 3);
  memset(&data[2 * block], 0, block);  // a block without data
  std::string source = files.dir.sub("src.bin");
  ASSERT_TRUE(orv_support::write_text(source, data));
  ToolRun full = client("backup", {"--name", "vol", "--block-size", "64K", source});
  ASSERT_EQ(full.code, 0) << full.out;
  data[5 * block + 9] ^= 0x40;
  ASSERT_TRUE(orv_support::write_text(source, data));
  sleep(1);  // the newest backup of a name is found by its creation second
  ToolRun inc = client("backup", {"--name", "vol", "--type", "inc", source});
  ASSERT_EQ(inc.code, 0) << inc.out;

  ToolRun v = client("verify", {"--name", "vol"});
  ASSERT_EQ(v.code, 0) << v.out;
  EXPECT_EQ(output_field(v.out, "uuid"), output_field(inc.out, "uuid"));
  EXPECT_EQ(output_field(v.out, "chain"), "2 backups");
  EXPECT_EQ(output_field(v.out, "blocks"), "11 (read 10, without data 1), every block matches its checksum");
  ToolRun by_uuid = client("verify", {"--uuid", output_field(full.out, "uuid")});
  EXPECT_EQ(by_uuid.code, 0) << by_uuid.out;

  // One byte of the FULL's image changed on the target: block 7 (the INC
  // holds only block 5) no longer matches, in both backups' chains.
  std::vector<std::string> images;
  for (const auto& e : fs::directory_iterator(files.storage + "/vfy")) {
    if (e.path().extension() == ".csfb") images.push_back(e.path().string());
  }
  ASSERT_EQ(images.size(), 1u);
  int fd = open(images[0].c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  char byte = 0;
  // The FULL's image holds the nine blocks with data in order: block 7 is the 7th.
  off_t at = static_cast<off_t>(6 * block + 5);
  ASSERT_EQ(pread(fd, &byte, 1, at), 1);
  byte ^= 1;
  ASSERT_EQ(pwrite(fd, &byte, 1, at), 1);
  close(fd);
  v = client("verify", {"--name", "vol"});
  EXPECT_EQ(v.code, 3) << v.out;
  EXPECT_NE(v.out.find("1 of 11 blocks do not match what was backed up (block 7 does not match its checksum)"),
            std::string::npos)
      << v.out;

  ToolRun usage = client("verify", {});
  EXPECT_EQ(usage.code, 2) << usage.out;
  EXPECT_NE(usage.out.find("verify: give either --uuid or --name"), std::string::npos) << usage.out;
}

}  // namespace
