// Load generator: N sessions in parallel, each sending one FULL backup of
// generated data (distinct in every block, so nothing compresses or
// repeats) in blocks of one size with a few BLOCKs in flight. Blocks carry
// no checksum (agent byte 0): the figures measure the target and the
// transport, not the client's hashing, and such backups are not meant to be
// restored.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/agent_session.h"

namespace orv {

struct BenchParams {
  AgentTarget target;
  char name_prefix[HDR_NAME_SIZE - 8] = "bench";  // backups are named "<prefix>-<n>"
  uint32_t sessions = 4;
  uint64_t size = 256ull << 20;  // bytes per session
  uint32_t block_size = 4u << 20;
  uint32_t window = 2;
};

struct BenchSession {
  int32_t status = 0;
  AgentError err;
  Uuid uuid;
  double seconds = 0;  // first BLOCK to END_OK
  uint64_t bytes = 0;
  uint64_t entry_count = 0;  // from END_OK
  uint64_t image_size = 0;
};

struct BenchResult {
  BenchSession* sessions = nullptr;  // new[] array of `count`; freed by bench_result_free
  uint32_t count = 0;
  uint32_t failed = 0;
  double wall_seconds = 0;  // all sessions released at once, until the last END_OK
  uint64_t total_bytes = 0;
};

// Runs the sessions; STATUS_OK when every session finished (see each
// session's status otherwise). STATUS_NOMEM or a thread failure before any
// session started is returned as is.
[[nodiscard]] int32_t agent_bench(const BenchParams& params, BenchResult* result);
void bench_result_free(BenchResult* result);

}  // namespace orv
