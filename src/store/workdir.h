// Working directories: "<storage root>/<sub-directory>", checked one
// component at a time without following a symbolic link, so that a link
// placed anywhere below the storage root can never lead a request into
// another tenant's directory or out of the tree. The storage root itself
// may be a link (operators do that); only what lies below it is checked.
//
// The check is made when a request names its sub-directory; the files are
// then reached by path, and their own opens never follow a link in the last
// component (file_io.h). Free of shared state; any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace orv {

// A directory known by its device and inode (stat), which no spelling of a
// path can hide.
struct DirIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool known = false;
};

// The identity of dir (following links), or an unknown one when dir is
// null, empty or cannot be looked up (for example not created yet).
DirIdentity dir_identity(const char* dir);

// Walks subdir (a relative path that passes subdir_is_safe: no empty, "."
// or ".." component) below root, one component at a time (openat with
// O_PATH|O_NOFOLLOW, then fstat):
//   STATUS_OK         every component is a directory, none a link, none the
//                     reserved directory;
//   STATUS_INVALID    a component is a symbolic link, or is `reserved`
//                     (when known): the request must be refused;
//   STATUS_NOT_FOUND  a component is missing (the ones before it are fine);
//   STATUS_EXISTS     a component is something other than a directory;
//   the mapped error  when root or a component cannot be opened otherwise.
// Nothing is created or changed.
[[nodiscard]] int32_t workdir_check(const char* root, const char* subdir, const DirIdentity& reserved);

// When dir is root itself or lies below it (textually: root, then "/",
// then the rest; repeated and trailing slashes ignored), writes the part
// after root (without slashes at either end) into rel and returns true;
// "" for root itself. Otherwise false and rel is "". cap is rel's size.
bool path_below(const char* root, const char* dir, char* rel, size_t cap);

// True when subdir is rel or lies below it ("rel/..."); false for an empty
// rel.
bool subdir_within(const char* subdir, const char* rel);

// True when some component of subdir ends in a catalog or image extension,
// ".part" or ".tmp": a directory with such a name would be taken for a file
// of a backup by every later scan.
bool subdir_names_backup_file(const char* subdir);

}  // namespace orv
