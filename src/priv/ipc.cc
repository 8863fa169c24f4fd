#include "priv/ipc.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/endian.h"
#include "core/status.h"
#include "core/text.h"

namespace orv {

namespace {

std::string_view field_text(const char* s, size_t width) { return std::string_view(s, strnlen(s, width)); }

void zero(std::span<uint8_t> out, size_t n) { memset(out.data(), 0, n); }

// Writes all of data; send() first so a closed peer gives EPIPE instead of a
// signal, write() for descriptors that are not sockets.
bool write_all(int fd, const uint8_t* data, size_t n) {
  bool is_socket = true;
  while (n > 0) {
    ssize_t w = is_socket ? send(fd, data, n, MSG_NOSIGNAL) : write(fd, data, n);
    if (w < 0 && errno == ENOTSOCK && is_socket) {
      is_socket = false;
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w == 0) errno = EIO;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads exactly n bytes; false at end of stream or on an error.
bool read_exact(int fd, uint8_t* data, size_t n) {
  while (n > 0) {
    ssize_t r = read(fd, data, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    data += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

size_t orvp_request_size(uint16_t opcode) {
  switch (opcode) {
    case ORVP_LV_CREATE: return ORVP_REQ_CREATE_SIZE;
    case ORVP_LV_REMOVE: return ORVP_REQ_NAMES_SIZE;
    case ORVP_LV_QUERY: return ORVP_REQ_NAMES_SIZE;
    default: return 0;
  }
}

size_t orvp_response_size(uint16_t opcode) {
  switch (opcode) {
    case ORVP_LV_CREATE: return ORVP_RSP_CREATE_SIZE;
    case ORVP_LV_REMOVE: return ORVP_RSP_REMOVE_SIZE;
    case ORVP_LV_QUERY: return ORVP_RSP_QUERY_SIZE;
    default: return 0;
  }
}

void orvp_encode_header(std::span<uint8_t> out, uint16_t opcode, uint32_t length) {
  put_bytes(out, ORVP_OFF_MAGIC, ORVP_MAGIC);
  put_u16_le(out, ORVP_OFF_VERSION, ORVP_VERSION);
  put_u16_le(out, ORVP_OFF_OPCODE, opcode);
  put_u32_le(out, ORVP_OFF_LENGTH, length);
}

int32_t orvp_decode_header(std::span<const uint8_t> in, OrvpHeader* out) {
  OrvpHeader h;
  h.version = get_u16_le(in, ORVP_OFF_VERSION);
  h.opcode = get_u16_le(in, ORVP_OFF_OPCODE);
  h.length = get_u32_le(in, ORVP_OFF_LENGTH);
  *out = h;
  if (memcmp(in.data() + ORVP_OFF_MAGIC, ORVP_MAGIC, sizeof ORVP_MAGIC) != 0) return STATUS_PROTOCOL;
  if (h.version != ORVP_VERSION) return STATUS_PROTOCOL;
  if (h.length > ORVP_MAX_PAYLOAD) return STATUS_PROTOCOL;
  return STATUS_OK;
}

size_t encode_lv_request(uint16_t opcode, const LvRequest& request, std::span<uint8_t> out) {
  size_t n = orvp_request_size(opcode);
  if (n == 0 || out.size() < n) return 0;
  zero(out, n);
  put_text_field(out, ORVP_REQ_OFF_VG, ORVP_NAME_SIZE, field_text(request.vg_name, ORVP_NAME_SIZE));
  put_text_field(out, ORVP_REQ_OFF_LV, ORVP_NAME_SIZE, field_text(request.lv_name, ORVP_NAME_SIZE));
  if (opcode == ORVP_LV_CREATE) put_u64_le(out, ORVP_REQ_OFF_SIZE, request.size_bytes);
  return n;
}

int32_t decode_lv_request(uint16_t opcode, std::span<const uint8_t> payload, LvRequest* out) {
  size_t n = orvp_request_size(opcode);
  if (n == 0 || payload.size() != n) return STATUS_PROTOCOL;
  LvRequest r;
  get_text_field(payload, ORVP_REQ_OFF_VG, ORVP_NAME_SIZE, r.vg_name);
  get_text_field(payload, ORVP_REQ_OFF_LV, ORVP_NAME_SIZE, r.lv_name);
  if (opcode == ORVP_LV_CREATE) r.size_bytes = get_u64_le(payload, ORVP_REQ_OFF_SIZE);
  *out = r;
  return STATUS_OK;
}

size_t encode_lv_response(uint16_t opcode, const LvResponse& response, std::span<uint8_t> out) {
  size_t n = orvp_response_size(opcode);
  if (n == 0 || out.size() < n) return 0;
  zero(out, n);
  put_i32_le(out, ORVP_RSP_OFF_STATUS, response.status);
  put_text_field(out, ORVP_RSP_OFF_MESSAGE, ORVP_MESSAGE_SIZE, field_text(response.message, ORVP_MESSAGE_SIZE));
  if (opcode == ORVP_LV_CREATE) {
    put_text_field(out, ORVP_RSP_OFF_DEV_PATH, ORVP_DEV_PATH_SIZE,
                   field_text(response.dev_path, ORVP_DEV_PATH_SIZE));
  } else if (opcode == ORVP_LV_QUERY) {
    put_u8(out, ORVP_RSP_OFF_FOUND, response.found);
    put_u8(out, ORVP_RSP_OFF_TAGGED, response.tagged);
    put_text_field(out, ORVP_RSP_OFF_ATTR, ORVP_ATTR_SIZE, field_text(response.attr, ORVP_ATTR_SIZE));
    put_text_field(out, ORVP_RSP_OFF_SEGTYPE, ORVP_SEGTYPE_SIZE, field_text(response.segtype, ORVP_SEGTYPE_SIZE));
    put_text_field(out, ORVP_RSP_OFF_ORIGIN, ORVP_ORIGIN_SIZE, field_text(response.origin, ORVP_ORIGIN_SIZE));
    put_u64_le(out, ORVP_RSP_OFF_SIZE, response.size_bytes);
    put_i64_le(out, ORVP_RSP_OFF_MAJOR, response.major);
    put_i64_le(out, ORVP_RSP_OFF_MINOR, response.minor);
  }
  return n;
}

int32_t decode_lv_response(uint16_t opcode, std::span<const uint8_t> payload, LvResponse* out) {
  LvResponse r;
  if (payload.size() < ORVP_RSP_COMMON_SIZE) {
    *out = r;
    return STATUS_PROTOCOL;
  }
  // Fields past the end of a short payload read as zero.
  uint8_t full[ORVP_RSP_QUERY_SIZE > ORVP_RSP_CREATE_SIZE ? ORVP_RSP_QUERY_SIZE : ORVP_RSP_CREATE_SIZE] = {};
  std::span<uint8_t> b(full);
  memcpy(full, payload.data(), payload.size() < sizeof full ? payload.size() : sizeof full);

  r.status = get_i32_le(b, ORVP_RSP_OFF_STATUS);
  get_text_field(b, ORVP_RSP_OFF_MESSAGE, ORVP_MESSAGE_SIZE, r.message);
  if (opcode == ORVP_LV_CREATE) {
    get_text_field(b, ORVP_RSP_OFF_DEV_PATH, ORVP_DEV_PATH_SIZE, r.dev_path);
  } else if (opcode == ORVP_LV_QUERY) {
    r.found = get_u8(b, ORVP_RSP_OFF_FOUND);
    r.tagged = get_u8(b, ORVP_RSP_OFF_TAGGED);
    get_text_field(b, ORVP_RSP_OFF_ATTR, ORVP_ATTR_SIZE, r.attr);
    get_text_field(b, ORVP_RSP_OFF_SEGTYPE, ORVP_SEGTYPE_SIZE, r.segtype);
    get_text_field(b, ORVP_RSP_OFF_ORIGIN, ORVP_ORIGIN_SIZE, r.origin);
    r.size_bytes = get_u64_le(b, ORVP_RSP_OFF_SIZE);
    r.major = get_i64_le(b, ORVP_RSP_OFF_MAJOR);
    r.minor = get_i64_le(b, ORVP_RSP_OFF_MINOR);
  }
  *out = r;
  return STATUS_OK;
}

int ipc_send_frame(int fd, uint16_t opcode, std::span<const uint8_t> payload) {
  if (payload.size() > ORVP_MAX_PAYLOAD) {
    errno = EMSGSIZE;
    return -1;
  }
  // Header and payload leave in one write.
  uint8_t frame[ORVP_HEADER_SIZE + ORVP_MAX_PAYLOAD];
  orvp_encode_header(frame, opcode, static_cast<uint32_t>(payload.size()));
  if (!payload.empty()) memcpy(frame + ORVP_HEADER_SIZE, payload.data(), payload.size());
  return write_all(fd, frame, ORVP_HEADER_SIZE + payload.size()) ? 0 : -1;
}

int32_t ipc_recv_frame(int fd, OrvpHeader* out_header, std::span<uint8_t> buffer) {
  uint8_t raw[ORVP_HEADER_SIZE];
  if (!read_exact(fd, raw, sizeof raw)) return STATUS_IO;
  OrvpHeader h;
  int32_t rc = orvp_decode_header(raw, &h);
  if (rc != STATUS_OK) return rc;
  if (h.length > buffer.size()) return STATUS_INVALID;
  if (!read_exact(fd, buffer.data(), h.length)) return STATUS_IO;
  if (out_header != nullptr) *out_header = h;
  return STATUS_OK;
}

}  // namespace orv
