#include "protocol/payloads.h"

#include <cassert>
#include <cstring>

#include "core/endian.h"
#include "core/status.h"
#include "core/text.h"

namespace orv {

namespace {

// Zeroes the first n bytes of out, so every field not written stays zero.
std::span<uint8_t> clear(std::span<uint8_t> out, size_t n) {
  assert(out.size() >= n);
  memset(out.data(), 0, n);
  return out.first(n);
}

}  // namespace

void wire_text_get(std::span<const uint8_t> in, size_t off, size_t width, char* out) {
  memcpy(out, in.data() + off, width);
  out[width] = '\0';
}

void wire_text_put(std::span<uint8_t> out, size_t off, size_t width, std::string_view text) {
  size_t n = text.size() < width ? text.size() : width;
  if (n > 0) memcpy(out.data() + off, text.data(), n);
  memset(out.data() + off + n, 0, width - n);
}

Uuid wire_uuid_get(std::span<const uint8_t> in, size_t off) {
  Uuid id;
  memcpy(id.bytes, in.data() + off, WIRE_UUID_SIZE);
  return id;
}

void wire_uuid_put(std::span<uint8_t> out, size_t off, const Uuid& id) {
  memcpy(out.data() + off, id.bytes, WIRE_UUID_SIZE);
}

// ---- catalog entries --------------------------------------------------------

int32_t decode_entry_frame(std::span<const uint8_t> in, size_t* count) {
  *count = 0;
  if (in.empty() || in.size() % CATALOG_ENTRY_SIZE != 0) return STATUS_PROTOCOL;
  size_t n = in.size() / CATALOG_ENTRY_SIZE;
  if (n > ENTRIES_PER_FRAME) return STATUS_PROTOCOL;
  *count = n;
  return STATUS_OK;
}

// ---- HELLO / HELLO_REPLY ------------------------------------------------------

size_t encode_hello(const HelloRequest& in, bool with_flags, std::span<uint8_t> out) {
  size_t size = with_flags ? HELLO_SIZE : HELLO_MIN_SIZE;
  std::span<uint8_t> b = clear(out, size);
  put_u16_le(b, HELLO_VERSION_OFF, in.protocol_version);
  put_bytes(b, HELLO_OPAQUE_OFF, in.opaque);
  wire_text_put(b, HELLO_API_KEY_OFF, HELLO_API_KEY_SIZE, in.api_key);
  if (with_flags) put_u32_le(b, HELLO_FLAGS_OFF, in.flags);
  return size;
}

int32_t decode_hello(std::span<const uint8_t> in, HelloRequest* out) {
  if (in.size() < HELLO_MIN_SIZE) return STATUS_PROTOCOL;
  // The optional flags of a shorter payload read as zero.
  uint8_t record[HELLO_SIZE] = {};
  memcpy(record, in.data(), in.size() < HELLO_SIZE ? in.size() : HELLO_SIZE);
  std::span<const uint8_t> b(record);
  out->protocol_version = get_u16_le(b, HELLO_VERSION_OFF);
  get_bytes(b, HELLO_OPAQUE_OFF, out->opaque);
  wire_text_get(b, HELLO_API_KEY_OFF, HELLO_API_KEY_SIZE, out->api_key);
  out->flags = get_u32_le(b, HELLO_FLAGS_OFF);
  explicit_bzero(record, sizeof record);  // held the API key
  return STATUS_OK;
}

size_t encode_hello_reply(const HelloReply& in, std::span<uint8_t> out) {
  std::span<uint8_t> b = clear(out, HELLO_REPLY_SIZE);
  put_u16_le(b, HELLO_REPLY_VERSION_OFF, in.protocol_version);
  put_text_field(b, HELLO_REPLY_TEXT_OFF, HELLO_REPLY_TEXT_SIZE, in.version_text);
  put_text_field(b, HELLO_REPLY_HOST_OFF, HELLO_REPLY_HOST_SIZE, in.host_name);
  put_u32_le(b, HELLO_REPLY_FLAGS_OFF, in.flags);
  return HELLO_REPLY_SIZE;
}

int32_t decode_hello_reply(std::span<const uint8_t> in, HelloReply* out) {
  if (in.size() < HELLO_REPLY_SIZE) return STATUS_PROTOCOL;
  out->protocol_version = get_u16_le(in, HELLO_REPLY_VERSION_OFF);
  wire_text_get(in, HELLO_REPLY_TEXT_OFF, HELLO_REPLY_TEXT_SIZE, out->version_text);
  wire_text_get(in, HELLO_REPLY_HOST_OFF, HELLO_REPLY_HOST_SIZE, out->host_name);
  out->flags = get_u32_le(in, HELLO_REPLY_FLAGS_OFF);
  return STATUS_OK;
}

// ---- BEGIN -------------------------------------------------------------------

size_t encode_begin(const BeginRequest& in, std::span<uint8_t> out) {
  std::span<uint8_t> b = clear(out, BEGIN_SIZE);
  wire_uuid_put(b, BEGIN_UUID_OFF, in.uuid);
  wire_uuid_put(b, BEGIN_PARENT_UUID_OFF, in.parent_uuid);
  wire_uuid_put(b, BEGIN_CHAIN_UUID_OFF, in.chain_uuid);
  put_u8(b, BEGIN_TYPE_OFF, in.type);
  put_u32_le(b, BEGIN_BLOCK_SIZE_OFF, in.block_size);
  put_u64_le(b, BEGIN_SOURCE_SIZE_OFF, in.source_size);
  wire_text_put(b, BEGIN_NAME_OFF, BEGIN_NAME_SIZE, in.target_name);
  wire_text_put(b, BEGIN_SUBDIR_OFF, WIRE_SUBDIR_SIZE, in.target_subdir);
  put_u8(b, BEGIN_EXTRA_BYTE_OFF, in.extra_byte);
  wire_text_put(b, BEGIN_RETENTION_OFF, BEGIN_RETENTION_SIZE, in.retention);
  wire_text_put(b, BEGIN_LABEL_OFF, BEGIN_LABEL_SIZE, in.retention_label);
  return BEGIN_SIZE;
}

int32_t decode_begin(std::span<const uint8_t> in, BeginRequest* out) {
  if (in.size() < BEGIN_MIN_SIZE) return STATUS_PROTOCOL;
  // The optional tail of a shorter payload reads as zero.
  uint8_t record[BEGIN_SIZE] = {};
  memcpy(record, in.data(), in.size() < BEGIN_SIZE ? in.size() : BEGIN_SIZE);
  std::span<const uint8_t> b(record);
  out->uuid = wire_uuid_get(b, BEGIN_UUID_OFF);
  out->parent_uuid = wire_uuid_get(b, BEGIN_PARENT_UUID_OFF);
  out->chain_uuid = wire_uuid_get(b, BEGIN_CHAIN_UUID_OFF);
  out->type = get_u8(b, BEGIN_TYPE_OFF);
  out->block_size = get_u32_le(b, BEGIN_BLOCK_SIZE_OFF);
  out->source_size = get_u64_le(b, BEGIN_SOURCE_SIZE_OFF);
  wire_text_get(b, BEGIN_NAME_OFF, BEGIN_NAME_SIZE, out->target_name);
  wire_text_get(b, BEGIN_SUBDIR_OFF, WIRE_SUBDIR_SIZE, out->target_subdir);
  out->extra_byte = get_u8(b, BEGIN_EXTRA_BYTE_OFF);
  wire_text_get(b, BEGIN_RETENTION_OFF, BEGIN_RETENTION_SIZE, out->retention);
  wire_text_get(b, BEGIN_LABEL_OFF, BEGIN_LABEL_SIZE, out->retention_label);
  return STATUS_OK;
}

// ---- BLOCK, ACK, DROP_ENTRIES, END_OK --------------------------------------------

size_t encode_block_header(const BlockHeader& in, std::span<uint8_t> out) {
  std::span<uint8_t> b = clear(out, BLOCK_HEADER_SIZE);
  put_u64_le(b, BLOCK_KEY_OFF, in.key);
  put_u32_le(b, BLOCK_LENGTH_OFF, in.data_length);
  put_u32_le(b, BLOCK_AGENT_U32_OFF, in.agent_u32);
  put_u8(b, BLOCK_AGENT_U8_OFF, in.agent_u8);
  put_u8(b, BLOCK_FLAGS_OFF, in.flags);
  put_bytes(b, BLOCK_AGENT_TAIL_OFF, in.agent_tail);
  return BLOCK_HEADER_SIZE;
}

int32_t decode_block(std::span<const uint8_t> in, BlockHeader* out, std::span<const uint8_t>* data) {
  if (in.size() < BLOCK_HEADER_SIZE) return STATUS_PROTOCOL;
  out->key = get_u64_le(in, BLOCK_KEY_OFF);
  out->data_length = get_u32_le(in, BLOCK_LENGTH_OFF);
  out->agent_u32 = get_u32_le(in, BLOCK_AGENT_U32_OFF);
  out->agent_u8 = get_u8(in, BLOCK_AGENT_U8_OFF);
  out->flags = get_u8(in, BLOCK_FLAGS_OFF);
  get_bytes(in, BLOCK_AGENT_TAIL_OFF, out->agent_tail);
  if (out->data_length != in.size() - BLOCK_HEADER_SIZE) return STATUS_PROTOCOL;
  *data = in.subspan(BLOCK_HEADER_SIZE);
  return STATUS_OK;
}

size_t encode_ack(bool with_seq, uint64_t durable_seq, std::span<uint8_t> out) {
  if (!with_seq) return 0;
  put_u64_le(out, ACK_DURABLE_SEQ_OFF, durable_seq);
  return ACK_SIZE;
}

int32_t decode_ack(std::span<const uint8_t> in, bool* has_seq, uint64_t* durable_seq) {
  *has_seq = false;
  *durable_seq = 0;
  if (in.empty()) return STATUS_OK;
  if (in.size() < ACK_SIZE) return STATUS_PROTOCOL;
  *has_seq = true;
  *durable_seq = get_u64_le(in, ACK_DURABLE_SEQ_OFF);
  return STATUS_OK;
}

size_t encode_drop_entries(std::span<const uint64_t> keys, std::span<uint8_t> out) {
  size_t size = DROP_KEYS_OFF + 8 * keys.size();
  assert(out.size() >= size);
  put_u32_le(out, DROP_COUNT_OFF, static_cast<uint32_t>(keys.size()));
  for (size_t i = 0; i < keys.size(); ++i) put_u64_le(out, DROP_KEYS_OFF + 8 * i, keys[i]);
  return size;
}

int32_t decode_drop_entries(std::span<const uint8_t> in, uint32_t* count) {
  *count = 0;
  if (in.size() < DROP_MIN_SIZE) return STATUS_PROTOCOL;
  uint32_t n = get_u32_le(in, DROP_COUNT_OFF);
  if (n > DROP_MAX_KEYS) return STATUS_PROTOCOL;
  if (in.size() != DROP_KEYS_OFF + 8 * static_cast<size_t>(n)) return STATUS_PROTOCOL;
  *count = n;
  return STATUS_OK;
}

uint64_t drop_entries_key(std::span<const uint8_t> in, uint32_t index) {
  return get_u64_le(in, DROP_KEYS_OFF + 8 * static_cast<size_t>(index));
}

size_t encode_end_ok(const EndOk& in, std::span<uint8_t> out) {
  std::span<uint8_t> b = clear(out, END_OK_SIZE);
  put_u64_le(b, END_OK_ENTRIES_OFF, in.entry_count);
  put_u64_le(b, END_OK_IMAGE_SIZE_OFF, in.image_size);
  return END_OK_SIZE;
}

int32_t decode_end_ok(std::span<const uint8_t> in, EndOk* out) {
  if (in.size() < END_OK_SIZE) return STATUS_PROTOCOL;
  out->entry_count = get_u64_le(in, END_OK_ENTRIES_OFF);
  out->image_size = get_u64_le(in, END_OK_IMAGE_SIZE_OFF);
  return STATUS_OK;
}

// ---- ERROR ----------------------------------------------------------------------

size_t encode_error(int32_t status, std::string_view text, std::span<uint8_t> out) {
  std::span<uint8_t> b = clear(out, ERROR_SIZE);
  put_i32_le(b, ERROR_STATUS_OFF, status);
  put_text_field(b, ERROR_TEXT_OFF, ERROR_TEXT_SIZE, text);
  return ERROR_SIZE;
}

int32_t decode_error(std::span<const uint8_t> in, ErrorReply* out) {
  if (in.size() < ERROR_SIZE) return STATUS_PROTOCOL;
  out->status = get_i32_le(in, ERROR_STATUS_OFF);
  wire_text_get(in, ERROR_TEXT_OFF, ERROR_TEXT_SIZE, out->text);
  return STATUS_OK;
}

// ---- Requests with target_subdir --------------------------------------------------

size_t encode_subdir_uuid(const SubdirUuidRequest& in, std::span<uint8_t> out) {
  std::span<uint8_t> b = clear(out, REQ_SUBDIR_UUID_SIZE);
  wire_text_put(b, REQ_SUBDIR_OFF, WIRE_SUBDIR_SIZE, in.target_subdir);
  wire_uuid_put(b, REQ_UUID_OFF, in.uuid);
  return REQ_SUBDIR_UUID_SIZE;
}

int32_t decode_subdir_uuid(std::span<const uint8_t> in, SubdirUuidRequest* out) {
  if (in.size() < REQ_SUBDIR_UUID_SIZE) return STATUS_PROTOCOL;
  wire_text_get(in, REQ_SUBDIR_OFF, WIRE_SUBDIR_SIZE, out->target_subdir);
  out->uuid = wire_uuid_get(in, REQ_UUID_OFF);
  return STATUS_OK;
}

size_t encode_find_parent(const FindParentRequest& in, std::span<uint8_t> out) {
  std::span<uint8_t> b = clear(out, FIND_PARENT_MIN_SIZE);
  wire_text_put(b, REQ_SUBDIR_OFF, WIRE_SUBDIR_SIZE, in.target_subdir);
  wire_text_put(b, FIND_PARENT_NAME_OFF, WIRE_NAME64_SIZE, in.target_name);
  put_u8(b, FIND_PARENT_TYPE_OFF, static_cast<uint8_t>(in.type));
  return FIND_PARENT_MIN_SIZE;
}

int32_t decode_find_parent(std::span<const uint8_t> in, FindParentRequest* out) {
  if (in.size() < FIND_PARENT_MIN_SIZE) return STATUS_PROTOCOL;
  wire_text_get(in, REQ_SUBDIR_OFF, WIRE_SUBDIR_SIZE, out->target_subdir);
  wire_text_get(in, FIND_PARENT_NAME_OFF, WIRE_NAME64_SIZE, out->target_name);
  out->type = static_cast<int8_t>(get_u8(in, FIND_PARENT_TYPE_OFF));
  return STATUS_OK;
}

size_t encode_list_backups(const ListBackupsRequest& in, std::span<uint8_t> out) {
  std::span<uint8_t> b = clear(out, LIST_BACKUPS_MIN_SIZE);
  wire_text_put(b, REQ_SUBDIR_OFF, WIRE_SUBDIR_SIZE, in.target_subdir);
  wire_text_put(b, LIST_BACKUPS_NAME_OFF, WIRE_NAME64_SIZE, in.target_name);
  return LIST_BACKUPS_MIN_SIZE;
}

int32_t decode_list_backups(std::span<const uint8_t> in, ListBackupsRequest* out) {
  if (in.size() < LIST_BACKUPS_MIN_SIZE) return STATUS_PROTOCOL;
  wire_text_get(in, REQ_SUBDIR_OFF, WIRE_SUBDIR_SIZE, out->target_subdir);
  wire_text_get(in, LIST_BACKUPS_NAME_OFF, WIRE_NAME64_SIZE, out->target_name);
  return STATUS_OK;
}

size_t encode_query_partial(const QueryPartialRequest& in, std::span<uint8_t> out) {
  std::span<uint8_t> b = clear(out, QUERY_PARTIAL_MIN_SIZE);
  wire_text_put(b, REQ_SUBDIR_OFF, WIRE_SUBDIR_SIZE, in.target_subdir);
  wire_text_put(b, QUERY_PARTIAL_NAME_OFF, WIRE_NAME64_SIZE, in.target_name);
  put_u8(b, QUERY_PARTIAL_TYPE_OFF, static_cast<uint8_t>(in.type));
  wire_uuid_put(b, QUERY_PARTIAL_PARENT_OFF, in.parent_uuid);
  return QUERY_PARTIAL_MIN_SIZE;
}

int32_t decode_query_partial(std::span<const uint8_t> in, QueryPartialRequest* out) {
  if (in.size() < QUERY_PARTIAL_MIN_SIZE) return STATUS_PROTOCOL;
  wire_text_get(in, REQ_SUBDIR_OFF, WIRE_SUBDIR_SIZE, out->target_subdir);
  wire_text_get(in, QUERY_PARTIAL_NAME_OFF, WIRE_NAME64_SIZE, out->target_name);
  out->type = static_cast<int8_t>(get_u8(in, QUERY_PARTIAL_TYPE_OFF));
  out->parent_uuid = wire_uuid_get(in, QUERY_PARTIAL_PARENT_OFF);
  return STATUS_OK;
}

// ---- Replies carrying a backup header ------------------------------------------------

size_t encode_find_parent_reply(bool found, std::span<const uint8_t> header, std::span<uint8_t> out) {
  std::span<uint8_t> b = clear(out, FIND_PARENT_REPLY_SIZE);
  put_u8(b, FIND_PARENT_REPLY_FOUND_OFF, found ? 1 : 0);
  if (found) {
    assert(header.size() == WIRE_BACKUP_HEADER_SIZE);
    put_bytes(b, FIND_PARENT_REPLY_HEADER_OFF, header);
  }
  return FIND_PARENT_REPLY_SIZE;
}

int32_t decode_find_parent_reply(std::span<const uint8_t> in, bool* found, std::span<const uint8_t>* header) {
  if (in.size() < FIND_PARENT_REPLY_SIZE) return STATUS_PROTOCOL;
  *found = get_u8(in, FIND_PARENT_REPLY_FOUND_OFF) == 1;
  *header = in.subspan(FIND_PARENT_REPLY_HEADER_OFF, WIRE_BACKUP_HEADER_SIZE);
  return STATUS_OK;
}

int32_t decode_chain_header(std::span<const uint8_t> in, std::span<const uint8_t>* header) {
  if (in.size() != CHAIN_HEADER_SIZE) return STATUS_PROTOCOL;
  *header = in;
  return STATUS_OK;
}

// ---- READ_RANGE / RANGE_DATA -----------------------------------------------------------

size_t encode_read_range(const RangeRequest& in, std::span<uint8_t> out) {
  std::span<uint8_t> b = clear(out, READ_RANGE_SIZE);
  put_u32_le(b, RANGE_FILE_INDEX_OFF, in.file_index);
  put_u32_le(b, RANGE_LENGTH_OFF, in.length);
  put_u64_le(b, RANGE_OFFSET_OFF, in.offset);
  return READ_RANGE_SIZE;
}

int32_t decode_read_range(std::span<const uint8_t> in, RangeRequest* out) {
  if (in.size() < READ_RANGE_SIZE) return STATUS_PROTOCOL;
  out->file_index = get_u32_le(in, RANGE_FILE_INDEX_OFF);
  out->length = get_u32_le(in, RANGE_LENGTH_OFF);
  out->offset = get_u64_le(in, RANGE_OFFSET_OFF);
  return STATUS_OK;
}

int32_t decode_range_data(std::span<const uint8_t> in, RangeRequest* echo, std::span<const uint8_t>* data) {
  int32_t rc = decode_read_range(in, echo);
  if (rc != STATUS_OK) return rc;
  if (in.size() - RANGE_DATA_OFF != echo->length) return STATUS_PROTOCOL;
  *data = in.subspan(RANGE_DATA_OFF);
  return STATUS_OK;
}

// ---- BACKUP_LIST -------------------------------------------------------------------------

void encode_list_entry(const BackupListEntry& in, std::span<uint8_t> out) {
  std::span<uint8_t> b = clear(out, LIST_ENTRY_SIZE);
  wire_uuid_put(b, LIST_ENTRY_UUID_OFF, in.uuid);
  wire_uuid_put(b, LIST_ENTRY_PARENT_UUID_OFF, in.parent_uuid);
  put_u8(b, LIST_ENTRY_TYPE_OFF, in.type);
  put_u64_le(b, LIST_ENTRY_CREATED_OFF, in.created);
  put_u64_le(b, LIST_ENTRY_SOURCE_SIZE_OFF, in.source_size);
  put_u64_le(b, LIST_ENTRY_IMAGE_SIZE_OFF, in.image_size);
  put_u64_le(b, LIST_ENTRY_ENTRY_COUNT_OFF, in.entry_count);
  put_text_field(b, LIST_ENTRY_NAME_OFF, LIST_ENTRY_NAME_SIZE, in.name);
}

BackupListEntry decode_list_entry(std::span<const uint8_t> in) {
  BackupListEntry e;
  e.uuid = wire_uuid_get(in, LIST_ENTRY_UUID_OFF);
  e.parent_uuid = wire_uuid_get(in, LIST_ENTRY_PARENT_UUID_OFF);
  e.type = get_u8(in, LIST_ENTRY_TYPE_OFF);
  e.created = get_u64_le(in, LIST_ENTRY_CREATED_OFF);
  e.source_size = get_u64_le(in, LIST_ENTRY_SOURCE_SIZE_OFF);
  e.image_size = get_u64_le(in, LIST_ENTRY_IMAGE_SIZE_OFF);
  e.entry_count = get_u64_le(in, LIST_ENTRY_ENTRY_COUNT_OFF);
  wire_text_get(in, LIST_ENTRY_NAME_OFF, LIST_ENTRY_NAME_SIZE, e.name);
  return e;
}

void encode_backup_list_prefix(uint32_t count, bool truncated, std::span<uint8_t> out) {
  put_u32_le(out, BACKUP_LIST_COUNT_OFF, count);
  put_u32_le(out, BACKUP_LIST_TRUNCATED_OFF, truncated ? 1 : 0);
}

int32_t decode_backup_list(std::span<const uint8_t> in, uint32_t* count, bool* truncated) {
  *count = 0;
  *truncated = false;
  if (in.size() < BACKUP_LIST_ENTRIES_OFF) return STATUS_PROTOCOL;
  uint32_t n = get_u32_le(in, BACKUP_LIST_COUNT_OFF);
  if ((in.size() - BACKUP_LIST_ENTRIES_OFF) / LIST_ENTRY_SIZE < n) return STATUS_PROTOCOL;
  *count = n;
  *truncated = get_u32_le(in, BACKUP_LIST_TRUNCATED_OFF) == 1;
  return STATUS_OK;
}

std::span<const uint8_t> backup_list_entry(std::span<const uint8_t> in, uint32_t index) {
  return in.subspan(BACKUP_LIST_ENTRIES_OFF + LIST_ENTRY_SIZE * static_cast<size_t>(index), LIST_ENTRY_SIZE);
}

// ---- PARTIAL_INFO / CONTINUE_OK ------------------------------------------------------------

size_t encode_partial_info(const PartialInfo& in, std::span<uint8_t> out) {
  std::span<uint8_t> b = clear(out, PARTIAL_INFO_SIZE);
  if (!in.found) return PARTIAL_INFO_SIZE;  // all zero when none was found
  put_u8(b, PARTIAL_INFO_FOUND_OFF, 1);
  wire_uuid_put(b, PARTIAL_INFO_UUID_OFF, in.uuid);
  put_u32_le(b, PARTIAL_INFO_BLOCK_SIZE_OFF, in.block_size);
  put_u64_le(b, PARTIAL_INFO_SOURCE_SIZE_OFF, in.source_size);
  put_u64_le(b, PARTIAL_INFO_CREATED_OFF, in.created);
  return PARTIAL_INFO_SIZE;
}

int32_t decode_partial_info(std::span<const uint8_t> in, PartialInfo* out) {
  if (in.size() < PARTIAL_INFO_SIZE) return STATUS_PROTOCOL;
  out->found = get_u8(in, PARTIAL_INFO_FOUND_OFF) == 1;
  out->uuid = wire_uuid_get(in, PARTIAL_INFO_UUID_OFF);
  out->block_size = get_u32_le(in, PARTIAL_INFO_BLOCK_SIZE_OFF);
  out->source_size = get_u64_le(in, PARTIAL_INFO_SOURCE_SIZE_OFF);
  out->created = get_u64_le(in, PARTIAL_INFO_CREATED_OFF);
  return STATUS_OK;
}

size_t encode_continue_ok(const ContinueOk& in, std::span<uint8_t> out) {
  std::span<uint8_t> b = clear(out, CONTINUE_OK_SIZE);
  put_u64_le(b, CONTINUE_OK_ENTRIES_OFF, in.entry_count);
  put_u64_le(b, CONTINUE_OK_IMAGE_SIZE_OFF, in.image_size);
  return CONTINUE_OK_SIZE;
}

int32_t decode_continue_ok(std::span<const uint8_t> in, ContinueOk* out) {
  if (in.size() < CONTINUE_OK_SIZE) return STATUS_PROTOCOL;
  out->entry_count = get_u64_le(in, CONTINUE_OK_ENTRIES_OFF);
  out->image_size = get_u64_le(in, CONTINUE_OK_IMAGE_SIZE_OFF);
  return STATUS_OK;
}

}  // namespace orv
