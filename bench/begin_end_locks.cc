// What the file half of the partial locks costs a backup: BEGIN/END pairs
// of empty backups (an agent that continues backups, so every BEGIN creates
// a journal and takes its lock, every END releases it) with the file locks
// on and switched off, in the same run. The session runs in this process on
// a Unix socket pair (no TLS), so the only difference between the two is
// the lock; a thread drains the answers.
//
//   begin_end_locks [--pairs N] [--rounds N]
//
// Each round runs pairs/rounds pairs with the locks and as many without, in
// alternating order; medians of the per-pair times over all pairs are
// printed (BEGIN, END, the pair), then lock+unlock alone on an existing
// journal file. The scratch directory is on the real disk
// ($ORV_BENCH_DIR, $TMPDIR or /tmp): BEGIN and END fsync.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/status.h"
#include "server/acl.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "protocol/payloads.h"
#include "server/session.h"
#include "core/file_io.h"
#include "store/partial_lock.h"
#include "store_bench_util.h"

namespace orv {
namespace {

// The agent's end of the socket pair: reads and drops every answer.
class Drain {
 public:
  Drain() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) exit(1);
    near.fd = sv[0];
    far_.fd = sv[1];
    thread_ = std::thread([this] {
      std::unique_ptr<uint8_t[]> buf(new uint8_t[FRAME_MAX_PAYLOAD]);
      FrameHeader h;
      while (receive_frame(&far_, &h, std::span<uint8_t>(buf.get(), FRAME_MAX_PAYLOAD)) == STATUS_OK) {
      }
    });
  }
  ~Drain() {
    shutdown(near.fd, SHUT_RDWR);
    thread_.join();
    channel_close(&far_);
    channel_close(&near);
  }
  Channel near;

 private:
  Channel far_;
  std::thread thread_;
};

struct PairTimes {
  std::vector<double> begin, end, pair;
};

// One BEGIN and END of an empty backup through a fresh session.
void one_pair(Session* s, const ServerConfig& config, const AclEntry* acl, const Channel& ch, uint32_t n,
              PairTimes* out) {
  session_init(s, config, acl, 1, ch);
  s->acl_entry = acl;
  s->state = SessionState::wait_begin;
  s->peer_flags = FLAG_CONTINUE;
  BeginRequest r;
  for (size_t i = 0; i < UUID_SIZE; ++i) r.uuid.bytes[i] = static_cast<uint8_t>(n >> (8 * (i % 4)));
  r.chain_uuid = r.uuid;
  r.type = BACKUP_FULL;
  r.block_size = 4096;
  snprintf(r.target_name, sizeof r.target_name, "e%u", n);  // a name of its own: no counter search
  snprintf(r.target_subdir, sizeof r.target_subdir, "bench");
  uint8_t payload[BEGIN_SIZE];
  size_t len = encode_begin(r, payload);
  FrameHeader h;
  h.version = PROTOCOL_VERSION;
  h.msg_type = MSG_BEGIN;
  h.length = static_cast<uint32_t>(len);
  double t0 = bench::now_sec();
  int32_t rc = session_dispatch(s, h, std::span<const uint8_t>(payload, len));
  double t1 = bench::now_sec();
  if (rc != STATUS_OK || !s->backup.journaling()) {
    fprintf(stderr, "BEGIN: %d (journal %d)\n", rc, s->backup.journaling() ? 1 : 0);
    exit(1);
  }
  h.msg_type = MSG_END;
  h.length = 0;
  rc = session_dispatch(s, h, {});
  double t2 = bench::now_sec();
  if (rc != STATUS_OK) {
    fprintf(stderr, "END: %d\n", rc);
    exit(1);
  }
  session_end(s, 0);  // leaves the channel (the drain's) open
  out->begin.push_back(t1 - t0);
  out->end.push_back(t2 - t1);
  out->pair.push_back(t2 - t0);
}

// The settings of one side: the storage root and a lock table with or
// without file locks.
struct Side {
  Side(const char* root, bool files) : locks(PARTIAL_LOCK_SLOTS, files) {
    config.storage_root = root;
    config.diag_off = true;
    config.store.locks = &locks;
  }
  PartialLocks locks;
  ServerConfig config;
};

