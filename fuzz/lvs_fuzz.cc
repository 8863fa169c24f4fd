// The lvs line parser on arbitrary text. The parser copies the line into a
// fixed buffer and cuts it into eight fields; the checks below hold for
// every input: lines that are too long or have fewer than seven "|" are
// refused, and a line that parses yields NUL-terminated fields whose first
// three are the line's first three fields, trimmed (and cut to their sizes),
// and a size that is the fourth field's decimal value.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "priv/lvm.h"

namespace {

std::string trimmed(const std::string& s) {
  size_t a = 0;
  size_t b = s.size();
  while (a < b && isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  return s.substr(a, b - a);
}

bool terminated(const char* field, size_t size) { return memchr(field, '\0', size) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  line = line.substr(0, line.find('\0'));  // the parser sees a C string

  orv::LvInfo info;
  memset(&info, 0xA5, sizeof info);
  int rc = orv::lvs_parse_line(line.c_str(), &info);
  int again = orv::lvs_parse_line(line.c_str(), &info);
  FUZZ_CHECK(rc == again);

  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t bar = line.find('|', start);
    fields.push_back(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  if (line.size() > orv::LVS_LINE_MAX || fields.size() < 8) {
    FUZZ_CHECK(rc == -1);
    return 0;
  }
  if (rc != 0) return 0;

  FUZZ_CHECK(terminated(info.vg_name, sizeof info.vg_name));
  FUZZ_CHECK(terminated(info.lv_name, sizeof info.lv_name));
  FUZZ_CHECK(terminated(info.lv_attr, sizeof info.lv_attr));
  FUZZ_CHECK(terminated(info.segtype, sizeof info.segtype));
  FUZZ_CHECK(terminated(info.origin, sizeof info.origin));
  FUZZ_CHECK(info.vg_name[0] != '\0' && info.lv_name[0] != '\0' && info.lv_attr[0] != '\0');
  FUZZ_CHECK(trimmed(fields[0]).substr(0, sizeof info.vg_name - 1) == info.vg_name);
  FUZZ_CHECK(trimmed(fields[1]).substr(0, sizeof info.lv_name - 1) == info.lv_name);
  FUZZ_CHECK(trimmed(fields[2]).substr(0, sizeof info.lv_attr - 1) == info.lv_attr);
  FUZZ_CHECK(trimmed(fields[5]).substr(0, sizeof info.origin - 1) == info.origin);

  std::string sz = trimmed(fields[3]);
  unsigned __int128 v = 0;
  size_t digits = 0;
  while (digits < sz.size() && sz[digits] >= '0' && sz[digits] <= '9' && v <= UINT64_MAX) {
    v = v * 10 + static_cast<unsigned>(sz[digits] - '0');
    ++digits;
  }
  FUZZ_CHECK(digits > 0 && v <= UINT64_MAX);
  FUZZ_CHECK(info.lv_size == static_cast<uint64_t>(v));
  if (trimmed(fields[6]).empty()) FUZZ_CHECK(info.kernel_major == -1);
  if (trimmed(fields[7]).empty()) FUZZ_CHECK(info.kernel_minor == -1);
  return 0;
}
