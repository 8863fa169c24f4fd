// Whole sessions over an in-memory channel: the frames of the input are
// written into one end of a Unix socket pair while the other end runs the
// connection loop (receive_frame, then session_dispatch, until done, error
// or the end of the stream) and session_end, against a real storage root.
// Up to four sessions run one after another on the same storage, so one
// session can leave a finished or partial backup that the next one lists,
// fetches, reads, continues or discards.
//
// Input: per session a flags byte (bits 0-1: start from wait_hello, after a
// HELLO, or after HELLO and BEGIN made here; bit 2: FLAG_CONTINUE), then
// operations, each an op byte (bits 0-4 message type; bit 6: build the
// payload from a template filled from the next bytes, else raw bytes of a
// 16-bit length; bit 5: break the frame's CRC) until 0xFF.
//
// Checks, whatever the agent sends:
//  - every answer is a well-formed frame of a target-to-agent type with a
//    valid CRC; ERROR carries a failure status and a NUL-terminated text;
//    ACK is empty or 8 bytes, and durable_seq never goes back;
//  - no directory is created outside the permitted sub-directories and no
//    file outside the storage root;
//  - every finished backup is verifiable: its catalog loads (digest
//    included) and its image holds every byte its entries point to;
//  - every session releases its partial's lock;
//  - each diagnostics line is one valid JSON object.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/endian.h"
#include "core/log.h"
#include "core/status.h"
#include "fuzz_support.h"
#include "integrity/crc32c.h"
#include "integrity/sha256.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "protocol/payloads.h"
#include "server/acl.h"
#include "server/session.h"
#include "store/catalog.h"
#include "store/journal.h"
#include "store/names.h"
#include "store/partial_lock.h"

using orv_fuzz::Reader;

