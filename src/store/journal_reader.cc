#include "store/journal_reader.h"

#include <cstdlib>
#include <cstring>

#include "core/file_io.h"
#include "core/status.h"

namespace orv {

namespace {
constexpr size_t kScanChunk = 1048576;
static_assert(kScanChunk % JOURNAL_RECORD_SIZE == 0);
}  // namespace

int32_t journal_read_header(int fd, uint8_t header512[JOURNAL_HEADER_SIZE], BackupHeader* payload, uint64_t* first) {
  *first = 0;
  size_t got = 0;
  // Both reads go on to the end of the file when the kernel returns less:
  // only a file that really is short is damaged.
  int32_t rc = file_pread_full(fd, header512, JOURNAL_HEADER_SIZE, 0, &got);
  if (rc != STATUS_OK) return rc;
  if (got < JOURNAL_HEADER_SIZE) return STATUS_CORRUPT;
  std::span<const uint8_t> h(header512, JOURNAL_HEADER_SIZE);
  if (memcmp(header512 + JH_MAGIC_OFF, JOURNAL_MAGIC, JH_MAGIC_SIZE) != 0) return STATUS_CORRUPT;
  if (get_u32_le(h, JH_VERSION_OFF) != JOURNAL_VERSION) return STATUS_CORRUPT;

  uint32_t payload_size = get_u32_le(h, JH_PAYLOAD_SIZE_OFF);
  if (payload_size == 0) payload_size = JOURNAL_PAYLOAD_SIZE_ZERO;
  if (payload_size < JOURNAL_PAYLOAD_MIN || payload_size > JOURNAL_PAYLOAD_MAX ||
      payload_size > BACKUP_HEADER_SIZE) {
    return STATUS_CORRUPT;
  }

  memset(payload->bytes, 0, BACKUP_HEADER_SIZE);
  rc = file_pread_full(fd, payload->bytes, payload_size, JOURNAL_HEADER_SIZE, &got);
  if (rc != STATUS_OK) return rc;
  if (got < payload_size) return STATUS_CORRUPT;

  uint32_t crc = crc32c(0, header512 + JH_CRC_START, JH_CRC_END - JH_CRC_START);
  crc = crc32c(crc, payload->bytes, payload_size);
  if (crc != get_u32_le(h, JH_CRC_OFF)) return STATUS_CORRUPT;

  // The names must end inside their fields whatever the file says.
  header512[JH_CATALOG_NAME_OFF + JH_NAME_SIZE - 1] = 0;
  header512[JH_IMAGE_NAME_OFF + JH_NAME_SIZE - 1] = 0;
  *first = JOURNAL_HEADER_SIZE + payload_size;
  return STATUS_OK;
}

int32_t journal_scan(int fd, uint64_t end, uint64_t start, JournalScan* scan) {
  return journal_scan_visit(fd, end, start, scan, nullptr, nullptr);
}

int32_t journal_scan_visit(int fd, uint64_t end, uint64_t start, JournalScan* scan, JournalVisitFn visit,
                           void* ctx) {
  *scan = JournalScan{};
  auto* buf = static_cast<uint8_t*>(malloc(kScanChunk));
  if (buf == nullptr) return STATUS_NOMEM;

  uint64_t p = start;
  bool stop = false;
  while (!stop && p <= end && end - p >= JOURNAL_RECORD_SIZE) {
    uint64_t left = (end - p) / JOURNAL_RECORD_SIZE * JOURNAL_RECORD_SIZE;
    size_t want = left < kScanChunk ? static_cast<size_t>(left) : kScanChunk;
    size_t got = 0;
    int32_t rc = file_pread(fd, buf, want, p, &got);
    if (rc != STATUS_OK) {
      free(buf);
      return rc;
    }
    // Torn tail: the file ends (or was cut) inside a record.
    if (got < JOURNAL_RECORD_SIZE) break;
    size_t whole = got / JOURNAL_RECORD_SIZE * JOURNAL_RECORD_SIZE;
    for (size_t off = 0; off < whole; off += JOURNAL_RECORD_SIZE) {
      const uint8_t* rec = buf + off;
      // A bad CRC is either a torn last write or damage; in both cases
      // nothing from here on is trusted.
      if (!journal_record_crc_ok(rec)) {
        stop = true;
        break;
      }
      uint8_t kind = journal_record_kind(rec);
      if (kind == REC_BLOCK || kind == REC_DROP) {
        scan->count += 1;
        if (visit != nullptr) visit(ctx, rec, *scan);
        continue;
      }
      std::span<const uint8_t> r(rec, JOURNAL_RECORD_SIZE);
      if (kind == REC_CHECKPOINT && get_u64_le(r, REC_CP_COUNT_OFF) == scan->count) {
        // The new trust boundary: every record up to here is durable.
        scan->checkpoint_count = scan->count;
        scan->checkpoint_image_size = get_u64_le(r, REC_CP_IMAGE_SIZE_OFF);
        scan->checkpoint_end = p + off + JOURNAL_RECORD_SIZE;
        if (visit != nullptr) visit(ctx, rec, *scan);
        continue;
      }
      // A checkpoint that disagrees with the records before it, or a kind
      // this writer never produces: the file is not what it claims to be.
      stop = true;
      break;
    }
    p += whole;
  }
  free(buf);
  return STATUS_OK;
}

}  // namespace orv
