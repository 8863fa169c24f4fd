#include "server/acl.h"

#include <fnmatch.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/status.h"
#include "core/text.h"

namespace orv {

namespace {

constexpr size_t kInitialEntries = 8;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Closes the file and wipes the line buffer on every way out, so no key text
// outlives the load.
struct LoadState {
  FILE* file = nullptr;
  AclEntry* table = nullptr;
  size_t count = 0;
  size_t capacity = 0;
  char line[ACL_LINE_SIZE];

  ~LoadState() {
    if (file != nullptr) (void)fclose(file);  // read-only: nothing to report
    free(table);
    explicit_bzero(line, sizeof line);
  }
};

// True when line (as fgets left it) holds a whole line: it ends in a line
// feed, or the file ends after it, or only the line end ("\n" or "\r\n")
// follows, which is then consumed.
bool line_complete(FILE* file, const char* line) {
  size_t n = strlen(line);
  if (n > 0 && line[n - 1] == '\n') return true;
  int c = getc(file);
  if (c == EOF || c == '\n') return true;
  if (c == '\r') {
    int d = getc(file);
    if (d == EOF || d == '\n') return true;
  }
  return false;
}

// Parses the directory list after the key into entry. STATUS_INVALID for an
// empty or unsafe item, a ninth item, or no item at all.
int32_t parse_patterns(char* list, AclEntry* entry) {
  entry->pattern_count = 0;
  char* save = nullptr;
  for (char* item = strtok_r(list, ",", &save); item != nullptr; item = strtok_r(nullptr, ",", &save)) {
    while (is_blank(*item)) ++item;
    size_t n = strlen(item);
    while (n > 0 && (is_blank(item[n - 1]) || item[n - 1] == '\r' || item[n - 1] == '\n')) item[--n] = '\0';
    if (n == 0 || !subdir_is_safe(item)) return STATUS_INVALID;
    // A pattern cut to fit its field could permit more than was written
    // ("reports-*-final" cut after the "*"), so an over-long one fails the load.
    if (n >= ACL_PATTERN_SIZE) return STATUS_INVALID;
    if (entry->pattern_count == ACL_MAX_PATTERNS) return STATUS_INVALID;
    copy_text(entry->patterns[entry->pattern_count++], ACL_PATTERN_SIZE, item);
  }
  return entry->pattern_count == 0 ? STATUS_INVALID : STATUS_OK;
}

// One line of the file. *skip is set for a blank or comment line.
int32_t parse_line(char* line, AclEntry* entry, bool* skip) {
  *skip = false;
  long cut = config_cut_comment(line);
  if (cut < 0) return STATUS_INVALID;
  line[cut] = '\0';
  char* p = line;
  while (is_blank(*p)) ++p;
  size_t n = strlen(p);
  while (n > 0 && (is_blank(p[n - 1]) || p[n - 1] == '\r' || p[n - 1] == '\n')) p[--n] = '\0';
  if (n == 0) {
    *skip = true;
    return STATUS_OK;
  }
  char* key_end = p;
  while (*key_end != '\0' && !is_blank(*key_end)) ++key_end;
  if (*key_end == '\0') return STATUS_INVALID;  // a key without directories
  *key_end = '\0';
  char* list = key_end + 1;
  while (is_blank(*list)) ++list;
  int32_t rc = parse_patterns(list, entry);
  if (rc != STATUS_OK) return rc;
  sha256(p, strlen(p), entry->key_digest);
  return STATUS_OK;
}

// Pattern that ends in "/**": q is the pattern without those three
// characters. Each component of q must match one component of t, and t must
// go on below the last of them.
bool match_below(const char* q, size_t q_len, const char* t) {
  const char* qp = q;
  const char* q_end = q + q_len;
  const char* tp = t;
  for (;;) {
    const char* qs = static_cast<const char*>(memchr(qp, '/', static_cast<size_t>(q_end - qp)));
    size_t ql = qs != nullptr ? static_cast<size_t>(qs - qp) : static_cast<size_t>(q_end - qp);
    const char* ts = strchr(tp, '/');
    if (ts == nullptr) return false;
    size_t tl = static_cast<size_t>(ts - tp);
    if (ql >= ACL_PATTERN_SIZE || tl >= ACL_PATTERN_SIZE) return false;
    char qc[ACL_PATTERN_SIZE];
    char tc[ACL_PATTERN_SIZE];
    memcpy(qc, qp, ql);
    qc[ql] = '\0';
    memcpy(tc, tp, tl);
    tc[tl] = '\0';
    if (fnmatch(qc, tc, FNM_PATHNAME) != 0) return false;
    tp = ts + 1;
    if (qs == nullptr) break;
    qp = qs + 1;
  }
  return *tp != '\0';
}

bool pattern_permits(const char* p, const char* t) {
  size_t len = strlen(p);
  bool deep = len >= 2 && p[len - 1] == '*' && p[len - 2] == '*';
  if (!deep) return fnmatch(p, t, FNM_PATHNAME) == 0;
  if (len == 2) return true;
  if (p[len - 3] != '/') return fnmatch(p, t, FNM_PATHNAME) == 0;
  return match_below(p, len - 3, t);
}

}  // namespace

long config_cut_comment(const char* line) {
  size_t len = strlen(line);
  while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) --len;
  bool seen_equals = false;
  for (size_t i = 0; i < len; ++i) {
    char c = line[i];
    if (c == '#' || c == ';') {
      if (i == 0 || is_blank(line[i - 1])) return static_cast<long>(i);
      continue;
    }
    if (c != '=' || seen_equals) continue;
    seen_equals = true;
    size_t v = i + 1;
    while (v < len && is_blank(line[v])) ++v;
    if (v == len || (line[v] != '"' && line[v] != '\'')) continue;
    char quote = line[v];
    size_t k = v + 1;
    for (; k < len; ++k) {
      if (quote == '"' && line[k] == '\\' && k + 1 < len && (line[k + 1] == '"' || line[k + 1] == '\\')) {
        ++k;
        continue;
      }
      if (line[k] == quote) break;
    }
    if (k >= len) return -1;  // no closing quote
    size_t m = k + 1;
    while (m < len && is_blank(line[m])) ++m;
    if (m == len) return static_cast<long>(len);
    if (line[m] == '#' || line[m] == ';') return static_cast<long>(m);
    return -1;  // text after the closing quote
  }
  return static_cast<long>(len);
}

