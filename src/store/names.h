// Names of the files that belong to a backup.
//
// For a backup named N in directory D, created at T (UTC stamp S =
// "%Y%m%d%H%M"), of type t, with collision counter n:
//   base          "D/N-S" for n = 1, "D/N-S-n" for n = 2..1000
//   catalog       base + ".infb" / ".indb" / ".inib"   (FULL / DIFF / INC)
//   image         base + ".csfb" / ".csdb" / ".csib"
//   temp image    image + ".tmp"     (while the backup is received)
//   journal       image + ".part"    (while the backup is received)
//   temp catalog  catalog + ".tmp"   (while the catalog is written)
// Types above 2 use the FULL extensions. All functions are free of shared
// state and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/paths.h"

namespace orv {

inline constexpr size_t BACKUP_BASE_SIZE = 900;      // base path buffer, with the NUL
inline constexpr uint32_t BACKUP_NAME_COUNTER_MAX = 1000;
inline constexpr std::string_view TMP_SUFFIX = ".tmp";
inline constexpr std::string_view JOURNAL_SUFFIX = ".part";

// "FULL", "DIFF", "INC", or "?" for any other value.
const char* backup_type_name(uint8_t type);
// ".infb"/".indb"/".inib" and ".csfb"/".csdb"/".csib"; FULL's for other types.
const char* catalog_extension(uint8_t type);
const char* image_extension(uint8_t type);

// Chooses the catalog and image paths of a new backup.
// REQUIRES: dir exists. name is the full name the agent sent (not the
// 63-character header copy).
// A base name counts as taken when its catalog path, image path, image
// path + ".tmp" or image path + ".part" exists, so a new backup never reuses
// the files of a finished backup or of a partial one. The chosen name is
// reserved by creating the temporary image (image path + ".tmp", mode 0640,
// empty) exclusively; two backups started at once can therefore never pick
// the same name. The caller goes on to open that file (file_create empties
// it, which is harmless) and owns it from then on.
// Returns STATUS_INVALID for an empty name or one containing "/" or "\", for
// a time that cannot be converted, when a path does not fit (1,023
// characters, or the caller's capacity), or when the journal's file name
// (image file name + ".part") would be longer than a file name may be
// (NAME_MAX); STATUS_EXISTS when all 1,000
// names of that minute are taken; the mapped error when the reservation
// cannot be created (then *reserve, when given, tells the path and the
// errno, so that the caller can report a file that could not be created
// rather than a bad name). On failure both outputs hold "" (when their
// capacity is not 0) and nothing was created.
struct NameReservation {
  bool failed = false;                 // the name was good; creating its reservation failed
  int error = 0;                       // errno of that failure
  char path[STORE_PATH_SIZE + 8] = {};  // the temporary image that could not be created
};
[[nodiscard]] int32_t backup_paths(const char* dir, const char* name, uint8_t type, int64_t created,
                                   char* catalog_path, size_t catalog_cap, char* image_path, size_t image_cap,
                                   NameReservation* reserve = nullptr);

// True when file_name is at least 5 characters long and ends in ".infb",
// ".indb" or ".inib".
bool is_catalog_name(const char* file_name);

// x.infb -> x.csfb, x.indb -> x.csdb, x.inib -> x.csib. STATUS_INVALID when
// the path has no catalog extension or the result (with its NUL) does not
// fit cap; out then holds "" when cap is not 0.
[[nodiscard]] int32_t catalog_to_image_path(const char* catalog_path, char* out, size_t cap);

// True when name can be used as one file name inside a directory: not
// empty, no "/" or "\", and not "." or "..".
bool is_plain_file_name(const char* name);

// True when text ends with suffix.
bool ends_with(std::string_view text, std::string_view suffix);

}  // namespace orv
