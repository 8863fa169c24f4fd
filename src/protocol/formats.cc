#include "protocol/formats.h"

#include <cstring>

#include "core/text.h"

namespace orv {

namespace {

std::span<const uint8_t> uuid_span(const Uuid& id) { return std::span<const uint8_t>(id.bytes, UUID_SIZE); }

Uuid uuid_at(std::span<const uint8_t> b, size_t off) {
  Uuid id;
  get_bytes(b, off, std::span<uint8_t>(id.bytes, UUID_SIZE));
  return id;
}

// Length of a NUL-terminated text within a buffer of cap bytes.
std::string_view field_text(const char* s, size_t cap) { return std::string_view(s, strnlen(s, cap)); }

}  // namespace

void encode_backup_header(const BackupHeaderFields& f, BackupHeader* out) {
  memset(out->bytes, 0, BACKUP_HEADER_SIZE);
  std::span<uint8_t> b = out->span();
  put_bytes(b, HDR_MAGIC_OFF, std::span<const uint8_t>(HEADER_MAGIC, HDR_MAGIC_SIZE));
  put_u16_le(b, HDR_VERSION_OFF, f.version);
  put_u32_le(b, HDR_HEADER_SIZE_OFF, f.header_size);
  put_u32_le(b, HDR_BLOCK_SIZE_OFF, f.block_size);
  put_u8(b, HDR_TYPE_OFF, f.type);
  put_u8(b, HDR_FLAG_OFF, f.flag);
  put_bytes(b, HDR_UUID_OFF, uuid_span(f.uuid));
  put_bytes(b, HDR_PARENT_UUID_OFF, uuid_span(f.parent_uuid));
  put_bytes(b, HDR_CHAIN_UUID_OFF, uuid_span(f.chain_uuid));
  put_i64_le(b, HDR_CREATED_OFF, f.created);
  put_u64_le(b, HDR_SOURCE_SIZE_OFF, f.source_size);
  put_u64_le(b, HDR_ENTRY_COUNT_OFF, f.entry_count);
  put_u64_le(b, HDR_IMAGE_SIZE_OFF, f.image_size);
  put_bytes(b, HDR_SHA256_OFF, std::span<const uint8_t>(f.entries_sha256, HDR_SHA256_SIZE));
  put_text_field(b, HDR_CREATOR_VERSION_OFF, HDR_CREATOR_VERSION_SIZE,
                 field_text(f.creator_version, sizeof f.creator_version));
  put_text_field(b, HDR_CREATOR_HOST_OFF, HDR_CREATOR_HOST_SIZE, field_text(f.creator_host, sizeof f.creator_host));
  put_text_field(b, HDR_NAME_OFF, HDR_NAME_SIZE, field_text(f.name, sizeof f.name));
  put_u8(b, HDR_AGENT_BYTE_OFF, f.agent_byte);
  put_i64_le(b, HDR_EXPIRES_OFF, f.expires);
  put_text_field(b, HDR_RETENTION_OFF, HDR_RETENTION_SIZE, field_text(f.retention, sizeof f.retention));
  put_text_field(b, HDR_LABEL_OFF, HDR_LABEL_SIZE, field_text(f.retention_label, sizeof f.retention_label));
}

void decode_backup_header(const BackupHeader& h, BackupHeaderFields* out) {
  std::span<const uint8_t> b = h.span();
  out->version = get_u16_le(b, HDR_VERSION_OFF);
  out->header_size = get_u32_le(b, HDR_HEADER_SIZE_OFF);
  out->block_size = get_u32_le(b, HDR_BLOCK_SIZE_OFF);
  out->type = get_u8(b, HDR_TYPE_OFF);
  out->flag = get_u8(b, HDR_FLAG_OFF);
  out->uuid = uuid_at(b, HDR_UUID_OFF);
  out->parent_uuid = uuid_at(b, HDR_PARENT_UUID_OFF);
  out->chain_uuid = uuid_at(b, HDR_CHAIN_UUID_OFF);
  out->created = get_i64_le(b, HDR_CREATED_OFF);
  out->source_size = get_u64_le(b, HDR_SOURCE_SIZE_OFF);
  out->entry_count = get_u64_le(b, HDR_ENTRY_COUNT_OFF);
  out->image_size = get_u64_le(b, HDR_IMAGE_SIZE_OFF);
  get_bytes(b, HDR_SHA256_OFF, std::span<uint8_t>(out->entries_sha256, HDR_SHA256_SIZE));
  get_text_field(b, HDR_CREATOR_VERSION_OFF, HDR_CREATOR_VERSION_SIZE, out->creator_version);
  get_text_field(b, HDR_CREATOR_HOST_OFF, HDR_CREATOR_HOST_SIZE, out->creator_host);
  get_text_field(b, HDR_NAME_OFF, HDR_NAME_SIZE, out->name);
  out->agent_byte = get_u8(b, HDR_AGENT_BYTE_OFF);
  out->expires = get_i64_le(b, HDR_EXPIRES_OFF);
  get_text_field(b, HDR_RETENTION_OFF, HDR_RETENTION_SIZE, out->retention);
  get_text_field(b, HDR_LABEL_OFF, HDR_LABEL_SIZE, out->retention_label);
}

Uuid header_uuid(const BackupHeader& h) { return uuid_at(h.span(), HDR_UUID_OFF); }

Uuid header_parent_uuid(const BackupHeader& h) { return uuid_at(h.span(), HDR_PARENT_UUID_OFF); }

void header_name(const BackupHeader& h, char out[HDR_NAME_SIZE]) {
  get_text_field(h.span(), HDR_NAME_OFF, HDR_NAME_SIZE, out);
}

bool header_magic_ok(const BackupHeader& h) { return memcmp(h.bytes + HDR_MAGIC_OFF, HEADER_MAGIC, HDR_MAGIC_SIZE) == 0; }

void encode_catalog_entry(const CatalogEntryFields& f, std::span<uint8_t> b) {
  put_u64_le(b, ENT_KEY_OFF, f.key);
  put_u64_le(b, ENT_OFFSET_OFF, f.offset);
  put_u32_le(b, ENT_LENGTH_OFF, f.length);
  put_u32_le(b, ENT_AGENT_U32_OFF, f.agent_u32);
  put_u8(b, ENT_AGENT_BYTE_OFF, f.agent_byte);
  put_u8(b, ENT_FLAGS_OFF, f.flags);
  put_bytes(b, ENT_AGENT_TAIL_OFF, std::span<const uint8_t>(f.agent_tail, ENT_AGENT_TAIL_SIZE));
}

CatalogEntryFields decode_catalog_entry(std::span<const uint8_t> b) {
  CatalogEntryFields out;
  out.key = get_u64_le(b, ENT_KEY_OFF);
  out.offset = get_u64_le(b, ENT_OFFSET_OFF);
  out.length = get_u32_le(b, ENT_LENGTH_OFF);
  out.agent_u32 = get_u32_le(b, ENT_AGENT_U32_OFF);
  out.agent_byte = get_u8(b, ENT_AGENT_BYTE_OFF);
  out.flags = get_u8(b, ENT_FLAGS_OFF);
  get_bytes(b, ENT_AGENT_TAIL_OFF, std::span<uint8_t>(out.agent_tail, ENT_AGENT_TAIL_SIZE));
  return out;
}

}  // namespace orv
