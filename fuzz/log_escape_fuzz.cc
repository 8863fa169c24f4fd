// The escaping of untrusted text for log lines, against a plain model.
//
// Input: one byte choosing the output size, then the text. The output must
// be the model's escaped text cut at a piece boundary (never inside an
// escape or a character), hold no control byte, no C1 control and nothing
// but well-formed UTF-8, and NUL-terminated within the buffer, which is
// allocated with exactly its size so a write past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/utf8.h"
#include "fuzz_support.h"

namespace {

// The model: the escaped pieces of text, by code point value.
std::vector<std::string> model_pieces(std::string_view text) {
  std::vector<std::string> pieces;
  orv_fuzz::JsonCheck utf8(text);
  size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    size_t len = c == 0 ? 1 : utf8.utf8_length(i);
    bool control = len == 1 && (c < 0x20 || c == 0x7F);
    bool c1 = len == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    if (len == 0 || control || c1) {
      size_t n = c1 ? 2 : 1;
      std::string esc;
      for (size_t k = 0; k < n; ++k) {
        char buf[8];
        snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(text[i + k]));
        esc += buf;
      }
      pieces.push_back(esc);
      i += n;
    } else {
      pieces.emplace_back(text.substr(i, len));
      i += len;
    }
  }
  return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t cap = data[0] == 0xFF ? 0 : data[0];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  char* out = new char[cap == 0 ? 1 : cap];
  if (cap == 0) out[0] = 'G';
  size_t len = orv::log_escape(text.data(), text.size(), out, cap);

  if (cap == 0) {
    FUZZ_CHECK(len == 0);
    FUZZ_CHECK(out[0] == 'G');
  } else {
    FUZZ_CHECK(len <= cap - 1);
    FUZZ_CHECK(out[len] == '\0');
    // The longest prefix of the model's pieces that fits.
    std::string expect;
    for (const std::string& p : model_pieces(text)) {
      if (expect.size() + p.size() > cap - 1) break;
      expect += p;
    }
    FUZZ_CHECK(std::string_view(out, len) == expect);
    orv_fuzz::JsonCheck check(std::string_view(out, len));
    for (size_t i = 0; i < len;) {
      auto c = static_cast<unsigned char>(out[i]);
      FUZZ_CHECK(c >= 0x20 && c != 0x7F);
      size_t n = check.utf8_length(i);
      FUZZ_CHECK(n != 0);
      FUZZ_CHECK(!(n == 2 && c == 0xC2 && static_cast<unsigned char>(out[i + 1]) < 0xA0));
      i += n;
    }
  }
  delete[] out;
  return 0;
}
