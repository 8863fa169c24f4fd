#include "core/args.h"

#include <cstring>

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

}  // namespace orv
