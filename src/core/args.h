// Command-line lookups shared by every layer that reads its own options
// (the run log, the self-test, the program's modes).
//
// All lookups scan arguments 1..argc-1 and return pointers into argv; nothing
// is copied. None of them stops at a "--" argument.
#pragma once

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

}  // namespace orv
