// Frames: a 16-byte header followed by a payload of at most 8 MiB, checked
// by CRC-32C. The stream has no resynchronisation: after any failure the
// owner closes the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/messages.h"
#include "protocol/tls_channel.h"

namespace orv {

// A decoded frame header (the magic is checked on receipt, not kept).
struct FrameHeader {
  uint16_t version = 0;
  uint16_t msg_type = 0;
  uint32_t length = 0;
  uint32_t crc = 0;
};

void frame_header_encode(uint16_t msg_type, uint32_t length, uint32_t crc,
                         std::span<uint8_t, FRAME_HEADER_SIZE> out);
// STATUS_PROTOCOL for a bad magic, a version other than 3 or a length over
// FRAME_MAX_PAYLOAD; *out is filled either way.
[[nodiscard]] int32_t frame_header_decode(std::span<const uint8_t, FRAME_HEADER_SIZE> in, FrameHeader* out);

// Sends one frame. STATUS_INVALID (nothing written) for a payload over
// FRAME_MAX_PAYLOAD, STATUS_IO when the channel fails.
[[nodiscard]] int32_t send_frame(Channel* channel, uint16_t msg_type, std::span<const uint8_t> payload);
// The same for a payload held in two pieces (for example a block header and
// its data), sent without joining them first.
[[nodiscard]] int32_t send_frame_parts(Channel* channel, uint16_t msg_type, std::span<const uint8_t> head,
                                       std::span<const uint8_t> body);

// Receives one frame: the payload is read straight into buffer (whose size is
// the capacity) and the header is copied to *header_out on success only.
// STATUS_IO: the channel failed or the peer closed (see last_transport_error).
// STATUS_PROTOCOL: bad magic, version or a length over FRAME_MAX_PAYLOAD.
// STATUS_INVALID: the length exceeds the buffer (*header_out is filled, so
// the caller can report the announced length). Nothing more is read in
// these three cases. STATUS_CORRUPT: the payload's CRC does not match.
[[nodiscard]] int32_t receive_frame(Channel* channel, FrameHeader* header_out, std::span<uint8_t> buffer);

// The payload of a frame whose header receive_frame reported with
// STATUS_INVALID (too long for its buffer), read into a larger buffer.
// STATUS_INVALID when buffer is still too small (nothing read), STATUS_IO,
// STATUS_CORRUPT as for receive_frame.
[[nodiscard]] int32_t receive_frame_payload(Channel* channel, const FrameHeader& header, std::span<uint8_t> buffer);

// Where a frame's payload goes in a placed receive (below): given the
// decoded header, the offset into the buffer at which the payload starts.
// Used to put the data that follows a fixed-size head (a BLOCK's 50 bytes,
// a RANGE_DATA echo) on a DIRECT_IO_ALIGN boundary, so it can go to or
// come from a file without the page cache.
using FramePlaceFn = size_t (*)(void* context, const FrameHeader& header);

// Offset that puts payload byte `data_offset` at an address congruent to
// `target` modulo DIRECT_IO_ALIGN, for a buffer that starts aligned.
size_t frame_place_data(size_t data_offset, uint64_t target);

// receive_frame with the payload at place(context, header) in buffer
// instead of at 0; *payload_offset (not null) gets that offset. The
// capacity is the room after it: a frame that does not fit there is
// STATUS_INVALID, with nothing more read, as in receive_frame. The offset
// must not exceed FRAME_PLACE_MAX_OFFSET; a buffer of capacity +
// FRAME_PLACE_MAX_OFFSET bytes always has room for the capacity.
inline constexpr size_t FRAME_PLACE_MAX_OFFSET = 4096;
[[nodiscard]] int32_t receive_frame_placed(Channel* channel, FrameHeader* header_out, std::span<uint8_t> buffer,
                                           FramePlaceFn place, void* context, size_t* payload_offset);

}  // namespace orv
