// Helpers shared by the fuzz targets: reading structured values from the
// fuzzer's bytes, a scratch directory per process, and a strict check of
// the JSON text the diagnostics writer produces.
//
// A finding is reported by fuzz_fail(), which prints the reason and aborts,
// so libFuzzer records the input as a crasher.
#pragma once

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace orv_fuzz {

[[noreturn]] inline void fuzz_fail(const char* what) {
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}

#define FUZZ_CHECK(cond)                                                   \
  do {                                                                     \
    if (!(cond)) ::orv_fuzz::fuzz_fail(#cond " (" __FILE__ ":" FUZZ_LINE_STR(__LINE__) ")"); \
  } while (0)
#define FUZZ_LINE_STR(x) FUZZ_LINE_STR2(x)
#define FUZZ_LINE_STR2(x) #x

// Takes values off the front of the input; once it runs dry every value is 0
// and every byte string empty, so a target never reads past the input.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), left_(size) {}
  size_t left() const { return left_; }
  bool empty() const { return left_ == 0; }
  uint8_t u8() {
    if (left_ == 0) return 0;
    --left_;
    return *p_++;
  }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
  uint64_t u64() { return static_cast<uint64_t>(u32()) | (static_cast<uint64_t>(u32()) << 32); }
  // Up to n bytes (fewer when the input ends).
  std::span<const uint8_t> bytes(size_t n) {
    if (n > left_) n = left_;
    std::span<const uint8_t> out(p_, n);
    p_ += n;
    left_ -= n;
    return out;
  }
  std::span<const uint8_t> rest() { return bytes(left_); }
  // Bytes up to (not including) the next `sep`, which is consumed.
  std::span<const uint8_t> until(uint8_t sep) {
    const void* hit = left_ > 0 ? memchr(p_, sep, left_) : nullptr;
    size_t n = hit != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - p_) : left_;
    std::span<const uint8_t> out = bytes(n);
    if (hit != nullptr) (void)u8();
    return out;
  }

 private:
  const uint8_t* p_;
  size_t left_;
};

inline std::string as_text(std::span<const uint8_t> b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

// A directory of this process for the target's files: under $ORV_FUZZ_TMP
// (scripts/fuzz points it at a RAM-backed directory it removes afterwards),
// else $TMPDIR, else /tmp. Created once; removed at exit.
inline int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  (void)remove(path);  // scratch files: a leftover is harmless
  return 0;
}
inline void remove_tree(const std::string& path) {
  (void)nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}
// Removes everything below path, keeping path itself.
inline void clear_dir(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (d == nullptr) return;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    remove_tree(path + "/" + e->d_name);
  }
  closedir(d);
}

inline const std::string& scratch_dir() {
  static std::string dir = [] {
    const char* base = getenv("ORV_FUZZ_TMP");
    if (base == nullptr || base[0] == '\0') base = getenv("TMPDIR");
    if (base == nullptr || base[0] == '\0') base = "/tmp";
    std::string tmpl = std::string(base) + "/orv_fuzz_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) fuzz_fail("cannot create the scratch directory");
    std::string made(buf.data());
    static std::string for_exit;
    for_exit = made;
    atexit([] { remove_tree(for_exit); });
    return made;
  }();
  return dir;
}

inline bool write_file(const std::string& path, std::span<const uint8_t> bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

// Names of the entries of a directory, without "." and "..".
inline std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> out;
  DIR* d = opendir(path.c_str());
  if (d == nullptr) return out;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    out.emplace_back(e->d_name);
  }
  closedir(d);
  return out;
}

// Strict check of one flat JSON object as the diagnostics writer makes it:
// members whose keys are strings and whose values are strings, integers,
// true, false or null. Strings may hold bytes 0x20 and up (0x7F and above
// unchanged) and the escapes \" \\ \r \t \n \uXXXX. On success *values
// receives the decoded string values and keys in order.
class JsonCheck {
 public:
  explicit JsonCheck(std::string_view text) : s_(text) {}

  bool object(std::vector<std::string>* strings) {
    if (!eat('{')) return false;
    if (eat('}')) return i_ == s_.size();
    for (;;) {
      std::string key;
      if (!string(&key) || !eat(':')) return false;
      strings->push_back(key);
      if (peek() == '"') {
        std::string v;
        if (!string(&v)) return false;
        strings->push_back(v);
      } else if (!literal("true") && !literal("false") && !literal("null") && !number()) {
        return false;
      }
      if (eat(',')) continue;
      return eat('}') && i_ == s_.size();
    }
  }

  // Strings must be well-formed UTF-8 with every control byte escaped. The
  // writer escapes a byte that is not part of well-formed UTF-8 as the code
  // point of the same value (\u0080..\u00ff); those decode back to the byte.
  bool string(std::string* out) {
    if (!eat('"')) return false;
    while (i_ < s_.size()) {
      auto c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;  // control bytes are always escaped
      if (c >= 0x80) {
        size_t len = utf8_length(i_ - 1);
        if (len == 0) return false;
        out->append(s_.data() + i_ - 1, len);
        i_ += len - 1;
        continue;
      }
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      if (i_ >= s_.size()) return false;
      char e = s_[i_++];
      switch (e) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'n': out->push_back('\n'); break;
        case 'u': {
          if (i_ + 4 > s_.size()) return false;
          unsigned v = 0;
          for (int k = 0; k < 4; ++k) {
            char h = s_[i_++];
            v <<= 4;
            if (h >= '0' && h <= '9') {
              v |= static_cast<unsigned>(h - '0');
            } else if (h >= 'a' && h <= 'f') {
              v |= static_cast<unsigned>(h - 'a' + 10);
            } else {
              return false;  // the writer uses lower-case hex only
            }
          }
          // Only control bytes and bytes outside well-formed UTF-8 are
          // escaped this way.
          if (v == 0 || (v >= 0x20 && v < 0x80) || v > 0xFF) return false;
          out->push_back(static_cast<char>(v));
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  // Length of the well-formed UTF-8 sequence at byte i of the text, by code
  // point value; 0 when it is not one.
  size_t utf8_length(size_t i) const {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s_[i + k]); };
    unsigned char c = b(0);
    size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || i + len > s_.size()) return 0;
    uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1Fu) : len == 3 ? (c & 0x0Fu) : (c & 0x07u);
    for (size_t k = 1; k < len; ++k) {
      if ((b(k) & 0xC0) != 0x80) return 0;
      cp = (cp << 6) | (b(k) & 0x3Fu);
    }
    static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
  }

 private:
  char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
  bool eat(char c) {
    if (peek() != c) return false;
    ++i_;
    return true;
  }
  bool literal(std::string_view w) {
    if (s_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }
  bool number() {
    size_t start = i_;
    if (peek() == '-') ++i_;
    size_t digits = i_;
    while (peek() >= '0' && peek() <= '9') ++i_;
    if (i_ == digits) return false;
    // No leading zeros except "0" itself.
    if (s_[digits] == '0' && i_ - digits > 1) return false;
    return i_ > start;
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace orv_fuzz
