// Journal file of a backup being received ("<image path>.part").
//
// Header, 512 bytes, little-endian:
//   offset | size | field
//   -------+------+--------------------------------------------------------
//       0  |    4 | magic "ORVJ"
//       4  |    4 | version (u32, 1)
//       8  |    4 | CRC-32C: crc32c(crc32c(0, header bytes 16..495), payload)
//      12  |    4 | payload size (u32, 131,072; 0 is read as 4,096)
//      16  |  240 | catalog file name (base name, NUL-terminated)
//     256  |  240 | image file name (base name, NUL-terminated)
//     496  |   16 | zero, not covered by the CRC
//
// Payload: the BackupHeader as it stood when the backup began, at offset 512.
//
// Records, 64 bytes each, from offset 512 + payload size to end of file:
//   offset | size | field
//   -------+------+--------------------------------------------------------
//       0  |   58 | body (by kind)
//      58  |    1 | kind: 1 block, 2 drop, 3 checkpoint
//      59  |    1 | zero
//      60  |    4 | CRC-32C of bytes 0..59
//
// Bodies: block = the 58-byte CatalogEntry; drop = u64 key at 0, rest zero;
// checkpoint = u64 count of block and drop records before it at 0, u64
// durable image size at 8, rest zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "core/endian.h"
#include "core/text.h"
#include "integrity/crc32c.h"
#include "protocol/formats.h"

