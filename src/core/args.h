// Command-line lookups shared by every layer that reads its own options
// (the run log, the self-test, the program's modes).
//
// All lookups scan arguments 1..argc-1 and return pointers into argv; nothing
// is copied. None of them stops at a "--" argument.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

// Value of the first matching argument: "<long_name>=<value>" gives <value>;
// an argument equal to long_name or alias gives the next argument, whatever
// it holds, or def when there is none. No match gives def. A long name that
// is only a prefix of an argument ("--log" against "--log-path") does not
// match. alias may be null.
const char* opt_value(int argc, const char* const* argv, const char* long_name, const char* alias,
                      const char* def);

// 1 when some argument equals long_name or alias exactly, else 0. A flag
// written with "=" does not count.
int opt_flag(int argc, const char* const* argv, const char* long_name, const char* alias);

// When arg is "<name>=<value>", returns a pointer to <value>; else null.
const char* opt_value_after_equals(const char* arg, const char* name);

// True when name is not null and arg equals it.
bool opt_equals(const char* arg, const char* name);

// What a size option accepts beyond "<digits>[K|M|G]" (binary suffixes,
// either case): SIZE_TERA adds T (2^40), SIZE_UNIT_WORDS lets "B" or "iB"
// follow a suffix ("4MB", "4MiB").
inline constexpr unsigned SIZE_BASIC = 0;
inline constexpr unsigned SIZE_TERA = 1u << 0;
inline constexpr unsigned SIZE_UNIT_WORDS = 1u << 1;
inline constexpr unsigned SIZE_ALL_FORMS = SIZE_TERA | SIZE_UNIT_WORDS;

// A size in bytes: decimal digits (no sign, no blank) and an optional
// suffix, as `accepts` allows. STATUS_INVALID for any other text, for null
// and for a value that does not fit 64 bits; *out is then 0.
[[nodiscard]] int32_t parse_size(const char* text, unsigned accepts, uint64_t* out);

// Writes a one-line error text into error (size bytes, cut to fit and
// NUL-terminated); nothing when size is 0.
void set_error_text(char* error, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

}  // namespace orv