void run(const Side& side, uint32_t count, Session* s, const AclEntry* acl, const Channel& ch, uint32_t* serial,
         PairTimes* out) {
  for (uint32_t i = 0; i < count; ++i) one_pair(s, side.config, acl, ch, ++*serial, out);
}

double us(double sec) { return sec * 1e6; }

void print_row(const char* what, const std::vector<double>& with, const std::vector<double>& without) {
  double w = bench::median(with);
  double o = bench::median(without);
  printf("%-6s %12.1f %15.1f %10.3f\n", what, us(w), us(o), w / o);
}

// lock + unlock of an existing journal, n times.
double lock_cycle(const std::string& path, PartialLocks& locks, uint32_t n) {
  double t0 = bench::now_sec();
  for (uint32_t i = 0; i < n; ++i) {
    if (locks.try_lock(path.c_str(), -1) != STATUS_OK) exit(1);
    locks.unlock(path.c_str());
  }
  return (bench::now_sec() - t0) / n;
}

}  // namespace
}  // namespace orv

int main(int argc, char** argv) {
  using namespace orv;
  uint32_t pairs = 1000;
  uint32_t rounds = 5;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--pairs") == 0 && i + 1 < argc) {
      pairs = static_cast<uint32_t>(atoi(argv[++i]));
    } else if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = static_cast<uint32_t>(atoi(argv[++i]));
    } else {
      fprintf(stderr, "usage: %s [--pairs N] [--rounds N]\n", argv[0]);
      return 2;
    }
  }
  if (pairs == 0 || rounds == 0 || pairs < rounds) return 2;

  bench::ScratchDir dir;
  std::string root = dir.path();
  if (dir_ensure(dir.file("bench").c_str()) != STATUS_OK) return 1;
  AclEntry acl;
  memset(&acl, 0, sizeof acl);
  snprintf(acl.patterns[0], ACL_PATTERN_SIZE, "bench");
  acl.pattern_count = 1;
  Side files(root.c_str(), true);
  Side no_files(root.c_str(), false);
  if (files.locks.probe(root.c_str()) != STATUS_OK) {
    fprintf(stderr, "the scratch directory takes no file locks: nothing to compare\n");
    return 1;
  }

  auto session = std::make_unique<Session>();
  Drain drain;
  PairTimes with, without;
  uint32_t serial = 0;
  uint32_t per_round = pairs / rounds;
  // One pair each first, so neither side pays for the first directory entries.
  PairTimes warm;
  run(files, 5, session.get(), &acl, drain.near, &serial, &warm);
  run(no_files, 5, session.get(), &acl, drain.near, &serial, &warm);
  for (uint32_t r = 0; r < rounds; ++r) {
    bool files_first = r % 2 == 0;
    run(files_first ? files : no_files, per_round, session.get(), &acl, drain.near, &serial,
        files_first ? &with : &without);
    run(files_first ? no_files : files, per_round, session.get(), &acl, drain.near, &serial,
        files_first ? &without : &with);
  }

  printf("begin_end_locks: %u BEGIN/END pairs of empty backups each way, %u rounds, medians in microseconds\n",
         per_round * rounds, rounds);
  printf("%-6s %12s %15s %10s\n", "", "file locks", "no file locks", "ratio");
  print_row("BEGIN", with.begin, without.begin);
  print_row("END", with.end, without.end);
  print_row("pair", with.pair, without.pair);

  std::string journal = dir.file("bench/lock.part");
  FILE* f = fopen(journal.c_str(), "w");
  if (f == nullptr) return 1;
  fclose(f);
  std::vector<double> lw, lo;
  for (int r = 0; r < 5; ++r) {
    lw.push_back(lock_cycle(journal, files.locks, 20000));
    lo.push_back(lock_cycle(journal, no_files.locks, 20000));
  }
  printf("lock+unlock of one journal alone: %.2f us with the file lock, %.2f us without\n", us(bench::median(lw)),
         us(bench::median(lo)));
  return 0;
}
