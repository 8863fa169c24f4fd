// Access-control list: maps API keys (kept only as SHA-256 digests) to the
// storage sub-directories an agent holding the key may use.
//
// File format, one entry per line: "<api_key> <dir1>[,<dir2>,...]", with #
// comments. Each dir is a shell-style glob in which '*', '?' and brackets
// never match '/'; a trailing "/**" (or the bare "**") allows any depth.
#pragma once

#include <cstddef>
#include <cstdint>

#include "integrity/sha256.h"

namespace orv {

inline constexpr size_t ACL_MAX_PATTERNS = 8;
inline constexpr size_t ACL_PATTERN_SIZE = 64;  // at most 63 characters
inline constexpr size_t ACL_LINE_SIZE = 1024;

struct AclEntry {
  uint8_t key_digest[SHA256_DIGEST_SIZE];
  char patterns[ACL_MAX_PATTERNS][ACL_PATTERN_SIZE];
  uint32_t pattern_count;  // 1 to ACL_MAX_PATTERNS
};

// Loads the file. On success *out_table (null for an empty file) and
// *out_count are the caller's, released with acl_free. STATUS_NOT_FOUND when
// the file cannot be opened, STATUS_NOMEM, or STATUS_INVALID for any
// malformed line and for a line longer than ACL_LINE_SIZE - 1 characters
// without its line end (logged at ERROR with its line number); on failure
// nothing is kept and the outputs are null/0.
// A table is immutable once loaded and may be read by any number of threads.
[[nodiscard]] int32_t acl_load(const char* path, AclEntry** out_table, size_t* out_count);
void acl_free(AclEntry* table);

// The first entry whose digest equals `digest` (32 bytes), or null.
const AclEntry* acl_find_key(const AclEntry* table, size_t count, const uint8_t* digest);

// True when entry allows the sub-directory text (never for a null entry or
// an unsafe text).
bool acl_permits(const AclEntry* entry, const char* subdir);

// True for a relative path whose components are all non-empty, not "." or
// "..", and free of backslashes.
bool subdir_is_safe(const char* text);

// Comment rule for a line of configuration text: returns the length of the
// line before its comment (trailing CR/LF excluded), or -1 for broken
// quoting. A '#' or ';' starts a comment at the start of the line or after a
// blank; after the first '=', a value in double or single quotes may hold
// comment characters, and only blanks and a comment may follow it.
[[nodiscard]] long config_cut_comment(const char* line);

}  // namespace orv
