// Service metrics of one connection's session, kept by the connection
// thread and folded into the shared counters (core/metrics.h) at each
// checkpoint, at the end of a backup and at session end, so the receive
// path adds nothing shared per block.
//
// The tally watches the session from outside: the state before and after
// each dispatched frame tells when a backup was opened, finished or refused,
// so the protocol handlers need no metrics code of their own.
#pragma once

#include <cstdint>
#include <span>

#include "protocol/frame.h"
#include "server/session.h"

namespace orv {

// Owned by one connection thread; start from a value-initialised record.
struct SessionTally {
  SessionState before = SessionState::wait_hello;
  uint64_t dispatch_start_ns = 0;  // only for END frames
  bool backup_open = false;
  uint8_t backup_type = 0;
  uint64_t image_size_folded = 0;  // session image_size already counted
  uint64_t blocks_pending = 0;     // blocks recorded but not yet counted
  uint64_t durable_seq_seen = 0;
  uint64_t expired_folded = 0;
};

// Blocks counted in one session before they are folded without a checkpoint
// (a backup without journal has none).
inline constexpr uint64_t TALLY_FOLD_BLOCKS = 4096;

// Before session_dispatch: counts the received frame.
void session_tally_frame(SessionTally* tally, const Session& session, const FrameHeader& header);

// After session_dispatch returned rc for the frame.
void session_tally_dispatched(SessionTally* tally, const Session& session, const FrameHeader& header,
                              std::span<const uint8_t> payload, int32_t rc);

// Once the receive loop ended: folds what is left, counts a backup still
// open as failed and the session by its final state.
void session_tally_end(SessionTally* tally, const Session& session);

}  // namespace orv
