#include "store/workdir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

#include "core/status.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "store/names.h"

namespace orv {

namespace {

// Extensions that make a name look like a file of a backup to the scans.
constexpr std::string_view kBackupFileExt[] = {".infb", ".indb", ".inib", ".csfb", ".csdb",
                                               ".csib", JOURNAL_SUFFIX, TMP_SUFFIX};

bool names_backup_file(std::string_view component) {
  for (std::string_view ext : kBackupFileExt) {
    if (ends_with(component, ext)) return true;
  }
  return false;
}

}  // namespace

DirIdentity dir_identity(const char* dir) {
  DirIdentity id;
  struct stat st;
  if (dir == nullptr || dir[0] == '\0' || stat(dir, &st) != 0) return id;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.known = true;
  return id;
}

int32_t workdir_check(const char* root, const char* subdir, const DirIdentity& reserved) {
  if (root == nullptr || subdir == nullptr) return STATUS_INVALID;
  // The root is opened the ordinary way: it may itself be a link.
  UniqueFd cur(open(root, O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!cur.valid()) return status_from_errno(errno);
  const char* p = subdir;
  char component[NAME_MAX + 1];
  while (*p != '\0') {
    const char* slash = strchr(p, '/');
    size_t n = slash != nullptr ? static_cast<size_t>(slash - p) : strlen(p);
    if (n == 0 || n > NAME_MAX) return STATUS_INVALID;
    memcpy(component, p, n);
    component[n] = '\0';
    // O_PATH with O_NOFOLLOW opens a link as itself instead of failing, so
    // fstat tells a link from anything else; it needs no permission on the
    // component beyond search permission on its parent.
    UniqueFd next(openat(cur.get(), component, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) return status_from_errno(errno);
    struct stat st;
    if (fstat(next.get(), &st) != 0) return status_from_errno(errno);
    if (S_ISLNK(st.st_mode)) return STATUS_INVALID;
    if (!S_ISDIR(st.st_mode)) return STATUS_EXISTS;
    if (reserved.known && st.st_dev == reserved.dev && st.st_ino == reserved.ino) return STATUS_INVALID;
    cur = std::move(next);
    p = slash != nullptr ? slash + 1 : p + n;
  }
  return STATUS_OK;
}

bool path_below(const char* root, const char* dir, char* rel, size_t cap) {
  if (cap > 0) rel[0] = '\0';
  if (root == nullptr || dir == nullptr || root[0] == '\0') return false;
  size_t root_len = strlen(root);
  while (root_len > 1 && root[root_len - 1] == '/') --root_len;
  if (strncmp(dir, root, root_len) != 0) return false;
  const char* rest = dir + root_len;
  // "/srv/b" must not claim "/srv/backup"; a root of "/" is followed by
  // the rest directly.
  if (*rest != '\0' && *rest != '/' && !(root_len == 1 && root[0] == '/')) return false;
  while (*rest == '/') ++rest;
  size_t n = strlen(rest);
  while (n > 0 && rest[n - 1] == '/') --n;
  if (n >= cap) return false;
  memcpy(rel, rest, n);
  rel[n] = '\0';
  return true;
}

bool subdir_within(const char* subdir, const char* rel) {
  if (subdir == nullptr || rel == nullptr || rel[0] == '\0') return false;
  size_t n = strlen(rel);
  return strncmp(subdir, rel, n) == 0 && (subdir[n] == '\0' || subdir[n] == '/');
}

bool subdir_names_backup_file(const char* subdir) {
  if (subdir == nullptr) return false;
  std::string_view rest(subdir);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view component = rest.substr(0, slash);
    if (names_backup_file(component)) return true;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return false;
}

}  // namespace orv
