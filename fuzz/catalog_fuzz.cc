// Catalog files and chains on hostile input: a directory of up to six
// catalogs whose identifiers and parent links the fuzzer picks from a small
// set (so links repeat, dangle and form loops), whose header sizes, entry
// counts and digests may lie, whose bytes may be overwritten or cut, and
// one of which may be arbitrary bytes.
//
// Checks:
//  - header_read accepts exactly the files whose header is intact and never
//    a newer version; catalog_load accepts a catalog only with its whole
//    entry table present and matching its digest.
//  - backup_scan lists exactly the catalogs whose header reads.
//  - chain_resolve always ends. Its result agrees with a plain walk of the
//    parent links computed here: a missing link is STATUS_NOT_FOUND, a
//    loop is refused, and a chain it returns starts at a full backup, links
//    each element to the one before by parent_uuid, ends at the requested
//    backup and holds no more backups than the directory.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/status.h"
#include "fuzz_support.h"
#include "integrity/sha256.h"
#include "protocol/formats.h"
#include "store/catalog.h"
#include "store/names.h"
#include "store/scan.h"

using orv_fuzz::Reader;

namespace {

void put_le(std::vector<uint8_t>* f, size_t off, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) (*f)[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

orv::Uuid palette_uuid(uint8_t k) {
  orv::Uuid u;
  u.bytes[0] = static_cast<uint8_t>(k % 5);  // 0 is the all-zero "no parent"
  return u;
}

struct Planned {
  std::string path;
  bool intact = false;  // header and table as written are valid
  uint8_t type = 0;
  orv::Uuid uuid;
  orv::Uuid parent;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orv::log_init("orv_fuzz", getenv("ORV_FUZZ_LOG") != nullptr ? orv::LEVEL_DEBUG : orv::LEVEL_ERROR + 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  std::string dir = orv_fuzz::scratch_dir() + "/c";
  orv_fuzz::remove_tree(dir);
  if (mkdir(dir.c_str(), 0755) != 0) return 0;

  std::vector<Planned> planned;
  size_t n = 1 + in.u8() % 6;
  for (size_t i = 0; i < n; ++i) {
    uint8_t mode = in.u8();
    Planned p;
    p.type = (mode & 0x80) != 0 ? in.u8() : static_cast<uint8_t>(mode % 3);
    p.path = dir + "/b" + std::to_string(i) + orv::catalog_extension(p.type);
    if ((mode & 0x40) != 0) {
      // Arbitrary bytes under a catalog name.
      orv_fuzz::write_file(p.path, in.bytes(in.u16() % 8192));
      planned.push_back(p);
      continue;
    }
    p.uuid = palette_uuid(in.u8());
    p.parent = palette_uuid(in.u8());
    uint32_t header_size = (mode & 0x08) != 0 ? orv::HEADER_SIZE_MIN : orv::BACKUP_HEADER_SIZE;
    size_t entries = in.u8() % 4;
    std::vector<uint8_t> f(header_size + entries * orv::CATALOG_ENTRY_SIZE, 0);
    memcpy(f.data(), orv::HEADER_MAGIC, 4);
    put_le(&f, orv::HDR_VERSION_OFF, orv::HEADER_VERSION, 2);
    put_le(&f, orv::HDR_HEADER_SIZE_OFF, header_size, 4);
    f[orv::HDR_TYPE_OFF] = p.type;
    memcpy(f.data() + orv::HDR_UUID_OFF, p.uuid.bytes, orv::UUID_SIZE);
    memcpy(f.data() + orv::HDR_PARENT_UUID_OFF, p.parent.bytes, orv::UUID_SIZE);
    put_le(&f, orv::HDR_CREATED_OFF, in.u8(), 8);
    put_le(&f, orv::HDR_ENTRY_COUNT_OFF, entries, 8);
    for (size_t e = 0; e < entries; ++e) {
      auto bytes = in.bytes(orv::CATALOG_ENTRY_SIZE);
      memcpy(f.data() + header_size + e * orv::CATALOG_ENTRY_SIZE, bytes.data(), bytes.size());
    }
    if (entries > 0) {
      orv::sha256(f.data() + header_size, entries * orv::CATALOG_ENTRY_SIZE, f.data() + orv::HDR_SHA256_OFF);
    }
    p.intact = true;
    if ((mode & 0x10) != 0) {
      // Lies in the fields that size things.
      switch (in.u8() % 4) {
        case 0: put_le(&f, orv::HDR_ENTRY_COUNT_OFF, in.u64(), 8); break;
        case 1: put_le(&f, orv::HDR_HEADER_SIZE_OFF, in.u32(), 4); break;
        case 2: put_le(&f, orv::HDR_VERSION_OFF, in.u16(), 2); break;
        default: put_le(&f, orv::HDR_ENTRY_COUNT_OFF, entries + 1 + in.u8(), 8); break;
      }
      p.intact = false;
    }
    if ((mode & 0x20) != 0) {
      // A few overwritten bytes, then maybe a cut.
      for (int k = 0, m = in.u8() % 4; k < m; ++k) f[in.u32() % f.size()] ^= static_cast<uint8_t>(1 + in.u8() % 255);
      if ((in.u8() & 1) != 0) f.resize(in.u32() % (f.size() + 1));
      p.intact = false;
    }
    orv_fuzz::write_file(p.path, f);
    planned.push_back(p);
  }
  // A directory named like a catalog, which every scan must pass over.
  bool dir_named_like_catalog = (in.u8() & 0x0F) == 0x0F;
  if (dir_named_like_catalog) mkdir((dir + "/d.infb").c_str(), 0755);

  auto* header = new orv::BackupHeader;
  auto* cat = new orv::LoadedCatalog;
  std::vector<bool> loads(planned.size(), false);
  size_t readable = 0;
  for (size_t i = 0; i < planned.size(); ++i) {
    const Planned& p = planned[i];
    int32_t hrc = orv::header_read(p.path.c_str(), header);
    int32_t lrc = orv::catalog_load(p.path.c_str(), cat);
    if (p.intact) FUZZ_CHECK(hrc == orv::STATUS_OK && lrc == orv::STATUS_OK);
    if (hrc == orv::STATUS_OK) {
      ++readable;
      FUZZ_CHECK(orv::header_version(*header) < 2);
      uint32_t hs = orv::header_header_size(*header);
      FUZZ_CHECK(hs >= orv::HEADER_SIZE_MIN && hs <= orv::HEADER_SIZE_MAX);
    } else {
      FUZZ_CHECK(lrc != orv::STATUS_OK);
    }
    if (lrc == orv::STATUS_OK) {
      loads[i] = true;
      FUZZ_CHECK(cat->entry_count == orv::header_entry_count(cat->header));
      FUZZ_CHECK((cat->entry_count == 0) == (cat->entries == nullptr));
      struct stat st;
      FUZZ_CHECK(stat(p.path.c_str(), &st) == 0);
      FUZZ_CHECK(cat->entry_count * orv::CATALOG_ENTRY_SIZE + orv::header_header_size(cat->header) <=
                 static_cast<uint64_t>(st.st_size));
      if (cat->entry_count > 0) {
        uint8_t digest[orv::SHA256_DIGEST_SIZE];
        orv::sha256(cat->entries, cat->entry_count * orv::CATALOG_ENTRY_SIZE, digest);
        FUZZ_CHECK(memcmp(digest, cat->header.bytes + orv::HDR_SHA256_OFF, sizeof digest) == 0);
      }
    } else {
      FUZZ_CHECK(cat->entries == nullptr);
    }
    orv::catalog_free(cat);
  }

  orv::ScanItem* items = nullptr;
  size_t count = 0;
  int32_t src = orv::backup_scan(dir.c_str(), &items, &count);
  // A directory named like a catalog is skipped like any other name that
  // is not a regular file: it hides nothing and breaks nothing.
  FUZZ_CHECK(src == orv::STATUS_OK);
  FUZZ_CHECK(count == readable);

  for (size_t i = 0; i < planned.size(); ++i) {
    orv::Chain chain;
    int32_t crc = orv::chain_resolve(planned[i].path.c_str(), dir.c_str(), &chain);
    if (crc != orv::STATUS_OK) {
      FUZZ_CHECK(chain.items == nullptr && chain.count == 0);
      continue;
    }
    FUZZ_CHECK(src == orv::STATUS_OK || orv::header_read(planned[i].path.c_str(), header) == orv::STATUS_OK);
    FUZZ_CHECK(chain.count >= 1);
    FUZZ_CHECK(chain.count <= count + 1);
    FUZZ_CHECK(planned[i].path == chain.items[chain.count - 1].catalog_path);
    FUZZ_CHECK(orv::header_type(chain.items[0].header) == orv::BACKUP_FULL || chain.count == 1);
    if (chain.count == 1) FUZZ_CHECK(orv::header_type(chain.items[0].header) == orv::BACKUP_FULL);
    for (size_t k = 1; k < chain.count; ++k) {
      FUZZ_CHECK(orv::uuid_equal(orv::header_parent_uuid(chain.items[k].header),
                                 orv::header_uuid(chain.items[k - 1].header)) == 1);
      FUZZ_CHECK(orv::header_type(chain.items[k].header) != orv::BACKUP_FULL);
    }
    orv::chain_free(&chain);
  }

  // The plain walk: from each readable start, follow the first item in scan
  // order with the wanted uuid; a walk longer than the directory is a loop.
  if (src == orv::STATUS_OK) {
    for (size_t i = 0; i < planned.size(); ++i) {
      if (orv::header_read(planned[i].path.c_str(), header) != orv::STATUS_OK) continue;
      int32_t want = orv::STATUS_OK;
      bool all_load = loads[i];
      if (orv::header_type(*header) != orv::BACKUP_FULL) {
        orv::Uuid wanted = orv::header_parent_uuid(*header);
        for (size_t steps = 0;; ++steps) {
          const orv::ScanItem* hit = nullptr;
          for (size_t k = 0; k < count && hit == nullptr; ++k) {
            if (orv::uuid_equal(items[k].uuid, wanted) == 1) hit = &items[k];
          }
          if (hit == nullptr) {
            want = orv::STATUS_NOT_FOUND;
            break;
          }
          if (steps >= count) {
            want = orv::STATUS_CORRUPT;  // a loop
            break;
          }
          for (size_t k = 0; k < planned.size(); ++k) {
            if (planned[k].path == hit->path && !loads[k]) all_load = false;
          }
          if (hit->type == orv::BACKUP_FULL) break;
          wanted = hit->parent_uuid;
        }
      }
      orv::Chain chain;
      int32_t crc = orv::chain_resolve(planned[i].path.c_str(), dir.c_str(), &chain);
      orv::chain_free(&chain);
      if (want != orv::STATUS_OK) {
        FUZZ_CHECK(crc == want);
      } else if (all_load) {
        FUZZ_CHECK(crc == orv::STATUS_OK);
      } else {
        FUZZ_CHECK(crc != orv::STATUS_OK);
      }
    }
  }
  free(items);
  delete header;
  delete cat;
  return 0;
}
