#include "server/session_metrics.h"

#include "core/endian.h"
#include "core/metrics.h"
#include "core/status.h"
#include "protocol/messages.h"
#include "protocol/formats.h"

namespace orv {

namespace {

void fold(SessionTally* tally, const Session& session) {
  ServiceMetrics& m = service_metrics();
  if (session.backup.image_size() > tally->image_size_folded) {
    metrics_add(m.received_bytes, session.backup.image_size() - tally->image_size_folded);
    tally->image_size_folded = session.backup.image_size();
  }
  if (tally->blocks_pending > 0) {
    metrics_add(m.blocks_received, tally->blocks_pending);
    tally->blocks_pending = 0;
  }
  tally->durable_seq_seen = session.durable_seq;
}

void close_backup(SessionTally* tally, std::atomic<uint64_t>* outcome) {
  metrics_add(outcome[metrics_backup_type_index(tally->backup_type)], 1);
  metrics_add(service_metrics().backups_in_progress, -1);
  tally->backup_open = false;
}

}  // namespace

void session_tally_frame(SessionTally* tally, const Session& session, const FrameHeader& header) {
  size_t slot = header.msg_type <= MSG_TYPE_MAX ? header.msg_type : METRICS_FRAME_TYPE_UNKNOWN;
  metrics_add(service_metrics().frames_received[slot], 1);
  tally->before = session.state;
  if (header.msg_type == MSG_END) tally->dispatch_start_ns = metrics_now_ns();
}

void session_tally_dispatched(SessionTally* tally, const Session& session, const FrameHeader& header,
                              std::span<const uint8_t> payload, int32_t rc) {
  ServiceMetrics& m = service_metrics();
  uint16_t type = header.msg_type;
  if (session.partial_expired_count > tally->expired_folded) {
    metrics_add(m.partials_expired, session.partial_expired_count - tally->expired_folded);
    tally->expired_folded = session.partial_expired_count;
  }

  if (!tally->backup_open && session.state == SessionState::receiving_blocks) {
    // BEGIN or CONTINUE opened a backup.
    tally->backup_open = true;
    tally->backup_type = header_type(session.backup.header());
    tally->image_size_folded = session.backup.image_size();
    tally->durable_seq_seen = session.durable_seq;
    tally->blocks_pending = 0;
    metrics_add(m.backups_started[metrics_backup_type_index(tally->backup_type)], 1);
    metrics_add(m.backups_in_progress, 1);
    if (type == MSG_CONTINUE) metrics_add(m.partials_continued, 1);
    return;
  }
  if (type == MSG_BEGIN && tally->before == SessionState::wait_begin) {
    // A refused BEGIN is a backup that failed before it started.
    uint8_t wire_type = payload.size() > BEGIN_TYPE_OFF ? payload[BEGIN_TYPE_OFF] : 0xFF;
    metrics_add(m.backups_failed[metrics_backup_type_index(wire_type)], 1);
    return;
  }
  if (type == MSG_HELLO && session.state == SessionState::error && session.acl_entry == nullptr) {
    metrics_connection_refused(RefusalReason::authentication);
    return;
  }
  if (type == MSG_READ_RANGE && rc == STATUS_OK && payload.size() >= READ_RANGE_SIZE) {
    metrics_add(m.served_bytes, get_u32_le(payload, RANGE_LENGTH_OFF));
    return;
  }
  if (!tally->backup_open) return;
  if (type == MSG_BLOCK && rc == STATUS_OK) tally->blocks_pending += 1;
  if (session.state == SessionState::done) {
    fold(tally, session);
    m.finalize_seconds.observe_ns(metrics_now_ns() - tally->dispatch_start_ns);
    close_backup(tally, m.backups_finished);
    return;
  }
  if (session.durable_seq != tally->durable_seq_seen || tally->blocks_pending >= TALLY_FOLD_BLOCKS) {
    fold(tally, session);
  }
}

void session_tally_end(SessionTally* tally, const Session& session) {
  ServiceMetrics& m = service_metrics();
  if (tally->backup_open) {
    fold(tally, session);
    // Ended without END_OK: interrupted, refused at END, or failed writing.
    close_backup(tally, m.backups_failed);
  }
  size_t state = static_cast<size_t>(session.state);
  if (state < METRICS_SESSION_STATE_COUNT) metrics_add(m.sessions[state], 1);
}

}  // namespace orv
