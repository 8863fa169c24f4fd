// Restore side of a session: listing the finished backups of a directory,
// finding the parent of a new DIFF or INC, announcing the chain of one
// backup (headers and catalogs, full backup first) and serving byte ranges
// of the announced chain's image files.
//
// The handlers (session_list_backups, session_find_parent,
// session_fetch_chain, session_read_range) are declared in
// session_handlers.h and run on the session's connection thread. They take
// no lock: they only read the files of finished backups, which no session
// changes after END, while other sessions may add backups to the same
// directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/unique_fd.h"
#include "protocol/payloads.h"

namespace orv {

// One image file of the announced chain.
struct RestoreFile {
  std::unique_ptr<char[]> path;  // private copy
  uint64_t size = 0;             // image_size from that backup's header
  UniqueFd fd;                   // opened read-only by FETCH_CHAIN (else by the first READ_RANGE)
  uint64_t next_offset = 0;      // end of the last range read, to detect sequential reading
};

// Per-session restore state. The chain is replaced by every successful
// FETCH_CHAIN; descriptors stay open until then or the session's end. The
// range buffer (FRAME_MAX_PAYLOAD bytes: the 16-byte echo, then the data) is
// allocated by the first READ_RANGE and reused for every later one.
struct RestoreState {
  std::unique_ptr<RestoreFile[]> files;  // in chain order, index 0 the full backup
  size_t count = 0;                      // 0: no chain announced
  std::unique_ptr<uint8_t[]> range_buffer;
};

// Closes every descriptor and frees the chain table and the range buffer.
// The state is empty afterwards; safe to call on an empty state.
void restore_release(RestoreState* state);

// Sorts list entries into the order of BACKUP_LIST (created ascending, equal
// times by the 16 uuid bytes compared as unsigned bytes) and returns the
// index of the first entry to send: 0, or count - BACKUP_LIST_MAX_ENTRIES
// when there are more, so that only the newest are sent.
size_t backup_list_order(BackupListEntry* entries, size_t count);

}  // namespace orv
