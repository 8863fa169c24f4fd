#include "store/names.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/file_io.h"
#include "core/status.h"
#include "core/text.h"

namespace orv {

namespace {

constexpr std::string_view kCatalogExt[3] = {".infb", ".indb", ".inib"};
constexpr std::string_view kImageExt[3] = {".csfb", ".csdb", ".csib"};
constexpr size_t kExtLen = 5;
// Room for an image path plus ".part" or ".tmp".
constexpr size_t kSideFileSize = STORE_PATH_SIZE + 8;

void clear_out(char* out, size_t cap) {
  if (cap > 0) out[0] = '\0';
}

// snprintf into buf; false when the text did not fit.
template <typename... Args>
bool format_fits(char* buf, size_t cap, const char* fmt, Args... args) {
  int n = snprintf(buf, cap, fmt, args...);
  return n >= 0 && static_cast<size_t>(n) < cap;
}

// Creates path exclusively (the name reservation). 0, STATUS_EXISTS when
// something already has that name, or the mapped error (*error: errno).
int32_t reserve_file(const char* path, int* error) {
  int fd = -1;
  errno = 0;
  int32_t rc = file_create_excl(path, FILE_MODE, &fd);
  *error = errno;
  if (rc != STATUS_OK) return rc;
  (void)file_close(fd);  // empty file, nothing to flush; it only holds the name
  return STATUS_OK;
}

}  // namespace

const char* backup_type_name(uint8_t type) {
  switch (type) {
    case 0: return "FULL";
    case 1: return "DIFF";
    case 2: return "INC";
    default: return "?";
  }
}

const char* catalog_extension(uint8_t type) { return kCatalogExt[type <= 2 ? type : 0].data(); }

const char* image_extension(uint8_t type) { return kImageExt[type <= 2 ? type : 0].data(); }

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

int32_t backup_paths(const char* dir, const char* name, uint8_t type, int64_t created, char* catalog_path,
                     size_t catalog_cap, char* image_path, size_t image_cap, NameReservation* reserve) {
  clear_out(catalog_path, catalog_cap);
  clear_out(image_path, image_cap);
  if (reserve != nullptr) *reserve = NameReservation{};
  if (dir == nullptr || name == nullptr || name[0] == '\0') return STATUS_INVALID;
  if (strchr(name, '/') != nullptr || strchr(name, '\\') != nullptr) return STATUS_INVALID;

  time_t t = static_cast<time_t>(created);
  struct tm tm_utc;
  if (gmtime_r(&t, &tm_utc) == nullptr) return STATUS_INVALID;
  char stamp[32];
  if (strftime(stamp, sizeof stamp, "%Y%m%d%H%M", &tm_utc) == 0) return STATUS_INVALID;

  const char* cat_ext = catalog_extension(type);
  const char* img_ext = image_extension(type);
  char base[BACKUP_BASE_SIZE];
  char cat[STORE_PATH_SIZE];
  char img[STORE_PATH_SIZE];
  char tmp[kSideFileSize];
  char part[kSideFileSize];
  for (uint32_t n = 1; n <= BACKUP_NAME_COUNTER_MAX; ++n) {
    bool fits = n == 1 ? format_fits(base, sizeof base, "%s/%s-%s", dir, name, stamp)
                       : format_fits(base, sizeof base, "%s/%s-%s-%u", dir, name, stamp, n);
    if (!fits) return STATUS_INVALID;
    if (!format_fits(cat, sizeof cat, "%s%s", base, cat_ext)) return STATUS_INVALID;
    if (!format_fits(img, sizeof img, "%s%s", base, img_ext)) return STATUS_INVALID;
    if (!format_fits(tmp, sizeof tmp, "%s%s", img, TMP_SUFFIX.data())) return STATUS_INVALID;
    if (!format_fits(part, sizeof part, "%s%s", img, JOURNAL_SUFFIX.data())) return STATUS_INVALID;
    // The journal is named after the image: a name that leaves no room for
    // it is refused before anything is created (the image's own names are
    // shorter still).
    size_t base_len = strlen(base) - strlen(dir) - 1;
    if (base_len + kExtLen + JOURNAL_SUFFIX.size() > NAME_MAX) return STATUS_INVALID;
    if (path_exists(cat) || path_exists(img) || path_exists(tmp) || path_exists(part)) continue;
    if (strlen(cat) >= catalog_cap || strlen(img) >= image_cap) return STATUS_INVALID;
    int error = 0;
    int32_t rc = reserve_file(tmp, &error);
    if (rc == STATUS_EXISTS) continue;  // another backup took this name a moment ago
    if (rc != STATUS_OK) {
      if (reserve != nullptr) {
        reserve->failed = true;
        reserve->error = error;
        copy_text(reserve->path, sizeof reserve->path, tmp);
      }
      return rc;
    }
    copy_text(catalog_path, catalog_cap, cat);
    copy_text(image_path, image_cap, img);
    return STATUS_OK;
  }
  return STATUS_EXISTS;
}

bool is_catalog_name(const char* file_name) {
  if (file_name == nullptr) return false;
  std::string_view s(file_name);
  if (s.size() < kExtLen) return false;
  for (std::string_view ext : kCatalogExt) {
    if (ends_with(s, ext)) return true;
  }
  return false;
}

int32_t catalog_to_image_path(const char* catalog_path, char* out, size_t cap) {
  clear_out(out, cap);
  if (catalog_path == nullptr) return STATUS_INVALID;
  std::string_view s(catalog_path);
  if (s.size() < kExtLen) return STATUS_INVALID;
  for (size_t i = 0; i < 3; ++i) {
    if (!ends_with(s, kCatalogExt[i])) continue;
    size_t stem = s.size() - kExtLen;
    if (stem + kExtLen + 1 > cap) return STATUS_INVALID;
    memcpy(out, s.data(), stem);
    memcpy(out + stem, kImageExt[i].data(), kExtLen);
    out[stem + kExtLen] = '\0';
    return STATUS_OK;
  }
  return STATUS_INVALID;
}

bool is_plain_file_name(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
  return strchr(name, '/') == nullptr && strchr(name, '\\') == nullptr;
}

}  // namespace orv
