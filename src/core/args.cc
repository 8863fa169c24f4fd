#include "core/args.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/status.h"

namespace orv {

const char* opt_value_after_equals(const char* arg, const char* name) {
  size_t n = strlen(name);
  if (strncmp(arg, name, n) == 0 && arg[n] == '=') return arg + n + 1;
  return nullptr;
}

bool opt_equals(const char* arg, const char* name) {
  return name != nullptr && strcmp(arg, name) == 0;
}

const char* opt_value(int argc, const char* const* argv, const char* long_name, const char* alias,
                      const char* def) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const char* v = opt_value_after_equals(arg, long_name);
    if (v != nullptr) return v;
    if (opt_equals(arg, long_name) || opt_equals(arg, alias)) return i + 1 < argc ? argv[i + 1] : def;
  }
  return def;
}

int opt_flag(int argc, const char* const* argv, const char* long_name, const char* alias) {
  for (int i = 1; i < argc; ++i) {
    if (opt_equals(argv[i], long_name) || opt_equals(argv[i], alias)) return 1;
  }
  return 0;
}

int32_t parse_size(const char* text, unsigned accepts, uint64_t* out) {
  *out = 0;
  if (text == nullptr || text[0] < '0' || text[0] > '9') return STATUS_INVALID;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno != 0) return STATUS_INVALID;
  unsigned shift = 0;
  switch (*end) {
    case '\0': break;
    case 'k': case 'K': shift = 10; break;
    case 'm': case 'M': shift = 20; break;
    case 'g': case 'G': shift = 30; break;
    case 't': case 'T':
      if ((accepts & SIZE_TERA) == 0) return STATUS_INVALID;
      shift = 40;
      break;
    default: return STATUS_INVALID;
  }
  if (shift != 0) {
    ++end;
    bool unit_word = strcmp(end, "B") == 0 || strcmp(end, "iB") == 0;
    if (*end != '\0' && !(unit_word && (accepts & SIZE_UNIT_WORDS) != 0)) return STATUS_INVALID;
    if (v > (UINT64_MAX >> shift)) return STATUS_INVALID;
  }
  *out = static_cast<uint64_t>(v) << shift;
  return STATUS_OK;
}

void set_error_text(char* error, size_t size, const char* format, ...) {
  if (size == 0) return;
  va_list ap;
  va_start(ap, format);
  vsnprintf(error, size, format, ap);
  va_end(ap);
}

}  // namespace orv
