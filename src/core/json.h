// Flat JSON objects written into a caller-owned buffer without allocation.
// Never writes past cap; text that does not fit is cut. When cap is not 0,
// buf[len] is NUL after every call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

struct JsonWriter {
  char* buf = nullptr;
  size_t cap = 0;
  size_t len = 0;
  int members = 0;
};

void json_init(JsonWriter* w, char* buf, size_t cap);
void json_append(JsonWriter* w, const char* text, size_t n);
void json_write_string(JsonWriter* w, const char* s);
void json_begin_object(JsonWriter* w);
void json_end_object(JsonWriter* w);
// value null writes null.
void json_add_string(JsonWriter* w, const char* key, const char* value);
void json_add_u64(JsonWriter* w, const char* key, uint64_t v);
void json_add_i64(JsonWriter* w, const char* key, int64_t v);
void json_add_bool(JsonWriter* w, const char* key, int b);

}  // namespace orv
