// On-disk layouts of the backup header block and the catalog entry.
//
// BackupHeader: 131,072 bytes, little-endian, text fields NUL-terminated
// within their width and NUL-padded, everything not listed is zero. It begins
// every catalog file, is the payload of every journal and travels whole in
// protocol messages.
//
//   offset  | size    | field
//   --------+---------+--------------------------------------------------
//        0  |       4 | magic "ORVH"
//        4  |       2 | version (u16, 1)
//        6  |       2 | reserved
//        8  |       4 | header_size (u32, 131,072; offset of the entry table)
//       12  |       4 | block_size (u32, bytes per source block)
//       16  |       1 | type (0 FULL, 1 DIFF, 2 INC; other values kept as sent)
//       17  |       1 | reserved flag byte
//       18  |       2 | reserved
//       20  |      16 | uuid
//       36  |      16 | parent_uuid (zero for a full backup)
//       52  |      16 | chain_uuid (stored as sent, never checked)
//       68  |       8 | created (i64, seconds since the epoch, server clock)
//       76  |       8 | source_size (u64)
//       84  |       8 | entry_count (u64)
//       92  |       8 | image_size (u64)
//      100  |      32 | entries_sha256 (zero when there are no entries)
//      132  |      32 | creator_version (text)
//      164  |      64 | creator_host (text)
//      228  |     256 | reserved
//      484  |      64 | name (text, at most 63 characters)
//      548  |       1 | agent byte, stored unchanged
//      549  |  25,120 | reserved
//   25,669  |       8 | expires (i64, 0 when none or "forever")
//   25,677  |      32 | retention (text)
//   25,709  |      32 | retention_label (text)
//   25,741  | 105,331 | reserved
//
// CatalogEntry: 58 bytes, little-endian, one per block; the same bytes are
// used in catalog files, journal records and protocol messages.
//
//   offset | size | field
//   -------+------+--------------------------------------------------------
//       0  |    8 | key (u64, block index chosen by the agent)
//       8  |    8 | image offset (u64; all ones when the block has no data)
//      16  |    4 | length (u32, data bytes in the image; 0 without data)
//      20  |    4 | agent u32, stored unchanged
//      24  |    1 | agent byte, stored unchanged
//      25  |    1 | flags: bit 0 no data, bit 7 dropped (never in a catalog)
//      26  |   32 | agent bytes, stored unchanged
//
// Both records are plain byte arrays; fields are read and written only
// through the accessors and codecs below, never by casting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/endian.h"
#include "integrity/uuid.h"

