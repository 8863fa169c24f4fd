// Sending a backup the way an agent does: the source is cut into blocks of
// one size, each block goes out as one BLOCK keyed by its index, with its
// length and SHA-256 in the agent fields (see agent_session.h), and
// all-zero blocks go out without data.
//
// FULL sends every block. INC and DIFF ask the target for the parent
// (FIND_PARENT: the newest backup of the name for INC, the newest FULL for
// DIFF), fetch its chain, and send only the blocks whose digest differs from
// what the chain holds for that index.
//
// The session announces FLAG_CONTINUE. When the connection drops, the agent
// reconnects, asks for its partial (QUERY_PARTIAL), continues it (CONTINUE)
// and sends only what the partial does not already hold with the right
// digest; entries the partial holds that must not stay are dropped
// (DROP_ENTRIES). A partial left by an earlier, interrupted run for the same
// name, type and parent is continued the same way, so nothing already stored
// is sent twice. Target refusals end the backup without a retry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/agent_session.h"
#include "core/unique_fd.h"

namespace orv {

// Positioned reads from what is being backed up.
struct BackupSource {
  uint64_t size = 0;
  void* context = nullptr;
  // Fills buf with exactly len bytes from offset; a failure status otherwise.
  // buf starts on a DIRECT_IO_ALIGN boundary and has room for len rounded
  // up to that alignment.
  int32_t (*read)(void* context, uint64_t offset, uint8_t* buf, size_t len) = nullptr;
};

// A regular file or a block device as a BackupSource. Owns the descriptors;
// the source stays valid while the FileSource lives and is not moved. A
// block device is also opened for direct I/O (direct_fd, when the device
// allows it): its aligned blocks are read past the page cache, so a backup
// neither fills the cache with data read once nor pays for it.
struct FileSource {
  UniqueFd fd;
  UniqueFd direct_fd;
  BackupSource source;
};
[[nodiscard]] int32_t file_source_open(const char* path, FileSource* out);

struct BackupParams {
  AgentTarget target;
  char name[HDR_NAME_SIZE] = {};
  uint8_t type = BACKUP_FULL;
  // For INC and DIFF the parent's block size is used; a size given
  // explicitly (block_size_given) must then match it.
  uint32_t block_size = 4u << 20;
  bool block_size_given = false;
  char retention[BEGIN_RETENTION_SIZE + 1] = {};
  char label[BEGIN_LABEL_SIZE + 1] = {};
  // Reconnect attempts in a row without progress before giving up.
  uint32_t retries = 5;
  // First pause before reconnecting; it doubles up to 8 s.
  uint32_t retry_delay_ms = 500;
  // BLOCK frames sent before their ACK is read (1: wait for every ACK).
  uint32_t window = 2;
  bool progress = false;  // draw the progress line (on a terminal only)
};

struct BackupResult {
  Uuid uuid;
  Uuid parent_uuid;  // zero for FULL
  uint8_t type = BACKUP_FULL;
  uint32_t block_size = 0;
  uint64_t source_size = 0;
  uint64_t blocks = 0;            // blocks of the source
  uint64_t blocks_sent = 0;       // BLOCK frames sent, once per block
  uint64_t blocks_resent = 0;     // sent again after a reconnect
  uint64_t blocks_unchanged = 0;  // same digest as in the parent's chain
  uint64_t blocks_kept = 0;       // already held by a continued partial
  uint64_t blocks_zero = 0;       // sent without data
  uint64_t bytes_sent = 0;        // block data bytes sent
  uint64_t entries_dropped = 0;
  uint32_t reconnects = 0;
  bool continued_earlier = false;  // a partial of an earlier run was continued
  uint64_t entry_count = 0;        // catalog entries the target stored (END_OK)
  uint64_t image_size = 0;         // image bytes the target stored (END_OK)
};

// Runs the whole backup. STATUS_OK once the target confirmed it with
// END_OK (or listed it after a connection lost during END). On failure err
// says what failed.
[[nodiscard]] int32_t agent_backup(const BackupParams& params, const BackupSource& source, BackupResult* result,
                                   AgentError* err);

}  // namespace orv
