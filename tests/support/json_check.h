// A strict check that a text is one flat JSON object as the diagnostics
// records are: string, integer, true, false and null values; strings in
// well-formed UTF-8 with every control byte escaped.
#pragma once

#include <cstddef>
#include <string_view>

namespace orv_support {

class FlatJsonCheck {
 public:
  explicit FlatJsonCheck(std::string_view text) : s_(text) {}

  bool valid_object() {
    if (!eat('{')) return false;
    if (eat('}')) return i_ == s_.size();
    for (;;) {
      if (!string() || !eat(':')) return false;
      if (peek() == '"') {
        if (!string()) return false;
      } else if (!literal("true") && !literal("false") && !literal("null") && !number()) {
        return false;
      }
      if (eat(',')) continue;
      return eat('}') && i_ == s_.size();
    }
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
    if (peek() == '-') ++i_;
    size_t start = i_;
    while (peek() >= '0' && peek() <= '9') ++i_;
    return i_ > start;
  }
  // Length of the well-formed UTF-8 sequence at i_, 0 when there is none.
  size_t utf8_length() const {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s_[i_ + k]); };
    size_t left = s_.size() - i_;
    unsigned char c = b(0);
    size_t len = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (len == 0 || left < len) return 0;
    for (size_t k = 1; k < len; ++k) {
      if ((b(k) & 0xC0) != 0x80) return 0;
    }
    if (len == 3 && c == 0xE0 && b(1) < 0xA0) return 0;  // overlong
    if (len == 3 && c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
    if (len == 4 && c == 0xF0 && b(1) < 0x90) return 0;  // overlong
    if (len == 4 && c == 0xF4 && b(1) >= 0x90) return 0;  // above U+10FFFF
    return len;
  }
  bool string() {
    if (!eat('"')) return false;
    while (i_ < s_.size()) {
      auto c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        ++i_;
        char e = peek();
        ++i_;
        if (e == 'u') {
          for (int k = 0; k < 4; ++k, ++i_) {
            char h = peek();
            bool hex = (h >= '0' && h <= '9') || (h >= 'a' && h <= 'f') || (h >= 'A' && h <= 'F');
            if (!hex) return false;
          }
        } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos || e == '\0') {
          return false;
        }
        continue;
      }
      size_t len = utf8_length();
      if (len == 0) return false;
      i_ += len;
    }
    return false;
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace orv_support
