// The journal reader and the partial loader on a journal that starts with a
// valid header, payload and records up to a checkpoint, and goes on with
// fuzzed records (with correct or broken CRCs, any kind, any checkpoint
// count) and arbitrary trailing bytes. Optionally the header itself is
// damaged, the file names in it are hostile, or the records straddle the
// reader's 1 MiB chunk boundary.
//
// Checks, against a plain model of the recovery rules computed here:
//  - journal_read_header accepts exactly the intact headers; the names it
//    hands out end inside their fields.
//  - journal_scan stops where the model stops; the trust boundary is the
//    model's last valid checkpoint, never beyond it, never before the
//    valid prefix's checkpoint.
//  - partial_load rebuilds exactly the model's entry list (records up to
//    that checkpoint, later blocks for a key replacing earlier ones, drops
//    applied, dropped entries removed, key order), refuses hostile names,
//    and gives the same result when run twice.
//  - After journal_reopen (which cuts the file back to the checkpoint) a
//    new load gives the same result again.
//  - The searches never offer a journal with hostile names, and removing
//    a partial never deletes a file outside its directory.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/log.h"
#include "core/status.h"
#include "fuzz_support.h"
#include "store/journal.h"
#include "store/journal_format.h"
#include "store/journal_reader.h"
#include "store/names.h"
#include "store/partial.h"

using orv_fuzz::Reader;

