// Process crashes: the real orv_target (privileged parent and worker) is
// killed with SIGKILL at random moments while an agent that continues
// backups sends small backups to it, and restarted on the same port. The
// agent reconnects and goes on as an agent does: CONTINUE of its backup,
// blocks the partial does not hold (or holds in an older version) sent
// again, now and then an entry dropped and sent again, END. A backup whose
// END was cut off is looked up; a partial without a checkpoint is
// discarded and the backup begun anew. Every round ends with a restore
// through FETCH_CHAIN and READ_RANGE compared byte for byte with the source.
//
// Along the way each answer is held to what it promises: a CONTINUE never
// loses an entry that an ACK's durable_seq covered, holds only blocks that
// were sent, and comes with the temporary image cut back to exactly the
// size it states; a backup begun (BEGIN_OK) never vanishes.
//
// The seed (ORV_KILL_SEED, default fixed) decides sizes, contents and
// moments; the kills land wherever the running processes are at that time.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "live_target.h"
#include "store/journal_format.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using live::AgentConn;
using live::Source;
using Digest = std::array<uint8_t, SHA256_DIGEST_SIZE>;

constexpr int kRounds = 32;
constexpr int kRoundDeadlineMs = 60000;
constexpr int kReconnectDeadlineMs = 30000;

Digest digest_of(const uint8_t* tail) {
  Digest d;
  memcpy(d.data(), tail, d.size());
  return d;
}

// The temporary image of the partial whose journal names backup uuid, read
// from the journals in dir; "" when there is none.
std::string tmp_image_of(const std::string& dir, const Uuid& uuid) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    std::string p = e.path().string();
    if (!p.ends_with(".part")) continue;
    std::string head = orv_support::read_text(p).substr(0, JOURNAL_HEADER_SIZE + HDR_UUID_OFF + UUID_SIZE);
    if (head.size() < JOURNAL_HEADER_SIZE + HDR_UUID_OFF + UUID_SIZE) continue;
    if (memcmp(head.data() + JOURNAL_HEADER_SIZE + HDR_UUID_OFF, uuid.bytes, UUID_SIZE) != 0) continue;
    std::string image(head.c_str() + JH_IMAGE_NAME_OFF);
    return dir + "/" + image + ".tmp";
  }
  return "";
}

// What the killer and the agent share.
struct Shared {
  std::atomic<uint64_t> requests{0};  // requests the agent has sent so far
  std::atomic<uint64_t> ends{0};      // of them END
  std::atomic<bool> done{false};      // the agent has finished (or given up)
};

// Counts over all rounds, to show that the crashes hit every phase.
struct Tally {
  int kills = 0;
  int continued = 0;           // CONTINUE accepted after a crash
  int cut_back = 0;            // ... holding fewer entries than blocks were sent
  int restarted_fresh = 0;     // no checkpoint yet: discarded and begun anew
  int finished_unanswered = 0;  // END done, END_OK lost in the crash
};

// One backup of one source by an agent that continues backups across
// crashes of the target.
class Agent {
 public:
  Agent(uint16_t port, std::string name, std::string workdir, Source* src, uint32_t seed, Shared* shared,
        Tally* tally)
      : port_(port), name_(std::move(name)), workdir_(std::move(workdir)), src_(src), rng_(seed), shared_(shared),
        tally_(tally) {}

  // Runs until END_OK (or the finished backup is found). Empty on success;
  // otherwise the first broken promise or failure.
  std::string run() {
    auto deadline = orv_support::Clock::now() + std::chrono::milliseconds(kRoundDeadlineMs);
    while (orv_support::Clock::now() < deadline) {
      AgentConn conn;
      if (!connect(&conn)) return "the target did not come back";
      int32_t rc = attempt(&conn);
      if (!failure_.empty()) return failure_;
      if (rc == STATUS_OK) return "";
      if (rc != STATUS_IO) return "request failed with status " + std::to_string(rc);
      // The connection broke: the target was killed. Reconnect.
    }
    return "the backup did not finish in time";
  }

  const Uuid& uuid() const { return uuid_; }

 private:
  bool connect(AgentConn* conn) {
    auto deadline = orv_support::Clock::now() + std::chrono::milliseconds(kReconnectDeadlineMs);
    while (orv_support::Clock::now() < deadline) {
      if (conn->connect(port_) == STATUS_OK) return true;
      orv_support::sleep_ms(10);
    }
    return false;
  }

