// Encoding and decoding of every message payload (layouts in messages.h).
// No I/O; shared by the target and the agent-side client library.
//
// encode_*: `out` must hold the message's full size; the number of bytes
// written is returned. decode_*: STATUS_PROTOCOL when the payload is shorter
// than the message's minimum (or, for the exact-size messages, malformed);
// otherwise the output is filled and STATUS_OK returned. Decoded text
// fields have one byte more than their wire field and always end in NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "integrity/uuid.h"
#include "protocol/messages.h"

namespace orv {

// Reads a text field of `width` bytes into out[width + 1], NUL-terminated
// after the field's last byte.
void wire_text_get(std::span<const uint8_t> in, size_t off, size_t width, char* out);
// Writes text into a field of `width` bytes, using the whole field if needed
// (the receiver terminates it), NUL-padded.
void wire_text_put(std::span<uint8_t> out, size_t off, size_t width, std::string_view text);

Uuid wire_uuid_get(std::span<const uint8_t> in, size_t off);
void wire_uuid_put(std::span<uint8_t> out, size_t off, const Uuid& id);

// ---- catalog entries --------------------------------------------------------
// Each entry is read and written with the catalog's own codec
// (encode_catalog_entry, decode_catalog_entry in protocol/formats.h).
// An entry stream frame (CHAIN_ENTRIES, CONTINUE_ENTRIES): 1 to
// ENTRIES_PER_FRAME whole entries. Sets *count.
[[nodiscard]] int32_t decode_entry_frame(std::span<const uint8_t> in, size_t* count);

// ---- HELLO / HELLO_REPLY ------------------------------------------------------
struct HelloRequest {
  uint16_t protocol_version = PROTOCOL_VERSION;
  uint8_t opaque[HELLO_OPAQUE_SIZE] = {};
  char api_key[HELLO_API_KEY_SIZE + 1] = {};
  uint32_t flags = 0;
};
// with_flags false writes the 162-byte form without agent flags.
size_t encode_hello(const HelloRequest& in, bool with_flags, std::span<uint8_t> out);
[[nodiscard]] int32_t decode_hello(std::span<const uint8_t> in, HelloRequest* out);

struct HelloReply {
  uint16_t protocol_version = PROTOCOL_VERSION;
  char version_text[HELLO_REPLY_TEXT_SIZE + 1] = {};
  char host_name[HELLO_REPLY_HOST_SIZE + 1] = {};
  uint32_t flags = 0;
};
size_t encode_hello_reply(const HelloReply& in, std::span<uint8_t> out);
[[nodiscard]] int32_t decode_hello_reply(std::span<const uint8_t> in, HelloReply* out);

// ---- BEGIN -------------------------------------------------------------------
struct BeginRequest {
  Uuid uuid;
  Uuid parent_uuid;
  Uuid chain_uuid;
  uint8_t type = 0;
  uint32_t block_size = 0;
  uint64_t source_size = 0;
  char target_name[BEGIN_NAME_SIZE + 1] = {};
  char target_subdir[WIRE_SUBDIR_SIZE + 1] = {};
  uint8_t extra_byte = 0;
  char retention[BEGIN_RETENTION_SIZE + 1] = {};
  char retention_label[BEGIN_LABEL_SIZE + 1] = {};
};
size_t encode_begin(const BeginRequest& in, std::span<uint8_t> out);
[[nodiscard]] int32_t decode_begin(std::span<const uint8_t> in, BeginRequest* out);

// ---- BLOCK, ACK, DROP_ENTRIES, END_OK --------------------------------------------
struct BlockHeader {
  uint64_t key = 0;
  uint32_t data_length = 0;
  uint32_t agent_u32 = 0;
  uint8_t agent_u8 = 0;
  uint8_t flags = 0;
  uint8_t agent_tail[ENT_AGENT_TAIL_SIZE] = {};
};
// Writes the 50-byte block header; the data follows it in the payload.
size_t encode_block_header(const BlockHeader& in, std::span<uint8_t> out);
// Requires the data length field to equal the payload length minus 50.
// *data views the payload's data bytes.
[[nodiscard]] int32_t decode_block(std::span<const uint8_t> in, BlockHeader* out,
                                   std::span<const uint8_t>* data);

// durable_seq is written only when with_seq; returns 0 or ACK_SIZE.
size_t encode_ack(bool with_seq, uint64_t durable_seq, std::span<uint8_t> out);
// An empty ACK sets *has_seq false; 8 or more bytes carry durable_seq.
[[nodiscard]] int32_t decode_ack(std::span<const uint8_t> in, bool* has_seq, uint64_t* durable_seq);

// out must hold 4 + 8 x keys.size() bytes.
size_t encode_drop_entries(std::span<const uint64_t> keys, std::span<uint8_t> out);
// Requires count <= DROP_MAX_KEYS and a length of exactly 4 + 8 x count.
[[nodiscard]] int32_t decode_drop_entries(std::span<const uint8_t> in, uint32_t* count);
uint64_t drop_entries_key(std::span<const uint8_t> in, uint32_t index);

struct EndOk {
  uint64_t entry_count = 0;
  uint64_t image_size = 0;
};
size_t encode_end_ok(const EndOk& in, std::span<uint8_t> out);
[[nodiscard]] int32_t decode_end_ok(std::span<const uint8_t> in, EndOk* out);

// ---- ERROR ----------------------------------------------------------------------
struct ErrorReply {
  int32_t status = 0;
  char text[ERROR_TEXT_SIZE + 1] = {};
};
// The text is cut to 255 characters.
size_t encode_error(int32_t status, std::string_view text, std::span<uint8_t> out);
[[nodiscard]] int32_t decode_error(std::span<const uint8_t> in, ErrorReply* out);

// ---- Requests with target_subdir --------------------------------------------------
// FETCH_CHAIN, CONTINUE and DISCARD_PARTIAL: target_subdir and a uuid.
struct SubdirUuidRequest {
  char target_subdir[WIRE_SUBDIR_SIZE + 1] = {};
  Uuid uuid;
};
size_t encode_subdir_uuid(const SubdirUuidRequest& in, std::span<uint8_t> out);
[[nodiscard]] int32_t decode_subdir_uuid(std::span<const uint8_t> in, SubdirUuidRequest* out);

struct FindParentRequest {
  char target_subdir[WIRE_SUBDIR_SIZE + 1] = {};
  char target_name[WIRE_NAME64_SIZE + 1] = {};
  int8_t type = -1;  // negative: any type
};
size_t encode_find_parent(const FindParentRequest& in, std::span<uint8_t> out);
[[nodiscard]] int32_t decode_find_parent(std::span<const uint8_t> in, FindParentRequest* out);

struct ListBackupsRequest {
  char target_subdir[WIRE_SUBDIR_SIZE + 1] = {};
  char target_name[WIRE_NAME64_SIZE + 1] = {};  // empty: every backup
};
size_t encode_list_backups(const ListBackupsRequest& in, std::span<uint8_t> out);
[[nodiscard]] int32_t decode_list_backups(std::span<const uint8_t> in, ListBackupsRequest* out);

struct QueryPartialRequest {
  char target_subdir[WIRE_SUBDIR_SIZE + 1] = {};
  char target_name[WIRE_NAME64_SIZE + 1] = {};
  int8_t type = 0;
  Uuid parent_uuid;
};
size_t encode_query_partial(const QueryPartialRequest& in, std::span<uint8_t> out);
[[nodiscard]] int32_t decode_query_partial(std::span<const uint8_t> in, QueryPartialRequest* out);

// ---- Replies carrying a backup header ------------------------------------------------
// FIND_PARENT_REPLY: found flag and a header (all zero when not found).
// header may be empty when not found.
size_t encode_find_parent_reply(bool found, std::span<const uint8_t> header, std::span<uint8_t> out);
[[nodiscard]] int32_t decode_find_parent_reply(std::span<const uint8_t> in, bool* found,
                                               std::span<const uint8_t>* header);
// CHAIN_HEADER: exactly one header.
[[nodiscard]] int32_t decode_chain_header(std::span<const uint8_t> in, std::span<const uint8_t>* header);

// ---- READ_RANGE / RANGE_DATA -----------------------------------------------------------
struct RangeRequest {
  uint32_t file_index = 0;
  uint32_t length = 0;
  uint64_t offset = 0;
};
size_t encode_read_range(const RangeRequest& in, std::span<uint8_t> out);
[[nodiscard]] int32_t decode_read_range(std::span<const uint8_t> in, RangeRequest* out);
// RANGE_DATA: the echoed request and exactly `length` data bytes.
[[nodiscard]] int32_t decode_range_data(std::span<const uint8_t> in, RangeRequest* echo,
                                        std::span<const uint8_t>* data);

// ---- BACKUP_LIST -------------------------------------------------------------------------
struct BackupListEntry {
  Uuid uuid;
  Uuid parent_uuid;
  uint8_t type = 0;
  uint64_t created = 0;
  uint64_t source_size = 0;
  uint64_t image_size = 0;
  uint64_t entry_count = 0;
  char name[LIST_ENTRY_NAME_SIZE + 1] = {};
};
void encode_list_entry(const BackupListEntry& in, std::span<uint8_t> out);  // LIST_ENTRY_SIZE bytes
BackupListEntry decode_list_entry(std::span<const uint8_t> in);
// Writes the 8-byte prefix; the entries follow at BACKUP_LIST_ENTRIES_OFF.
void encode_backup_list_prefix(uint32_t count, bool truncated, std::span<uint8_t> out);
// Checks that the payload holds count whole entries.
[[nodiscard]] int32_t decode_backup_list(std::span<const uint8_t> in, uint32_t* count, bool* truncated);
std::span<const uint8_t> backup_list_entry(std::span<const uint8_t> in, uint32_t index);

// ---- PARTIAL_INFO / CONTINUE_OK ------------------------------------------------------------
struct PartialInfo {
  bool found = false;
  Uuid uuid;
  uint32_t block_size = 0;
  uint64_t source_size = 0;
  uint64_t created = 0;
};
size_t encode_partial_info(const PartialInfo& in, std::span<uint8_t> out);
[[nodiscard]] int32_t decode_partial_info(std::span<const uint8_t> in, PartialInfo* out);

struct ContinueOk {
  uint64_t entry_count = 0;
  uint64_t image_size = 0;
};
size_t encode_continue_ok(const ContinueOk& in, std::span<uint8_t> out);
[[nodiscard]] int32_t decode_continue_ok(std::span<const uint8_t> in, ContinueOk* out);

}  // namespace orv
