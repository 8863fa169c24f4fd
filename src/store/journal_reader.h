// Reading a journal back: its header and the run of valid records.
//
// Recovery policy (decided in journal_scan):
//  - Torn tail: the writer died while writing; the last record is cut short
//    or its CRC does not match. The scan stops there quietly.
//  - Corruption: a record whose CRC fails, whose kind is unknown, or a
//    checkpoint whose record count disagrees with the records before it.
//    Nothing after it can be trusted, so the scan stops there too.
//  - Trust boundary: only records before the last valid checkpoint count.
//    A checkpoint is written after the image was flushed and is flushed
//    itself, so everything before it is durable and the image holds at
//    least the bytes it states. Records after it are discarded even when
//    their CRCs are fine, because the image bytes they describe may not
//    have reached the disk.
// The functions share no state; a descriptor belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/formats.h"
#include "store/journal_format.h"

namespace orv {

// Reads and checks the 512-byte header and the payload of the journal open
// at fd. STATUS_CORRUPT for a short file, a wrong magic or version, a
// payload size outside 4,096..131,072 (0 reads as 4,096) or a CRC mismatch;
// read failures return their status. On success both names in header512 end
// with a NUL within their fields, the payload (zero-padded beyond a smaller
// payload size) is in *payload, and *first is 512 + payload size. On failure
// the buffers' contents are unspecified and *first is 0.
[[nodiscard]] int32_t journal_read_header(int fd, uint8_t header512[JOURNAL_HEADER_SIZE], BackupHeader* payload,
                                          uint64_t* first);

// The catalog and image file names recorded in a header that
// journal_read_header accepted (pointers into header512).
inline const char* journal_header_catalog_name(const uint8_t* header512) {
  return reinterpret_cast<const char*>(header512 + JH_CATALOG_NAME_OFF);
}
inline const char* journal_header_image_name(const uint8_t* header512) {
  return reinterpret_cast<const char*>(header512 + JH_IMAGE_NAME_OFF);
}

struct JournalScan {
  uint64_t count = 0;                  // block and drop records in the valid run
  uint64_t checkpoint_count = 0;       // records before the last valid checkpoint
  uint64_t checkpoint_image_size = 0;  // image bytes that checkpoint states
  uint64_t checkpoint_end = 0;         // offset just after it; 0 when there is none
};

// Walks the records from `start` to `end` (64-byte steps, 1 MiB reads) and
// describes the longest run of valid records, as set out above. Stopping
// early is not an error; only a read failure or STATUS_NOMEM (the 1 MiB
// buffer) fails. *scan is cleared first.
[[nodiscard]] int32_t journal_scan(int fd, uint64_t end, uint64_t start, JournalScan* scan);

// Called for every record of the valid run, in file order: block and drop
// records as they are met, checkpoint records once accepted as the new
// trust boundary (*scan already updated). `rec` points at the 64 bytes and
// is valid only during the call. Records after the last checkpoint are
// visited too; the visitor decides what to do with them.
using JournalVisitFn = void (*)(void* ctx, const uint8_t* rec, const JournalScan& scan);

// journal_scan that also hands every valid record to visit (when not null),
// so a reader can apply records while they are checked, in one pass.
[[nodiscard]] int32_t journal_scan_visit(int fd, uint64_t end, uint64_t start, JournalScan* scan,
                                         JournalVisitFn visit, void* ctx);

}  // namespace orv