namespace {

constexpr const char* kKey = "fuzz-key";
constexpr const char* kOtherKey = "other-key";
constexpr size_t kMaxSessions = 4;

// Texts an agent might send, hostile ones included.
const char* const kSubdirs[] = {"hosts/a", "flat", "g1/x", "hosts/a/b", "../x", "/abs", "hosts/..", "nope",
                                "hosts/a\\b", "hosts//a", "other", "g1/x/y"};
const char* const kNames[] = {"db", "db2", "", "../x", "-rf", "a\\b", "a/b", ".",
                              "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"};
const char* const kRetention[] = {"", "30d", "forever", "bad", "1y"};
const char* const kLabels[] = {"", "daily", "Bad"};
template <typename T, size_t N>
const char* pick(const T (&list)[N], uint8_t k) {
  return list[k % N];
}

orv::Uuid palette_uuid(uint8_t k) {
  orv::Uuid u;
  u.bytes[0] = static_cast<uint8_t>(k % 6);
  u.bytes[15] = 0xAB;
  return u;
}

uint64_t key_from(Reader* in) {
  uint8_t k = in->u8();
  return k == 0xFF ? in->u64() : k % 16;
}

struct Frame {
  uint16_t type;
  std::vector<uint8_t> payload;
  bool bad_crc = false;
};

std::vector<uint8_t> template_payload(uint16_t type, Reader* in) {
  using namespace orv;
  std::vector<uint8_t> out;
  switch (type) {
    case MSG_HELLO: {
      HelloRequest h;
      uint8_t sel = in->u8();
      h.protocol_version = (sel & 0x80) != 0 ? 2 : PROTOCOL_VERSION;
      snprintf(h.api_key, sizeof h.api_key, "%s", sel % 3 == 0 ? kKey : sel % 3 == 1 ? kOtherKey : "wrong");
      h.flags = (sel & 0x40) != 0 ? FLAG_CONTINUE : 0;
      out.resize(HELLO_SIZE);
      out.resize(encode_hello(h, (sel & 0x20) == 0, out));
      break;
    }
    case MSG_BEGIN: {
      BeginRequest b;
      b.uuid = palette_uuid(in->u8());
      b.parent_uuid = palette_uuid(in->u8());
      b.chain_uuid = palette_uuid(in->u8());
      b.type = in->u8() % 4;
      b.block_size = 4096;
      b.source_size = in->u16();
      snprintf(b.target_name, sizeof b.target_name, "%s", pick(kNames, in->u8()));
      snprintf(b.target_subdir, sizeof b.target_subdir, "%s", pick(kSubdirs, in->u8()));
      snprintf(b.retention, sizeof b.retention, "%s", pick(kRetention, in->u8()));
      snprintf(b.retention_label, sizeof b.retention_label, "%s", pick(kLabels, in->u8()));
      out.resize(BEGIN_SIZE);
      out.resize(encode_begin(b, out));
      break;
    }
    case MSG_BLOCK: {
      BlockHeader h;
      h.key = key_from(in);
      h.flags = in->u8() % 3 == 0 ? ENTRY_FLAG_NO_DATA : 0;
      size_t n = static_cast<size_t>(in->u8()) * 37;
      h.data_length = static_cast<uint32_t>(n);
      out.resize(BLOCK_HEADER_SIZE);
      encode_block_header(h, out);
      for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(h.key * 31 + i));
      break;
    }
    case MSG_DROP_ENTRIES: {
      std::vector<uint64_t> keys(in->u8() % 5);
      for (uint64_t& k : keys) k = key_from(in);
      out.resize(4 + 8 * keys.size());
      encode_drop_entries(keys, out);
      break;
    }
    case MSG_FIND_PARENT: {
      FindParentRequest r;
      snprintf(r.target_subdir, sizeof r.target_subdir, "%s", pick(kSubdirs, in->u8()));
      snprintf(r.target_name, sizeof r.target_name, "%s", pick(kNames, in->u8()));
      r.type = static_cast<int8_t>(static_cast<int>(in->u8() % 4) - 1);
      out.resize(FIND_PARENT_MIN_SIZE);
      out.resize(encode_find_parent(r, out));
      break;
    }
    case MSG_FETCH_CHAIN:
    case MSG_CONTINUE:
    case MSG_DISCARD_PARTIAL: {
      SubdirUuidRequest r;
      snprintf(r.target_subdir, sizeof r.target_subdir, "%s", pick(kSubdirs, in->u8()));
      r.uuid = palette_uuid(in->u8());
      out.resize(REQ_SUBDIR_UUID_SIZE);
      out.resize(encode_subdir_uuid(r, out));
      break;
    }
    case MSG_READ_RANGE: {
      RangeRequest r;
      r.file_index = in->u8() % 4;
      uint8_t sel = in->u8();
      r.length = sel == 0xFF ? in->u32() : sel * 61u;
      r.offset = in->u8() == 0xFF ? in->u64() : in->u16();
      out.resize(READ_RANGE_SIZE);
      out.resize(encode_read_range(r, out));
      break;
    }
    case MSG_LIST_BACKUPS: {
      ListBackupsRequest r;
      snprintf(r.target_subdir, sizeof r.target_subdir, "%s", pick(kSubdirs, in->u8()));
      uint8_t sel = in->u8();
      snprintf(r.target_name, sizeof r.target_name, "%s", sel % 2 == 0 ? "" : pick(kNames, sel));
      out.resize(LIST_BACKUPS_MIN_SIZE);
      out.resize(encode_list_backups(r, out));
      break;
    }
    case MSG_QUERY_PARTIAL: {
      QueryPartialRequest r;
      snprintf(r.target_subdir, sizeof r.target_subdir, "%s", pick(kSubdirs, in->u8()));
      snprintf(r.target_name, sizeof r.target_name, "%s", pick(kNames, in->u8()));
      r.type = static_cast<int8_t>(in->u8() % 3);
      r.parent_uuid = palette_uuid(in->u8());
      out.resize(QUERY_PARTIAL_MIN_SIZE);
      out.resize(encode_query_partial(r, out));
      break;
    }
    default:
      break;  // PING, END and the rest: empty
  }
  return out;
}

bool is_answer_type(uint16_t t) {
  using namespace orv;
  switch (t) {
    case MSG_HELLO_REPLY: case MSG_BEGIN_OK: case MSG_ACK: case MSG_END_OK: case MSG_ERROR: case MSG_PONG:
    case MSG_FIND_PARENT_REPLY: case MSG_CHAIN_HEADER: case MSG_CHAIN_ENTRIES: case MSG_CHAIN_END:
    case MSG_RANGE_DATA: case MSG_BACKUP_LIST: case MSG_PARTIAL_INFO: case MSG_CONTINUE_OK:
    case MSG_CONTINUE_ENTRIES: case MSG_CONTINUE_END: case MSG_DISCARD_OK:
      return true;
    default:
      return false;
  }
}

