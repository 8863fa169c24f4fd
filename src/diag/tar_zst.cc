#include "diag/tar_zst.h"

#include <zstd.h>

#include <cstdio>
#include <cstring>
#include <span>

#include "core/text.h"

namespace orv {
namespace {

// ustar header block, 512 bytes:
//
//   offset | size | field     | content
//   -------+------+-----------+------------------------------------------------
//        0 |  100 | name      | member name, NUL-padded (a 100-byte name has no NUL)
//      100 |    8 | mode      | "0000644" NUL
//      108 |    8 | uid       | "0000000" NUL
//      116 |    8 | gid       | "0000000" NUL
//      124 |   12 | size      | 11 octal digits of the data length, NUL
//      136 |   12 | mtime     | "00000000000" NUL
//      148 |    8 | chksum    | 6 octal digits, NUL, space
//      156 |    1 | typeflag  | '0' (regular file)
//      157 |  100 | linkname  | zeros
//      257 |    6 | magic     | "ustar" NUL
//      263 |    2 | version   | "00"
//      265 |   32 | uname     | "root", NUL-padded
//      297 |   32 | gname     | "root", NUL-padded
//      329 |    8 | devmajor  | zeros
//      337 |    8 | devminor  | zeros
//      345 |  155 | prefix    | zeros
//      500 |   12 | padding   | zeros
//
// The checksum is the sum of all 512 bytes as unsigned values, taken while
// the chksum field holds eight spaces.
inline constexpr size_t TAR_BLOCK = 512;
inline constexpr size_t H_NAME = 0, H_NAME_LEN = 100;
inline constexpr size_t H_MODE = H_NAME + H_NAME_LEN, H_MODE_LEN = 8;
inline constexpr size_t H_UID = H_MODE + H_MODE_LEN, H_UID_LEN = 8;
inline constexpr size_t H_GID = H_UID + H_UID_LEN, H_GID_LEN = 8;
inline constexpr size_t H_SIZE = H_GID + H_GID_LEN, H_SIZE_LEN = 12;
inline constexpr size_t H_MTIME = H_SIZE + H_SIZE_LEN, H_MTIME_LEN = 12;
inline constexpr size_t H_CHKSUM = H_MTIME + H_MTIME_LEN, H_CHKSUM_LEN = 8;
inline constexpr size_t H_TYPEFLAG = H_CHKSUM + H_CHKSUM_LEN, H_TYPEFLAG_LEN = 1;
inline constexpr size_t H_LINKNAME = H_TYPEFLAG + H_TYPEFLAG_LEN, H_LINKNAME_LEN = 100;
inline constexpr size_t H_MAGIC = H_LINKNAME + H_LINKNAME_LEN, H_MAGIC_LEN = 6;
inline constexpr size_t H_VERSION = H_MAGIC + H_MAGIC_LEN, H_VERSION_LEN = 2;
inline constexpr size_t H_UNAME = H_VERSION + H_VERSION_LEN, H_UNAME_LEN = 32;
inline constexpr size_t H_GNAME = H_UNAME + H_UNAME_LEN, H_GNAME_LEN = 32;
inline constexpr size_t H_DEVMAJOR = H_GNAME + H_GNAME_LEN, H_DEVMAJOR_LEN = 8;
inline constexpr size_t H_DEVMINOR = H_DEVMAJOR + H_DEVMAJOR_LEN, H_DEVMINOR_LEN = 8;
inline constexpr size_t H_PREFIX = H_DEVMINOR + H_DEVMINOR_LEN, H_PREFIX_LEN = 155;
inline constexpr size_t H_PADDING = H_PREFIX + H_PREFIX_LEN, H_PADDING_LEN = 12;
static_assert(H_MODE == 100 && H_SIZE == 124 && H_MTIME == 136 && H_CHKSUM == 148);
static_assert(H_TYPEFLAG == 156 && H_MAGIC == 257 && H_VERSION == 263 && H_UNAME == 265);
static_assert(H_GNAME == 297 && H_DEVMAJOR == 329 && H_PREFIX == 345 && H_PADDING == 500);
static_assert(H_PADDING + H_PADDING_LEN == TAR_BLOCK);
static_assert(TAR_NAME_MAX == H_NAME_LEN);
// The largest member length fits the 11 octal digits of the size field.
static_assert(TAR_MAX_MEMBER_SIZE < (uint64_t{1} << 33));
// The end of an archive: two blocks of zeros.
inline constexpr size_t TAR_TRAILER = 2 * TAR_BLOCK;

void set_error(char* err, size_t err_size, const char* format, const char* arg) {
  if (err == nullptr || err_size == 0) return;
  snprintf(err, err_size, format, arg);
}

// Writes value as `digits` zero-padded octal digits followed by a NUL.
void put_octal(std::span<uint8_t> b, size_t off, size_t width, int digits,
               unsigned long long value) {
  char tmp[24];
  int n = snprintf(tmp, sizeof tmp, "%0*llo", digits, value);
  if (n < 0 || static_cast<size_t>(n) >= width) n = static_cast<int>(width) - 1;
  memcpy(b.data() + off, tmp, static_cast<size_t>(n));
  b[off + static_cast<size_t>(n)] = 0;
}

void encode_header(std::span<uint8_t> h, const char* name, size_t name_len, size_t data_len) {
  memset(h.data(), 0, TAR_BLOCK);
  memcpy(h.data() + H_NAME, name, name_len);  // a full 100-byte name keeps no NUL
  put_octal(h, H_MODE, H_MODE_LEN, 7, 0644);
  put_octal(h, H_UID, H_UID_LEN, 7, 0);
  put_octal(h, H_GID, H_GID_LEN, 7, 0);
  put_octal(h, H_SIZE, H_SIZE_LEN, 11, data_len);
  put_octal(h, H_MTIME, H_MTIME_LEN, 11, 0);
  h[H_TYPEFLAG] = '0';
  memcpy(h.data() + H_MAGIC, "ustar", H_MAGIC_LEN);  // with its NUL
  memcpy(h.data() + H_VERSION, "00", H_VERSION_LEN);
  put_text_field(h, H_UNAME, H_UNAME_LEN, "root");
  put_text_field(h, H_GNAME, H_GNAME_LEN, "root");

  memset(h.data() + H_CHKSUM, ' ', H_CHKSUM_LEN);
  unsigned sum = 0;
  for (uint8_t byte : h.first(TAR_BLOCK)) sum += byte;
  put_octal(h, H_CHKSUM, H_CHKSUM_LEN, 6, sum);  // six digits and NUL ...
  h[H_CHKSUM + 7] = ' ';                         // ... then one space
}

// The uncompressed archive: one buffer that starts at TAR_INITIAL_CAPACITY
// and doubles until the next piece fits.
class ArchiveBuffer {
 public:
  // Makes room for n more bytes; false when memory runs out.
  [[nodiscard]] bool reserve(size_t n) {
    if (n > SIZE_MAX - len_) return false;
    size_t need = len_ + n;
    if (need <= cap_) return true;
    size_t cap = cap_ == 0 ? TAR_INITIAL_CAPACITY : cap_;
    while (cap < need) {
      if (cap > SIZE_MAX / 2) return false;
      cap *= 2;
    }
    void* grown = realloc(data_.get(), cap);
    if (grown == nullptr) return false;
    (void)data_.release();  // now owned through `grown`
    data_.reset(static_cast<uint8_t*>(grown));
    cap_ = cap;
    return true;
  }

