// The access-control list: the loader on arbitrary file contents, and the
// access check on arbitrary patterns and sub-directory texts.
//
// Checks:
//  - A loaded table is well formed (1 to 8 non-empty, NUL-terminated
//    patterns per entry) and loading the same file twice gives the same
//    table; a failed load returns nothing.
//  - No permitted sub-directory can leave the storage root: a permitted
//    text is relative, has no empty, "." or ".." component and no
//    backslash, so "<root>/<text>" names a directory below the root.
//  - The decision agrees with fnmatch(3) as the access rules define it:
//    a pattern without a trailing "**" is fnmatch with FNM_PATHNAME, the
//    bare "**" permits everything safe, and "Q/**" permits texts that go on
//    below a prefix matching Q (checked where the two readings of Q cannot
//    differ: no bracket expression, no escape and short components).
#include <fnmatch.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/status.h"
#include "fuzz_support.h"
#include "server/acl.h"

using orv_fuzz::Reader;

namespace {

std::vector<std::string> components(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t slash = s.find('/', start);
    out.push_back(s.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) return out;
    start = slash + 1;
  }
}

// A text that, joined to the root, cannot name anything outside it.
bool stays_below_root(const std::string& s) {
  if (s.empty() || s.find('\\') != std::string::npos) return false;
  for (const std::string& c : components(s)) {
    if (c.empty() || c == "." || c == "..") return false;
  }
  return true;
}

// The access rule of one pattern, read directly through fnmatch. Returns
// -1 where this reading is not decisive (see the top of the file).
int reference_permits(const std::string& p, const std::string& t) {
  size_t n = p.size();
  bool deep = n >= 2 && p[n - 1] == '*' && p[n - 2] == '*';
  if (!deep || (n > 2 && p[n - 3] != '/')) return fnmatch(p.c_str(), t.c_str(), FNM_PATHNAME) == 0 ? 1 : 0;
  if (n == 2) return 1;
  std::string q = p.substr(0, n - 3);
  if (q.find('[') != std::string::npos || q.find('\\') != std::string::npos) return -1;
  std::vector<std::string> qc = components(q);
  std::vector<std::string> tc = components(t);
  for (const std::string& c : qc) {
    if (c.size() >= orv::ACL_PATTERN_SIZE) return -1;
  }
  if (tc.size() <= qc.size()) return 0;
  std::string prefix;
  for (size_t i = 0; i < qc.size(); ++i) {
    if (tc[i].size() >= orv::ACL_PATTERN_SIZE) return 0;
    prefix += (i == 0 ? "" : "/") + tc[i];
  }
  return fnmatch(q.c_str(), prefix.c_str(), FNM_PATHNAME) == 0 ? 1 : 0;
}

// The decision of one pattern alone.
bool single_permits(const char* pattern, const std::string& t) {
  orv::AclEntry one;
  memset(&one, 0, sizeof one);
  memcpy(one.patterns[0], pattern, strlen(pattern) + 1);
  one.pattern_count = 1;
  return orv::acl_permits(&one, t.c_str());
}

void check_entry(const orv::AclEntry& e, const std::vector<std::string>& texts) {
  for (const std::string& t : texts) {
    bool permitted = orv::acl_permits(&e, t.c_str());
    FUZZ_CHECK(orv::subdir_is_safe(t.c_str()) == stays_below_root(t));
    if (permitted) FUZZ_CHECK(stays_below_root(t));
    if (!stays_below_root(t)) {
      FUZZ_CHECK(!permitted);
      continue;
    }
    bool any = false;
    bool decisive = true;
    for (uint32_t i = 0; i < e.pattern_count; ++i) {
      int r = reference_permits(e.patterns[i], t);
      if (r < 0) decisive = false;
      if (r == 1) any = true;
      if (r >= 0 && (r == 1) != single_permits(e.patterns[i], t)) {
        fprintf(stderr, "pattern '%s' and text '%s': fnmatch reads it as %d\n", e.patterns[i], t.c_str(), r);
      }
    }
    if (any) FUZZ_CHECK(permitted);
    if (decisive) FUZZ_CHECK(permitted == any);
  }
}

// Sub-directory texts as a request carries them: at most 64 bytes.
void read_texts(Reader* in, std::vector<std::string>* texts) {
  while (!in->empty() && texts->size() < 16) texts->push_back(orv_fuzz::as_text(in->until(0)).substr(0, 64));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  uint8_t mode = in.u8();
  std::vector<std::string> texts;

  if ((mode & 1) == 0) {
    // A whole file, then the texts to check against every entry.
    std::string file = orv_fuzz::as_text(in.until(0));
    read_texts(&in, &texts);
    std::string path = orv_fuzz::scratch_dir() + "/acl.conf";
    if (!orv_fuzz::write_file(path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(file.data()), file.size()))) {
      return 0;
    }
    orv::AclEntry* table = nullptr;
    size_t count = 0;
    int32_t rc = orv::acl_load(path.c_str(), &table, &count);
    FUZZ_CHECK(rc == orv::STATUS_OK || rc == orv::STATUS_INVALID);
    if (rc != orv::STATUS_OK) {
      FUZZ_CHECK(table == nullptr && count == 0);
      return 0;
    }
    FUZZ_CHECK((count == 0) == (table == nullptr));
    orv::AclEntry* again = nullptr;
    size_t again_count = 0;
    FUZZ_CHECK(orv::acl_load(path.c_str(), &again, &again_count) == orv::STATUS_OK);
    FUZZ_CHECK(again_count == count);
    if (count > 0) FUZZ_CHECK(memcmp(table, again, count * sizeof(orv::AclEntry)) == 0);
    orv::acl_free(again);
    for (size_t i = 0; i < count; ++i) {
      const orv::AclEntry& e = table[i];
      FUZZ_CHECK(e.pattern_count >= 1 && e.pattern_count <= orv::ACL_MAX_PATTERNS);
      for (uint32_t k = 0; k < e.pattern_count; ++k) {
        FUZZ_CHECK(memchr(e.patterns[k], 0, orv::ACL_PATTERN_SIZE) != nullptr);
        FUZZ_CHECK(e.patterns[k][0] != '\0');
      }
      // The first entry with a digest is the one found for it.
      FUZZ_CHECK(orv::acl_find_key(table, count, e.key_digest) <= &e);
      check_entry(e, texts);
    }
    orv::acl_free(table);
    return 0;
  }

  // Patterns placed straight into an entry (also ones the loader would
  // refuse), then texts.
  orv::AclEntry e;
  memset(&e, 0, sizeof e);
  e.pattern_count = 1 + in.u8() % orv::ACL_MAX_PATTERNS;
  for (uint32_t k = 0; k < e.pattern_count; ++k) {
    std::string p = orv_fuzz::as_text(in.until(0)).substr(0, orv::ACL_PATTERN_SIZE - 1);
    memcpy(e.patterns[k], p.c_str(), p.size() + 1);
  }
  read_texts(&in, &texts);
  check_entry(e, texts);
  return 0;
}