// ORV_FUZZ_TRACE set: every request and answer is printed, for reading
// what an input does.
bool tracing() {
  static bool on = getenv("ORV_FUZZ_TRACE") != nullptr;
  return on;
}

// The answers of one session, in order.
void check_answers(const std::string& bytes) {
  size_t pos = 0;
  uint64_t last_seq = 0;
  while (pos < bytes.size()) {
    FUZZ_CHECK(bytes.size() - pos >= orv::FRAME_HEADER_SIZE);
    std::span<const uint8_t> all(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    orv::FrameHeader h;
    FUZZ_CHECK(orv::frame_header_decode(all.subspan(pos).first<orv::FRAME_HEADER_SIZE>(), &h) == orv::STATUS_OK);
    pos += orv::FRAME_HEADER_SIZE;
    FUZZ_CHECK(bytes.size() - pos >= h.length);
    std::span<const uint8_t> p = all.subspan(pos, h.length);
    pos += h.length;
    FUZZ_CHECK(h.length == 0 ? h.crc == 0 : orv::crc32c(0, p.data(), p.size()) == h.crc);
    FUZZ_CHECK(is_answer_type(h.msg_type));
    if (tracing()) fprintf(stderr, "  <- %s (%u bytes)\n", orv::msg_type_name(h.msg_type), h.length);
    if (h.msg_type == orv::MSG_ERROR) {
      orv::ErrorReply e;
      FUZZ_CHECK(h.length == orv::ERROR_SIZE && orv::decode_error(p, &e) == orv::STATUS_OK);
      if (tracing()) fprintf(stderr, "     %d %s\n", e.status, e.text);
      FUZZ_CHECK(e.status < 0 && e.status >= -10);
      FUZZ_CHECK(memchr(p.data() + orv::ERROR_TEXT_OFF, 0, orv::ERROR_TEXT_SIZE) != nullptr && e.text[0] != '\0');
    }
    if (h.msg_type == orv::MSG_ACK) {
      FUZZ_CHECK(h.length == 0 || h.length == orv::ACK_SIZE);
      if (h.length == orv::ACK_SIZE) {
        uint64_t seq = orv::get_u64_le(p, 0);
        FUZZ_CHECK(seq >= last_seq);
        last_seq = seq;
      }
    }
    if (h.msg_type == orv::MSG_END_OK) FUZZ_CHECK(h.length == orv::END_OK_SIZE);
    if (h.msg_type == orv::MSG_HELLO_REPLY) FUZZ_CHECK(h.length == orv::HELLO_REPLY_SIZE);
    if (h.msg_type == orv::MSG_PARTIAL_INFO) FUZZ_CHECK(h.length == orv::PARTIAL_INFO_SIZE);
  }
}

std::string encode_stream(const std::vector<Frame>& frames) {
  std::string s;
  for (const Frame& f : frames) {
    uint8_t h[orv::FRAME_HEADER_SIZE];
    uint32_t crc = f.payload.empty() ? 0 : orv::crc32c(0, f.payload.data(), f.payload.size());
    if (f.bad_crc) crc ^= 0x5A5A5A5A;
    orv::frame_header_encode(f.type, static_cast<uint32_t>(f.payload.size()), crc,
                             std::span<uint8_t, orv::FRAME_HEADER_SIZE>(h, sizeof h));
    s.append(reinterpret_cast<const char*>(h), sizeof h);
    s.append(reinterpret_cast<const char*>(f.payload.data()), f.payload.size());
  }
  return s;
}

struct World {
  std::string root;
  orv::ServerConfig config;  // storage root and the store's settings of every session
  orv::AclEntry acl[2];
  std::vector<uint8_t> receive_buffer = std::vector<uint8_t>(orv::FRAME_MAX_PAYLOAD);
};

World& world() {
  static World* w = [] {
    auto* x = new World;
    x->root = orv_fuzz::scratch_dir() + "/root";
    x->config.storage_root = x->root.c_str();
    // Checkpoints after every few KiB, so short inputs reach them.
    x->config.store.checkpoint_bytes = 4096;
    memset(x->acl, 0, sizeof x->acl);
    orv::sha256(kKey, strlen(kKey), x->acl[0].key_digest);
    snprintf(x->acl[0].patterns[0], orv::ACL_PATTERN_SIZE, "hosts/**");
    snprintf(x->acl[0].patterns[1], orv::ACL_PATTERN_SIZE, "flat");
    snprintf(x->acl[0].patterns[2], orv::ACL_PATTERN_SIZE, "g?/*");
    x->acl[0].pattern_count = 3;
    orv::sha256(kOtherKey, strlen(kOtherKey), x->acl[1].key_digest);
    snprintf(x->acl[1].patterns[0], orv::ACL_PATTERN_SIZE, "other");
    x->acl[1].pattern_count = 1;
    return x;
  }();
  return *w;
}

// Runs one session over a socket pair, as the connection thread does.
std::string run_session(const std::vector<Frame>& frames) {
  World& w = world();
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) orv_fuzz::fuzz_fail("socketpair");
  std::string stream = encode_stream(frames);
  std::thread writer([fd = sv[1], &stream] {
    size_t sent = 0;
    while (sent < stream.size()) {
      ssize_t r = send(fd, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
      if (r <= 0) break;  // the session ended and closed its end
      sent += static_cast<size_t>(r);
    }
    shutdown(fd, SHUT_WR);
  });
  std::string answers;
  std::thread reader([fd = sv[1], &answers] {
    char buf[65536];
    for (;;) {
      ssize_t r = recv(fd, buf, sizeof buf, 0);
      if (r <= 0) break;
      answers.append(buf, static_cast<size_t>(r));
    }
  });

  orv::Channel ch;
  ch.fd = sv[0];
  auto* s = new orv::Session;
  orv::session_init(s, w.config, w.acl, 2, ch);
  int32_t status = orv::STATUS_OK;
  while (orv::session_state(s) != orv::SessionState::done && orv::session_state(s) != orv::SessionState::error) {
    orv::FrameHeader h;
    status = orv::receive_frame(&s->channel, &h, w.receive_buffer);
    if (status != orv::STATUS_OK) break;
    status = orv::session_dispatch(s, h, std::span<const uint8_t>(w.receive_buffer.data(), h.length));
    if (status != orv::STATUS_OK) break;
  }
  if (orv::session_state(s) == orv::SessionState::done) status = orv::STATUS_OK;
  if (tracing()) {
    for (const Frame& f : frames) fprintf(stderr, "  -> %s (%zu bytes)\n", orv::msg_type_name(f.type), f.payload.size());
    fprintf(stderr, "  session ended in %s, status %d\n", orv::session_state_name(orv::session_state(s)), status);
  }
  orv::session_end(s, status);
  orv::channel_close(&s->channel);
  delete s;
  writer.join();
  reader.join();
  close(sv[1]);
  return answers;
}

// Relative paths of every directory and file below root.
void walk(const std::string& root, const std::string& rel, std::vector<std::string>* dirs,
          std::vector<std::string>* files) {
  for (const std::string& name : orv_fuzz::list_dir(root + (rel.empty() ? "" : "/" + rel))) {
    std::string r = rel.empty() ? name : rel + "/" + name;
    struct stat st;
    if (lstat((root + "/" + r).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      dirs->push_back(r);
      walk(root, r, dirs, files);
    } else {
      files->push_back(r);
    }
  }
}

void check_storage() {
  World& w = world();
  // Nothing next to the storage root.
  for (const std::string& name : orv_fuzz::list_dir(orv_fuzz::scratch_dir())) FUZZ_CHECK(name == "root");
  std::vector<std::string> dirs;
  std::vector<std::string> files;
  walk(w.root, "", &dirs, &files);
  for (const std::string& d : dirs) {
    bool ok = d == "hosts" || d == "g1" || d == "diag" || orv::acl_permits(&w.acl[0], d.c_str()) ||
              orv::acl_permits(&w.acl[1], d.c_str());
    if (!ok) fprintf(stderr, "unexpected directory: %s\n", d.c_str());
    FUZZ_CHECK(ok);
  }
  auto* cat = new orv::LoadedCatalog;
  for (const std::string& f : files) {
    std::string path = w.root + "/" + f;
    if (orv::ends_with(f, orv::JOURNAL_SUFFIX)) {
      // No session may still hold a partial's lock.
      FUZZ_CHECK(orv::partial_lock_try(path.c_str(), -1) == orv::STATUS_OK);
      orv::partial_unlock(path.c_str());
      continue;
    }
    if (f == "diag/diag.jsonl") {
      FILE* fp = fopen(path.c_str(), "rb");
      FUZZ_CHECK(fp != nullptr);
      char line[4096];
      while (fgets(line, sizeof line, fp) != nullptr) {
        size_t n = strlen(line);
        FUZZ_CHECK(n >= 2 && line[n - 1] == '\n' && n - 1 <= 1535);
        std::vector<std::string> strings;
        orv_fuzz::JsonCheck check(std::string_view(line, n - 1));
        FUZZ_CHECK(check.object(&strings));
      }
      fclose(fp);
      continue;
    }
    if (!orv::is_catalog_name(f.c_str())) continue;
    // A finished backup: verifiable, and its image holds what it points to.
    FUZZ_CHECK(orv::catalog_load(path.c_str(), cat) == orv::STATUS_OK);
    struct stat st;
    FUZZ_CHECK(stat(cat->image_path, &st) == 0);
    uint64_t image_size = static_cast<uint64_t>(st.st_size);
    FUZZ_CHECK(orv::header_image_size(cat->header) == image_size);
    for (uint64_t i = 0; i < cat->entry_count; ++i) {
      const orv::CatalogEntry& e = cat->entries[i];
      FUZZ_CHECK(!orv::entry_dropped(e));
      if (i > 0) FUZZ_CHECK(orv::entry_key(cat->entries[i - 1]) <= orv::entry_key(e));
      if (orv::entry_length(e) == 0) continue;
      FUZZ_CHECK(orv::entry_offset(e) <= image_size && image_size - orv::entry_offset(e) >= orv::entry_length(e));
    }
    orv::catalog_free(cat);
  }
  delete cat;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orv::log_init("orv_fuzz", getenv("ORV_FUZZ_LOG") != nullptr ? orv::LEVEL_DEBUG : orv::LEVEL_ERROR + 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& w = world();
  orv_fuzz::clear_dir(orv_fuzz::scratch_dir());
  if (mkdir(w.root.c_str(), 0755) != 0 || mkdir((w.root + "/hosts").c_str(), 0755) != 0 ||
      mkdir((w.root + "/g1").c_str(), 0755) != 0) {
    orv_fuzz::fuzz_fail("cannot prepare the storage root");
  }

  Reader in(data, size);
  for (size_t n = 0; n < kMaxSessions && !in.empty(); ++n) {
    uint8_t flags = in.u8();
    std::vector<Frame> frames;
    uint32_t hello_flags = (flags & 4) != 0 ? orv::FLAG_CONTINUE : 0;
    if ((flags & 3) >= 1) {
      orv::HelloRequest h;
      snprintf(h.api_key, sizeof h.api_key, "%s", kKey);
      h.flags = hello_flags;
      Frame f{orv::MSG_HELLO, std::vector<uint8_t>(orv::HELLO_SIZE)};
      f.payload.resize(orv::encode_hello(h, true, f.payload));
      frames.push_back(std::move(f));
    }
    if ((flags & 3) >= 2) {
      orv::BeginRequest b;
      b.uuid = palette_uuid(in.u8());
      b.type = in.u8() % 3;
      b.parent_uuid = palette_uuid(b.type == 0 ? 0 : in.u8());
      b.block_size = 4096;
      snprintf(b.target_name, sizeof b.target_name, "%s", (flags & 8) != 0 ? "db2" : "db");
      snprintf(b.target_subdir, sizeof b.target_subdir, "%s", (flags & 16) != 0 ? "flat" : "hosts/a");
      Frame f{orv::MSG_BEGIN, std::vector<uint8_t>(orv::BEGIN_SIZE)};
      f.payload.resize(orv::encode_begin(b, f.payload));
      frames.push_back(std::move(f));
    }
    while (!in.empty() && frames.size() < 64) {
      uint8_t op = in.u8();
      if (op == 0xFF) break;
      Frame f;
      f.type = static_cast<uint16_t>(op & 0x1F);
      f.bad_crc = (op & 0x20) != 0;
      if ((op & 0x40) != 0) {
        f.payload = template_payload(f.type, &in);
      } else {
        auto raw = in.bytes(in.u16());
        f.payload.assign(raw.begin(), raw.end());
      }
      frames.push_back(std::move(f));
    }
    check_answers(run_session(frames));
  }
  check_storage();
  return 0;
}
