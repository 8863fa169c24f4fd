// The frame decoder on an arbitrary byte stream, read through a real
// channel (one end of a Unix socket pair), and every payload decoder on the
// payloads it delivers.
//
// The stream is first walked by a plain model of the frame rules (16-byte
// header, magic, version 3, length limit, buffer capacity, CRC-32C of the
// payload); receive_frame must deliver exactly the frames the model finds,
// with their bytes, and fail with the model's status where the model stops.
// With the first input byte's low bit set, the CRC fields are fixed up
// before sending, so the fuzzer gets past the checksum into the decoders.
//
// Each delivered payload goes to the decoder of its message type (both
// directions); decoded texts must end inside their fields and the views the
// decoders hand out must lie inside the payload.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/endian.h"
#include "core/status.h"
#include "fuzz_support.h"
#include "integrity/crc32c.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "protocol/payloads.h"

using orv_fuzz::Reader;

namespace {

constexpr size_t kCapacity = 64 * 1024;

bool inside(std::span<const uint8_t> view, std::span<const uint8_t> payload) {
  if (view.empty()) return true;
  return view.data() >= payload.data() && view.data() + view.size() <= payload.data() + payload.size();
}

bool ends(const char* text, size_t size) { return memchr(text, 0, size) != nullptr; }

void decode_all(uint16_t type, std::span<const uint8_t> p) {
  using namespace orv;
  switch (type) {
    case MSG_HELLO: {
      HelloRequest r;
      if (decode_hello(p, &r) == STATUS_OK) FUZZ_CHECK(ends(r.api_key, sizeof r.api_key));
      else FUZZ_CHECK(p.size() < HELLO_MIN_SIZE);
      break;
    }
    case MSG_HELLO_REPLY: {
      HelloReply r;
      if (decode_hello_reply(p, &r) == STATUS_OK) {
        FUZZ_CHECK(ends(r.version_text, sizeof r.version_text) && ends(r.host_name, sizeof r.host_name));
      }
      break;
    }
    case MSG_BEGIN: {
      BeginRequest r;
      if (decode_begin(p, &r) == STATUS_OK) {
        FUZZ_CHECK(ends(r.target_name, sizeof r.target_name) && ends(r.target_subdir, sizeof r.target_subdir));
        FUZZ_CHECK(ends(r.retention, sizeof r.retention) && ends(r.retention_label, sizeof r.retention_label));
      } else {
        FUZZ_CHECK(p.size() < BEGIN_MIN_SIZE);
      }
      break;
    }
    case MSG_BLOCK: {
      BlockHeader h;
      std::span<const uint8_t> data;
      if (decode_block(p, &h, &data) == STATUS_OK) {
        FUZZ_CHECK(p.size() >= BLOCK_HEADER_SIZE && h.data_length == p.size() - BLOCK_HEADER_SIZE);
        FUZZ_CHECK(data.size() == h.data_length && inside(data, p));
      }
      break;
    }
    case MSG_ACK: {
      bool has = false;
      uint64_t seq = 0;
      (void)decode_ack(p, &has, &seq);
      break;
    }
    case MSG_END_OK: {
      EndOk r;
      (void)decode_end_ok(p, &r);
      break;
    }
    case MSG_ERROR: {
      ErrorReply r;
      if (decode_error(p, &r) == STATUS_OK) FUZZ_CHECK(ends(r.text, sizeof r.text));
      break;
    }
    case MSG_FIND_PARENT: {
      FindParentRequest r;
      if (decode_find_parent(p, &r) == STATUS_OK) {
        FUZZ_CHECK(ends(r.target_subdir, sizeof r.target_subdir) && ends(r.target_name, sizeof r.target_name));
      }
      break;
    }
    case MSG_FIND_PARENT_REPLY: {
      bool found = false;
      std::span<const uint8_t> header;
      if (decode_find_parent_reply(p, &found, &header) == STATUS_OK) FUZZ_CHECK(inside(header, p));
      break;
    }
    case MSG_FETCH_CHAIN:
    case MSG_CONTINUE:
    case MSG_DISCARD_PARTIAL: {
      SubdirUuidRequest r;
      if (decode_subdir_uuid(p, &r) == STATUS_OK) FUZZ_CHECK(ends(r.target_subdir, sizeof r.target_subdir));
      else FUZZ_CHECK(p.size() < REQ_SUBDIR_UUID_SIZE);
      break;
    }
    case MSG_CHAIN_HEADER: {
      std::span<const uint8_t> header;
      if (decode_chain_header(p, &header) == STATUS_OK) FUZZ_CHECK(inside(header, p));
      break;
    }
    case MSG_CHAIN_ENTRIES:
    case MSG_CONTINUE_ENTRIES: {
      size_t n = 0;
      if (decode_entry_frame(p, &n) == STATUS_OK) {
        FUZZ_CHECK(n >= 1 && n <= ENTRIES_PER_FRAME && n * CATALOG_ENTRY_SIZE == p.size());
        for (size_t i = 0; i < n; ++i) (void)decode_catalog_entry(p.subspan(i * CATALOG_ENTRY_SIZE, CATALOG_ENTRY_SIZE));
      }
      break;
    }
    case MSG_READ_RANGE: {
      RangeRequest r;
      (void)decode_read_range(p, &r);
      break;
    }
    case MSG_RANGE_DATA: {
      RangeRequest echo;
      std::span<const uint8_t> data;
      if (decode_range_data(p, &echo, &data) == STATUS_OK) {
        FUZZ_CHECK(data.size() == echo.length && inside(data, p));
      }
      break;
    }
    case MSG_LIST_BACKUPS: {
      ListBackupsRequest r;
      if (decode_list_backups(p, &r) == STATUS_OK) {
        FUZZ_CHECK(ends(r.target_subdir, sizeof r.target_subdir) && ends(r.target_name, sizeof r.target_name));
      }
      break;
    }
    case MSG_BACKUP_LIST: {
      uint32_t count = 0;
      bool truncated = false;
      if (decode_backup_list(p, &count, &truncated) == STATUS_OK) {
        for (uint32_t i = 0; i < count; ++i) {
          std::span<const uint8_t> e = backup_list_entry(p, i);
          FUZZ_CHECK(e.size() == LIST_ENTRY_SIZE && inside(e, p));
          BackupListEntry d = decode_list_entry(e);
          FUZZ_CHECK(ends(d.name, sizeof d.name));
        }
      }
      break;
    }
    case MSG_QUERY_PARTIAL: {
      QueryPartialRequest r;
      if (decode_query_partial(p, &r) == STATUS_OK) {
        FUZZ_CHECK(ends(r.target_subdir, sizeof r.target_subdir) && ends(r.target_name, sizeof r.target_name));
      }
      break;
    }
    case MSG_PARTIAL_INFO: {
      PartialInfo r;
      (void)decode_partial_info(p, &r);
      break;
    }
    case MSG_CONTINUE_OK: {
      ContinueOk r;
      (void)decode_continue_ok(p, &r);
      break;
    }
    case MSG_DROP_ENTRIES: {
      uint32_t n = 0;
      if (decode_drop_entries(p, &n) == STATUS_OK) {
        FUZZ_CHECK(n <= DROP_MAX_KEYS && p.size() == 4 + 8 * static_cast<size_t>(n));
        for (uint32_t i = 0; i < n; ++i) (void)drop_entries_key(p, i);
      } else {
        FUZZ_CHECK(p.size() < 4 || p.size() != 4 + 8 * static_cast<size_t>(orv::get_u32_le(p, 0)) ||
                   orv::get_u32_le(p, 0) > DROP_MAX_KEYS);
      }
      break;
    }
    default:
      break;
  }
}

// Rewrites the crc field of every whole frame in the stream.
void fix_crcs(std::vector<uint8_t>* s) {
  size_t pos = 0;
  while (pos + orv::FRAME_HEADER_SIZE <= s->size()) {
    std::span<uint8_t> h(s->data() + pos, orv::FRAME_HEADER_SIZE);
    uint32_t len = orv::get_u32_le(h, orv::FRAME_LENGTH_OFF);
    if (len > s->size() - pos - orv::FRAME_HEADER_SIZE) return;
    orv::put_u32_le(h, orv::FRAME_CRC_OFF, len == 0 ? 0 : orv::crc32c(0, s->data() + pos + orv::FRAME_HEADER_SIZE, len));
    pos += orv::FRAME_HEADER_SIZE + len;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  uint8_t mode = in.u8();
  auto body = in.rest();
  std::vector<uint8_t> stream(body.begin(), body.end());
  if ((mode & 1) != 0) fix_crcs(&stream);

  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  // The stream must fit the socket buffer, as nothing reads while it is sent.
  int big = 1 << 20;
  (void)setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  (void)fcntl(sv[1], F_SETFL, O_NONBLOCK);
  size_t sent = 0;
  while (sent < stream.size()) {
    ssize_t r = send(sv[1], stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
    if (r <= 0) break;
    sent += static_cast<size_t>(r);
  }
  stream.resize(sent);
  shutdown(sv[1], SHUT_WR);

  static std::vector<uint8_t> buffer(kCapacity);
  orv::Channel ch;
  ch.fd = sv[0];
  size_t pos = 0;
  for (;;) {
    // The model's verdict for the frame at pos.
    int32_t want = orv::STATUS_OK;
    uint32_t len = 0;
    uint16_t type = 0;
    if (stream.size() - pos < orv::FRAME_HEADER_SIZE) {
      want = orv::STATUS_IO;
    } else {
      std::span<const uint8_t> h(stream.data() + pos, orv::FRAME_HEADER_SIZE);
      len = orv::get_u32_le(h, orv::FRAME_LENGTH_OFF);
      type = orv::get_u16_le(h, orv::FRAME_TYPE_OFF);
      if (memcmp(h.data(), orv::FRAME_MAGIC, 4) != 0 || orv::get_u16_le(h, orv::FRAME_VERSION_OFF) != 3 ||
          len > orv::FRAME_MAX_PAYLOAD) {
        want = orv::STATUS_PROTOCOL;
      } else if (len > kCapacity) {
        want = orv::STATUS_INVALID;
      } else if (stream.size() - pos - orv::FRAME_HEADER_SIZE < len) {
        want = orv::STATUS_IO;
      } else if (len != 0 && orv::crc32c(0, stream.data() + pos + orv::FRAME_HEADER_SIZE, len) !=
                                 orv::get_u32_le(h, orv::FRAME_CRC_OFF)) {
        want = orv::STATUS_CORRUPT;
      }
    }
    orv::FrameHeader got;
    int32_t rc = orv::receive_frame(&ch, &got, buffer);
    FUZZ_CHECK(rc == want);
    if (rc != orv::STATUS_OK) break;
    FUZZ_CHECK(got.version == orv::PROTOCOL_VERSION && got.msg_type == type && got.length == len);
    FUZZ_CHECK(len == 0 || memcmp(buffer.data(), stream.data() + pos + orv::FRAME_HEADER_SIZE, len) == 0);
    decode_all(got.msg_type, std::span<const uint8_t>(buffer.data(), len));
    pos += orv::FRAME_HEADER_SIZE + len;
  }
  close(sv[0]);
  close(sv[1]);
  return 0;
}
