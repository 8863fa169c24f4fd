// Helpers shared by the store tests: a real temporary directory, headers
// and entries built through the codecs, raw file access for damaging files.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "protocol/formats.h"

namespace orv::test {

class TempDir {
 public:
  TempDir() {
    char buf[] = "/tmp/orv_store_XXXXXX";
    if (mkdtemp(buf) != nullptr) path_ = buf;
  }
  ~TempDir() {
    if (!path_.empty()) {
      nftw(path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
           FTW_DEPTH | FTW_PHYS);
    }
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline Uuid make_uuid(uint8_t tag) {
  Uuid id;
  if (tag != 0) {
    for (size_t i = 0; i < UUID_SIZE; ++i) id.bytes[i] = static_cast<uint8_t>(tag + i);
  }
  return id;
}

inline std::unique_ptr<BackupHeader> make_header(const char* name, uint8_t type, uint8_t uuid_tag, uint8_t parent_tag,
                                                 int64_t created) {
  auto h = std::make_unique<BackupHeader>();
  BackupHeaderFields f;
  f.type = type;
  f.block_size = 4096;
  f.uuid = make_uuid(uuid_tag);
  f.parent_uuid = make_uuid(parent_tag);
  f.created = created;
  snprintf(f.name, sizeof f.name, "%s", name);
  encode_backup_header(f, h.get());
  return h;
}

inline CatalogEntry make_entry(uint64_t key, uint64_t offset = 0, uint32_t length = 0, uint8_t flags = 0) {
  CatalogEntryFields f;
  f.key = key;
  f.offset = offset;
  f.length = length;
  f.flags = flags;
  f.agent_u32 = static_cast<uint32_t>(key * 7);
  f.agent_tail[0] = static_cast<uint8_t>(key);
  CatalogEntry e;
  encode_catalog_entry(f, &e);
  return e;
}

inline std::vector<uint8_t> read_all(const std::string& path) {
  std::vector<uint8_t> out;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  fclose(f);
  return out;
}

inline bool write_all(const std::string& path, const void* data, size_t len) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(data, 1, len, f) == len;
  return fclose(f) == 0 && ok;
}

inline bool write_all(const std::string& path, const std::vector<uint8_t>& bytes) {
  return write_all(path, bytes.data(), bytes.size());
}

inline bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Sets a file's access and modification times to `seconds` since the epoch.
inline bool set_mtime(const std::string& path, time_t seconds) {
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec = seconds;
  ts[0].tv_nsec = ts[1].tv_nsec = 0;
  return utimensat(AT_FDCWD, path.c_str(), ts, 0) == 0;
}

inline off_t size_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Captures what the process writes to standard error between start and stop.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& file) : file_(file) {
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  std::string stop() {
    if (saved_ >= 0) {
      fflush(stderr);
      dup2(saved_, STDERR_FILENO);
      close(saved_);
      saved_ = -1;
    }
    std::vector<uint8_t> b = read_all(file_);
    return std::string(b.begin(), b.end());
  }
  ~StderrCapture() { (void)stop(); }

 private:
  std::string file_;
  int saved_ = -1;
};

}  // namespace orv::test