  void sent_request() { shared_->requests.fetch_add(1); }

  void fail(const std::string& what) {
    if (failure_.empty()) failure_ = what;
  }

  // One connection's worth of work. STATUS_IO when the connection broke.
  int32_t attempt(AgentConn* conn) {
    std::vector<uint64_t> plan;
    std::vector<uint64_t> drops;
    if (begin_sent_) {
      int32_t rc = continue_or_restart(conn, &plan, &drops);
      if (rc != STATUS_OK || done_) return rc;
    }
    if (!begin_sent_) {
      for (uint8_t& b : uuid_.bytes) b = static_cast<uint8_t>(rng_());
      begin_sent_ = true;
      begun_ = false;
      end_sent_ = false;
      discard_sent_ = false;
      promised_.clear();
      sent_.clear();
      sent_request();
      int32_t rc = conn->begin(uuid_, name_.c_str(), *src_);
      if (rc != STATUS_OK) return rc;
      begun_ = true;
      plan.clear();
      for (uint64_t i = 0; i < src_->blocks(); ++i) plan.push_back(i);
    }

    // Frames of this connection, in order: what each one carried.
    std::vector<std::pair<uint64_t, Digest>> frames;
    uint64_t last_seq = 0;
    auto acked = [&](uint64_t seq) {
      if (seq < last_seq || seq > frames.size()) {
        fail("durable_seq " + std::to_string(seq) + " after " + std::to_string(last_seq) + " with " +
             std::to_string(frames.size()) + " frames sent");
        return;
      }
      for (uint64_t f = last_seq; f < seq; ++f) {
        if (frames[f].first != UINT64_MAX) promised_[frames[f].first] = frames[f].second;
      }
      last_seq = seq;
    };
    if (!drops.empty()) {
      frames.push_back({UINT64_MAX, Digest{}});
      for (uint64_t k : drops) promised_.erase(k);  // dropped: no longer owed, sent again below
      bool has_seq = false;
      uint64_t seq = 0;
      sent_request();
      int32_t rc = client_drop_entries(&conn->c, drops, &has_seq, &seq);
      if (rc != STATUS_OK) return rc;
      acked(seq);
    }
    for (uint64_t i : plan) {
      std::span<const uint8_t> data;
      BlockHeader h = live::block_header(*src_, i, &data);
      Digest d = digest_of(h.agent_tail);
      sent_[i].insert(d);
      frames.push_back({i, d});
      uint64_t seq = 0;
      sent_request();
      int32_t rc = conn->block(*src_, i, &seq);
      if (rc != STATUS_OK) return rc;
      acked(seq);
      if (!failure_.empty()) return STATUS_PROTOCOL;
    }
    end_sent_ = true;
    EndOk end;
    sent_request();
    shared_->ends.fetch_add(1);
    int32_t rc = client_end(&conn->c, &end);
    if (rc != STATUS_OK) return rc;
    if (end.entry_count != src_->blocks()) {
      fail("END_OK with " + std::to_string(end.entry_count) + " entries for " + std::to_string(src_->blocks()) +
           " blocks");
    }
    done_ = true;
    return STATUS_OK;
  }