namespace orv {

// ---- BackupHeader -------------------------------------------------------

inline constexpr size_t HDR_MAGIC_OFF = 0, HDR_MAGIC_SIZE = 4;
inline constexpr size_t HDR_VERSION_OFF = 4, HDR_VERSION_SIZE = 2;
inline constexpr size_t HDR_RESERVED6_OFF = 6, HDR_RESERVED6_SIZE = 2;
inline constexpr size_t HDR_HEADER_SIZE_OFF = 8, HDR_HEADER_SIZE_SIZE = 4;
inline constexpr size_t HDR_BLOCK_SIZE_OFF = 12, HDR_BLOCK_SIZE_SIZE = 4;
inline constexpr size_t HDR_TYPE_OFF = 16, HDR_TYPE_SIZE = 1;
inline constexpr size_t HDR_FLAG_OFF = 17, HDR_FLAG_SIZE = 1;
inline constexpr size_t HDR_RESERVED18_OFF = 18, HDR_RESERVED18_SIZE = 2;
inline constexpr size_t HDR_UUID_OFF = 20, HDR_UUID_SIZE = 16;
inline constexpr size_t HDR_PARENT_UUID_OFF = 36, HDR_PARENT_UUID_SIZE = 16;
inline constexpr size_t HDR_CHAIN_UUID_OFF = 52, HDR_CHAIN_UUID_SIZE = 16;
inline constexpr size_t HDR_CREATED_OFF = 68, HDR_CREATED_SIZE = 8;
inline constexpr size_t HDR_SOURCE_SIZE_OFF = 76, HDR_SOURCE_SIZE_SIZE = 8;
inline constexpr size_t HDR_ENTRY_COUNT_OFF = 84, HDR_ENTRY_COUNT_SIZE = 8;
inline constexpr size_t HDR_IMAGE_SIZE_OFF = 92, HDR_IMAGE_SIZE_SIZE = 8;
inline constexpr size_t HDR_SHA256_OFF = 100, HDR_SHA256_SIZE = 32;
inline constexpr size_t HDR_CREATOR_VERSION_OFF = 132, HDR_CREATOR_VERSION_SIZE = 32;
inline constexpr size_t HDR_CREATOR_HOST_OFF = 164, HDR_CREATOR_HOST_SIZE = 64;
inline constexpr size_t HDR_RESERVED228_OFF = 228, HDR_RESERVED228_SIZE = 256;
inline constexpr size_t HDR_NAME_OFF = 484, HDR_NAME_SIZE = 64;
inline constexpr size_t HDR_AGENT_BYTE_OFF = 548, HDR_AGENT_BYTE_SIZE = 1;
inline constexpr size_t HDR_RESERVED549_OFF = 549, HDR_RESERVED549_SIZE = 25120;
inline constexpr size_t HDR_EXPIRES_OFF = 25669, HDR_EXPIRES_SIZE = 8;
inline constexpr size_t HDR_RETENTION_OFF = 25677, HDR_RETENTION_SIZE = 32;
inline constexpr size_t HDR_LABEL_OFF = 25709, HDR_LABEL_SIZE = 32;
inline constexpr size_t HDR_RESERVED_TAIL_OFF = 25741, HDR_RESERVED_TAIL_SIZE = 105331;

inline constexpr size_t BACKUP_HEADER_SIZE = HDR_RESERVED_TAIL_OFF + HDR_RESERVED_TAIL_SIZE;
static_assert(BACKUP_HEADER_SIZE == 131072);
static_assert(HDR_MAGIC_OFF + HDR_MAGIC_SIZE == HDR_VERSION_OFF);
static_assert(HDR_VERSION_OFF + HDR_VERSION_SIZE == HDR_RESERVED6_OFF);
static_assert(HDR_RESERVED6_OFF + HDR_RESERVED6_SIZE == HDR_HEADER_SIZE_OFF);
static_assert(HDR_HEADER_SIZE_OFF + HDR_HEADER_SIZE_SIZE == HDR_BLOCK_SIZE_OFF);
static_assert(HDR_BLOCK_SIZE_OFF + HDR_BLOCK_SIZE_SIZE == HDR_TYPE_OFF);
static_assert(HDR_TYPE_OFF + HDR_TYPE_SIZE == HDR_FLAG_OFF);
static_assert(HDR_FLAG_OFF + HDR_FLAG_SIZE == HDR_RESERVED18_OFF);
static_assert(HDR_RESERVED18_OFF + HDR_RESERVED18_SIZE == HDR_UUID_OFF);
static_assert(HDR_UUID_OFF + HDR_UUID_SIZE == HDR_PARENT_UUID_OFF);
static_assert(HDR_PARENT_UUID_OFF + HDR_PARENT_UUID_SIZE == HDR_CHAIN_UUID_OFF);
static_assert(HDR_CHAIN_UUID_OFF + HDR_CHAIN_UUID_SIZE == HDR_CREATED_OFF);
static_assert(HDR_CREATED_OFF + HDR_CREATED_SIZE == HDR_SOURCE_SIZE_OFF);
static_assert(HDR_SOURCE_SIZE_OFF + HDR_SOURCE_SIZE_SIZE == HDR_ENTRY_COUNT_OFF);
static_assert(HDR_ENTRY_COUNT_OFF + HDR_ENTRY_COUNT_SIZE == HDR_IMAGE_SIZE_OFF);
static_assert(HDR_IMAGE_SIZE_OFF + HDR_IMAGE_SIZE_SIZE == HDR_SHA256_OFF);
static_assert(HDR_SHA256_OFF + HDR_SHA256_SIZE == HDR_CREATOR_VERSION_OFF);
static_assert(HDR_CREATOR_VERSION_OFF + HDR_CREATOR_VERSION_SIZE == HDR_CREATOR_HOST_OFF);
static_assert(HDR_CREATOR_HOST_OFF + HDR_CREATOR_HOST_SIZE == HDR_RESERVED228_OFF);
static_assert(HDR_RESERVED228_OFF + HDR_RESERVED228_SIZE == HDR_NAME_OFF);
static_assert(HDR_NAME_OFF + HDR_NAME_SIZE == HDR_AGENT_BYTE_OFF);
static_assert(HDR_AGENT_BYTE_OFF + HDR_AGENT_BYTE_SIZE == HDR_RESERVED549_OFF);
static_assert(HDR_RESERVED549_OFF + HDR_RESERVED549_SIZE == HDR_EXPIRES_OFF);
static_assert(HDR_EXPIRES_OFF + HDR_EXPIRES_SIZE == HDR_RETENTION_OFF);
static_assert(HDR_RETENTION_OFF + HDR_RETENTION_SIZE == HDR_LABEL_OFF);
static_assert(HDR_LABEL_OFF + HDR_LABEL_SIZE == HDR_RESERVED_TAIL_OFF);
static_assert(HDR_UUID_SIZE == UUID_SIZE);

inline constexpr uint8_t HEADER_MAGIC[HDR_MAGIC_SIZE] = {'O', 'R', 'V', 'H'};
inline constexpr uint16_t HEADER_VERSION = 1;
// header_size values a reader accepts (the catalog's entry table starts there).
inline constexpr uint32_t HEADER_SIZE_MIN = 4096;
inline constexpr uint32_t HEADER_SIZE_MAX = 4194304;

inline constexpr uint8_t BACKUP_FULL = 0;
inline constexpr uint8_t BACKUP_DIFF = 1;
inline constexpr uint8_t BACKUP_INC = 2;

// The whole header block. 128 KiB: keep it on the heap or in a record that
// lives on the heap, not in small stack frames.
struct BackupHeader {
  uint8_t bytes[BACKUP_HEADER_SIZE];

