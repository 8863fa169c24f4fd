// orv_admin prune running in a loop beside the real orv_target while the
// real orv_client takes INC and DIFF backups of expiring names and restores
// them: every backup finds its parent, no partial in use is touched, a
// restore that has fetched its chain always completes byte for byte even
// when prune deletes that backup meanwhile, and what stays verifies clean.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/client_tools.h"

namespace {

using orv_support::output_field;
using orv_support::ToolRun;

constexpr const char* kKey = "admin-concurrency-key-0123456789";
constexpr size_t kBlock = 64 * 1024;
constexpr size_t kSize = 8u << 20;

class AdminConcurrencyTest : public orv_support::ClientToolsTest {
 protected:
  AdminConcurrencyTest() : ClientToolsTest(kKey, "live") {}
};

TEST_F(AdminConcurrencyTest, PruneLoopBesideBackupsAndRestores) {
  std::mt19937_64 rng(42);
  std::string data(kSize, '\0');
  for (size_t i = 0; i + 8 <= kSize; i += 8) {
    uint64_t v = rng();
    memcpy(&data[i], &v, 8);
  }
  std::string source = files.dir.sub("vol.img");
  ASSERT_TRUE(orv_support::write_text(source, data));

  std::mutex mu;                                // guards versions and uuids
  std::map<std::string, std::string> versions;  // uuid -> the source it holds
  std::vector<std::string> uuids;               // in the order taken

  ToolRun full = client("backup", {"--name", "vol", "--retention", "1d", "--block-size", "64K", source});
  ASSERT_EQ(full.code, 0) << full.out;
  versions[output_field(full.out, "uuid")] = data;
  uuids.push_back(output_field(full.out, "uuid"));

  // Every backup expires within a day; prune looks two days ahead.
  std::string as_of = std::to_string(time(nullptr) + 2 * 86400);
  std::atomic<bool> stop{false};
  std::atomic<int> prunes{0};
  std::atomic<int> deleted{0};
  std::vector<std::string> prune_failures;
  std::thread pruner([&] {
    while (!stop) {
      ToolRun r = admin({"prune", "--as-of", as_of});
      prunes += 1;
      if (r.code != 0) prune_failures.push_back(r.out);
      for (size_t at = r.out.find("\ndeleted "); at != std::string::npos; at = r.out.find("\ndeleted ", at + 1)) {
        deleted += 1;
      }
      if (r.out.rfind("deleted ", 0) == 0) deleted += 1;
      orv_support::sleep_ms(20);
    }
  });

  // Restores of older backups, which prune may delete at any moment: either
  // the chain is no longer there when it is asked for, or the restore
  // completes and matches.
  std::atomic<int> restores_done{0};
  std::atomic<int> restores_gone{0};
  std::vector<std::string> restore_failures;
  std::thread restorer([&] {
    std::mt19937 pick(7);
    std::string out = files.dir.sub("old.out");
    while (!stop) {
      std::string id;
      std::string expected;
      {
        std::lock_guard<std::mutex> lock(mu);
        id = uuids[pick() % uuids.size()];
        expected = versions[id];
      }
      ToolRun r = client("restore", {"--uuid", id, out});
      if (r.code == 0) {
        if (orv_support::read_text(out) != expected) restore_failures.push_back("wrong bytes from " + id);
        restores_done += 1;
      } else if (r.out.find("FETCH_CHAIN") != std::string::npos &&
                 (r.out.find("no such backup uuid") != std::string::npos ||
                  r.out.find("failed to load chain") != std::string::npos)) {
        restores_gone += 1;
      } else {
        restore_failures.push_back(r.out);
      }
    }
  });

  std::vector<std::string> backup_failures;
  for (int round = 0; round < 10; ++round) {
    // A few changed blocks each round.
    for (int k = 0; k < 4; ++k) data[(rng() % (kSize / kBlock)) * kBlock + (rng() % kBlock)] ^= 0x5A;
    ASSERT_TRUE(orv_support::write_text(source, data));
    sleep(1);  // parents are found by their creation second
    const char* type = round % 3 == 2 ? "diff" : "inc";
    ToolRun b = client("backup", {"--name", "vol", "--type", type, "--retention", "1d", source});
    if (b.code != 0) {
      backup_failures.push_back(b.out);
      continue;
    }
    std::string id = output_field(b.out, "uuid");
    {
      std::lock_guard<std::mutex> lock(mu);
      versions[id] = data;
      uuids.push_back(id);
    }
    // The newest backup restores and verifies at once.
    std::string out = files.dir.sub("new.out");
    ToolRun r = client("restore", {"--uuid", id, out});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(orv_support::read_text(out) == data) << "round " << round;
    ToolRun v = client("verify", {"--name", "vol"});
    EXPECT_EQ(v.code, 0) << v.out;
  }
  stop = true;
  pruner.join();
  restorer.join();

  for (const std::string& f : backup_failures) ADD_FAILURE() << "backup failed beside prune:\n" << f;
  for (const std::string& f : restore_failures) ADD_FAILURE() << "restore failed beside prune:\n" << f;
  for (const std::string& f : prune_failures) ADD_FAILURE() << "prune failed:\n" << f;
  EXPECT_GT(prunes.load(), 5);
  EXPECT_GT(deleted.load(), 0) << "prune never had anything to delete";
  EXPECT_GT(restores_done.load(), 0);
  ToolRun verify = admin({"verify"});
  EXPECT_EQ(verify.code, 0) << verify.out;
  // Chains that vanished before FETCH_CHAIN are refused ("not found"); a
  // chain once fetched never fails to open or read.
  for (const char* text : {"failed to open image file", "failed to read image file"}) {
    EXPECT_EQ(server.process.log().find(text), std::string::npos) << server.process.log();
  }
  printf("prunes %d, backups deleted %d, old restores completed %d, refused as gone %d\n", prunes.load(),
         deleted.load(), restores_done.load(), restores_gone.load());
}

}  // namespace