namespace {

using Body = std::array<uint8_t, orv::CATALOG_ENTRY_SIZE>;

constexpr uint64_t kFillerRecords = 16380;  // just under one 1 MiB read

void put_u64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t get_u64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void add_record(std::vector<uint8_t>* file, uint8_t kind, const uint8_t* body) {
  uint8_t rec[orv::JOURNAL_RECORD_SIZE];
  orv::encode_journal_record(kind, std::span<const uint8_t>(body, orv::REC_BODY_SIZE), rec);
  file->insert(file->end(), rec, rec + sizeof rec);
}

// The recovery rules, written out plainly.
struct Model {
  uint64_t checkpoint_end = 0;
  uint64_t checkpoint_image_size = 0;
  std::vector<Body> entries;  // catalog order, no dropped entries
};

Model model_of(const std::vector<uint8_t>& file, uint64_t first) {
  Model m;
  uint64_t count = 0;
  uint64_t stop = first;
  for (uint64_t p = first; p + orv::JOURNAL_RECORD_SIZE <= file.size(); p += orv::JOURNAL_RECORD_SIZE) {
    const uint8_t* r = file.data() + p;
    if (!orv::journal_record_crc_ok(r)) break;
    uint8_t kind = r[orv::REC_KIND_OFF];
    if (kind == orv::REC_BLOCK || kind == orv::REC_DROP) {
      ++count;
      continue;
    }
    if (kind != orv::REC_CHECKPOINT || get_u64(r) != count) break;
    m.checkpoint_end = p + orv::JOURNAL_RECORD_SIZE;
    m.checkpoint_image_size = get_u64(r + 8);
  }
  stop = m.checkpoint_end;
  std::vector<Body> list;
  std::map<uint64_t, size_t> pos;
  for (uint64_t p = first; p < stop; p += orv::JOURNAL_RECORD_SIZE) {
    const uint8_t* r = file.data() + p;
    uint64_t key = get_u64(r);
    if (r[orv::REC_KIND_OFF] == orv::REC_BLOCK) {
      Body b;
      memcpy(b.data(), r, b.size());
      auto it = pos.find(key);
      if (it != pos.end()) {
        list[it->second] = b;
      } else {
        pos[key] = list.size();
        list.push_back(b);
      }
    } else if (r[orv::REC_KIND_OFF] == orv::REC_DROP) {
      auto it = pos.find(key);
      if (it != pos.end()) list[it->second][orv::ENT_FLAGS_OFF] |= orv::ENTRY_FLAG_DROPPED;
    }
  }
  for (const Body& b : list) {
    if ((b[orv::ENT_FLAGS_OFF] & orv::ENTRY_FLAG_DROPPED) == 0) m.entries.push_back(b);
  }
  // Keys in the list are unique, so the order is fully defined.
  std::sort(m.entries.begin(), m.entries.end(), [](const Body& a, const Body& b) { return get_u64(a.data()) < get_u64(b.data()); });
  return m;
}

bool same_entries(const orv::PartialBackup& p, const std::vector<Body>& want) {
  if (p.entry_count != want.size()) return false;
  for (size_t i = 0; i < want.size(); ++i) {
    if (memcmp(p.entries[i].bytes, want[i].data(), orv::CATALOG_ENTRY_SIZE) != 0) return false;
  }
  return true;
}

uint64_t key_from(Reader* in) {
  // Mostly a few small keys, so replacements and drops hit; sometimes any.
  uint8_t k = in->u8();
  if (k == 0xFF) return in->u64();
  if (k == 0xFE) return ~uint64_t{0};
  return k % 24;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orv::log_init("orv_fuzz", getenv("ORV_FUZZ_LOG") != nullptr ? orv::LEVEL_DEBUG : orv::LEVEL_ERROR + 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  uint8_t mode = in.u8();
  const std::string& scratch = orv_fuzz::scratch_dir();
  std::string dir = scratch + "/j";
  orv_fuzz::remove_tree(dir);
  if (mkdir(dir.c_str(), 0755) != 0) return 0;
  // A file one level up that a hostile image name may try to reach.
  std::string victim = scratch + "/victim.tmp";
  orv_fuzz::write_file(victim, {});

  // Header and payload.
  std::string catalog_name = "db-202601010000.infb";
  std::string image_name = "db-202601010000.csfb";
  if ((mode & 0x02) != 0) {
    catalog_name = orv_fuzz::as_text(in.until(0)).substr(0, 300);
    image_name = orv_fuzz::as_text(in.until(0)).substr(0, 300);
  }
  uint32_t payload_size = orv::JOURNAL_PAYLOAD_SIZE;
  switch ((mode >> 2) & 3) {
    case 1: payload_size = 0; break;
    case 2: payload_size = orv::JOURNAL_PAYLOAD_MIN; break;
    case 3: payload_size = in.u32(); break;
    default: break;
  }
  uint32_t effective = payload_size == 0 ? orv::JOURNAL_PAYLOAD_SIZE_ZERO : payload_size;
  bool size_ok = effective >= orv::JOURNAL_PAYLOAD_MIN && effective <= orv::JOURNAL_PAYLOAD_SIZE;
  std::vector<uint8_t> payload(size_ok ? effective : orv::JOURNAL_PAYLOAD_SIZE, 0);
  orv::Uuid uuid;
  for (uint8_t& b : uuid.bytes) b = in.u8();
  memcpy(payload.data(), orv::HEADER_MAGIC, 4);
  memcpy(payload.data() + orv::HDR_UUID_OFF, uuid.bytes, orv::UUID_SIZE);
  payload[orv::HDR_NAME_OFF] = 'd';
  payload[orv::HDR_NAME_OFF + 1] = 'b';

  std::vector<uint8_t> file(orv::JOURNAL_HEADER_SIZE);
  orv::encode_journal_header(catalog_name, image_name, payload_size, payload, file.data());
  file.insert(file.end(), payload.begin(), payload.end());
  bool header_damaged = false;
  if ((mode & 0x10) != 0) {
    // Overwrite a few header bytes (magic, version, CRC, names...).
    for (int i = 0, n = in.u8() % 4; i < n; ++i) {
      size_t at = in.u16() % orv::JOURNAL_HEADER_SIZE;
      uint8_t v = in.u8();
      if (file[at] != v) header_damaged = true;
      file[at] = v;
    }
  }
  uint64_t first = file.size();

  // The valid prefix: blocks (and filler when asked), then a checkpoint.
  uint8_t body[orv::REC_BODY_SIZE];
  uint64_t count = 0;
  uint64_t filler = (mode & 0x60) == 0x60 ? kFillerRecords : 0;
  for (uint64_t i = 0; i < filler; ++i) {
    memset(body, 0, sizeof body);
    put_u64(body, 1000 + i);
    add_record(&file, orv::REC_BLOCK, body);
    ++count;
  }
  for (int i = 0, n = in.u8() % 8; i < n; ++i) {
    memset(body, 0, sizeof body);
    put_u64(body, key_from(&in));
    body[orv::ENT_FLAGS_OFF] = in.u8();
    add_record(&file, orv::REC_BLOCK, body);
    ++count;
  }
  memset(body, 0, sizeof body);
  put_u64(body, count);
  put_u64(body + 8, in.u32());
  add_record(&file, orv::REC_CHECKPOINT, body);
  uint64_t prefix_checkpoint_end = file.size();

  // The fuzzed part: records, then raw bytes.
  while (in.left() > 1) {
    uint8_t op = in.u8();
    if (op == 0xFF) break;  // the rest is raw
    uint8_t kind = op & 3;
    memset(body, 0, sizeof body);
    if (kind == orv::REC_CHECKPOINT) {
      uint64_t claimed = count;
      if ((op & 0x40) != 0) claimed += static_cast<int8_t>(in.u8());
      put_u64(body, claimed);
      put_u64(body + 8, in.u32());
    } else if (kind == 0) {
      auto raw = in.bytes(orv::REC_BODY_SIZE);
      memcpy(body, raw.data(), raw.size());
      kind = in.u8();  // any kind byte, also unknown ones
    } else {
      put_u64(body, key_from(&in));
      if (kind == orv::REC_BLOCK) {
        body[orv::ENT_FLAGS_OFF] = in.u8();
        put_u64(body + orv::ENT_OFFSET_OFF, in.u32());
      }
    }
    add_record(&file, kind, body);
    if (kind == orv::REC_BLOCK || kind == orv::REC_DROP) ++count;
    if ((op & 0x20) != 0) file[file.size() - 1 - in.u8() % orv::JOURNAL_RECORD_SIZE] ^= 1 + in.u8() % 255;
  }
  auto tail = in.rest();
  file.insert(file.end(), tail.begin(), tail.end());

  std::string journal = dir + "/" + "db-202601010000.csfb.part";
  if (!orv_fuzz::write_file(journal, file)) return 0;
  bool names_plain = orv::is_plain_file_name(catalog_name.substr(0, orv::JH_NAME_SIZE - 1).c_str()) &&
                     orv::is_plain_file_name(image_name.substr(0, orv::JH_NAME_SIZE - 1).c_str());
  if (names_plain) orv_fuzz::write_file(dir + "/" + image_name.substr(0, orv::JH_NAME_SIZE - 1) + ".tmp", {});

  // The header.
  int raw_fd = -1;
  FUZZ_CHECK(orv::file_open_read(journal.c_str(), &raw_fd) == orv::STATUS_OK);
  uint8_t head[orv::JOURNAL_HEADER_SIZE];
  auto* got_payload = new orv::BackupHeader;
  uint64_t got_first = 0;
  int32_t hrc = orv::journal_read_header(raw_fd, head, got_payload, &got_first);
  if (!header_damaged) FUZZ_CHECK((hrc == orv::STATUS_OK) == size_ok);
  Model m;
  if (hrc == orv::STATUS_OK) {
    // What the reader will act on are the names as stored.
    names_plain = orv::is_plain_file_name(orv::journal_header_catalog_name(head)) &&
                  orv::is_plain_file_name(orv::journal_header_image_name(head));
    FUZZ_CHECK(got_first == orv::JOURNAL_HEADER_SIZE + effective);
    FUZZ_CHECK(memchr(head + orv::JH_CATALOG_NAME_OFF, 0, orv::JH_NAME_SIZE) != nullptr);
    FUZZ_CHECK(memchr(head + orv::JH_IMAGE_NAME_OFF, 0, orv::JH_NAME_SIZE) != nullptr);
    m = model_of(file, got_first);
  }
  // The scan itself; partial_load repeats it below when the names allow.
  if (hrc == orv::STATUS_OK && (!names_plain || (mode & 0x80) != 0)) {
    orv::JournalScan scan;
    FUZZ_CHECK(orv::journal_scan(raw_fd, file.size(), got_first, &scan) == orv::STATUS_OK);
    FUZZ_CHECK(scan.checkpoint_end == m.checkpoint_end);
    FUZZ_CHECK(scan.checkpoint_end <= file.size());
    if (scan.checkpoint_end != 0) {
      FUZZ_CHECK(scan.checkpoint_image_size == m.checkpoint_image_size);
      FUZZ_CHECK((scan.checkpoint_end - got_first) % orv::JOURNAL_RECORD_SIZE == 0);
      FUZZ_CHECK(scan.checkpoint_count <= scan.count);
    }
    if (got_first == first) FUZZ_CHECK(scan.checkpoint_end >= prefix_checkpoint_end);
  }
  (void)orv::file_close(raw_fd);
  delete got_payload;

  // The partial loader, twice.
  auto* p1 = new orv::PartialBackup;
  auto* p2 = new orv::PartialBackup;
  int32_t rc1 = orv::partial_load(journal.c_str(), p1);
  int32_t rc2 = orv::partial_load(journal.c_str(), p2);
  FUZZ_CHECK(rc1 == rc2);
  if (hrc != orv::STATUS_OK) FUZZ_CHECK(rc1 != orv::STATUS_OK);
  if (hrc == orv::STATUS_OK && !names_plain) FUZZ_CHECK(rc1 == orv::STATUS_INVALID);
  if (hrc == orv::STATUS_OK && names_plain) FUZZ_CHECK((rc1 == orv::STATUS_OK) == (m.checkpoint_end != 0));
  if (rc1 == orv::STATUS_OK) {
    FUZZ_CHECK(p1->checkpoint_end == m.checkpoint_end);
    FUZZ_CHECK(p1->checkpoint_image_size == m.checkpoint_image_size);
    FUZZ_CHECK(same_entries(*p1, m.entries));
    FUZZ_CHECK(same_entries(*p2, m.entries));
    FUZZ_CHECK(orv::is_plain_file_name(p1->image_name) && orv::is_plain_file_name(p1->catalog_name));

    // Continue: the journal is cut back to the checkpoint, and reads the same.
    orv::JournalWriter w;
    orv::journal_init(&w);
    int32_t reopen = orv::journal_reopen(&w, journal.c_str(), *p1);
    FUZZ_CHECK(reopen == orv::STATUS_OK);
    FUZZ_CHECK(w.write_offset == m.checkpoint_end);
    orv::journal_close(&w);
    struct stat st;
    FUZZ_CHECK(stat(journal.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == m.checkpoint_end);
    auto* p3 = new orv::PartialBackup;
    FUZZ_CHECK(orv::partial_load(journal.c_str(), p3) == orv::STATUS_OK);
    FUZZ_CHECK(same_entries(*p3, m.entries) && p3->checkpoint_end == m.checkpoint_end);
    orv::partial_free(p3);
    delete p3;
  }
  orv::partial_free(p1);
  orv::partial_free(p2);
  delete p1;
  delete p2;

  // The searches offer the journal only with plain names and its image.
  char found[orv::PATH_SIZE];
  int32_t frc = orv::partial_find_by_uuid(dir.c_str(), uuid, found, sizeof found);
  if (frc == orv::STATUS_OK) {
    FUZZ_CHECK(hrc == orv::STATUS_OK && names_plain);
    FUZZ_CHECK(journal == found);
  } else if (hrc == orv::STATUS_OK && names_plain) {
    struct stat tmp_st;
    std::string tmp = dir + "/" + orv::journal_header_image_name(head) + ".tmp";
    FUZZ_CHECK(stat(tmp.c_str(), &tmp_st) != 0);  // only a missing image hides a readable journal
  }
  orv::partial_remove(journal.c_str());
  struct stat st;
  FUZZ_CHECK(stat(victim.c_str(), &st) == 0);  // nothing outside the directory was deleted
  FUZZ_CHECK(stat(journal.c_str(), &st) != 0);
  return 0;
}
