// The JSON writer with arbitrary bytes in keys and values and arbitrary
// buffer sizes.
//
// Every sequence of calls is made twice: into a buffer of the fuzzed size
// (allocated with exactly that many bytes, so a write past it is caught) and
// into one large enough for everything. The bounded text must always be
// the unbounded one cut to cap - 1 bytes, NUL-terminated; a zero-sized
// buffer is never touched. When the calls form a record (begin, members,
// end), the unbounded text must be one valid JSON object whose keys and
// string values decode back to the bytes that were given.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/json.h"
#include "fuzz_support.h"

using orv_fuzz::JsonCheck;
using orv_fuzz::Reader;

namespace {

constexpr size_t kBigCap = 1 << 20;

enum Op : uint8_t { ADD_STRING, ADD_NULL, ADD_U64, ADD_I64, ADD_BOOL, RAW_APPEND, RAW_STRING, RAW_BEGIN, RAW_END, OP_COUNT };

struct Call {
  Op op;
  std::string key;
  std::string value;  // strings and raw bytes
  uint64_t number;
};

void apply(orv::JsonWriter* w, const Call& c) {
  switch (c.op) {
    case ADD_STRING: orv::json_add_string(w, c.key.c_str(), c.value.c_str()); break;
    case ADD_NULL: orv::json_add_string(w, c.key.c_str(), nullptr); break;
    case ADD_U64: orv::json_add_u64(w, c.key.c_str(), c.number); break;
    case ADD_I64: orv::json_add_i64(w, c.key.c_str(), static_cast<int64_t>(c.number)); break;
    case ADD_BOOL: orv::json_add_bool(w, c.key.c_str(), static_cast<int>(c.number & 0xFF) - 1); break;
    case RAW_APPEND: orv::json_append(w, c.value.data(), c.value.size()); break;
    case RAW_STRING: orv::json_write_string(w, c.value.c_str()); break;
    case RAW_BEGIN: orv::json_begin_object(w); break;
    case RAW_END: orv::json_end_object(w); break;
    default: break;
  }
}

void check_bounded(const orv::JsonWriter& w, const char* full, size_t full_len) {
  if (w.cap == 0) {
    FUZZ_CHECK(w.len == 0);
    return;
  }
  FUZZ_CHECK(w.len <= w.cap - 1);
  FUZZ_CHECK(w.buf[w.len] == '\0');
  size_t expect = full_len < w.cap - 1 ? full_len : w.cap - 1;
  FUZZ_CHECK(w.len == expect);
  FUZZ_CHECK(memcmp(w.buf, full, expect) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  uint8_t mode = in.u8();
  bool record = (mode & 1) == 0;
  size_t cap = in.u16() % 2048;
  if ((mode & 2) != 0) cap %= 16;  // tiny buffers cut inside escapes and keys

  std::vector<Call> calls;
  while (!in.empty() && calls.size() < 64) {
    Call c;
    c.op = static_cast<Op>(in.u8() % (record ? RAW_APPEND : OP_COUNT));
    c.key = orv_fuzz::as_text(in.until(0));
    if (c.op == RAW_APPEND) {
      c.value = orv_fuzz::as_text(in.bytes(in.u8()));
    } else if (c.op == ADD_STRING || c.op == RAW_STRING) {
      c.value = orv_fuzz::as_text(in.until(0));
    } else {
      c.number = in.u64();
    }
    calls.push_back(std::move(c));
  }

  // Exactly cap bytes, so ASan sees any write past the end; with cap 0 a
  // single guard byte that must stay as it is.
  static std::vector<char> big(kBigCap);
  char* small = new char[cap == 0 ? 1 : cap];
  if (cap == 0) small[0] = 'G';
  orv::JsonWriter full;
  orv::JsonWriter cut;
  orv::json_init(&full, big.data(), big.size());
  orv::json_init(&cut, small, cap);
  if (record) {
    orv::json_begin_object(&full);
    orv::json_begin_object(&cut);
  }
  check_bounded(cut, full.buf, full.len);
  for (const Call& c : calls) {
    apply(&full, c);
    apply(&cut, c);
    FUZZ_CHECK(full.len < full.cap);
    check_bounded(cut, full.buf, full.len);
  }
  if (record) {
    orv::json_end_object(&full);
    orv::json_end_object(&cut);
    check_bounded(cut, full.buf, full.len);
    std::vector<std::string> strings;
    JsonCheck check(std::string_view(full.buf, full.len));
    FUZZ_CHECK(check.object(&strings));
    // Keys and string values come back exactly as given.
    size_t k = 0;
    for (const Call& c : calls) {
      FUZZ_CHECK(k < strings.size() && strings[k] == c.key);
      ++k;
      if (c.op == ADD_STRING) {
        FUZZ_CHECK(k < strings.size() && strings[k] == c.value);
        ++k;
      }
    }
    FUZZ_CHECK(k == strings.size());
  }
  if (cap == 0) FUZZ_CHECK(small[0] == 'G');
  delete[] small;
  return 0;
}
