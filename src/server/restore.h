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

#include "core/aligned_buffer.h"
#include "core/unique_fd.h"
#include "protocol/payloads.h"

namespace orv {

// One image file of the announced chain.
struct RestoreFile {
  std::unique_ptr<char[]> path;  // private copy
  uint64_t size = 0;             // image_size from that backup's header
  UniqueFd fd;                   // opened read-only by FETCH_CHAIN (else by the first READ_RANGE)
  UniqueFd direct_fd;            // the same file for direct reads, opened by the first read that can use one
  bool direct_refused = false;   // the file system refused direct I/O for it
  uint64_t next_offset = 0;      // end of the last range read, to detect sequential reading
};

// Per-session restore state. The chain is replaced by every successful
// FETCH_CHAIN; descriptors stay open until then or the session's end. The
// range buffer is allocated by the first READ_RANGE and reused for every
// later one: RANGE_BUFFER_SIZE bytes, aligned, the 16-byte echo right before
// RANGE_BUFFER_DATA_OFF and the data from there, so that the data can be
// read with direct I/O (whole pages, hence the room up to FRAME_MAX_PAYLOAD).
//
// A range is read past the page cache (direct_fd) when its offset is
// aligned and most of its pages are not cached: the images of finished
// backups are read once per restore, and on the machines this runs on,
// reading through new cache pages is several times slower than the disk.
// A range that is cached, or unaligned, is read through the cache.
inline constexpr size_t RANGE_BUFFER_DATA_OFF = DIRECT_IO_ALIGN;
inline constexpr size_t RANGE_BUFFER_SIZE = RANGE_BUFFER_DATA_OFF + FRAME_MAX_PAYLOAD;
static_assert(RANGE_BUFFER_DATA_OFF >= RANGE_DATA_OFF);
static_assert(align_up_direct(READ_RANGE_MAX_LENGTH) <= FRAME_MAX_PAYLOAD);

struct RestoreState {
  std::unique_ptr<RestoreFile[]> files;  // in chain order, index 0 the full backup
  size_t count = 0;                      // 0: no chain announced
  AlignedBuffer range_buffer;
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