bool subdir_is_safe(const char* text) {
  if (text == nullptr) return false;
  const char* p = text;
  for (;;) {
    const char* slash = strchr(p, '/');
    size_t n = slash != nullptr ? static_cast<size_t>(slash - p) : strlen(p);
    if (n == 0) return false;
    if (n == 1 && p[0] == '.') return false;
    if (n == 2 && p[0] == '.' && p[1] == '.') return false;
    if (memchr(p, '\\', n) != nullptr) return false;
    if (slash == nullptr) return true;
    p = slash + 1;
  }
}

int32_t acl_load(const char* path, AclEntry** out_table, size_t* out_count) {
  *out_table = nullptr;
  *out_count = 0;
  LoadState s;
  s.file = fopen(path, "re");
  if (s.file == nullptr) return STATUS_NOT_FOUND;
  s.table = static_cast<AclEntry*>(calloc(kInitialEntries, sizeof(AclEntry)));
  if (s.table == nullptr) return STATUS_NOMEM;
  s.capacity = kInitialEntries;

  size_t line_no = 0;
  while (fgets(s.line, sizeof s.line, s.file) != nullptr) {
    ++line_no;
    // A line that does not fit the buffer would be read in pieces, each
    // parsed as a line of its own: its tail could grant a key of its own
    // choosing. Only its line end may be left over.
    if (!line_complete(s.file, s.line)) {
      log_write(LEVEL_ERROR, "ACL file %s: line %zu is longer than %zu characters", path, line_no,
                ACL_LINE_SIZE - 1);
      return STATUS_INVALID;
    }
    AclEntry entry;
    memset(&entry, 0, sizeof entry);
    bool skip = false;
    int32_t rc = parse_line(s.line, &entry, &skip);
    if (rc != STATUS_OK) return rc;
    if (skip) continue;
    if (s.count == s.capacity) {
      size_t grown = s.capacity * 2;
      void* p = realloc(s.table, grown * sizeof(AclEntry));
      if (p == nullptr) return STATUS_NOMEM;
      s.table = static_cast<AclEntry*>(p);
      s.capacity = grown;
    }
    s.table[s.count++] = entry;
  }
  if (ferror(s.file)) return STATUS_IO;
  if (s.count == 0) {
    free(s.table);
  } else {
    *out_table = s.table;
  }
  *out_count = s.count;
  s.table = nullptr;
  return STATUS_OK;
}

void acl_free(AclEntry* table) { free(table); }

const AclEntry* acl_find_key(const AclEntry* table, size_t count, const uint8_t* digest) {
  for (size_t i = 0; i < count; ++i) {
    if (digest_equal(table[i].key_digest, digest, SHA256_DIGEST_SIZE)) return &table[i];
  }
  return nullptr;
}

bool acl_permits(const AclEntry* entry, const char* subdir) {
  if (entry == nullptr || subdir == nullptr || subdir[0] == '\0' || !subdir_is_safe(subdir)) return false;
  for (uint32_t i = 0; i < entry->pattern_count && i < ACL_MAX_PATTERNS; ++i) {
    if (pattern_permits(entry->patterns[i], subdir)) return true;
  }
  return false;
}

}  // namespace orv