  // After a broken connection: continues the backup, or learns that it
  // finished, or begins it anew when nothing of it was made durable.
  int32_t continue_or_restart(AgentConn* conn, std::vector<uint64_t>* plan, std::vector<uint64_t>* drops) {
    ContinueOk ok;
    std::vector<CatalogEntryFields> kept;
    sent_request();
    int32_t rc = conn->continue_backup(uuid_, &ok, &kept);
    if (rc == STATUS_IO) return rc;
    if (rc == STATUS_OK) return check_continuation(ok, kept, plan, drops);
    if (rc == STATUS_NOT_FOUND) {
      if (end_sent_) {
        // The crash came after the catalog took its name: finished.
        std::vector<CatalogEntryFields> entries;
        sent_request();
        int32_t frc = conn->fetch_chain(uuid_, &entries);
        if (frc == STATUS_IO) return frc;
        if (frc == STATUS_OK) {
          tally_->finished_unanswered += 1;
          done_ = true;
          return STATUS_OK;
        }
      }
      if (begun_ && !discard_sent_) {
        fail("the partial of a begun backup is gone");
        return STATUS_PROTOCOL;
      }
      begin_sent_ = false;  // BEGIN never took effect, or its partial was discarded
      return STATUS_OK;
    }
    if (rc == STATUS_CORRUPT && conn->c.got_error &&
        strcmp(conn->c.last_error.text, "the partial backup has no valid checkpoint") == 0) {
      if (!promised_.empty()) {
        fail("no valid checkpoint, although " + std::to_string(promised_.size()) + " blocks were acknowledged durable");
        return STATUS_PROTOCOL;
      }
      discard_sent_ = true;
      sent_request();
      rc = conn->discard(uuid_);
      if (rc != STATUS_OK) return rc;
      tally_->restarted_fresh += 1;
      begin_sent_ = false;
      return STATUS_OK;
    }
    fail(std::string("CONTINUE refused: ") + (conn->c.got_error ? conn->c.last_error.text : "") + " status " +
         std::to_string(rc));
    return STATUS_PROTOCOL;
  }

  int32_t check_continuation(const ContinueOk& ok, const std::vector<CatalogEntryFields>& kept, std::vector<uint64_t>* plan,
                             std::vector<uint64_t>* drops) {
    tally_->continued += 1;
    if (ok.entry_count != kept.size()) fail("CONTINUE_OK count differs from the entries sent with it");
    // The image is cut back to exactly the checkpoint's size.
    std::string tmp = tmp_image_of(workdir_, uuid_);
    std::error_code ec;
    uint64_t on_disk = tmp.empty() ? 0 : fs::file_size(tmp, ec);
    if (tmp.empty() || ec || on_disk != ok.image_size) {
      fail("temporary image " + tmp + " holds " + std::to_string(on_disk) + " bytes, CONTINUE_OK states " +
           std::to_string(ok.image_size));
    }
    std::map<uint64_t, Digest> held;
    for (const CatalogEntryFields& e : kept) {
      Digest d = digest_of(e.agent_tail);
      if (held.count(e.key) != 0) fail("key " + std::to_string(e.key) + " continued twice");
      held[e.key] = d;
      auto s = sent_.find(e.key);
      if (s == sent_.end() || s->second.count(d) == 0) fail("continued entry " + std::to_string(e.key) + " was never sent");
      if ((e.flags & ENTRY_FLAG_NO_DATA) == 0 && e.offset + e.length > ok.image_size) {
        fail("continued entry " + std::to_string(e.key) + " lies beyond the image");
      }
      if ((e.flags & ENTRY_FLAG_DROPPED) != 0) fail("a dropped entry was continued");
    }
    for (const auto& [key, d] : promised_) {
      // A later version may have replaced the promised one; either was sent.
      if (held.count(key) == 0) fail("block " + std::to_string(key) + " was acknowledged durable but not continued");
    }
    uint64_t sent_blocks = 0;
    for (const auto& [key, versions] : sent_) sent_blocks += versions.empty() ? 0 : 1;
    if (kept.size() < sent_blocks) tally_->cut_back += 1;
    // What CONTINUE_OK states is durable from now on.
    promised_ = held;

    // The source may have changed while the agent was away.
    if (rng_() % 3 == 0) src_->rewrite(&rng_, rng_() % src_->blocks());
    // Now and then a held entry is withdrawn and sent again.
    if (!held.empty() && rng_() % 4 == 0) {
      auto it = held.begin();
      std::advance(it, static_cast<long>(rng_() % held.size()));
      drops->push_back(it->first);
      held.erase(it);
    }
    plan->clear();
    for (uint64_t i = 0; i < src_->blocks(); ++i) {
      std::span<const uint8_t> data;
      BlockHeader h = live::block_header(*src_, i, &data);
      auto it = held.find(i);
      if (it == held.end() || it->second != digest_of(h.agent_tail)) plan->push_back(i);
    }
    return STATUS_OK;
  }