namespace orv {

inline constexpr size_t JH_MAGIC_OFF = 0, JH_MAGIC_SIZE = 4;
inline constexpr size_t JH_VERSION_OFF = 4, JH_VERSION_SIZE = 4;
inline constexpr size_t JH_CRC_OFF = 8, JH_CRC_SIZE = 4;
inline constexpr size_t JH_PAYLOAD_SIZE_OFF = 12, JH_PAYLOAD_SIZE_SIZE = 4;
inline constexpr size_t JH_CATALOG_NAME_OFF = 16, JH_NAME_SIZE = 240;
inline constexpr size_t JH_IMAGE_NAME_OFF = 256;
inline constexpr size_t JH_ZERO_OFF = 496, JH_ZERO_SIZE = 16;
inline constexpr size_t JOURNAL_HEADER_SIZE = JH_ZERO_OFF + JH_ZERO_SIZE;
static_assert(JOURNAL_HEADER_SIZE == 512);
static_assert(JH_MAGIC_OFF + JH_MAGIC_SIZE == JH_VERSION_OFF);
static_assert(JH_VERSION_OFF + JH_VERSION_SIZE == JH_CRC_OFF);
static_assert(JH_CRC_OFF + JH_CRC_SIZE == JH_PAYLOAD_SIZE_OFF);
static_assert(JH_PAYLOAD_SIZE_OFF + JH_PAYLOAD_SIZE_SIZE == JH_CATALOG_NAME_OFF);
static_assert(JH_CATALOG_NAME_OFF + JH_NAME_SIZE == JH_IMAGE_NAME_OFF);
static_assert(JH_IMAGE_NAME_OFF + JH_NAME_SIZE == JH_ZERO_OFF);
// The CRC covers the two name fields.
inline constexpr size_t JH_CRC_START = JH_CATALOG_NAME_OFF;
inline constexpr size_t JH_CRC_END = JH_ZERO_OFF;

inline constexpr uint8_t JOURNAL_MAGIC[JH_MAGIC_SIZE] = {'O', 'R', 'V', 'J'};
inline constexpr uint32_t JOURNAL_VERSION = 1;
inline constexpr uint32_t JOURNAL_PAYLOAD_SIZE = BACKUP_HEADER_SIZE;
// A stored payload size of 0 stands for this size.
inline constexpr uint32_t JOURNAL_PAYLOAD_SIZE_ZERO = 4096;
inline constexpr uint32_t JOURNAL_PAYLOAD_MIN = 4096;
inline constexpr uint32_t JOURNAL_PAYLOAD_MAX = 4194304;
inline constexpr uint64_t JOURNAL_FIRST_RECORD = JOURNAL_HEADER_SIZE + JOURNAL_PAYLOAD_SIZE;
static_assert(JOURNAL_FIRST_RECORD == 131584);

inline constexpr size_t REC_BODY_OFF = 0, REC_BODY_SIZE = 58;
inline constexpr size_t REC_KIND_OFF = 58, REC_KIND_SIZE = 1;
inline constexpr size_t REC_ZERO_OFF = 59, REC_ZERO_SIZE = 1;
inline constexpr size_t REC_CRC_OFF = 60, REC_CRC_SIZE = 4;
inline constexpr size_t JOURNAL_RECORD_SIZE = REC_CRC_OFF + REC_CRC_SIZE;
static_assert(JOURNAL_RECORD_SIZE == 64);
static_assert(REC_BODY_OFF + REC_BODY_SIZE == REC_KIND_OFF);
static_assert(REC_KIND_OFF + REC_KIND_SIZE == REC_ZERO_OFF);
static_assert(REC_ZERO_OFF + REC_ZERO_SIZE == REC_CRC_OFF);
static_assert(REC_BODY_SIZE == CATALOG_ENTRY_SIZE);

// Checkpoint body fields.
inline constexpr size_t REC_CP_COUNT_OFF = 0;
inline constexpr size_t REC_CP_IMAGE_SIZE_OFF = 8;
// Drop body field.
inline constexpr size_t REC_DROP_KEY_OFF = 0;

inline constexpr uint8_t REC_BLOCK = 1;
inline constexpr uint8_t REC_DROP = 2;
inline constexpr uint8_t REC_CHECKPOINT = 3;

// Fills the 64 bytes at rec: body (58 bytes), kind, zero byte, CRC.
inline void encode_journal_record(uint8_t kind, std::span<const uint8_t> body, uint8_t* rec) {
  std::span<uint8_t> r(rec, JOURNAL_RECORD_SIZE);
  memset(rec, 0, JOURNAL_RECORD_SIZE);
  put_bytes(r, REC_BODY_OFF, body.first(body.size() < REC_BODY_SIZE ? body.size() : REC_BODY_SIZE));
  r[REC_KIND_OFF] = kind;
  put_u32_le(r, REC_CRC_OFF, crc32c(0, rec, REC_CRC_OFF));
}

inline bool journal_record_crc_ok(const uint8_t* rec) {
  std::span<const uint8_t> r(rec, JOURNAL_RECORD_SIZE);
  return get_u32_le(r, REC_CRC_OFF) == crc32c(0, rec, REC_CRC_OFF);
}

// Fills the 512-byte journal header for a payload of payload_size bytes
// (0 stands for 4,096) whose bytes are `payload`: magic, version, payload
// size, the two names (cut to 239 characters) and the CRC.
inline void encode_journal_header(std::string_view catalog_name, std::string_view image_name, uint32_t payload_size,
                                  std::span<const uint8_t> payload, uint8_t* out) {
  std::span<uint8_t> h(out, JOURNAL_HEADER_SIZE);
  memset(out, 0, JOURNAL_HEADER_SIZE);
  put_bytes(h, JH_MAGIC_OFF, std::span<const uint8_t>(JOURNAL_MAGIC, JH_MAGIC_SIZE));
  put_u32_le(h, JH_VERSION_OFF, JOURNAL_VERSION);
  put_u32_le(h, JH_PAYLOAD_SIZE_OFF, payload_size);
  put_text_field(h, JH_CATALOG_NAME_OFF, JH_NAME_SIZE, catalog_name);
  put_text_field(h, JH_IMAGE_NAME_OFF, JH_NAME_SIZE, image_name);
  uint32_t crc = crc32c(0, out + JH_CRC_START, JH_CRC_END - JH_CRC_START);
  put_u32_le(h, JH_CRC_OFF, crc32c(crc, payload.data(), payload.size()));
}

inline uint8_t journal_record_kind(const uint8_t* rec) { return rec[REC_KIND_OFF]; }

}  // namespace orv
