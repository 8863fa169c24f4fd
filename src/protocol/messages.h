// The wire protocol between agent and target: message types and the byte
// layout of every payload. All integers are little-endian; text fields are
// fixed-size, NUL-padded, and the receiver forces a NUL after a field's last
// byte (a 64-byte field carries up to 64 characters).
//
// Requests are accepted with payloads longer than their minimum; the bytes
// beyond the layout are ignored, except BLOCK and DROP_ENTRIES, whose length
// must match their content exactly. Optional trailing fields of a shorter
// payload read as zero.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/version.h"
#include "protocol/formats.h"

namespace orv {

// ---- Frame header (16 bytes) ----------------------------------------------
// offset | size | field
//      0 |    4 | magic "ORVT"
//      4 |    2 | version, u16, PROTOCOL_VERSION
//      6 |    2 | msg_type, u16
//      8 |    4 | length of the payload, u32, 0 to FRAME_MAX_PAYLOAD
//     12 |    4 | crc: CRC-32C (initial 0) of the payload; 0 for an empty one
inline constexpr uint16_t PROTOCOL_VERSION = 3;
inline constexpr uint8_t FRAME_MAGIC[4] = {'O', 'R', 'V', 'T'};
inline constexpr size_t FRAME_MAGIC_OFF = 0;
inline constexpr size_t FRAME_VERSION_OFF = 4;
inline constexpr size_t FRAME_TYPE_OFF = 6;
inline constexpr size_t FRAME_LENGTH_OFF = 8;
inline constexpr size_t FRAME_CRC_OFF = 12;
inline constexpr size_t FRAME_HEADER_SIZE = 4 + 2 + 2 + 4 + 4;
static_assert(FRAME_CRC_OFF + 4 == FRAME_HEADER_SIZE && FRAME_HEADER_SIZE == 16);
// Largest payload in either direction; also the size of every receive buffer.
inline constexpr uint32_t FRAME_MAX_PAYLOAD = 8 * 1024 * 1024;
static_assert(FRAME_MAX_PAYLOAD == 8388608);

// ---- Message types ---------------------------------------------------------
// A = agent, T = target. Requests (A to T) name the session state that
// accepts them; the target answers with the type in the last column or ERROR.
inline constexpr uint16_t MSG_HELLO = 1;              // A->T any state      -> HELLO_REPLY
inline constexpr uint16_t MSG_HELLO_REPLY = 2;
inline constexpr uint16_t MSG_BEGIN = 3;              // A->T wait_begin     -> BEGIN_OK
inline constexpr uint16_t MSG_BEGIN_OK = 4;
inline constexpr uint16_t MSG_BLOCK = 5;              // A->T receiving      -> ACK
inline constexpr uint16_t MSG_ACK = 6;
inline constexpr uint16_t MSG_END = 7;                // A->T receiving      -> END_OK
inline constexpr uint16_t MSG_END_OK = 8;
inline constexpr uint16_t MSG_ERROR = 9;
inline constexpr uint16_t MSG_PING = 10;              // A->T any state      -> PONG
inline constexpr uint16_t MSG_PONG = 11;
inline constexpr uint16_t MSG_FIND_PARENT = 12;       // A->T wait_begin     -> FIND_PARENT_REPLY
inline constexpr uint16_t MSG_FIND_PARENT_REPLY = 13;
inline constexpr uint16_t MSG_FETCH_CHAIN = 14;       // A->T wait_begin     -> (CHAIN_HEADER CHAIN_ENTRIES*)* CHAIN_END
inline constexpr uint16_t MSG_CHAIN_HEADER = 15;
inline constexpr uint16_t MSG_CHAIN_ENTRIES = 16;
inline constexpr uint16_t MSG_CHAIN_END = 17;
inline constexpr uint16_t MSG_READ_RANGE = 18;        // A->T wait_begin     -> RANGE_DATA
inline constexpr uint16_t MSG_RANGE_DATA = 19;
inline constexpr uint16_t MSG_LIST_BACKUPS = 20;      // A->T wait_begin     -> BACKUP_LIST
inline constexpr uint16_t MSG_BACKUP_LIST = 21;
inline constexpr uint16_t MSG_QUERY_PARTIAL = 22;     // A->T wait_begin     -> PARTIAL_INFO
inline constexpr uint16_t MSG_PARTIAL_INFO = 23;
inline constexpr uint16_t MSG_CONTINUE = 24;          // A->T wait_begin     -> CONTINUE_OK CONTINUE_ENTRIES* CONTINUE_END
inline constexpr uint16_t MSG_CONTINUE_OK = 25;
inline constexpr uint16_t MSG_CONTINUE_ENTRIES = 26;
inline constexpr uint16_t MSG_CONTINUE_END = 27;
inline constexpr uint16_t MSG_DROP_ENTRIES = 28;      // A->T receiving      -> ACK
inline constexpr uint16_t MSG_DISCARD_PARTIAL = 29;   // A->T wait_begin     -> DISCARD_OK
inline constexpr uint16_t MSG_DISCARD_OK = 30;
inline constexpr uint16_t MSG_TYPE_MAX = 30;
// The target receives no type above this one.
inline constexpr uint16_t MSG_REQUEST_TYPE_MAX = 29;

// Upper-case name of a message type ("?" for an unknown one).
inline const char* msg_type_name(uint32_t type) {
  static constexpr const char* kNames[MSG_TYPE_MAX + 1] = {
      "?", "HELLO", "HELLO_REPLY", "BEGIN", "BEGIN_OK", "BLOCK", "ACK", "END", "END_OK", "ERROR",
      "PING", "PONG", "FIND_PARENT", "FIND_PARENT_REPLY", "FETCH_CHAIN", "CHAIN_HEADER",
      "CHAIN_ENTRIES", "CHAIN_END", "READ_RANGE", "RANGE_DATA", "LIST_BACKUPS", "BACKUP_LIST",
      "QUERY_PARTIAL", "PARTIAL_INFO", "CONTINUE", "CONTINUE_OK", "CONTINUE_ENTRIES",
      "CONTINUE_END", "DROP_ENTRIES", "DISCARD_PARTIAL", "DISCARD_OK"};
  return type <= MSG_TYPE_MAX ? kNames[type] : "?";
}

// ---- Shared pieces ---------------------------------------------------------
inline constexpr size_t WIRE_UUID_SIZE = 16;
inline constexpr size_t WIRE_SUBDIR_SIZE = 64;   // target_subdir
inline constexpr size_t WIRE_NAME64_SIZE = 64;   // target_name in queries
// The backup header block travels whole in several messages.
inline constexpr size_t WIRE_BACKUP_HEADER_SIZE = 131072;

// Requests 12, 14, 20, 22, 24 and 29 start with target_subdir; 14, 24 and
// 29 follow it with the uuid of the backup or partial they concern.
inline constexpr size_t REQ_SUBDIR_OFF = 0;
inline constexpr size_t REQ_UUID_OFF = REQ_SUBDIR_OFF + WIRE_SUBDIR_SIZE;
inline constexpr size_t REQ_SUBDIR_UUID_SIZE = REQ_UUID_OFF + WIRE_UUID_SIZE;
static_assert(REQ_SUBDIR_UUID_SIZE == 80);

// Entries travel as they are stored: the 58-byte catalog entry of
// protocol/formats.h (CatalogEntry, ENT_*, encode_catalog_entry), the
// per-block record of every BLOCK. Its u32 comes from BLOCK offset 12, its
// byte from offset 16, its flags from offset 17 (bit 0 no data, bit 7
// dropped) and its last 32 bytes from offsets 18 to 49.
static_assert(WIRE_BACKUP_HEADER_SIZE == BACKUP_HEADER_SIZE);
// Entry streams (CHAIN_ENTRIES, CONTINUE_ENTRIES) are split into frames of
// at most this many entries.
inline constexpr size_t ENTRIES_PER_FRAME = 100000;
static_assert(ENTRIES_PER_FRAME * CATALOG_ENTRY_SIZE <= FRAME_MAX_PAYLOAD);

// ---- HELLO (1), 162 to 166 bytes --------------------------------------------
//      0 |  2 | protocol_version, u16
//      2 | 96 | not interpreted by the target
//     98 | 64 | api_key, text
//    162 |  4 | agent flags, u32, optional
inline constexpr size_t HELLO_VERSION_OFF = 0;
inline constexpr size_t HELLO_OPAQUE_OFF = 2;
inline constexpr size_t HELLO_OPAQUE_SIZE = 96;
inline constexpr size_t HELLO_API_KEY_OFF = HELLO_OPAQUE_OFF + HELLO_OPAQUE_SIZE;
inline constexpr size_t HELLO_API_KEY_SIZE = 64;
inline constexpr size_t HELLO_FLAGS_OFF = HELLO_API_KEY_OFF + HELLO_API_KEY_SIZE;
inline constexpr size_t HELLO_MIN_SIZE = HELLO_FLAGS_OFF;
inline constexpr size_t HELLO_SIZE = HELLO_FLAGS_OFF + 4;
static_assert(HELLO_API_KEY_OFF == 98 && HELLO_MIN_SIZE == 162 && HELLO_SIZE == 166);
// Agent flag: the agent takes part in checkpointing and continuation.
inline constexpr uint32_t FLAG_CONTINUE = 0x1;

// ---- HELLO_REPLY (2), 166 bytes ---------------------------------------------
//      0 |  2 | protocol version, u16
//      2 | 32 | target version text
//     34 | 64 | host name, NUL-terminated (at most 63 characters)
//     98 | 64 | zero
//    162 |  4 | target flags, u32
inline constexpr size_t HELLO_REPLY_VERSION_OFF = 0;
inline constexpr size_t HELLO_REPLY_TEXT_OFF = 2;
inline constexpr size_t HELLO_REPLY_TEXT_SIZE = 32;
inline constexpr size_t HELLO_REPLY_HOST_OFF = HELLO_REPLY_TEXT_OFF + HELLO_REPLY_TEXT_SIZE;
inline constexpr size_t HELLO_REPLY_HOST_SIZE = 64;
inline constexpr size_t HELLO_REPLY_ZERO_OFF = HELLO_REPLY_HOST_OFF + HELLO_REPLY_HOST_SIZE;
inline constexpr size_t HELLO_REPLY_FLAGS_OFF = HELLO_REPLY_ZERO_OFF + 64;
inline constexpr size_t HELLO_REPLY_SIZE = HELLO_REPLY_FLAGS_OFF + 4;
static_assert(HELLO_REPLY_HOST_OFF == 34 && HELLO_REPLY_FLAGS_OFF == 162 && HELLO_REPLY_SIZE == 166);
inline constexpr const char* TARGET_VERSION_TEXT = PROGRAM_VERSION;
inline constexpr uint32_t TARGET_FLAGS = 3;

// ---- BEGIN (3), 381 to 446 bytes --------------------------------------------
//      0 |  16 | uuid
//     16 |  16 | parent_uuid
//     32 |  16 | chain_uuid
//     48 |   1 | type (0 FULL, 1 DIFF, 2 INC)
//     49 |   4 | block_size, u32
//     53 |   8 | source_size, u64
//     61 | 256 | target_name, text
//    317 |  64 | target_subdir, text
//    381 |   1 | optional byte stored unchanged in the header
//    382 |  32 | retention, text, optional
//    414 |  32 | retention_label, text, optional
inline constexpr size_t BEGIN_UUID_OFF = 0;
inline constexpr size_t BEGIN_PARENT_UUID_OFF = 16;
inline constexpr size_t BEGIN_CHAIN_UUID_OFF = 32;
inline constexpr size_t BEGIN_TYPE_OFF = 48;
inline constexpr size_t BEGIN_BLOCK_SIZE_OFF = 49;
inline constexpr size_t BEGIN_SOURCE_SIZE_OFF = 53;
inline constexpr size_t BEGIN_NAME_OFF = 61;
inline constexpr size_t BEGIN_NAME_SIZE = 256;
inline constexpr size_t BEGIN_SUBDIR_OFF = BEGIN_NAME_OFF + BEGIN_NAME_SIZE;
inline constexpr size_t BEGIN_EXTRA_BYTE_OFF = BEGIN_SUBDIR_OFF + WIRE_SUBDIR_SIZE;
inline constexpr size_t BEGIN_RETENTION_OFF = BEGIN_EXTRA_BYTE_OFF + 1;
inline constexpr size_t BEGIN_RETENTION_SIZE = 32;
inline constexpr size_t BEGIN_LABEL_OFF = BEGIN_RETENTION_OFF + BEGIN_RETENTION_SIZE;
inline constexpr size_t BEGIN_LABEL_SIZE = 32;
inline constexpr size_t BEGIN_MIN_SIZE = BEGIN_EXTRA_BYTE_OFF;  // the byte at 381 is optional
inline constexpr size_t BEGIN_SIZE = BEGIN_LABEL_OFF + BEGIN_LABEL_SIZE;
static_assert(BEGIN_CHAIN_UUID_OFF + WIRE_UUID_SIZE == BEGIN_TYPE_OFF);
static_assert(BEGIN_SOURCE_SIZE_OFF + 8 == BEGIN_NAME_OFF);
static_assert(BEGIN_SUBDIR_OFF == 317 && BEGIN_EXTRA_BYTE_OFF == 381 && BEGIN_MIN_SIZE == 381);
static_assert(BEGIN_LABEL_OFF == 414 && BEGIN_SIZE == 446);

// ---- BLOCK (5): 50-byte block header, then the data ---------------------------
//      0 |  8 | key, u64
//      8 |  4 | data length, u32; equals payload length minus 50
//     12 |  4 | u32 (entry offset 20)
//     16 |  1 | byte (entry offset 24)
//     17 |  1 | flags (entry offset 25); bit 0: no data
//     18 | 32 | entry offsets 26 to 57
//     50 |  n | data
inline constexpr size_t BLOCK_KEY_OFF = 0;
inline constexpr size_t BLOCK_LENGTH_OFF = 8;
inline constexpr size_t BLOCK_AGENT_U32_OFF = 12;
inline constexpr size_t BLOCK_AGENT_U8_OFF = 16;
inline constexpr size_t BLOCK_FLAGS_OFF = 17;
inline constexpr size_t BLOCK_AGENT_TAIL_OFF = 18;
inline constexpr size_t BLOCK_HEADER_SIZE = BLOCK_AGENT_TAIL_OFF + ENT_AGENT_TAIL_SIZE;
static_assert(BLOCK_HEADER_SIZE == 50);
inline constexpr size_t BLOCK_MAX_DATA = FRAME_MAX_PAYLOAD - BLOCK_HEADER_SIZE;

// ---- ACK (6): empty, or u64 durable_seq for an agent with FLAG_CONTINUE -------
inline constexpr size_t ACK_DURABLE_SEQ_OFF = 0;
inline constexpr size_t ACK_SIZE = 8;

// ---- END_OK (8), 48 bytes: u64 entries stored, u64 image size, 32 zero -------
inline constexpr size_t END_OK_ENTRIES_OFF = 0;
inline constexpr size_t END_OK_IMAGE_SIZE_OFF = 8;
inline constexpr size_t END_OK_SIZE = 8 + 8 + 32;
static_assert(END_OK_SIZE == 48);

// ---- ERROR (9), 260 bytes: i32 status, 256 bytes text ------------------------
inline constexpr size_t ERROR_STATUS_OFF = 0;
inline constexpr size_t ERROR_TEXT_OFF = 4;
inline constexpr size_t ERROR_TEXT_SIZE = 256;
inline constexpr size_t ERROR_SIZE = ERROR_TEXT_OFF + ERROR_TEXT_SIZE;
static_assert(ERROR_SIZE == 260);

// ---- FIND_PARENT (12), at least 129 bytes -------------------------------------
//      0 | 64 | target_subdir
//     64 | 64 | target_name
//    128 |  1 | type, signed; negative: any type
inline constexpr size_t FIND_PARENT_NAME_OFF = WIRE_SUBDIR_SIZE;
inline constexpr size_t FIND_PARENT_TYPE_OFF = FIND_PARENT_NAME_OFF + WIRE_NAME64_SIZE;
inline constexpr size_t FIND_PARENT_MIN_SIZE = FIND_PARENT_TYPE_OFF + 1;
static_assert(FIND_PARENT_MIN_SIZE == 129);

// ---- FIND_PARENT_REPLY (13), 131,073 bytes: u8 found, backup header ---------
inline constexpr size_t FIND_PARENT_REPLY_FOUND_OFF = 0;
inline constexpr size_t FIND_PARENT_REPLY_HEADER_OFF = 1;
inline constexpr size_t FIND_PARENT_REPLY_SIZE = 1 + WIRE_BACKUP_HEADER_SIZE;
static_assert(FIND_PARENT_REPLY_SIZE == 131073);

// ---- FETCH_CHAIN (14), at least 80 bytes: target_subdir, uuid -----------------
inline constexpr size_t FETCH_CHAIN_MIN_SIZE = REQ_SUBDIR_UUID_SIZE;
// CHAIN_HEADER (15): one backup header. CHAIN_ENTRIES (16): 1 to
// ENTRIES_PER_FRAME entries. CHAIN_END (17): empty.
inline constexpr size_t CHAIN_HEADER_SIZE = WIRE_BACKUP_HEADER_SIZE;

// ---- READ_RANGE (18), at least 16 bytes; RANGE_DATA (19) echoes them ---------
//      0 | 4 | file_index, u32 (0: the full backup at the root of the chain)
//      4 | 4 | length, u32, 1 to READ_RANGE_MAX_LENGTH
//      8 | 8 | offset, u64
inline constexpr size_t RANGE_FILE_INDEX_OFF = 0;
inline constexpr size_t RANGE_LENGTH_OFF = 4;
inline constexpr size_t RANGE_OFFSET_OFF = 8;
inline constexpr size_t READ_RANGE_SIZE = 16;
inline constexpr size_t RANGE_DATA_OFF = READ_RANGE_SIZE;
inline constexpr uint32_t READ_RANGE_MAX_LENGTH = 0x7FFFC0;
static_assert(READ_RANGE_MAX_LENGTH == 8388544);
static_assert(RANGE_DATA_OFF + READ_RANGE_MAX_LENGTH <= FRAME_MAX_PAYLOAD);

// ---- LIST_BACKUPS (20), at least 128 bytes: target_subdir, name filter --------
inline constexpr size_t LIST_BACKUPS_NAME_OFF = WIRE_SUBDIR_SIZE;
inline constexpr size_t LIST_BACKUPS_MIN_SIZE = LIST_BACKUPS_NAME_OFF + WIRE_NAME64_SIZE;
static_assert(LIST_BACKUPS_MIN_SIZE == 128);

// ---- BACKUP_LIST (21): u32 count, u32 truncated, count entries of 129 -------
//      0 | 16 | uuid
//     16 | 16 | parent_uuid
//     32 |  1 | type
//     33 |  8 | created, u64
//     41 |  8 | source_size, u64
//     49 |  8 | image_size, u64
//     57 |  8 | entry_count, u64
//     65 | 64 | backup name
inline constexpr size_t BACKUP_LIST_COUNT_OFF = 0;
inline constexpr size_t BACKUP_LIST_TRUNCATED_OFF = 4;
inline constexpr size_t BACKUP_LIST_ENTRIES_OFF = 8;
inline constexpr size_t LIST_ENTRY_UUID_OFF = 0;
inline constexpr size_t LIST_ENTRY_PARENT_UUID_OFF = 16;
inline constexpr size_t LIST_ENTRY_TYPE_OFF = 32;
inline constexpr size_t LIST_ENTRY_CREATED_OFF = 33;
inline constexpr size_t LIST_ENTRY_SOURCE_SIZE_OFF = 41;
inline constexpr size_t LIST_ENTRY_IMAGE_SIZE_OFF = 49;
inline constexpr size_t LIST_ENTRY_ENTRY_COUNT_OFF = 57;
inline constexpr size_t LIST_ENTRY_NAME_OFF = 65;
inline constexpr size_t LIST_ENTRY_NAME_SIZE = 64;
inline constexpr size_t LIST_ENTRY_SIZE = LIST_ENTRY_NAME_OFF + LIST_ENTRY_NAME_SIZE;
static_assert(LIST_ENTRY_SIZE == 129);
inline constexpr size_t BACKUP_LIST_MAX_ENTRIES = 50000;
static_assert(BACKUP_LIST_ENTRIES_OFF + BACKUP_LIST_MAX_ENTRIES * LIST_ENTRY_SIZE == 6450008);

// ---- QUERY_PARTIAL (22), at least 145 bytes ------------------------------------
//      0 | 64 | target_subdir
//     64 | 64 | target_name
//    128 |  1 | type, signed
//    129 | 16 | parent_uuid
inline constexpr size_t QUERY_PARTIAL_NAME_OFF = WIRE_SUBDIR_SIZE;
inline constexpr size_t QUERY_PARTIAL_TYPE_OFF = QUERY_PARTIAL_NAME_OFF + WIRE_NAME64_SIZE;
inline constexpr size_t QUERY_PARTIAL_PARENT_OFF = QUERY_PARTIAL_TYPE_OFF + 1;
inline constexpr size_t QUERY_PARTIAL_MIN_SIZE = QUERY_PARTIAL_PARENT_OFF + WIRE_UUID_SIZE;
static_assert(QUERY_PARTIAL_MIN_SIZE == 145);

// ---- PARTIAL_INFO (23), 37 bytes ------------------------------------------------
//      0 |  1 | found
//      1 | 16 | uuid
//     17 |  4 | block_size, u32
//     21 |  8 | source_size, u64
//     29 |  8 | created, u64
inline constexpr size_t PARTIAL_INFO_FOUND_OFF = 0;
inline constexpr size_t PARTIAL_INFO_UUID_OFF = 1;
inline constexpr size_t PARTIAL_INFO_BLOCK_SIZE_OFF = 17;
inline constexpr size_t PARTIAL_INFO_SOURCE_SIZE_OFF = 21;
inline constexpr size_t PARTIAL_INFO_CREATED_OFF = 29;
inline constexpr size_t PARTIAL_INFO_SIZE = PARTIAL_INFO_CREATED_OFF + 8;
static_assert(PARTIAL_INFO_UUID_OFF + WIRE_UUID_SIZE == PARTIAL_INFO_BLOCK_SIZE_OFF);
static_assert(PARTIAL_INFO_SIZE == 37);

// ---- CONTINUE (24), at least 80 bytes: target_subdir, uuid --------------------
inline constexpr size_t CONTINUE_MIN_SIZE = REQ_SUBDIR_UUID_SIZE;
// CONTINUE_OK (25), 16 bytes: u64 entries kept, u64 image bytes kept.
inline constexpr size_t CONTINUE_OK_ENTRIES_OFF = 0;
inline constexpr size_t CONTINUE_OK_IMAGE_SIZE_OFF = 8;
inline constexpr size_t CONTINUE_OK_SIZE = 16;
// CONTINUE_ENTRIES (26): 1 to ENTRIES_PER_FRAME entries. CONTINUE_END (27): empty.

// ---- DROP_ENTRIES (28): u32 count, then count u64 keys; exactly 4 + 8 x count
inline constexpr size_t DROP_COUNT_OFF = 0;
inline constexpr size_t DROP_KEYS_OFF = 4;
inline constexpr size_t DROP_MIN_SIZE = DROP_KEYS_OFF;
inline constexpr uint32_t DROP_MAX_KEYS = 100000;

// ---- DISCARD_PARTIAL (29), at least 80 bytes: target_subdir, uuid ------------
inline constexpr size_t DISCARD_PARTIAL_MIN_SIZE = REQ_SUBDIR_UUID_SIZE;
// DISCARD_OK (30): empty.

}  // namespace orv