  uint16_t port_;
  std::string name_;
  std::string workdir_;
  Source* src_;
  std::mt19937 rng_;
  Shared* shared_;
  Tally* tally_;
  Uuid uuid_;
  bool begin_sent_ = false;  // a BEGIN for uuid_ went out
  bool begun_ = false;       // ... and was answered
  bool end_sent_ = false;
  bool discard_sent_ = false;
  bool done_ = false;
  std::map<uint64_t, Digest> promised_;            // durable by the target's word
  std::map<uint64_t, std::set<Digest>> sent_;      // every version of every block sent for uuid_
  std::string failure_;
};

class KillRestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(files.create(live::kAclText));
    files.dir.make_dir("storage/hosts");
    workdir = files.storage + "/" + live::kSubdir;
    const char* env = getenv("ORV_KILL_SEED");
    seed = env != nullptr ? static_cast<uint32_t>(strtoul(env, nullptr, 10)) : 20261208u;
  }
  void TearDown() override {
    EXPECT_TRUE(server.stop(30000));
    std::string logs = server.logs();
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error"}) {
      EXPECT_EQ(logs.find(report), std::string::npos) << report << " in the server logs (seed " << seed << ")";
    }
  }

  bool restart() { return server.start({"--checkpoint-mib", "1"}, {}, true); }

  orv_support::TargetFiles files;
  live::LiveTarget server{files};
  std::string workdir;
  uint32_t seed = 0;
};

TEST_F(KillRestartTest, BackupsSurviveKilledTargetsAndRestoreExactly) {
  ASSERT_TRUE(restart()) << server.logs();
  std::mt19937 rng(seed);
  Tally tally;
  auto started = orv_support::Clock::now();
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
    Source src;
    src.fill(&rng, (rng() % 2 == 0 ? 128u : 256u) * 1024, 8 + rng() % 17, 6, 4096);
    Shared shared;
    std::string name = "r" + std::to_string(round);
    Agent agent(server.port(), name, workdir, &src, rng(), &shared, &tally);
    std::string failure;
    std::thread runner([&] {
      failure = agent.run();
      shared.done = true;
    });

    // One or two crashes, each once the agent has sent a chosen number of
    // requests (HELLO not counted), or (one in four) once it has sent END,
    // and then up to a few milliseconds later: while the target writes
    // blocks, checkpoints, cuts a partial back, or finishes a backup.
    int kills = 1 + static_cast<int>(rng() % 2);
    uint64_t expected = src.blocks() + 2;
    std::string problem;
    for (int k = 0; k < kills && problem.empty(); ++k) {
      bool at_end = rng() % 4 == 0;
      uint64_t target = at_end ? shared.ends.load() + 1 : shared.requests.load() + 1 + rng() % expected;
      int delay_us = static_cast<int>(rng() % (at_end ? 8000 : 1500));
      auto deadline = orv_support::Clock::now() + std::chrono::milliseconds(kRoundDeadlineMs);
      while (!shared.done && (at_end ? shared.ends.load() : shared.requests.load()) < target &&
             orv_support::Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      if (shared.done) break;
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
      if (!server.kill_all()) problem = "the target's processes did not end";
      tally.kills += 1;
      if (problem.empty() && !restart()) problem = "the target did not start again: " + server.logs();
    }
    runner.join();  // the agent gives up on its own when the target stays away
    ASSERT_EQ(problem, "");
    ASSERT_EQ(failure, "") << "round " << round << " with seed " << seed;
    EXPECT_EQ(live::restore_differences(server.port(), agent.uuid(), src), "") << "round " << round;
    // No continuable partial of a finished backup is left for an agent to find.
    AgentConn conn;
    ASSERT_EQ(conn.connect(server.port()), STATUS_OK);
    PartialInfo info;
    ASSERT_EQ(conn.query(name.c_str(), &info), STATUS_OK);
    EXPECT_FALSE(info.found) << "round " << round;
  }
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(orv_support::Clock::now() - started).count();
  std::cout << "[ kills    ] " << tally.kills << " kills in " << kRounds << " rounds (" << seconds
            << " s, seed " << seed << "): " << tally.continued << " continuations, " << tally.cut_back
            << " cut back to a checkpoint, " << tally.restarted_fresh << " begun anew, " << tally.finished_unanswered
            << " finished without END_OK\n";
  // The crashes must have hit running backups, not only idle moments.
  EXPECT_GE(tally.kills, kRounds * 3 / 4);
  EXPECT_GE(tally.continued, kRounds / 4);
}

}  // namespace
}  // namespace orv
