#include "diag/bundle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/file_io.h"
#include "core/json.h"
#include "core/log.h"
#include "core/status.h"
#include "core/sysinfo.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "diag/selftest.h"
#include "diag/tar_zst.h"

namespace orv {
namespace {

constexpr const char* kRecordsFile = "diag.jsonl";
constexpr const char* kMarkFile = ".last_collected";
constexpr size_t kSelftestMessageSize = 256;
constexpr size_t kMarkTextSize = 32;

// The selected part of diag.jsonl: bytes [start, end) of the file, where end
// is how far the file was read (the mark written afterwards).
struct Selection {
  MallocBytes bytes;
  size_t len = 0;
  uint64_t end = 0;
  bool mark_regular = true;  // false: something else holds the mark's name
};

// Reads the mark: leading decimal digits; no digits (or no file) give 0.
// A value too large to hold also gives a mark past any file, hence 0 later.
// Anything but a regular file there (a directory, a FIFO, a link) counts as
// no mark and is reported; *regular is false then, and the mark is left
// alone afterwards.
uint64_t read_mark(const char* path, bool* regular) {
  *regular = true;
  int fd = -1;
  int32_t rc = file_open_read_regular(path, &fd);
  if (rc == STATUS_INVALID) {
    *regular = false;
    log_write(LEVEL_WARN, "%s is not a regular file: collecting every record", path);
  }
  if (rc != STATUS_OK) return 0;
  UniqueFd owner(fd);
  char text[kMarkTextSize] = {};
  size_t got = 0;
  if (file_pread(fd, text, sizeof text - 1, 0, &got) != STATUS_OK) return 0;
  text[std::min(got, sizeof text - 1)] = '\0';
  uint64_t mark = 0;
  for (const char* p = text; *p >= '0' && *p <= '9'; ++p) {
    uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (mark > (UINT64_MAX - digit) / 10) return UINT64_MAX;
    mark = mark * 10 + digit;
  }
  return mark;
}

// Reads the records to select. With `all` the whole file, otherwise the part
// after the mark; a mark past the end of the file (which was replaced or cut)
// starts again from the beginning. Only the selected part is held in memory.
// A file that cannot be opened, sized or buffered counts as empty.
Selection select_records(const char* records_path, const char* mark_path, bool all) {
  Selection sel;
  int fd = -1;
  if (file_open_read_regular(records_path, &fd) != STATUS_OK) return sel;  // no link, FIFO or directory
  UniqueFd owner(fd);
  uint64_t size = 0;
  if (file_size(fd, &size) != STATUS_OK || size >= SIZE_MAX) return sel;

  uint64_t start = all ? 0 : read_mark(mark_path, &sel.mark_regular);
  if (start > size) start = 0;
  size_t want = static_cast<size_t>(size - start);
  sel.bytes.reset(static_cast<uint8_t*>(malloc(want + 1)));
  if (sel.bytes == nullptr) return sel;

  // Read up to the size taken above; records appended meanwhile are left
  // for the next collection, and a file cut meanwhile ends the read early.
  size_t total = 0;
  while (total < want) {
    size_t got = 0;
    if (file_pread(fd, sel.bytes.get() + total, want - total, start + total, &got) != STATUS_OK ||
        got == 0) {
      break;
    }
    total += got;
  }
  sel.len = total;
  sel.end = start + total;
  return sel;
}

// Sequential writes for outputs without positions (a pipe or terminal given
// as /dev/stdout, for example).
[[nodiscard]] bool write_stream(int fd, const uint8_t* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The bundle goes wherever the operator pointed it (a link, a pipe,
// /dev/stdout); the mark is only ever a regular file of its own.
enum class Target { output, mark };

[[nodiscard]] int32_t write_whole_file(const char* path, const uint8_t* data, size_t len, Target target) {
  int fd = -1;
  int32_t opened = target == Target::output ? file_create_output(path, 0666, &fd) : file_create(path, 0666, &fd);
  if (opened != STATUS_OK) return STATUS_IO;
  UniqueFd owner(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) return STATUS_IO;
  if (S_ISREG(st.st_mode)) {
    size_t written = 0;
    if (file_pwrite_all(fd, data, len, 0, &written) != STATUS_OK || written != len) {
      return STATUS_IO;
    }
  } else if (!write_stream(fd, data, len)) {
    return STATUS_IO;
  }
  // The mark moves past these records once the bundle is written, so the
  // bundle must be on disk first. Outputs that cannot be synced (pipes,
  // terminals, /dev/null) report STATUS_INVALID and are accepted as they are.
  int32_t rc = file_sync(fd);
  if (rc != STATUS_OK && rc != STATUS_INVALID) return STATUS_IO;
  return owner.close() == STATUS_OK ? STATUS_OK : STATUS_IO;
}

// Replaces the mark with "<end>\n". Failures leave the old mark in place
// (or, after a cut write, an unreadable one that counts as 0); either way
// records are handed over again, never skipped.
void write_mark(const char* path, uint64_t end) {
  char text[kMarkTextSize];
  int n = snprintf(text, sizeof text, "%llu\n", static_cast<unsigned long long>(end));
  if (n <= 0) return;
  (void)write_whole_file(path, reinterpret_cast<const uint8_t*>(text), static_cast<size_t>(n),
                         Target::mark);  // an unwritable mark is not an error
}

size_t build_manifest(char* buf, const char* host, uint64_t record_count, bool all) {
  JsonWriter w;
  json_init(&w, buf, DIAG_BUNDLE_JSON_SIZE);
  json_begin_object(&w);
  json_add_u64(&w, "bundle_schema", 1);
  json_add_string(&w, "component", "orv_target");
  json_add_string(&w, "hostname", host);
  json_add_i64(&w, "generated_at", now_seconds());
  json_add_u64(&w, "record_count", record_count);
  json_add_bool(&w, "all_records", all ? 1 : 0);
  json_end_object(&w);
  return w.len;
}

// Environment snapshot; none of its queries can make the collection fail.
size_t build_environment(char* buf, const char* diag_dir) {
  char os[OS_DESCRIPTION_SIZE];
  (void)os_description(os, sizeof os);  // always 0; "unknown" when uname fails
  uint64_t free_bytes = 0;
  (void)disk_free_bytes(diag_dir, &free_bytes);  // stays 0 when unknown
  char selftest_msg[kSelftestMessageSize] = {};
  bool selftest_ok = selftest_run(selftest_msg, sizeof selftest_msg) == 0;

  JsonWriter w;
  json_init(&w, buf, DIAG_BUNDLE_JSON_SIZE);
  json_begin_object(&w);
  json_add_string(&w, "os_version", os);
  json_add_string(&w, "target_version", PROGRAM_VERSION);
  json_add_u64(&w, "disk_free_bytes_diag_dir", free_bytes);
  json_add_bool(&w, "selftest_ok", selftest_ok ? 1 : 0);
  json_add_string(&w, "selftest_error", selftest_ok ? nullptr : selftest_msg);
  json_end_object(&w);
  return w.len;
}

}  // namespace

int32_t collect_diag_as_host(const char* storage, const char* diag_dir, const char* out, bool all,
                             const char* host) {
  char dir[STORE_PATH_SIZE];
  if (diag_dir != nullptr && diag_dir[0] != '\0') {
    snprintf(dir, sizeof dir, "%s", diag_dir);
  } else if (storage != nullptr && storage[0] != '\0') {
    snprintf(dir, sizeof dir, "%s/diag", storage);
  } else {
    log_write(LEVEL_ERROR, "diag: --collect-diag needs --diag-dir or --storage");
    return STATUS_INVALID;
  }
  char records_path[PATH_SIZE];
  char mark_path[PATH_SIZE];
  snprintf(records_path, sizeof records_path, "%s/%s", dir, kRecordsFile);
  snprintf(mark_path, sizeof mark_path, "%s/%s", dir, kMarkFile);

  Selection sel = select_records(records_path, mark_path, all);
  const uint8_t* records = sel.bytes.get();
  // Bytes after the last line feed (a record still being written) travel
  // with the member but are not counted.
  uint64_t record_count = static_cast<uint64_t>(std::count(records, records + sel.len, '\n'));

  char host_buf[HOST_NAME_SIZE];
  if (host == nullptr) {
    (void)host_name(host_buf, sizeof host_buf);  // on failure the buffer holds ""
  } else {
    copy_text(host_buf, sizeof host_buf, host);
  }

  char manifest[DIAG_BUNDLE_JSON_SIZE];
  char environment[DIAG_BUNDLE_JSON_SIZE];
  size_t manifest_len = build_manifest(manifest, host_buf, record_count, all);
  size_t environment_len = build_environment(environment, dir);

  const TarMember members[] = {
      {"manifest.json", reinterpret_cast<const uint8_t*>(manifest), manifest_len},
      {"environment.json", reinterpret_cast<const uint8_t*>(environment), environment_len},
      {"diag_records.jsonl", records, sel.len},
  };
  uint8_t* bundle_raw = nullptr;
  size_t bundle_len = 0;
  char err[TAR_ERROR_SIZE] = {};
  if (tar_zst_build(members, std::size(members), DIAG_BUNDLE_ZSTD_LEVEL, &bundle_raw, &bundle_len,
                    err, sizeof err) != 0) {
    log_write(LEVEL_ERROR, "diag: %s", err);
    return STATUS_IO;
  }
  MallocBytes bundle(bundle_raw);
  sel.bytes.reset();  // the records live on inside the bundle

  char default_name[DIAG_OUT_NAME_SIZE];
  const char* path = out;
  if (path == nullptr || path[0] == '\0') {
    snprintf(default_name, sizeof default_name, "orv_diag_target_%s_%lld.tar.zst",
             host_buf[0] != '\0' ? host_buf : "host", static_cast<long long>(now_seconds()));
    path = default_name;
  }
  if (write_whole_file(path, bundle.get(), bundle_len, Target::output) != STATUS_OK) {
    log_write(LEVEL_ERROR, "diag: cannot write %s", path);
    return STATUS_IO;
  }
  log_write(LEVEL_INFO, "diag: wrote %s (%u record(s), %zu byte(s))", path,
            static_cast<unsigned>(record_count), bundle_len);

  if (!all && sel.mark_regular) write_mark(mark_path, sel.end);
  return STATUS_OK;
}

int32_t collect_diag(const char* storage, const char* diag_dir, const char* out, bool all) {
  return collect_diag_as_host(storage, diag_dir, out, all, nullptr);
}

}  // namespace orv
