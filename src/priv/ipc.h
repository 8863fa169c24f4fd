// Frames of the privileged socket: one request frame and one response frame
// per connection, between the worker side (or a debug client) and the root
// parent on the same machine.
//
// Frame header, 12 bytes, followed by the payload:
//   offset | size | field
//        0 |    4 | magic, the ASCII bytes "ORVP"
//        4 |    2 | version, 1
//        6 |    2 | opcode: 1 lv_create, 2 lv_remove, 3 lv_query
//                 |       (a response repeats the request's opcode)
//        8 |    4 | payload length, at most 4096
//
// Request payloads (names: 128-byte fields, NUL-terminated text of at most
// 127 bytes, zero-filled after it):
//   lv_create, 264 bytes: vg_name [128] @0, lv_name [128] @128, size u64 @256
//   lv_remove, 256 bytes: vg_name [128] @0, lv_name [128] @128
//   lv_query,  256 bytes: vg_name [128] @0, lv_name [128] @128
//
// Response payloads start with a common part of 204 bytes:
//   status i32 @0 (status code, 0 on success), message char[200] @4
//   (NUL-terminated, at most 199 characters, empty on success); then
//   lv_create, 504 bytes: dev_path char[300] @204 ("/dev/VG/LV")
//   lv_remove, 204 bytes: nothing more
//   lv_query,  412 bytes: found u8 @204, tagged u8 @205, 6 zero bytes @206,
//              attr char[16] @212, segtype char[32] @228, origin char[128]
//              @260, size_bytes u64 @388, major i64 @396, minor i64 @404
// Every byte not written is zero.
//
// Both ends are this program on one machine; integers are written
// little-endian, which is the host order of the machines it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace orv {

// Header.
inline constexpr uint8_t ORVP_MAGIC[4] = {'O', 'R', 'V', 'P'};
inline constexpr uint16_t ORVP_VERSION = 1;
inline constexpr size_t ORVP_OFF_MAGIC = 0;
inline constexpr size_t ORVP_OFF_VERSION = 4;
inline constexpr size_t ORVP_OFF_OPCODE = 6;
inline constexpr size_t ORVP_OFF_LENGTH = 8;
inline constexpr size_t ORVP_HEADER_SIZE = 4 + 2 + 2 + 4;
inline constexpr size_t ORVP_MAX_PAYLOAD = 4096;
static_assert(ORVP_OFF_LENGTH + 4 == ORVP_HEADER_SIZE && ORVP_HEADER_SIZE == 12);

// Opcodes.
inline constexpr uint16_t ORVP_LV_CREATE = 1;
inline constexpr uint16_t ORVP_LV_REMOVE = 2;
inline constexpr uint16_t ORVP_LV_QUERY = 3;

// Requests.
inline constexpr size_t ORVP_NAME_SIZE = 128;
inline constexpr size_t ORVP_REQ_OFF_VG = 0;
inline constexpr size_t ORVP_REQ_OFF_LV = ORVP_REQ_OFF_VG + ORVP_NAME_SIZE;
inline constexpr size_t ORVP_REQ_OFF_SIZE = ORVP_REQ_OFF_LV + ORVP_NAME_SIZE;
inline constexpr size_t ORVP_REQ_NAMES_SIZE = ORVP_REQ_OFF_SIZE;
inline constexpr size_t ORVP_REQ_CREATE_SIZE = ORVP_REQ_OFF_SIZE + 8;
static_assert(ORVP_REQ_NAMES_SIZE == 256 && ORVP_REQ_CREATE_SIZE == 264);

