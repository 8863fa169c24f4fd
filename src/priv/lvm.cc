#include "priv/lvm.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/text.h"
#include "priv/subprocess.h"

namespace orv {

namespace {

void set_error(char* error_text, size_t error_size, const char* text) {
  if (error_text != nullptr && error_size > 0) copy_text(error_text, error_size, text);
}

bool ascii_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool empty_name(const char* s) { return s == nullptr || s[0] == '\0'; }

// Splits s at the first occurrence of sep: returns s and moves *rest past the
// separator, or sets *rest to null when there is none.
char* split_at(char* s, char sep, char** rest) {
  char* p = strchr(s, sep);
  if (p == nullptr) {
    *rest = nullptr;
  } else {
    *p = '\0';
    *rest = p + 1;
  }
  return s;
}

char* trim(char* s) {
  while (*s != '\0' && isspace(static_cast<unsigned char>(*s))) ++s;
  size_t n = strlen(s);
  while (n > 0 && isspace(static_cast<unsigned char>(s[n - 1]))) s[--n] = '\0';
  return s;
}

// Leading decimal digits of s; false when there are none or they overflow.
bool parse_u64(const char* s, uint64_t* out) {
  uint64_t v = 0;
  size_t i = 0;
  for (; s[i] >= '0' && s[i] <= '9'; ++i) {
    uint64_t d = static_cast<uint64_t>(s[i] - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  if (i == 0) return false;
  *out = v;
  return true;
}

// Signed decimal; an empty field or one without digits gives -1.
int64_t parse_kernel_number(const char* s) {
  bool negative = *s == '-';
  uint64_t v = 0;
  if (!parse_u64(negative ? s + 1 : s, &v) || v > static_cast<uint64_t>(INT64_MAX)) return -1;
  return negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
}

// "VG/LV" into buf; false when it does not fit in LV_PATH_MAX characters.
bool format_vg_lv(char (&buf)[LV_PATH_MAX + 1], const char* vg_name, const char* lv_name) {
  int n = snprintf(buf, sizeof buf, "%s/%s", vg_name, lv_name);
  return n > 0 && static_cast<size_t>(n) <= LV_PATH_MAX;
}

}  // namespace

bool lv_name_valid(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  size_t n = strlen(name);
  if (n > LV_NAME_MAX) return false;
  if (!ascii_alnum(name[0])) return false;
  for (size_t i = 1; i < n; ++i) {
    char c = name[i];
    if (!ascii_alnum(c) && c != '+' && c != '-' && c != '.' && c != '_') return false;
  }
  return true;
}

uint64_t lvm_size_kib(uint64_t size_bytes) {
  // Written so that sizes near 2^64 do not wrap to 0.
  uint64_t kib = size_bytes / 1024 + (size_bytes % 1024 != 0 ? 1 : 0);
  return kib == 0 ? 1 : kib;
}

int lvm_create(const char* vg_name, const char* lv_name, uint64_t size_bytes, char* error_text,
               size_t error_size, uint32_t timeout_sec) {
  if (!lv_name_valid(vg_name) || !lv_name_valid(lv_name)) {
    set_error(error_text, error_size, LVM_INVALID_NAME_TEXT);
    return -1;
  }
  char size_arg[32];
  snprintf(size_arg, sizeof size_arg, "%lluK", static_cast<unsigned long long>(lvm_size_kib(size_bytes)));
  const char* argv[] = {"lvcreate", "-y", "-n", lv_name, "-L", size_arg, vg_name, nullptr};

  char output[LVM_CREATE_OUTPUT];
  RunResult rr;
  int rc = run_command(argv, nullptr, timeout_sec, output, sizeof output, &rr);
  if (rc == 0 && rr.exit_code == 0) return 0;
  if (rc != 0) output[0] = '\0';
  // The tool's output is quoted as it was written, trailing line ends
  // included; only its length is bounded.
  if (error_text != nullptr && error_size > 0) {
    if (output[0] != '\0') {
      snprintf(error_text, error_size, "could not create LV %s/%s: %.400s", vg_name, lv_name, output);
    } else {
      copy_text(error_text, error_size, "lvcreate failed");
    }
  }
  return -1;
}

int lvm_remove(const char* vg_name, const char* lv_name, char* error_text, size_t error_size) {
  char vg_lv[LV_PATH_MAX + 1];
  if (!lv_name_valid(vg_name) || !lv_name_valid(lv_name) || !format_vg_lv(vg_lv, vg_name, lv_name)) {
    set_error(error_text, error_size, LVM_INVALID_NAME_TEXT);
    return -1;
  }
  const char* argv[] = {"lvremove", "-f", "-y", vg_lv, nullptr};

  char output[LVM_REMOVE_OUTPUT];
  RunResult rr;
  int rc = run_command(argv, nullptr, LVM_REMOVE_TIMEOUT_SEC, output, sizeof output, &rr);
  if (rc == 0 && rr.exit_code == 0) return 0;
  if (rc != 0) output[0] = '\0';
  if (error_text != nullptr && error_size > 0) {
    if (output[0] != '\0') {
      snprintf(error_text, error_size, "could not remove LV %s: %.400s", vg_lv, output);
    } else {
      copy_text(error_text, error_size, "lvremove failed");
    }
  }
  return -1;
}

int lvm_query(const char* vg_name, const char* lv_name, LvInfo* out_info, char* error_text,
              size_t error_size) {
  if (empty_name(vg_name) || empty_name(lv_name)) return 1;
  // The names become one argument of lvs; a name the tools could read as an
  // option or a path never reaches them.
  char vg_lv[LV_PATH_MAX + 1];
  if (!lv_name_valid(vg_name) || !lv_name_valid(lv_name) || !format_vg_lv(vg_lv, vg_name, lv_name)) {
    set_error(error_text, error_size, LVM_INVALID_NAME_TEXT);
    return 1;
  }
  const char* argv[] = {"lvs", "--noheadings", "--separator", "|", "--units", "b", "--nosuffix", "-o",
                        "vg_name,lv_name,lv_attr,lv_size,segtype,origin,lv_kernel_major,lv_kernel_minor",
                        vg_lv, nullptr};

  char output[LVM_QUERY_OUTPUT];
  RunResult rr;
  int rc = run_command(argv, nullptr, LVM_QUERY_TIMEOUT_SEC, output, sizeof output, &rr);
  if (rc == 0 && rr.exit_code == RUN_EXIT_NOT_FOUND) {
    set_error(error_text, error_size, LVM_NOT_INSTALLED_TEXT);
    return -1;
  }
  if (rc != 0 || rr.exit_code != 0) return 1;

  char* rest = output;
  while (rest != nullptr) {
    char* line = split_at(rest, '\n', &rest);
    LvInfo info;
    if (lvs_parse_line(line, &info) == 0) {
      if (out_info != nullptr) *out_info = info;
      return 0;
    }
  }
  if (error_text != nullptr && error_size > 0) {
    snprintf(error_text, error_size, "%s/%s not found", vg_name, lv_name);
  }
  return 1;
}

int lvm_has_tag(const char* vg_name, const char* lv_name, const char* tag, char* error_text,
                size_t error_size) {
  if (empty_name(vg_name) || empty_name(lv_name) || empty_name(tag)) return -1;
  char vg_lv[LV_PATH_MAX + 1];
  if (!lv_name_valid(vg_name) || !lv_name_valid(lv_name) || !format_vg_lv(vg_lv, vg_name, lv_name)) {
    set_error(error_text, error_size, LVM_INVALID_NAME_TEXT);
    return -1;
  }
  const char* argv[] = {"lvs", "--noheadings", "-o", "lv_tags", vg_lv, nullptr};

  char output[LVM_QUERY_OUTPUT];
  RunResult rr;
  int rc = run_command(argv, nullptr, LVM_QUERY_TIMEOUT_SEC, output, sizeof output, &rr);
  if (rc == 0 && rr.exit_code == 0) return strstr(output, tag) != nullptr ? 1 : 0;
  set_error(error_text, error_size,
            rc == 0 && rr.exit_code == RUN_EXIT_NOT_FOUND ? LVM_NOT_INSTALLED_TEXT : "no such logical volume");
  return -1;
}

int lvs_parse_line(const char* line, LvInfo* out) {
  if (line == nullptr || out == nullptr) return -1;
  size_t len = strnlen(line, LVS_LINE_MAX + 1);
  if (len > LVS_LINE_MAX) return -1;
  char copy[LVS_LINE_MAX + 1];
  memcpy(copy, line, len);
  copy[len] = '\0';

  constexpr int kFields = 8;
  char* field[kFields];
  char* rest = copy;
  for (int i = 0; i < kFields; ++i) {
    if (rest == nullptr) return -1;  // fewer than seven separators
    field[i] = trim(split_at(rest, '|', &rest));
  }
  // Anything after an eighth separator is ignored.

  const char* vg = field[0];
  const char* lv = field[1];
  const char* attr = field[2];
  if (vg[0] == '\0' || lv[0] == '\0' || attr[0] == '\0') return -1;
  uint64_t size = 0;
  if (!parse_u64(field[3], &size)) return -1;

  LvInfo info;
  memset(&info, 0, sizeof info);
  copy_text(info.vg_name, sizeof info.vg_name, vg);
  copy_text(info.lv_name, sizeof info.lv_name, lv);
  copy_text(info.lv_attr, sizeof info.lv_attr, attr);
  info.lv_size = size;
  copy_text(info.segtype, sizeof info.segtype, field[4]);
  copy_text(info.origin, sizeof info.origin, field[5]);
  info.kernel_major = parse_kernel_number(field[6]);
  info.kernel_minor = parse_kernel_number(field[7]);
  *out = info;
  return 0;
}

}  // namespace orv
