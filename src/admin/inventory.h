// What a storage root holds, as the operator tool sees it: every directory
// below the root with the finished backups (catalog files), the partial
// backups (journals), the files that belong to nothing (images without a
// catalog, left-over ".tmp" files) and the entries that are not what their
// name says (links, directories or devices named like backup files).
//
// The walk reads each catalog's header once (header_read) and each journal's
// header and checkpoint (journal_read_header, journal_scan); it never opens
// anything that is not a regular file and never follows a symbolic link. It
// changes nothing. A server may write backups into the same directories
// meanwhile: a file that vanishes during the walk is left out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "admin/grow_array.h"
#include "integrity/uuid.h"
#include "protocol/formats.h"
#include "store/names.h"

namespace orv {

inline constexpr size_t ADMIN_FILE_NAME_SIZE = 256;  // one directory entry, with the NUL
inline constexpr uint32_t ADMIN_MAX_DEPTH = 32;      // directory levels below the root

struct AdminDir {
  char rel[STORE_PATH_SIZE];  // relative to the root; "" for the root itself
  char abs[STORE_PATH_SIZE];  // "<root>/<rel>"
  bool selected;              // matches --subdir (when given)
  bool unreadable_catalog;    // holds a catalog whose header cannot be read
  bool unreadable_journal;    // holds a journal whose header cannot be read
  // This directory's records: backups[backup_first .. backup_first+backup_count)
  // and the same for partials (each directory's records are contiguous).
  uint32_t backup_first;
  uint32_t backup_count;
  uint32_t partial_first;
  uint32_t partial_count;
};

// One catalog file.
struct AdminBackup {
  uint32_t dir;                            // index into Inventory::dirs
  char file[ADMIN_FILE_NAME_SIZE];         // catalog file name
  int32_t header_status;                   // header_read's result; the fields below need STATUS_OK
  Uuid uuid;
  Uuid parent_uuid;
  uint8_t type;
  char name[HDR_NAME_SIZE];
  int64_t created;
  int64_t expires;                         // 0: never
  uint64_t header_image_size;
  uint64_t entry_count;
  uint64_t catalog_bytes;                  // file size
  uint64_t image_bytes;                    // file size; 0 when missing
  bool image_present;                      // a regular file under the image name
  bool image_odd;                          // something else under the image name
};

// One journal (".part") and what its header says.
struct AdminPartial {
  uint32_t dir;
  char file[ADMIN_FILE_NAME_SIZE];         // journal file name
  bool readable;                           // header and payload read and checked
  Uuid uuid;
  Uuid parent_uuid;
  uint8_t type;
  char name[HDR_NAME_SIZE];
  char image_name[ADMIN_FILE_NAME_SIZE];   // from the header, or the journal name without ".part"
  uint64_t checkpoint_bytes;               // image bytes of the last valid checkpoint
  uint64_t bytes;                          // journal and temporary image
  int64_t age_seconds;                     // since the journal was last modified
};

enum class StrayKind : uint8_t {
  orphan_image,  // an image file without its catalog and without a journal naming it
  orphan_tmp,    // a ".tmp" file no journal names (a catalog write or a backup that left no journal)
  odd,           // a link, directory, device, ... under a backup file name, or any link
};

struct AdminStray {
  uint32_t dir;
  char file[ADMIN_FILE_NAME_SIZE];
  StrayKind kind;
  uint64_t bytes;
  int64_t changed;                         // the later of its last change and modification (Unix seconds)
  int64_t age_seconds;                     // since then, at the walk
  char what[96];                           // for odd entries: what it is
};

struct Inventory {
  GrowArray<AdminDir> dirs;
  GrowArray<AdminBackup> backups;
  GrowArray<AdminPartial> partials;
  GrowArray<AdminStray> strays;
  int64_t now = 0;
  // Directories that could not be listed below the root (their text is
  // printed by the walk); they make the run a failed one.
  uint32_t unreadable_dirs = 0;
};

// Subdirectory filter: a shell-style glob matched against the path relative
// to the root ('*' and '?' never match '/'); a trailing "/**" matches any
// depth below its prefix, and "**" alone matches everything. Null: every
// directory.
bool admin_subdir_matches(const char* glob, const char* rel);

// Walks root. With `headers` false, catalogs are listed by name and size
// only (no file is opened). Directories that do not match subdir_glob are
// walked through but not looked into. STATUS_NOT_FOUND or the mapped error
// when the root cannot be opened (message in error), STATUS_NOMEM; an
// unreadable directory below the root is counted, not fatal.
[[nodiscard]] int32_t inventory_load(const char* root, const char* subdir_glob, int64_t now, Inventory* inv,
                                     char* error, size_t error_size);

// Reads the journals of one directory again (just before deleting in it,
// so that a backup begun since the walk is seen): the parent_uuid of every
// journal into *parents. *unreadable is set when a journal cannot be read.
// STATUS_NOMEM, or the directory's listing failure.
[[nodiscard]] int32_t inventory_journal_parents(const char* dir_abs, GrowArray<Uuid>* parents, bool* unreadable);

// "<dir abs>/<file>" into out; false when it does not fit.
bool inventory_path(const Inventory& inv, uint32_t dir, const char* file, char* out, size_t cap);

// "full", "diff", "inc" or "other".
const char* admin_type_word(uint8_t type);

// Text of a header_read failure: "corrupt or incomplete header", ...
const char* admin_header_problem(int32_t status);

}  // namespace orv