  std::span<uint8_t> span() { return std::span<uint8_t>(bytes, BACKUP_HEADER_SIZE); }
  std::span<const uint8_t> span() const { return std::span<const uint8_t>(bytes, BACKUP_HEADER_SIZE); }
};
static_assert(sizeof(BackupHeader) == BACKUP_HEADER_SIZE);

// Every field of the header in decoded form. Text fields hold at most
// width-1 characters and are always NUL-terminated.
struct BackupHeaderFields {
  uint16_t version = HEADER_VERSION;
  uint32_t header_size = BACKUP_HEADER_SIZE;
  uint32_t block_size = 0;
  uint8_t type = BACKUP_FULL;
  uint8_t flag = 0;
  Uuid uuid;
  Uuid parent_uuid;
  Uuid chain_uuid;
  int64_t created = 0;
  uint64_t source_size = 0;
  uint64_t entry_count = 0;
  uint64_t image_size = 0;
  uint8_t entries_sha256[HDR_SHA256_SIZE] = {};
  char creator_version[HDR_CREATOR_VERSION_SIZE] = {};
  char creator_host[HDR_CREATOR_HOST_SIZE] = {};
  char name[HDR_NAME_SIZE] = {};
  uint8_t agent_byte = 0;
  int64_t expires = 0;
  char retention[HDR_RETENTION_SIZE] = {};
  char retention_label[HDR_LABEL_SIZE] = {};
};

// Clears the whole block and writes magic and every field. The magic is
// always "ORVH"; reserved ranges end up zero.
void encode_backup_header(const BackupHeaderFields& f, BackupHeader* out);
// Reads every field; text fields get a NUL forced into their last byte.
// The magic is not checked here (header_read validates files).
void decode_backup_header(const BackupHeader& h, BackupHeaderFields* out);

// Single-field accessors for the fields the store and the session use most.
inline uint16_t header_version(const BackupHeader& h) { return get_u16_le(h.span(), HDR_VERSION_OFF); }
inline uint32_t header_header_size(const BackupHeader& h) { return get_u32_le(h.span(), HDR_HEADER_SIZE_OFF); }
inline uint8_t header_type(const BackupHeader& h) { return h.bytes[HDR_TYPE_OFF]; }
inline int64_t header_created(const BackupHeader& h) { return get_i64_le(h.span(), HDR_CREATED_OFF); }
inline uint64_t header_entry_count(const BackupHeader& h) { return get_u64_le(h.span(), HDR_ENTRY_COUNT_OFF); }
inline uint64_t header_image_size(const BackupHeader& h) { return get_u64_le(h.span(), HDR_IMAGE_SIZE_OFF); }
inline void header_set_image_size(BackupHeader* h, uint64_t v) { put_u64_le(h->span(), HDR_IMAGE_SIZE_OFF, v); }
Uuid header_uuid(const BackupHeader& h);
Uuid header_parent_uuid(const BackupHeader& h);
// Copies the name field into out (HDR_NAME_SIZE bytes), NUL forced at the end.
void header_name(const BackupHeader& h, char out[HDR_NAME_SIZE]);
// True when the magic bytes are "ORVH".
bool header_magic_ok(const BackupHeader& h);

// ---- CatalogEntry -------------------------------------------------------

inline constexpr size_t ENT_KEY_OFF = 0, ENT_KEY_SIZE = 8;
inline constexpr size_t ENT_OFFSET_OFF = 8, ENT_OFFSET_SIZE = 8;
inline constexpr size_t ENT_LENGTH_OFF = 16, ENT_LENGTH_SIZE = 4;
inline constexpr size_t ENT_AGENT_U32_OFF = 20, ENT_AGENT_U32_SIZE = 4;
inline constexpr size_t ENT_AGENT_BYTE_OFF = 24, ENT_AGENT_BYTE_SIZE = 1;
inline constexpr size_t ENT_FLAGS_OFF = 25, ENT_FLAGS_SIZE = 1;
inline constexpr size_t ENT_AGENT_TAIL_OFF = 26, ENT_AGENT_TAIL_SIZE = 32;
inline constexpr size_t CATALOG_ENTRY_SIZE = ENT_AGENT_TAIL_OFF + ENT_AGENT_TAIL_SIZE;
static_assert(CATALOG_ENTRY_SIZE == 58);
static_assert(ENT_KEY_OFF + ENT_KEY_SIZE == ENT_OFFSET_OFF);
static_assert(ENT_OFFSET_OFF + ENT_OFFSET_SIZE == ENT_LENGTH_OFF);
static_assert(ENT_LENGTH_OFF + ENT_LENGTH_SIZE == ENT_AGENT_U32_OFF);
static_assert(ENT_AGENT_U32_OFF + ENT_AGENT_U32_SIZE == ENT_AGENT_BYTE_OFF);
static_assert(ENT_AGENT_BYTE_OFF + ENT_AGENT_BYTE_SIZE == ENT_FLAGS_OFF);
static_assert(ENT_FLAGS_OFF + ENT_FLAGS_SIZE == ENT_AGENT_TAIL_OFF);

inline constexpr uint8_t ENTRY_FLAG_NO_DATA = 0x01;
inline constexpr uint8_t ENTRY_FLAG_DROPPED = 0x80;
inline constexpr uint64_t ENTRY_NO_OFFSET = ~uint64_t{0};

// One entry in its stored form. Arrays of these are exactly the bytes of a
// catalog's entry table, so they are hashed, written and sent as they are.
struct CatalogEntry {
  uint8_t bytes[CATALOG_ENTRY_SIZE];

