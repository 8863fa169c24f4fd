// Writes the seed corpora of the fuzz targets: one directory per target
// below the directory given on the command line (fuzz/corpus in the
// repository). Each seed is a small, valid example of the input layout its
// target reads (see the comment at the top of each *_fuzz.cc), so the
// fuzzer starts from whole backups, chains, continuations and well-formed
// requests instead of having to find them.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/endian.h"
#include "integrity/crc32c.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "protocol/payloads.h"
#include "priv/ipc.h"

namespace {

// Message types and op bits of the session target.
constexpr uint8_t kTemplate = 0x40;
constexpr uint8_t kEndSession = 0xFF;

struct Bytes {
  std::vector<uint8_t> b;
  Bytes& u8(uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Bytes& u16(uint16_t v) { return u8(static_cast<uint8_t>(v)).u8(static_cast<uint8_t>(v >> 8)); }
  Bytes& u32(uint32_t v) { return u16(static_cast<uint16_t>(v)).u16(static_cast<uint16_t>(v >> 16)); }
  Bytes& u64(uint64_t v) { return u32(static_cast<uint32_t>(v)).u32(static_cast<uint32_t>(v >> 32)); }
  Bytes& text(const std::string& s, bool nul = true) {
    b.insert(b.end(), s.begin(), s.end());
    if (nul) b.push_back(0);
    return *this;
  }
  Bytes& raw(const std::vector<uint8_t>& v) {
    b.insert(b.end(), v.begin(), v.end());
    return *this;
  }
  // Session target: one templated request.
  Bytes& op(uint16_t type, std::initializer_list<uint8_t> args = {}) {
    u8(static_cast<uint8_t>(kTemplate | type));
    for (uint8_t a : args) u8(a);
    return *this;
  }
};

std::string g_out;
int g_failures = 0;

void seed(const std::string& target, const std::string& name, const Bytes& bytes) {
  std::string dir = g_out + "/" + target;
  mkdir(g_out.c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  std::string path = dir + "/" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr || fwrite(bytes.b.data(), 1, bytes.b.size(), f) != bytes.b.size()) ++g_failures;
  if (f != nullptr && fclose(f) != 0) ++g_failures;
}

// A frame as bytes, with a correct CRC.
std::vector<uint8_t> frame(uint16_t type, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> out(orv::FRAME_HEADER_SIZE);
  uint32_t crc = payload.empty() ? 0 : orv::crc32c(0, payload.data(), payload.size());
  orv::frame_header_encode(type, static_cast<uint32_t>(payload.size()), crc,
                           std::span<uint8_t, orv::FRAME_HEADER_SIZE>(out.data(), orv::FRAME_HEADER_SIZE));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

void session_seeds() {
  using namespace orv;
  // HELLO (template: key 0) and PING from wait_hello; a PING before HELLO.
  seed("session", "hello_ping", Bytes().u8(0).op(MSG_PING).op(MSG_HELLO, {0}).op(MSG_PING).u8(kEndSession));
  // A wrong key, then a version mismatch.
  seed("session", "hello_refused", Bytes().u8(0).op(MSG_HELLO, {2}).u8(kEndSession).u8(0).op(MSG_HELLO, {0x81}));

  // A full backup (uuid 1) with data, no-data and repeated keys, then a
  // second session that lists, finds the parent, fetches the chain and
  // reads ranges of it, and a third that backs up an INC on top.
  Bytes full;
  full.u8(2).u8(1).u8(0);  // HELLO and BEGIN made by the target: uuid 1, FULL
  full.op(MSG_BLOCK, {1, 1, 10}).op(MSG_BLOCK, {2, 0, 0}).op(MSG_BLOCK, {3, 1, 200}).op(MSG_BLOCK, {1, 1, 3});
  full.op(MSG_END).u8(kEndSession);
  full.u8(1).op(MSG_LIST_BACKUPS, {0, 0}).op(MSG_FIND_PARENT, {0, 0, 0}).op(MSG_FETCH_CHAIN, {0, 1});
  full.op(MSG_READ_RANGE, {0, 2, 0, 0, 0}).op(MSG_READ_RANGE, {0, 0xFF, 0x10, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0});
  full.op(MSG_READ_RANGE, {1, 1, 0, 0, 0}).op(MSG_PING).u8(kEndSession);
  full.u8(2).u8(2).u8(2).u8(1);  // INC uuid 2 on parent 1
  full.op(MSG_BLOCK, {2, 1, 20}).op(MSG_END).u8(kEndSession);
  full.u8(1).op(MSG_FETCH_CHAIN, {0, 2}).op(MSG_READ_RANGE, {1, 1, 0, 0, 0});
  seed("session", "backup_then_restore", full);

  // An interrupted backup with FLAG_CONTINUE (checkpoints after 4 KiB), then
  // query, continue with replaced and dropped keys, and finish.
  Bytes cont;
  cont.u8(2 | 4).u8(3).u8(0);
  cont.op(MSG_BLOCK, {1, 1, 120}).op(MSG_BLOCK, {2, 1, 120}).op(MSG_BLOCK, {3, 1, 120}).op(MSG_BLOCK, {4, 1, 5});
  cont.u8(kEndSession);
  cont.u8(1 | 4).op(MSG_QUERY_PARTIAL, {0, 0, 0, 0}).op(MSG_CONTINUE, {0, 3});
  cont.op(MSG_BLOCK, {2, 1, 30}).op(MSG_DROP_ENTRIES, {2, 3, 9}).op(MSG_BLOCK, {5, 0, 0}).op(MSG_END).u8(kEndSession);
  cont.u8(1).op(MSG_FETCH_CHAIN, {0, 3}).op(MSG_READ_RANGE, {0, 3, 0, 0, 0});
  seed("session", "interrupt_continue_finish", cont);

  // A partial that is discarded, then a new backup of the same name by an
  // agent that does not continue (which removes stale partials).
  Bytes disc;
  disc.u8(2 | 4).u8(4).u8(0).op(MSG_BLOCK, {1, 1, 150}).op(MSG_BLOCK, {2, 1, 150}).u8(kEndSession);
  disc.u8(1 | 4).op(MSG_DISCARD_PARTIAL, {0, 4}).op(MSG_CONTINUE, {0, 4}).u8(kEndSession);
  disc.u8(2 | 4).u8(5).u8(0).op(MSG_BLOCK, {1, 1, 150}).u8(kEndSession);
  disc.u8(2).u8(5).u8(0).op(MSG_BLOCK, {1, 1, 1}).op(MSG_END);
  seed("session", "discard_and_replace", disc);

  // Hostile BEGINs: every bad sub-directory and name of the template lists.
  for (uint8_t sub = 0; sub < 12; ++sub) {
    Bytes b;
    b.u8(1).op(MSG_BEGIN, {1, 0, 1, 0, 0, 0, static_cast<uint8_t>(sub % 9), sub, 1, 1});
    b.op(MSG_BLOCK, {1, 1, 2}).op(MSG_END);
    seed("session", "begin_hostile_" + std::to_string(sub), b);
  }
  // Requests in the wrong state, a bad CRC, a short BLOCK, a raw frame.
  Bytes wrong;
  wrong.u8(1).op(MSG_BLOCK, {1, 1, 1}).u8(kEndSession);
  wrong.u8(2).u8(1).u8(0).u8(MSG_BLOCK).u16(10).raw(std::vector<uint8_t>(10, 7)).u8(kEndSession);
  wrong.u8(2).u8(1).u8(0).u8(0x20 | kTemplate | MSG_BLOCK).u8(1).u8(1).u8(1).u8(kEndSession);
  wrong.u8(1).op(MSG_DROP_ENTRIES, {0}).op(MSG_END);
  seed("session", "wrong_state_and_malformed", wrong);
}

void frame_seeds() {
  using namespace orv;
  HelloRequest h;
  snprintf(h.api_key, sizeof h.api_key, "some-key");
  std::vector<uint8_t> hello(HELLO_SIZE);
  encode_hello(h, true, hello);
  BlockHeader bh;
  bh.key = 7;
  bh.data_length = 5;
  std::vector<uint8_t> block(BLOCK_HEADER_SIZE);
  encode_block_header(bh, block);
  block.insert(block.end(), {1, 2, 3, 4, 5});
  std::vector<uint64_t> keys = {1, 2, 3};
  std::vector<uint8_t> drop(4 + 8 * keys.size());
  encode_drop_entries(keys, drop);
  std::vector<uint8_t> err(ERROR_SIZE);
  encode_error(-3, "target_subdir not permitted for this api key", err);
  Bytes s;
  s.u8(1).raw(frame(MSG_HELLO, hello)).raw(frame(MSG_PING, {})).raw(frame(MSG_BLOCK, block));
  s.raw(frame(MSG_DROP_ENTRIES, drop)).raw(frame(MSG_ERROR, err)).raw(frame(MSG_END, {}));
  seed("frame", "requests", s);
  BackupListEntry e;
  snprintf(e.name, sizeof e.name, "db");
  std::vector<uint8_t> list(BACKUP_LIST_ENTRIES_OFF + LIST_ENTRY_SIZE);
  encode_backup_list_prefix(1, false, list);
  encode_list_entry(e, std::span<uint8_t>(list).subspan(BACKUP_LIST_ENTRIES_OFF));
  RangeRequest r;
  r.length = 3;
  std::vector<uint8_t> rr(READ_RANGE_SIZE);
  encode_read_range(r, rr);
  std::vector<uint8_t> data = rr;
  data.insert(data.end(), {9, 9, 9});
  Bytes t;
  t.u8(1).raw(frame(MSG_BACKUP_LIST, list)).raw(frame(MSG_READ_RANGE, rr)).raw(frame(MSG_RANGE_DATA, data));
  seed("frame", "replies", t);
  Bytes bad;
  bad.u8(0).text("ORVX", false).raw(std::vector<uint8_t>(12, 0));
  seed("frame", "bad_magic", bad);
  Bytes crc;
  crc.u8(0).raw(frame(MSG_BLOCK, block));
  crc.b.back() ^= 1;
  seed("frame", "bad_crc", crc);
}

void acl_seeds() {
  Bytes file;
  file.u8(0).text("# comment\nkey-one hosts/**,flat\n  key-two a, b ,c # trailing\nkey-three g?/*;x\n"
                  "key-four **\nkey-five dir#x,[ab]*/**\n");
  file.text("hosts/a/b").text("flat").text("../x").text("a").text("g1/y").text("dir#x").text("b1/c/d");
  seed("acl", "valid_file", file);
  Bytes broken;
  broken.u8(0).text("only-a-key\n").text("a");
  seed("acl", "key_without_dirs", broken);
  Bytes quoted;
  quoted.u8(0).text("k v=\"a#b\" # c\nk2 x,y,,z\n").text("x");
  seed("acl", "quoting", quoted);
  Bytes patterns;
  patterns.u8(1).u8(4).text("msd*").text("msd/*").text("msd/**").text("**");
  patterns.text("msd1").text("msd1/x").text("msd").text("msd/a/b/c").text("a/../b").text(".hidden/x");
  seed("acl", "patterns", patterns);
}

void journal_seeds() {
  // Defaults: valid header, three blocks, a checkpoint; then records.
  Bytes a;
  a.u8(0);
  for (int i = 0; i < 16; ++i) a.u8(static_cast<uint8_t>(i + 1));  // uuid
  a.u8(3).u8(1).u8(0).u8(2).u8(1).u8(3).u8(0).u32(4096);
  a.u8(1).u8(4).u8(0).u32(100).u8(2).u8(1).u8(3).u32(8192);  // block 4, drop 1, checkpoint
  a.u8(1).u8(1).u8(0).u32(5).u8(3).u32(9000).u8(0xFF).text("torn", false);
  seed("journal", "prefix_and_records", a);
  // Hostile names recorded in the journal.
  Bytes b;
  b.u8(0x02).text("../victim").text("../victim");
  for (int i = 0; i < 16; ++i) b.u8(7);
  b.u8(1).u8(1).u8(0).u32(10);
  seed("journal", "hostile_names", b);
  Bytes c;
  c.u8(0x02).text("x.infb").text("/etc/passwd");
  for (int i = 0; i < 16; ++i) c.u8(8);
  c.u8(0).u32(0);
  seed("journal", "absolute_name", c);
  // Records across the 1 MiB read boundary, with a checkpoint that lies.
  Bytes d;
  d.u8(0x60);
  for (int i = 0; i < 16; ++i) d.u8(9);
  d.u8(2).u8(200).u8(0).u8(201).u8(0).u32(77);
  for (int i = 0; i < 8; ++i) d.u8(1).u8(static_cast<uint8_t>(i)).u8(0).u32(1);
  d.u8(3 | 0x40).u8(2).u32(5).u8(3).u32(6);
  seed("journal", "chunk_boundary", d);
  // A small payload size, and a damaged header.
  Bytes e;
  e.u8(0x08);
  for (int i = 0; i < 16; ++i) e.u8(1);
  e.u8(1).u8(5).u8(0).u32(3);
  seed("journal", "small_payload", e);
  Bytes f;
  f.u8(0x10);
  for (int i = 0; i < 16; ++i) f.u8(1);
  f.u8(1).u16(0).u8('X').u8(1).u8(1).u8(0).u32(3);
  seed("journal", "damaged_magic", f);
}

void catalog_seeds() {
  auto cat = [](Bytes* b, uint8_t type, uint8_t uuid, uint8_t parent, uint8_t entries) {
    b->u8(type).u8(uuid).u8(parent).u8(static_cast<uint8_t>(uuid * 10)).u8(entries);
    for (uint8_t i = 0; i < entries; ++i) {
      std::vector<uint8_t> e(58, 0);
      e[0] = static_cast<uint8_t>(i + 1);
      b->raw(e);
    }
  };
  Bytes chain;
  chain.u8(2);  // three catalogs
  cat(&chain, 0, 1, 0, 2);
  cat(&chain, 1, 2, 1, 1);
  cat(&chain, 2, 3, 2, 0);
  chain.u8(0);
  seed("catalog", "full_diff_inc", chain);
  Bytes loop;
  loop.u8(2);
  cat(&loop, 2, 2, 3, 0);
  cat(&loop, 2, 3, 2, 0);
  cat(&loop, 0, 1, 0, 0);
  loop.u8(0);
  seed("catalog", "parent_loop", loop);
  Bytes missing;
  missing.u8(1);
  cat(&missing, 2, 2, 4, 1);
  cat(&missing, 0x09, 1, 0, 3);  // FULL (9 % 3) with the small header size
  missing.u8(0);
  seed("catalog", "missing_link_small_header", missing);
  Bytes lies;
  lies.u8(1);
  lies.u8(0x10).u8(1).u8(0).u8(1).u8(1).raw(std::vector<uint8_t>(58, 1)).u8(0).u64(~uint64_t{0} / 58 + 1);
  lies.u8(0x40).u16(64).text("ORVH", false).raw(std::vector<uint8_t>(60, 0xFF));
  lies.u8(0x0F);
  seed("catalog", "lying_counts_and_junk", lies);
}

void orvp_seeds() {
  using namespace orv;
  auto request = [](uint16_t opcode, const char* vg, const char* lv, uint64_t size) {
    LvRequest r;
    snprintf(r.vg_name, sizeof r.vg_name, "%s", vg);
    snprintf(r.lv_name, sizeof r.lv_name, "%s", lv);
    r.size_bytes = size;
    std::vector<uint8_t> p(ORVP_MAX_PAYLOAD);
    p.resize(encode_lv_request(opcode, r, p));
    return p;
  };
  Bytes q;
  q.u8(0).u8(0).text("  vg0|lv0|-wi-a-----|10737418240|linear||253|3\n").u8(0).text("orv_agent");
  q.u8(ORVP_LV_QUERY - 1).raw(request(ORVP_LV_QUERY, "vg0", "lv0", 0));
  seed("orvp", "query_found", q);
  Bytes c;
  c.u8(0).u8(0).text("").u8(5).text("  Volume group \"vg0\" not found");
  c.u8(ORVP_LV_CREATE - 1).raw(request(ORVP_LV_CREATE, "vg0", "snap-1.a_b+c", 1025));
  seed("orvp", "create", c);
  Bytes r;
  r.u8(0).u8(3).text("failed").u8(0).text("");
  r.u8(ORVP_LV_REMOVE - 1).raw(request(ORVP_LV_REMOVE, "vg0", "lv0", 0));
  seed("orvp", "remove_fails", r);
  Bytes bad;
  bad.u8(0).u8(0).text("").u8(0).text("");
  bad.u8(ORVP_LV_REMOVE - 1).raw(request(ORVP_LV_REMOVE, "-vg", "--force", 0));
  seed("orvp", "option_names", bad);
  Bytes raw;
  raw.u8(1).u8(0).text("").u8(0).text("");
  std::vector<uint8_t> hdr(ORVP_HEADER_SIZE);
  orvp_encode_header(hdr, ORVP_LV_QUERY, 256);
  hdr[4] = 2;  // version 2
  raw.raw(hdr).raw(request(ORVP_LV_QUERY, "vg0", "lv0", 0));
  seed("orvp", "raw_version2", raw);
}

void lvs_seeds() {
  seed("lvs", "full", Bytes().text("  vg0|lv0|-wi-a-----|10737418240|linear||253|3", false));
  seed("lvs", "no_kernel", Bytes().text("vg0|lv0|owi-a-s---|4096|snapshot|lv1||", false));
  seed("lvs", "six_separators", Bytes().text("vg0|lv0|attr|1|linear|", false));
  seed("lvs", "extra_field", Bytes().text("vg|lv|a|18446744073709551615|t|o|-1|-2|extra", false));
}

void json_seeds() {
  Bytes rec;
  rec.u8(0).u16(1536);
  rec.u8(2).text("schema").u64(1).u8(0).text("record_type").text("target_session");
  rec.u8(3).text("ts").u64(~uint64_t{0}).u8(0).text("backup_name").text("a\"b\\c\td\ne\x01\x7f\xff");
  rec.u8(4).text("resumed").u64(0).u8(1).text("null_value");
  seed("json", "record", rec);
  Bytes tiny;
  tiny.u8(2).u16(8).u8(2).text("abcdef").u64(1).u8(0).text("k").text("\x1b\x08");
  seed("json", "tiny_buffer", tiny);
  Bytes raw;
  raw.u8(1).u16(0).u8(5).text("").u8(4).raw({'x', 'y', 'z', 0}).u8(6).text("").text("\"\\");
  seed("json", "raw_cap0", raw);
}

void log_escape_seeds() {
  seed("log_escape", "mixed",
       Bytes().u8(0x40).text("plain\nline \x1b[2J \xff\xc3 \xc2\x9b \xe2\x82\xac", false));
  seed("log_escape", "cut_inside", Bytes().u8(8).text("\xf0\x9f\x98\x80\xf4\x90\x80\x80\xed\xa0\x80", false));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  g_out = argv[1];
  session_seeds();
  frame_seeds();
  acl_seeds();
  journal_seeds();
  catalog_seeds();
  orvp_seeds();
  lvs_seeds();
  json_seeds();
  log_escape_seeds();
  if (g_failures != 0) {
    fprintf(stderr, "%d seed files could not be written\n", g_failures);
    return 1;
  }
  return 0;
}