  // Room for n bytes at the end, zero-filled; reserve() must have made it.
  std::span<uint8_t> extend_zeroed(size_t n) {
    std::span<uint8_t> piece(data_.get() + len_, n);
    memset(piece.data(), 0, n);
    len_ += n;
    return piece;
  }

  void append(const uint8_t* src, size_t n) {
    if (n > 0) memcpy(data_.get() + len_, src, n);
    len_ += n;
  }

  std::span<const uint8_t> bytes() const { return {data_.get(), len_}; }

 private:
  MallocBytes data_;
  size_t len_ = 0;
  size_t cap_ = 0;
};

}  // namespace

int32_t tar_zst_build(const TarMember* members, size_t count, int level, uint8_t** out_data,
                      size_t* out_len, char* err, size_t err_size) {
  *out_data = nullptr;
  *out_len = 0;

  if (count > TAR_MAX_MEMBERS) {
    set_error(err, err_size, "%s", "too many files for a diagnostics archive");
    return -1;
  }
  for (size_t i = 0; i < count; ++i) {
    if (members[i].len > TAR_MAX_MEMBER_SIZE) {
      const char* name = members[i].name != nullptr ? members[i].name : "";
      set_error(err, err_size, "%s is too large for a diagnostics archive", name);
      return -1;
    }
  }

  static const char* const kNoMemory = "out of memory building the archive";
  ArchiveBuffer archive;
  for (size_t i = 0; i < count; ++i) {
    const TarMember& m = members[i];
    const char* name = m.name != nullptr ? m.name : "";
    size_t name_len = strnlen(name, TAR_NAME_MAX + 1);
    if (name_len == 0 || name_len > TAR_NAME_MAX) {
      set_error(err, err_size, "archive path too long: %s", name);
      return -1;
    }
    size_t padding = (TAR_BLOCK - m.len % TAR_BLOCK) % TAR_BLOCK;
    if (!archive.reserve(TAR_BLOCK + m.len + padding)) {
      set_error(err, err_size, "%s", kNoMemory);
      return -1;
    }
    encode_header(archive.extend_zeroed(TAR_BLOCK), name, name_len, m.len);
    archive.append(m.data, m.len);
    (void)archive.extend_zeroed(padding);  // zero fill up to the next block
  }
  if (!archive.reserve(TAR_TRAILER)) {
    set_error(err, err_size, "%s", kNoMemory);
    return -1;
  }
  (void)archive.extend_zeroed(TAR_TRAILER);  // the two end-of-archive blocks

  std::span<const uint8_t> tar = archive.bytes();
  size_t bound = ZSTD_compressBound(tar.size());
  MallocBytes compressed(static_cast<uint8_t*>(malloc(bound)));
  if (compressed == nullptr) {
    set_error(err, err_size, "%s", "out of memory compressing the archive");
    return -1;
  }
  size_t clen = ZSTD_compress(compressed.get(), bound, tar.data(), tar.size(), level);
  if (ZSTD_isError(clen)) {
    set_error(err, err_size, "%s", "compression failed");
    return -1;
  }
  *out_len = clen;
  *out_data = compressed.release();
  return 0;
}

}  // namespace orv
