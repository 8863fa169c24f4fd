// Logical-volume operations through the LVM command-line tools (lvs,
// lvcreate, lvremove), found through PATH and run by run_command without a
// shell. Names are validated before anything runs. Called only from the
// single-threaded privileged parent.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

inline constexpr size_t LV_NAME_FIELD = 128;     // vg_name, lv_name, origin
inline constexpr size_t LV_ATTR_FIELD = 16;
inline constexpr size_t LV_SEGTYPE_FIELD = 32;
inline constexpr size_t LV_NAME_MAX = 126;       // longest valid name
inline constexpr size_t LV_PATH_MAX = 299;       // "VG/LV" argument
inline constexpr size_t LVS_LINE_MAX = 1023;     // longest lvs line parsed

// Time-outs and capture buffers (including the NUL) of the tool runs.
inline constexpr uint32_t LVM_QUERY_TIMEOUT_SEC = 30;
inline constexpr uint32_t LVM_CREATE_TIMEOUT_SEC = 120;
inline constexpr uint32_t LVM_REMOVE_TIMEOUT_SEC = 60;
inline constexpr size_t LVM_QUERY_OUTPUT = 2048;
inline constexpr size_t LVM_CREATE_OUTPUT = 1024;
inline constexpr size_t LVM_REMOVE_OUTPUT = 256;

inline constexpr const char* LVM_INVALID_NAME_TEXT = "invalid volume group or logical volume name";
inline constexpr const char* LVM_NOT_INSTALLED_TEXT = "the lvm tools (lvs) are not installed";

// One parsed lvs line.
struct LvInfo {
  char vg_name[LV_NAME_FIELD];
  char lv_name[LV_NAME_FIELD];
  char lv_attr[LV_ATTR_FIELD];
  char segtype[LV_SEGTYPE_FIELD];
  char origin[LV_NAME_FIELD];
  uint64_t lv_size;      // bytes
  int64_t kernel_major;  // -1 when lvs prints no number
  int64_t kernel_minor;  // -1 when lvs prints no number
};

// 1..126 characters; the first an ASCII letter or digit, the rest letters,
// digits or one of "+-._". Null is invalid.
bool lv_name_valid(const char* name);

// Size argument of lvcreate: size_bytes in KiB rounded up, at least 1 ("%lluK").
uint64_t lvm_size_kib(uint64_t size_bytes);

// lvcreate -y -n LV -L <KiB>K VG, given timeout_sec seconds. Returns 0 or
// -1 with error_text filled (when error_text is given).
[[nodiscard]] int lvm_create(const char* vg_name, const char* lv_name, uint64_t size_bytes,
                             char* error_text, size_t error_size,
                             uint32_t timeout_sec = LVM_CREATE_TIMEOUT_SEC);

// lvremove -f -y VG/LV. Returns 0 or -1 with error_text filled.
[[nodiscard]] int lvm_remove(const char* vg_name, const char* lv_name, char* error_text,
                             size_t error_size);

// lvs for VG/LV. Returns 0 (found, *out_info filled), 1 (not found or not
// answerable; error_text may say why) or -1 (the tools are missing).
[[nodiscard]] int lvm_query(const char* vg_name, const char* lv_name, LvInfo* out_info,
                            char* error_text, size_t error_size);

// lvs -o lv_tags for VG/LV. Returns 1 when tag occurs in the output, 0 when
// not, -1 on failure (error_text filled).
[[nodiscard]] int lvm_has_tag(const char* vg_name, const char* lv_name, const char* tag,
                              char* error_text, size_t error_size);

// Parses one "|"-separated lvs line of eight fields (vg, lv, attr, size,
// segtype, origin, major, minor) into *out. Returns 0 or -1.
[[nodiscard]] int lvs_parse_line(const char* line, LvInfo* out);

}  // namespace orv
