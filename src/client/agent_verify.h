// A restore test that writes nothing: fetches a backup's chain, reads every
// block that holds data with READ_RANGE and checks it against the length
// and SHA-256 this client stored in the block's entry at backup time;
// blocks without data are checked as zeros. Every damaged or missing block
// is counted, and the first few are named.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/agent_chain.h"
#include "client/agent_session.h"

namespace orv {

struct VerifyParams {
  AgentTarget target;
  // Either a uuid, or by_name: the newest backup of that name.
  Uuid uuid;
  bool by_name = false;
  char name[HDR_NAME_SIZE] = {};
  uint32_t window = 2;       // READ_RANGE requests in flight
  bool progress = false;
  uint32_t report_limit = 4; // damaged blocks named before "and N more"
};

// What was checked: blocks_read were fetched with READ_RANGE, blocks_zero
// had no data and were checked as zeros; mismatches (digest, length or entry
// wrong) and missing blocks (no backup of the chain holds them) are the
// damage.
using VerifyResult = ChainReadResult;

// STATUS_OK when every block matched; STATUS_CORRUPT when some did not
// (err names them); any other failure as the step returned it.
[[nodiscard]] int32_t agent_verify(const VerifyParams& params, VerifyResult* result, AgentError* err);

}  // namespace orv