// Responses: common part.
inline constexpr size_t ORVP_MESSAGE_SIZE = 200;
inline constexpr size_t ORVP_RSP_OFF_STATUS = 0;
inline constexpr size_t ORVP_RSP_OFF_MESSAGE = 4;
inline constexpr size_t ORVP_RSP_COMMON_SIZE = ORVP_RSP_OFF_MESSAGE + ORVP_MESSAGE_SIZE;
static_assert(ORVP_RSP_COMMON_SIZE == 204);
// lv_create.
inline constexpr size_t ORVP_DEV_PATH_SIZE = 300;
inline constexpr size_t ORVP_RSP_OFF_DEV_PATH = ORVP_RSP_COMMON_SIZE;
inline constexpr size_t ORVP_RSP_CREATE_SIZE = ORVP_RSP_OFF_DEV_PATH + ORVP_DEV_PATH_SIZE;
static_assert(ORVP_RSP_CREATE_SIZE == 504);
// lv_remove.
inline constexpr size_t ORVP_RSP_REMOVE_SIZE = ORVP_RSP_COMMON_SIZE;
// lv_query.
inline constexpr size_t ORVP_ATTR_SIZE = 16;
inline constexpr size_t ORVP_SEGTYPE_SIZE = 32;
inline constexpr size_t ORVP_ORIGIN_SIZE = 128;
inline constexpr size_t ORVP_RSP_OFF_FOUND = ORVP_RSP_COMMON_SIZE;
inline constexpr size_t ORVP_RSP_OFF_TAGGED = ORVP_RSP_OFF_FOUND + 1;
inline constexpr size_t ORVP_RSP_OFF_ATTR = ORVP_RSP_OFF_TAGGED + 1 + 6;
inline constexpr size_t ORVP_RSP_OFF_SEGTYPE = ORVP_RSP_OFF_ATTR + ORVP_ATTR_SIZE;
inline constexpr size_t ORVP_RSP_OFF_ORIGIN = ORVP_RSP_OFF_SEGTYPE + ORVP_SEGTYPE_SIZE;
inline constexpr size_t ORVP_RSP_OFF_SIZE = ORVP_RSP_OFF_ORIGIN + ORVP_ORIGIN_SIZE;
inline constexpr size_t ORVP_RSP_OFF_MAJOR = ORVP_RSP_OFF_SIZE + 8;
inline constexpr size_t ORVP_RSP_OFF_MINOR = ORVP_RSP_OFF_MAJOR + 8;
inline constexpr size_t ORVP_RSP_QUERY_SIZE = ORVP_RSP_OFF_MINOR + 8;
static_assert(ORVP_RSP_OFF_ATTR == 212 && ORVP_RSP_OFF_SEGTYPE == 228 && ORVP_RSP_OFF_ORIGIN == 260);
static_assert(ORVP_RSP_OFF_SIZE == 388 && ORVP_RSP_OFF_MAJOR == 396 && ORVP_RSP_OFF_MINOR == 404);
static_assert(ORVP_RSP_QUERY_SIZE == 412);
static_assert(ORVP_RSP_CREATE_SIZE <= ORVP_MAX_PAYLOAD && ORVP_RSP_QUERY_SIZE <= ORVP_MAX_PAYLOAD);

struct OrvpHeader {
  uint16_t version = 0;
  uint16_t opcode = 0;
  uint32_t length = 0;
};

// A decoded request; names are always NUL-terminated.
struct LvRequest {
  char vg_name[ORVP_NAME_SIZE] = {};
  char lv_name[ORVP_NAME_SIZE] = {};
  uint64_t size_bytes = 0;  // lv_create only
};

// A decoded response; fields that the opcode does not carry stay zero.
struct LvResponse {
  int32_t status = 0;
  char message[ORVP_MESSAGE_SIZE] = {};
  char dev_path[ORVP_DEV_PATH_SIZE] = {};  // lv_create
  uint8_t found = 0;                       // lv_query from here on
  uint8_t tagged = 0;
  char attr[ORVP_ATTR_SIZE] = {};
  char segtype[ORVP_SEGTYPE_SIZE] = {};
  char origin[ORVP_ORIGIN_SIZE] = {};
  uint64_t size_bytes = 0;
  int64_t major = 0;
  int64_t minor = 0;
};

// Request payload length of an opcode (0 for an unknown one).
size_t orvp_request_size(uint16_t opcode);
// Response payload length of an opcode (0 for an unknown one).
size_t orvp_response_size(uint16_t opcode);

// Writes the 12 header bytes into out (at least ORVP_HEADER_SIZE bytes).
void orvp_encode_header(std::span<uint8_t> out, uint16_t opcode, uint32_t length);
// Reads a header. STATUS_PROTOCOL for a wrong magic, a version other than 1
// or a length above ORVP_MAX_PAYLOAD; *out is filled in every case.
[[nodiscard]] int32_t orvp_decode_header(std::span<const uint8_t> in, OrvpHeader* out);

// Writes the request payload of opcode into out (zero-filled first; names
// cut to 127 bytes). Returns its length, 0 for an unknown opcode or an out
// that is too small.
size_t encode_lv_request(uint16_t opcode, const LvRequest& request, std::span<uint8_t> out);
// STATUS_PROTOCOL when the payload length is not the opcode's request size
// (or the opcode is unknown); otherwise fills *out.
[[nodiscard]] int32_t decode_lv_request(uint16_t opcode, std::span<const uint8_t> payload,
                                        LvRequest* out);

// Writes the response payload of opcode into out (zero-filled first; texts
// cut to their fields). Returns its length, 0 as for requests.
size_t encode_lv_response(uint16_t opcode, const LvResponse& response, std::span<uint8_t> out);
// STATUS_PROTOCOL when the payload is shorter than the common part; fields
// beyond the payload's end are left zero. The opcode is not checked against
// the length.
[[nodiscard]] int32_t decode_lv_response(uint16_t opcode, std::span<const uint8_t> payload,
                                         LvResponse* out);

// Sends one frame. A payload above ORVP_MAX_PAYLOAD is refused before
// anything is written. Partial writes and EINTR are continued. Returns 0 or
// -1 with errno set. Never raises SIGPIPE.
[[nodiscard]] int ipc_send_frame(int fd, uint16_t opcode, std::span<const uint8_t> payload);

// Receives one frame into buffer. STATUS_IO for end of stream or a read
// error (a time-out included), STATUS_PROTOCOL for a bad header,
// STATUS_INVALID for a payload longer than buffer (not read). On success
// *out_header is filled and buffer holds out_header->length bytes.
[[nodiscard]] int32_t ipc_recv_frame(int fd, OrvpHeader* out_header, std::span<uint8_t> buffer);

}  // namespace orv
