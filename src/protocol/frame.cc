#include "protocol/frame.h"

#include <cassert>
#include <cstring>

#include "core/aligned_buffer.h"

#include "core/endian.h"
#include "core/status.h"
#include "integrity/crc32c.h"

namespace orv {

namespace {
// Payloads up to this size go out in one write together with their header,
// so a small answer is one TLS record (and one TCP segment), not two.
constexpr size_t kCoalesceMax = 4096;
}  // namespace

void frame_header_encode(uint16_t msg_type, uint32_t length, uint32_t crc,
                         std::span<uint8_t, FRAME_HEADER_SIZE> out) {
  memcpy(out.data() + FRAME_MAGIC_OFF, FRAME_MAGIC, sizeof FRAME_MAGIC);
  put_u16_le(out, FRAME_VERSION_OFF, PROTOCOL_VERSION);
  put_u16_le(out, FRAME_TYPE_OFF, msg_type);
  put_u32_le(out, FRAME_LENGTH_OFF, length);
  put_u32_le(out, FRAME_CRC_OFF, crc);
}

int32_t frame_header_decode(std::span<const uint8_t, FRAME_HEADER_SIZE> in, FrameHeader* out) {
  out->version = get_u16_le(in, FRAME_VERSION_OFF);
  out->msg_type = get_u16_le(in, FRAME_TYPE_OFF);
  out->length = get_u32_le(in, FRAME_LENGTH_OFF);
  out->crc = get_u32_le(in, FRAME_CRC_OFF);
  if (memcmp(in.data() + FRAME_MAGIC_OFF, FRAME_MAGIC, sizeof FRAME_MAGIC) != 0) return STATUS_PROTOCOL;
  if (out->version != PROTOCOL_VERSION) return STATUS_PROTOCOL;
  if (out->length > FRAME_MAX_PAYLOAD) return STATUS_PROTOCOL;
  return STATUS_OK;
}

int32_t send_frame(Channel* channel, uint16_t msg_type, std::span<const uint8_t> payload) {
  return send_frame_parts(channel, msg_type, payload, {});
}

int32_t send_frame_parts(Channel* channel, uint16_t msg_type, std::span<const uint8_t> head,
                         std::span<const uint8_t> body) {
  transport_error_clear();
  if (head.size() > FRAME_MAX_PAYLOAD || body.size() > FRAME_MAX_PAYLOAD - head.size()) return STATUS_INVALID;
  uint32_t length = static_cast<uint32_t>(head.size() + body.size());
  uint32_t crc = 0;
  if (length != 0) crc = crc32c(crc32c(0, head.data(), head.size()), body.data(), body.size());

  // The frame header goes out together with a small first piece.
  uint8_t first[FRAME_HEADER_SIZE + kCoalesceMax];
  frame_header_encode(msg_type, length, crc, std::span<uint8_t, FRAME_HEADER_SIZE>(first, FRAME_HEADER_SIZE));
  size_t first_size = FRAME_HEADER_SIZE;
  if (!head.empty() && head.size() <= kCoalesceMax) {
    memcpy(first + FRAME_HEADER_SIZE, head.data(), head.size());
    first_size += head.size();
    head = {};
  }
  int32_t rc = send_all(channel, first, first_size);
  if (rc == STATUS_OK && !head.empty()) rc = send_all(channel, head.data(), head.size());
  if (rc == STATUS_OK && !body.empty()) rc = send_all(channel, body.data(), body.size());
  return rc;
}

int32_t receive_frame(Channel* channel, FrameHeader* header_out, std::span<uint8_t> buffer) {
  size_t at = 0;
  return receive_frame_placed(channel, header_out, buffer, nullptr, nullptr, &at);
}

size_t frame_place_data(size_t data_offset, uint64_t target) {
  static_assert(FRAME_PLACE_MAX_OFFSET == DIRECT_IO_ALIGN);
  uint64_t want = target % DIRECT_IO_ALIGN;
  uint64_t have = data_offset % DIRECT_IO_ALIGN;
  return static_cast<size_t>((want + DIRECT_IO_ALIGN - have) % DIRECT_IO_ALIGN);
}

int32_t receive_frame_placed(Channel* channel, FrameHeader* header_out, std::span<uint8_t> buffer,
                             FramePlaceFn place, void* context, size_t* payload_offset) {
  transport_error_clear();
  *payload_offset = 0;
  uint8_t raw[FRAME_HEADER_SIZE];
  int32_t rc = recv_all(channel, raw, sizeof raw);
  if (rc != STATUS_OK) return rc;
  FrameHeader header;
  rc = frame_header_decode(raw, &header);
  if (rc != STATUS_OK) return rc;
  size_t at = place != nullptr ? place(context, header) : 0;
  assert(at <= FRAME_PLACE_MAX_OFFSET);
  if (at > buffer.size() || header.length > buffer.size() - at) {
    *header_out = header;  // tells the caller what was announced
    return STATUS_INVALID;
  }
  buffer = buffer.subspan(at);
  *payload_offset = at;
  rc = receive_frame_payload(channel, header, buffer);
  if (rc != STATUS_OK) return rc;
  *header_out = header;
  return STATUS_OK;
}

int32_t receive_frame_payload(Channel* channel, const FrameHeader& header, std::span<uint8_t> buffer) {
  if (header.length > buffer.size()) return STATUS_INVALID;
  if (header.length == 0) return STATUS_OK;  // accepted whatever its crc field holds
  int32_t rc = recv_all(channel, buffer.data(), header.length);
  if (rc != STATUS_OK) return rc;
  if (crc32c(0, buffer.data(), header.length) != header.crc) return STATUS_CORRUPT;
  return STATUS_OK;
}

}  // namespace orv
