// Helpers of the operator-tool tests: backups written into a real storage
// tree with the store's own catalog writer, journals of partial backups,
// and file times moved into the past.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/status.h"
#include "store/catalog.h"
#include "core/file_io.h"
#include "protocol/formats.h"
#include "store/journal.h"
#include "store/names.h"
#include "store/store_test_util.h"

namespace orv::admin_test {

inline Uuid uuid_of(uint32_t tag) {
  Uuid id;
  if (tag != 0) {
    for (size_t i = 0; i < UUID_SIZE; ++i) id.bytes[i] = static_cast<uint8_t>((tag >> ((i % 4) * 8)) + i);
    id.bytes[0] = static_cast<uint8_t>(tag);
    id.bytes[1] = static_cast<uint8_t>(tag >> 8);
    id.bytes[2] = static_cast<uint8_t>(tag >> 16);
    id.bytes[15] = 0xA5;
  }
  return id;
}

inline std::string uuid_string(uint32_t tag) {
  char text[UUID_TEXT_SIZE];
  uuid_format(uuid_of(tag), text);
  return text;
}

struct BackupSpec {
  std::string name = "db";
  uint8_t type = BACKUP_FULL;
  uint32_t uuid = 1;
  uint32_t parent = 0;  // 0: none
  int64_t created = 1700000000;
  int64_t expires = 0;
  uint32_t blocks = 4;
  uint32_t block_bytes = 4096;
};

inline std::unique_ptr<BackupHeader> header_of(const BackupSpec& s) {
  auto h = std::make_unique<BackupHeader>();
  BackupHeaderFields f;
  f.type = s.type;
  f.block_size = s.block_bytes;
  f.uuid = uuid_of(s.uuid);
  f.parent_uuid = uuid_of(s.parent);
  f.created = s.created;
  f.source_size = static_cast<uint64_t>(s.blocks) * s.block_bytes;
  f.image_size = static_cast<uint64_t>(s.blocks) * s.block_bytes;
  f.expires = s.expires;
  snprintf(f.name, sizeof f.name, "%s", s.name.c_str());
  encode_backup_header(f, h.get());
  return h;
}

// Writes catalog and image of one backup into dir (which must exist) under
// the names the server would choose; returns the catalog path ("" on failure).
inline std::string write_backup(const std::string& dir, const BackupSpec& s) {
  char catalog[STORE_PATH_SIZE];
  char image[STORE_PATH_SIZE];
  if (backup_paths(dir.c_str(), s.name.c_str(), s.type, s.created, catalog, sizeof catalog, image, sizeof image) !=
      STATUS_OK) {
    return "";
  }
  std::vector<CatalogEntry> entries(s.blocks);
  std::vector<uint8_t> data(static_cast<size_t>(s.blocks) * s.block_bytes);
  for (uint32_t i = 0; i < s.blocks; ++i) {
    CatalogEntryFields f;
    f.key = i;
    f.offset = static_cast<uint64_t>(i) * s.block_bytes;
    f.length = s.block_bytes;
    encode_catalog_entry(f, &entries[i]);
    memset(&data[static_cast<size_t>(i) * s.block_bytes], static_cast<int>(s.uuid + i), s.block_bytes);
  }
  std::string tmp = std::string(image) + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) return "";
  bool ok = data.empty() || write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  close(fd);
  if (!ok || rename(tmp.c_str(), image) != 0) return "";
  auto h = header_of(s);
  if (catalog_write(catalog, 0640, *h, entries.data(), entries.size()) != STATUS_OK) return "";
  return catalog;
}

inline std::string image_of(const std::string& catalog) {
  char image[STORE_PATH_SIZE];
  if (catalog_to_image_path(catalog.c_str(), image, sizeof image) != STATUS_OK) return "";
  return image;
}

// Writes the journal (and an empty temporary image) of a partial backup
// that builds on `parent`; returns the journal path ("" on failure).
inline std::string write_partial(const std::string& dir, BackupSpec s) {
  char catalog[STORE_PATH_SIZE];
  char image[STORE_PATH_SIZE];
  if (backup_paths(dir.c_str(), s.name.c_str(), s.type, s.created, catalog, sizeof catalog, image, sizeof image) !=
      STATUS_OK) {
    return "";
  }
  std::string journal = std::string(image) + ".part";
  JournalWriter w;
  journal_init(&w);
  auto h = header_of(s);
  if (journal_create(&w, journal.c_str(), *h, catalog, image) != STATUS_OK) return "";
  journal_close(&w);
  return journal;
}

// Moves the access and modification times of path `seconds` into the past.
inline bool age_file(const std::string& path, int64_t seconds) {
  struct timeval tv[2];
  gettimeofday(&tv[0], nullptr);
  tv[0].tv_sec -= seconds;
  tv[1] = tv[0];
  return lutimes(path.c_str(), tv) == 0;
}

inline bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace orv::admin_test
