#include "core/json.h"

#include <cstdio>
#include <cstring>

#include "core/utf8.h"

namespace orv {

void json_init(JsonWriter* w, char* buf, size_t cap) {
  w->buf = buf;
  w->cap = cap;
  w->len = 0;
  w->members = 0;
  if (cap != 0) buf[0] = '\0';
}

void json_append(JsonWriter* w, const char* text, size_t n) {
  size_t copy = 0;
  if (w->len + n < w->cap) {
    copy = n;
  } else if (w->len < w->cap) {
    copy = w->cap - 1 - w->len;
  }
  if (copy > 0) memcpy(w->buf + w->len, text, copy);
  w->len += copy;
  if (w->cap != 0) w->buf[w->len] = '\0';
}

void json_write_string(JsonWriter* w, const char* s) {
  json_append(w, "\"", 1);
  if (s == nullptr) s = "";  // a missing text is written as the empty string
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  // Runs of bytes that need no escape are appended in one piece; the bounded
  // append cuts a run exactly as it would cut byte after byte. Well-formed
  // UTF-8 is copied; a byte that is not part of a well-formed sequence is
  // written as the escape of the code point with that byte's value
  // (\u0080..\u00ff), so every record is valid JSON whatever bytes a name
  // holds, and the byte stays recognisable.
  size_t run = 0;
  for (;;) {
    unsigned char c = *p;
    if (c != '\0' && c >= 0x20 && c != '"' && c != '\\') {
      size_t seq = c < 0x80 ? 1 : utf8_sequence_length(p, strnlen(reinterpret_cast<const char*>(p), 4));
      if (seq != 0) {
        run += seq;
        p += seq;
        continue;
      }
    }
    if (run > 0) {
      json_append(w, reinterpret_cast<const char*>(p - run), run);
      run = 0;
    }
    if (c == '\0') break;
    char esc[8];
    size_t n = 2;
    esc[0] = '\\';
    switch (c) {
      case '\r': esc[1] = 'r'; break;
      case '\t': esc[1] = 't'; break;
      case '\n': esc[1] = 'n'; break;
      case '"': esc[1] = '"'; break;
      case '\\': esc[1] = '\\'; break;
      default:
        snprintf(esc, sizeof esc, "\\u%04x", c);
        n = 6;
        break;
    }
    // One escape sequence is one append, so it may be cut in the middle.
    json_append(w, esc, n);
    ++p;
  }
  json_append(w, "\"", 1);
}

void json_begin_object(JsonWriter* w) {
  w->members = 0;
  json_append(w, "{", 1);
}

void json_end_object(JsonWriter* w) { json_append(w, "}", 1); }

namespace {

void member_prefix(JsonWriter* w, const char* key) {
  if (w->members > 0) json_append(w, ",", 1);
  json_write_string(w, key);
  json_append(w, ":", 1);
  w->members += 1;
}

}  // namespace

void json_add_string(JsonWriter* w, const char* key, const char* value) {
  member_prefix(w, key);
  if (value == nullptr) {
    json_append(w, "null", 4);
  } else {
    json_write_string(w, value);
  }
}

void json_add_u64(JsonWriter* w, const char* key, uint64_t v) {
  member_prefix(w, key);
  char num[32];
  int n = snprintf(num, sizeof num, "%llu", static_cast<unsigned long long>(v));
  json_append(w, num, static_cast<size_t>(n));
}

void json_add_i64(JsonWriter* w, const char* key, int64_t v) {
  member_prefix(w, key);
  char num[32];
  int n = snprintf(num, sizeof num, "%lld", static_cast<long long>(v));
  json_append(w, num, static_cast<size_t>(n));
}

void json_add_bool(JsonWriter* w, const char* key, int b) {
  member_prefix(w, key);
  if (b != 0) {
    json_append(w, "true", 4);
  } else {
    json_append(w, "false", 5);
  }
}

}  // namespace orv