  std::span<uint8_t> span() { return std::span<uint8_t>(bytes, CATALOG_ENTRY_SIZE); }
  std::span<const uint8_t> span() const { return std::span<const uint8_t>(bytes, CATALOG_ENTRY_SIZE); }
};
static_assert(sizeof(CatalogEntry) == CATALOG_ENTRY_SIZE);
static_assert(alignof(CatalogEntry) == 1);

struct CatalogEntryFields {
  uint64_t key = 0;
  uint64_t offset = ENTRY_NO_OFFSET;
  uint32_t length = 0;
  uint32_t agent_u32 = 0;
  uint8_t agent_byte = 0;
  uint8_t flags = 0;
  uint8_t agent_tail[ENT_AGENT_TAIL_SIZE] = {};
};

// The one codec of the entry layout above, for a catalog's table, a journal
// record and the entry streams of the protocol alike. out and in hold
// CATALOG_ENTRY_SIZE bytes.
void encode_catalog_entry(const CatalogEntryFields& f, std::span<uint8_t> out);
CatalogEntryFields decode_catalog_entry(std::span<const uint8_t> in);
inline void encode_catalog_entry(const CatalogEntryFields& f, CatalogEntry* out) {
  encode_catalog_entry(f, out->span());
}
inline void decode_catalog_entry(const CatalogEntry& e, CatalogEntryFields* out) {
  *out = decode_catalog_entry(e.span());
}

inline uint64_t entry_key(const CatalogEntry& e) { return get_u64_le(e.span(), ENT_KEY_OFF); }
inline uint64_t entry_offset(const CatalogEntry& e) { return get_u64_le(e.span(), ENT_OFFSET_OFF); }
inline uint32_t entry_length(const CatalogEntry& e) { return get_u32_le(e.span(), ENT_LENGTH_OFF); }
inline uint8_t entry_flags(const CatalogEntry& e) { return e.bytes[ENT_FLAGS_OFF]; }
inline void entry_set_flags(CatalogEntry* e, uint8_t flags) { e->bytes[ENT_FLAGS_OFF] = flags; }
inline bool entry_dropped(const CatalogEntry& e) { return (entry_flags(e) & ENTRY_FLAG_DROPPED) != 0; }

}  // namespace orv
