// Restoring a backup written by this client: FETCH_CHAIN announces the
// chain from the full backup to the requested one with every catalog; the
// newest entry for each block wins; each block's bytes come from READ_RANGE
// on the image that holds them (blocks without data are zeros), are checked
// against the length and SHA-256 in the entry's agent fields (see
// agent_session.h) and written at the block's position in the output.
//
// A block whose digest does not match, or that no backup of the chain
// holds, is counted and reported; the restore then fails with
// STATUS_CORRUPT after the rest of the output was written, so every damaged
// block is named at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/agent_chain.h"
#include "client/agent_session.h"

namespace orv {

struct RestoreParams {
  AgentTarget target;
  // Either a uuid, or by_name: the newest backup of that name.
  Uuid uuid;
  bool by_name = false;
  char name[HDR_NAME_SIZE] = {};
  // A regular file (created or truncated, mode 0600) or an existing block
  // device at least as large as the source.
  const char* output = nullptr;
  // READ_RANGE requests in flight.
  uint32_t window = 2;
  bool progress = false;
  // Damaged blocks named one by one in err's text before "and N more".
  uint32_t report_limit = 4;
};

// What was restored: blocks_read were fetched with READ_RANGE, blocks_zero
// had no data; mismatches (digest, length or checksum convention wrong) and
// missing blocks (no backup of the chain holds them) are the damage.
using RestoreResult = ChainReadResult;

// STATUS_OK when every block was restored and verified; STATUS_CORRUPT
// when some were not (the output is then incomplete or wrong in those
// blocks and err lists them); any other failure as the step returned it.
[[nodiscard]] int32_t agent_restore(const RestoreParams& params, RestoreResult* result, AgentError* err);

}  // namespace orv
