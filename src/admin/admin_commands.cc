#include "admin/admin_commands.h"

#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "admin/admin_options.h"
#include "admin/chains.h"
#include "admin/inventory.h"
#include "admin/metrics_file.h"
#include "admin/prune.h"
#include "admin/verify.h"
#include "core/log.h"
#include "core/status.h"
#include "core/json.h"
#include "core/sysinfo.h"

namespace orv {

namespace {

constexpr const char* kProgram = "orv_admin";
constexpr const char* kVersion = "1.0.2-alpha028";
constexpr size_t kJsonItem = 8192;

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

void time_text(int64_t seconds, char* out, size_t size) {
  if (seconds == 0) {
    snprintf(out, size, "-");
    return;
  }
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  if (gmtime_r(&t, &tm) == nullptr || strftime(out, size, "%Y-%m-%d %H:%M", &tm) == 0) {
    snprintf(out, size, "%lld", static_cast<long long>(seconds));
  }
}

void bytes_text(uint64_t bytes, char* out, size_t size) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  double v = static_cast<double>(bytes);
  size_t u = 0;
  while (v >= 1024 && u + 1 < sizeof kUnits / sizeof kUnits[0]) {
    v /= 1024;
    ++u;
  }
  if (u == 0) snprintf(out, size, "%llu B", ull(bytes));
  else snprintf(out, size, "%.1f %s", v, kUnits[u]);
}

const char* shown_subdir(const char* rel) { return rel[0] == '\0' ? "." : rel; }

// Redraws one line on standard error, at most four times a second, only
// when standard error is a terminal.
class ProgressLine {
 public:
  ProgressLine() : enabled_(isatty(STDERR_FILENO) == 1) {}
  ~ProgressLine() { finish(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void show(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (!enabled_) return;
    uint64_t now = monotonic_ms();
    if (drawn_ && now - last_ms_ < 250) return;
    last_ms_ = now;
    char line[160];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    fprintf(stderr, "\r%-*s", static_cast<int>(width_), line);
    width_ = strlen(line);
    drawn_ = true;
  }

  void finish() {
    if (!drawn_) return;
    fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
    drawn_ = false;
  }

 private:
  bool enabled_;
  bool drawn_ = false;
  uint64_t last_ms_ = 0;
  size_t width_ = 0;
};

// Streams a JSON array item by item: each object is built in a buffer and
// written with a comma before all but the first.
class JsonArray {
 public:
  JsonArray(const char* key, bool first_member) {
    printf("%s\"%s\":[", first_member ? "" : ",", key);
  }
  void item(const char* text) {
    if (count_++ > 0) fputc(',', stdout);
    fputs(text, stdout);
  }
  void close() { fputc(']', stdout); }

 private:
  size_t count_ = 0;
};

void uuid_text(const Uuid& u, char out[UUID_TEXT_SIZE]) { uuid_format(u, out); }

bool is_zero(const Uuid& u) {
  for (uint8_t b : u.bytes) {
    if (b != 0) return false;
  }
  return true;
}

// ---- problems seen by the walk alone ----------------------------------------

// One line per odd entry and unreadable catalog; returns how many.
uint64_t walk_problems(const Inventory& inv, bool json, JsonArray* arr) {
  uint64_t n = 0;
  char buf[kJsonItem];
  auto emit = [&](uint32_t dir, const char* file, const char* problem) {
    ++n;
    if (json) {
      JsonWriter w;
      json_init(&w, buf, sizeof buf);
      json_begin_object(&w);
      json_add_string(&w, "subdir", inv.dirs[dir].rel);
      json_add_string(&w, "file", file);
      json_add_string(&w, "problem", problem);
      json_end_object(&w);
      arr->item(buf);
    } else {
      printf("problem: %s/%s: %s\n", shown_subdir(inv.dirs[dir].rel), file, problem);
    }
  };
  for (size_t i = 0; i < inv.strays.size(); ++i) {
    const AdminStray& s = inv.strays[i];
    if (s.kind == StrayKind::odd && inv.dirs[s.dir].selected) emit(s.dir, s.file, s.what);
  }
  for (size_t i = 0; i < inv.backups.size(); ++i) {
    const AdminBackup& b = inv.backups[i];
    if (b.header_status != STATUS_OK) emit(b.dir, b.file, admin_header_problem(b.header_status));
    else if (b.image_odd) emit(b.dir, b.file, "its image is not a regular file");
    else if (!b.image_present) emit(b.dir, b.file, "its image file is missing");
  }
  return n;
}

// ---- list ------------------------------------------------------------------

void list_backup_json(const Inventory& inv, const AdminBackup& b, char* buf) {
  char id[UUID_TEXT_SIZE];
  char parent[UUID_TEXT_SIZE];
  uuid_text(b.uuid, id);
  uuid_text(b.parent_uuid, parent);
  bool ok = b.header_status == STATUS_OK;
  JsonWriter w;
  json_init(&w, buf, kJsonItem);
  json_begin_object(&w);
  json_add_string(&w, "subdir", inv.dirs[b.dir].rel);
  json_add_string(&w, "file", b.file);
  json_add_string(&w, "name", ok ? b.name : "");
  json_add_string(&w, "type", ok ? admin_type_word(b.type) : "other");
  json_add_string(&w, "uuid", ok ? id : "");
  json_add_string(&w, "parent_uuid", ok && b.type != BACKUP_FULL && !is_zero(b.parent_uuid) ? parent : "");
  json_add_i64(&w, "created", ok ? b.created : 0);
  json_add_i64(&w, "expires", ok ? b.expires : 0);
  json_add_u64(&w, "image_bytes", b.image_bytes);
  json_add_u64(&w, "catalog_bytes", b.catalog_bytes);
  json_add_bool(&w, "readable", ok ? 1 : 0);
  json_end_object(&w);
}

struct DirTotals {
  uint64_t backups = 0;
  uint64_t image_bytes = 0;
  uint64_t catalog_bytes = 0;
  uint64_t partials = 0;
  uint64_t partial_bytes = 0;
  uint64_t orphan_bytes = 0;
};

DirTotals totals_of(const Inventory& inv, uint32_t dir) {
  DirTotals t;
  const AdminDir& d = inv.dirs[dir];
  for (uint32_t i = d.backup_first; i < d.backup_first + d.backup_count; ++i) {
    t.backups += 1;
    t.image_bytes += inv.backups[i].image_bytes;
    t.catalog_bytes += inv.backups[i].catalog_bytes;
  }
  for (uint32_t i = d.partial_first; i < d.partial_first + d.partial_count; ++i) {
    t.partials += 1;
    t.partial_bytes += inv.partials[i].bytes;
  }
  for (size_t i = 0; i < inv.strays.size(); ++i) {
    if (inv.strays[i].dir == dir) t.orphan_bytes += inv.strays[i].bytes;
  }
  return t;
}

bool dir_has_content(const Inventory& inv, uint32_t dir) {
  const AdminDir& d = inv.dirs[dir];
  if (!d.selected) return false;
  if (d.backup_count > 0 || d.partial_count > 0) return true;
  for (size_t i = 0; i < inv.strays.size(); ++i) {
    if (inv.strays[i].dir == dir) return true;
  }
  return false;
}

int run_list(const AdminOptions& o, const Inventory& inv) {
  uint64_t problems = 0;
  char buf[kJsonItem];
  if (o.json) {
    fputc('{', stdout);
    JsonArray backups("backups", true);
    for (size_t i = 0; i < inv.backups.size(); ++i) {
      list_backup_json(inv, inv.backups[i], buf);
      backups.item(buf);
    }
    backups.close();
    JsonArray partials("partials", false);
    for (size_t i = 0; i < inv.partials.size(); ++i) {
      const AdminPartial& p = inv.partials[i];
      char id[UUID_TEXT_SIZE];
      uuid_text(p.uuid, id);
      JsonWriter w;
      json_init(&w, buf, sizeof buf);
      json_begin_object(&w);
      json_add_string(&w, "subdir", inv.dirs[p.dir].rel);
      json_add_string(&w, "journal", p.file);
      json_add_string(&w, "name", p.readable ? p.name : "");
      json_add_string(&w, "type", p.readable ? admin_type_word(p.type) : "other");
      json_add_string(&w, "uuid", p.readable ? id : "");
      json_add_u64(&w, "checkpoint_bytes", p.checkpoint_bytes);
      json_add_i64(&w, "age_seconds", p.age_seconds);
      json_add_u64(&w, "bytes", p.bytes);
      json_add_bool(&w, "readable", p.readable ? 1 : 0);
      json_end_object(&w);
      partials.item(buf);
    }
    partials.close();
    JsonArray subdirs("subdirs", false);
    for (uint32_t d = 0; d < inv.dirs.size(); ++d) {
      if (!dir_has_content(inv, d)) continue;
      DirTotals t = totals_of(inv, d);
      JsonWriter w;
      json_init(&w, buf, sizeof buf);
      json_begin_object(&w);
      json_add_string(&w, "subdir", inv.dirs[d].rel);
      json_add_u64(&w, "backups", t.backups);
      json_add_u64(&w, "image_bytes", t.image_bytes);
      json_add_u64(&w, "catalog_bytes", t.catalog_bytes);
      json_add_u64(&w, "partials", t.partials);
      json_add_u64(&w, "partial_bytes", t.partial_bytes);
      json_add_u64(&w, "orphan_bytes", t.orphan_bytes);
      json_end_object(&w);
      subdirs.item(buf);
    }
    subdirs.close();
    JsonArray arr("problems", false);
    problems = walk_problems(inv, true, &arr);
    arr.close();
    fputs("}\n", stdout);
  } else {
    for (uint32_t d = 0; d < inv.dirs.size(); ++d) {
      if (!dir_has_content(inv, d)) continue;
      const AdminDir& dir = inv.dirs[d];
      printf("%s:\n", shown_subdir(dir.rel));
      if (dir.backup_count > 0) {
        printf("  %-24s %-5s %-36s %-36s %-16s %-16s %10s %10s\n", "NAME", "TYPE", "UUID", "PARENT", "CREATED (UTC)",
               "EXPIRES (UTC)", "IMAGE", "CATALOG");
      }
      for (uint32_t i = dir.backup_first; i < dir.backup_first + dir.backup_count; ++i) {
        const AdminBackup& b = inv.backups[i];
        char image[32];
        char catalog[32];
        bytes_text(b.image_bytes, image, sizeof image);
        bytes_text(b.catalog_bytes, catalog, sizeof catalog);
        if (b.header_status != STATUS_OK) {
          printf("  %-24s %-5s %-36s %-36s %-16s %-16s %10s %10s\n", b.file, "?", "(unreadable)", "", "", "", image,
                 catalog);
          continue;
        }
        char id[UUID_TEXT_SIZE];
        char parent[UUID_TEXT_SIZE];
        char created[32];
        char expires[32];
        uuid_text(b.uuid, id);
        uuid_text(b.parent_uuid, parent);
        time_text(b.created, created, sizeof created);
        time_text(b.expires, expires, sizeof expires);
        printf("  %-24s %-5s %-36s %-36s %-16s %-16s %10s %10s\n", b.name, admin_type_word(b.type), id,
               b.type == BACKUP_FULL ? "-" : parent, created, expires, image, catalog);
      }
      for (uint32_t i = dir.partial_first; i < dir.partial_first + dir.partial_count; ++i) {
        const AdminPartial& p = inv.partials[i];
        char id[UUID_TEXT_SIZE];
        char cp[32];
        uuid_text(p.uuid, id);
        bytes_text(p.checkpoint_bytes, cp, sizeof cp);
        if (p.readable) {
          printf("  partial %s %s %s: checkpoint %s, last written %lld s ago\n", p.name, admin_type_word(p.type), id,
                 cp, static_cast<long long>(p.age_seconds));
        } else {
          printf("  partial %s: journal cannot be read, last written %lld s ago\n", p.file,
                 static_cast<long long>(p.age_seconds));
        }
      }
      DirTotals t = totals_of(inv, d);
      char image[32];
      char catalog[32];
      bytes_text(t.image_bytes, image, sizeof image);
      bytes_text(t.catalog_bytes, catalog, sizeof catalog);
      printf("  total: %llu backups, images %s, catalogs %s, %llu partials\n", ull(t.backups), image, catalog,
             ull(t.partials));
    }
    problems = walk_problems(inv, false, nullptr);
  }
  return problems != 0 || inv.unreadable_dirs != 0 ? ADMIN_EXIT_PROBLEMS : ADMIN_EXIT_OK;
}

// ---- du --------------------------------------------------------------------

int run_du(const AdminOptions& o, const Inventory& inv) {
  PruneOptions po;
  po.as_of = inv.now;
  po.dry_run = true;
  std::unique_ptr<PruneResult> plan(new (std::nothrow) PruneResult);
  if (!plan || prune_plan(inv, po, plan.get()) != STATUS_OK) {
    fprintf(stderr, "%s: du: out of memory\n", kProgram);
    return ADMIN_EXIT_PROBLEMS;
  }
  GrowArray<uint64_t> orphan_free;  // per directory: orphan bytes a prune would free
  for (size_t d = 0; d < inv.dirs.size(); ++d) {
    uint64_t* slot = orphan_free.add();
    if (slot == nullptr) return ADMIN_EXIT_PROBLEMS;
  }
  for (size_t k = 0; k < plan->orphans.size(); ++k) {
    const AdminStray& s = inv.strays[plan->orphans[k]];
    orphan_free[s.dir] += s.bytes;
  }
  char buf[kJsonItem];
  uint64_t total = 0;
  uint64_t total_free = 0;
  if (o.json) fputc('{', stdout);
  JsonArray* arr = nullptr;
  std::unique_ptr<JsonArray> holder;
  if (o.json) {
    holder.reset(new (std::nothrow) JsonArray("subdirs", true));
    arr = holder.get();
    if (arr == nullptr) return ADMIN_EXIT_PROBLEMS;
  }
  for (uint32_t d = 0; d < inv.dirs.size(); ++d) {
    if (!dir_has_content(inv, d)) continue;
    const AdminDir& dir = inv.dirs[d];
    DirTotals t = totals_of(inv, d);
    uint64_t bytes = t.image_bytes + t.catalog_bytes + t.partial_bytes + t.orphan_bytes;
    uint64_t prunable = orphan_free[d];
    for (uint32_t i = dir.backup_first; i < dir.backup_first + dir.backup_count; ++i) {
      if (plan->deleted[i]) prunable += inv.backups[i].image_bytes + inv.backups[i].catalog_bytes;
    }
    total += bytes;
    total_free += prunable;
    // Per name: the backups of a directory grouped by the name in their header.
    GrowArray<uint32_t> firsts;  // first backup index of each distinct name
    for (uint32_t i = dir.backup_first; i < dir.backup_first + dir.backup_count; ++i) {
      const AdminBackup& b = inv.backups[i];
      bool seen = false;
      for (size_t k = 0; k < firsts.size() && !seen; ++k) seen = strcmp(inv.backups[firsts[k]].name, b.name) == 0;
      if (seen) continue;
      uint32_t* slot = firsts.add();
      if (slot == nullptr) return ADMIN_EXIT_PROBLEMS;
      *slot = i;
    }
    char shown[32];
    char freeable[32];
    bytes_text(bytes, shown, sizeof shown);
    bytes_text(prunable, freeable, sizeof freeable);
    JsonWriter w;
    if (o.json) {
      json_init(&w, buf, sizeof buf);
      json_begin_object(&w);
      json_add_string(&w, "subdir", dir.rel);
      json_add_u64(&w, "backups", t.backups);
      json_add_u64(&w, "bytes", bytes);
      json_add_u64(&w, "backup_bytes", t.image_bytes + t.catalog_bytes);
      json_add_u64(&w, "partial_bytes", t.partial_bytes);
      json_add_u64(&w, "orphan_bytes", t.orphan_bytes);
      json_add_u64(&w, "prunable_bytes", prunable);
      json_append(&w, ",\"names\":[", 10);
    } else {
      printf("%-40s %12s  (%llu backups; a prune would free %s)\n", shown_subdir(dir.rel), shown, ull(t.backups),
             freeable);
    }
    for (size_t k = 0; k < firsts.size(); ++k) {
      const char* name = inv.backups[firsts[k]].name;
      uint64_t count = 0;
      uint64_t nbytes = 0;
      uint64_t nfree = 0;
      for (uint32_t i = firsts[k]; i < dir.backup_first + dir.backup_count; ++i) {
        const AdminBackup& b = inv.backups[i];
        if (strcmp(b.name, name) != 0) continue;
        count += 1;
        nbytes += b.image_bytes + b.catalog_bytes;
        if (plan->deleted[i]) nfree += b.image_bytes + b.catalog_bytes;
      }
      if (o.json) {
        if (k > 0) json_append(&w, ",", 1);
        JsonWriter item;
        char ib[512];
        json_init(&item, ib, sizeof ib);
        json_begin_object(&item);
        json_add_string(&item, "name", name);
        json_add_u64(&item, "backups", count);
        json_add_u64(&item, "bytes", nbytes);
        json_add_u64(&item, "prunable_bytes", nfree);
        json_end_object(&item);
        json_append(&w, ib, item.len);
      } else {
        bytes_text(nbytes, shown, sizeof shown);
        bytes_text(nfree, freeable, sizeof freeable);
        printf("  %-38s %12s  (%llu backups; a prune would free %s)\n", name[0] != '\0' ? name : "(unreadable)", shown,
               ull(count), freeable);
      }
    }
    if (o.json) {
      json_append(&w, "]}", 2);
      arr->item(buf);
    }
  }
  if (o.json) {
    arr->close();
    printf(",\"total_bytes\":%llu,\"prunable_bytes\":%llu}\n", ull(total), ull(total_free));
  } else {
    char shown[32];
    char freeable[32];
    bytes_text(total, shown, sizeof shown);
    bytes_text(total_free, freeable, sizeof freeable);
    printf("%-40s %12s  (a prune would free %s)\n", "total", shown, freeable);
  }
  return inv.unreadable_dirs != 0 ? ADMIN_EXIT_PROBLEMS : ADMIN_EXIT_OK;
}

// ---- verify ------------------------------------------------------------------

struct VerifyProgress {
  ProgressLine* line;
  size_t done;
  size_t total;
};

void on_verify_read(void* ctx, uint64_t bytes) {
  auto* p = static_cast<VerifyProgress*>(ctx);
  char read[32];
  bytes_text(bytes, read, sizeof read);
  p->line->show("verify: %zu/%zu backups, %s read", p->done, p->total, read);
}

void write_metrics_warning(const char* command, const char* error) {
  fprintf(stderr, "%s: %s: %s\n", kProgram, command, error);
}

int run_verify(const AdminOptions& o, const Inventory& inv) {
  uint64_t start_ms = monotonic_ms();
  std::unique_ptr<uint8_t[]> buffer;
  VerifyContext ctx;
  ctx.data = o.data;
  if (o.data) {
    buffer.reset(new (std::nothrow) uint8_t[VERIFY_READ_CHUNK]);
    if (!buffer) {
      fprintf(stderr, "%s: verify: out of memory\n", kProgram);
      return ADMIN_EXIT_PROBLEMS;
    }
    ctx.buffer = buffer.get();
  }
  rate_limit_start(&ctx.rate, o.rate_mb * 1e6);
  ProgressLine line;
  VerifyProgress vp{&line, 0, inv.backups.size()};
  ctx.on_read = on_verify_read;
  ctx.on_read_ctx = &vp;
  std::unique_ptr<Problems> problems(new (std::nothrow) Problems);
  if (!problems) return ADMIN_EXIT_PROBLEMS;
  uint64_t damaged = 0;
  char buf[kJsonItem];
  if (o.json) printf("{\"checked\":%zu", inv.backups.size());
  std::unique_ptr<JsonArray> arr;
  if (o.json) {
    arr.reset(new (std::nothrow) JsonArray("backups", false));
    if (!arr) return ADMIN_EXIT_PROBLEMS;
  }
  for (uint32_t d = 0; d < inv.dirs.size(); ++d) {
    const AdminDir& dir = inv.dirs[d];
    if (!dir.selected || dir.backup_count == 0) continue;
    UuidIndex index;
    if (uuid_index_build(inv, d, &index) != STATUS_OK) {
      fprintf(stderr, "%s: verify: out of memory\n", kProgram);
      return ADMIN_EXIT_PROBLEMS;
    }
    for (uint32_t i = dir.backup_first; i < dir.backup_first + dir.backup_count; ++i) {
      const AdminBackup& b = inv.backups[i];
      if (verify_backup(inv, index, i, &ctx, problems.get()) != STATUS_OK) {
        fprintf(stderr, "%s: verify: out of memory while checking %s/%s\n", kProgram, dir.abs, b.file);
        return ADMIN_EXIT_PROBLEMS;
      }
      vp.done += 1;
      on_verify_read(&vp, ctx.bytes_read);
      bool ok = problems->count == 0;
      damaged += ok ? 0 : 1;
      char catalog[STORE_PATH_SIZE + ADMIN_FILE_NAME_SIZE];
      if (!inventory_path(inv, b.dir, b.file, catalog, sizeof catalog)) catalog[0] = '\0';
      char id[UUID_TEXT_SIZE];
      uuid_text(b.uuid, id);
      if (o.json) {
        JsonWriter w;
        json_init(&w, buf, sizeof buf);
        json_begin_object(&w);
        json_add_string(&w, "subdir", dir.rel);
        json_add_string(&w, "uuid", b.header_status == STATUS_OK ? id : "");
        json_add_string(&w, "name", b.header_status == STATUS_OK ? b.name : "");
        json_add_string(&w, "catalog", catalog);
        json_add_bool(&w, "ok", ok ? 1 : 0);
        json_append(&w, ",\"problems\":[", 13);
        for (uint32_t k = 0; k < problems->count; ++k) {
          if (k > 0) json_append(&w, ",", 1);
          json_write_string(&w, problems->text[k]);
        }
        if (problems->more > 0) {
          char more[64];
          snprintf(more, sizeof more, "and %u more", problems->more);
          json_append(&w, ",", 1);
          json_write_string(&w, more);
        }
        json_append(&w, "]}", 2);
        arr->item(buf);
      } else if (!ok) {
        line.finish();
        printf("DAMAGED %s (%s):\n", catalog, b.header_status == STATUS_OK ? id : "uuid unknown");
        for (uint32_t k = 0; k < problems->count; ++k) printf("  %s\n", problems->text[k]);
        if (problems->more > 0) printf("  and %u more\n", problems->more);
      }
    }
  }
  line.finish();
  uint64_t odd = 0;
  if (o.json) {
    arr->close();
    JsonArray others("problems", false);
    for (size_t i = 0; i < inv.strays.size(); ++i) {
      const AdminStray& s = inv.strays[i];
      if (s.kind != StrayKind::odd || !inv.dirs[s.dir].selected) continue;
      ++odd;
      JsonWriter w;
      json_init(&w, buf, sizeof buf);
      json_begin_object(&w);
      json_add_string(&w, "subdir", inv.dirs[s.dir].rel);
      json_add_string(&w, "file", s.file);
      json_add_string(&w, "problem", s.what);
      json_end_object(&w);
      others.item(buf);
    }
    others.close();
    printf(",\"damaged\":%llu,\"bytes_read\":%llu}\n", ull(damaged), ull(ctx.bytes_read));
  } else {
    for (size_t i = 0; i < inv.strays.size(); ++i) {
      const AdminStray& s = inv.strays[i];
      if (s.kind != StrayKind::odd || !inv.dirs[s.dir].selected) continue;
      ++odd;
      printf("problem: %s/%s: %s\n", shown_subdir(inv.dirs[s.dir].rel), s.file, s.what);
    }
    char read[32];
    bytes_text(ctx.bytes_read, read, sizeof read);
    printf("verify: %zu backups checked, %llu damaged, %llu other problems%s%s\n", inv.backups.size(), ull(damaged),
           ull(odd), o.data ? ", image bytes read: " : "", o.data ? read : "");
  }
  bool clean = damaged == 0 && odd == 0 && inv.unreadable_dirs == 0;
  if (o.metrics_file != nullptr) {
    MetricSample samples[] = {
        {"orv_admin_verify_backups_checked", "Finished backups checked by the last verify.", "gauge",
         static_cast<double>(inv.backups.size())},
        {"orv_admin_verify_problems", "Backups and other entries with problems found by the last verify.", "gauge",
         static_cast<double>(damaged + odd)},
        {"orv_admin_verify_bytes_read", "Image bytes read by the last verify (with --data).", "gauge",
         static_cast<double>(ctx.bytes_read)},
        {"orv_admin_run_duration_seconds", "Wall-clock time the last orv_admin command took.", "gauge",
         static_cast<double>(monotonic_ms() - start_ms) / 1000.0},
    };
    char error[512];
    if (metrics_file_write(o.metrics_file, "verify", samples, sizeof samples / sizeof samples[0], now_seconds(),
                           clean, error, sizeof error) != STATUS_OK) {
      write_metrics_warning("verify", error);
      return ADMIN_EXIT_PROBLEMS;
    }
  }
  return clean ? ADMIN_EXIT_OK : ADMIN_EXIT_PROBLEMS;
}

// ---- prune -------------------------------------------------------------------

void prune_item_json(const Inventory& inv, const AdminBackup& b, const char* reason, char* buf) {
  char id[UUID_TEXT_SIZE];
  char catalog[STORE_PATH_SIZE + ADMIN_FILE_NAME_SIZE];
  uuid_text(b.uuid, id);
  if (!inventory_path(inv, b.dir, b.file, catalog, sizeof catalog)) catalog[0] = '\0';
  JsonWriter w;
  json_init(&w, buf, kJsonItem);
  json_begin_object(&w);
  json_add_string(&w, "subdir", inv.dirs[b.dir].rel);
  json_add_string(&w, "uuid", id);
  json_add_string(&w, "name", b.name);
  json_add_string(&w, "catalog", catalog);
  json_add_u64(&w, "bytes", b.image_bytes + b.catalog_bytes);
  if (reason != nullptr) json_add_string(&w, "reason", reason);
  json_end_object(&w);
}

int run_prune(const AdminOptions& o, const Inventory& inv) {
  uint64_t start_ms = monotonic_ms();
  PruneOptions po;
  po.as_of = o.as_of_given ? o.as_of : inv.now;
  po.orphan_age_seconds = o.orphan_age_days * 86400;
  po.dry_run = o.dry_run;
  std::unique_ptr<PruneResult> r(new (std::nothrow) PruneResult);
  if (!r || prune_run(inv, po, r.get()) != STATUS_OK) {
    fprintf(stderr, "%s: prune: out of memory\n", kProgram);
    return ADMIN_EXIT_PROBLEMS;
  }
  char buf[kJsonItem];
  if (o.json) {
    printf("{\"dry_run\":%s,\"as_of\":%lld", o.dry_run ? "true" : "false", static_cast<long long>(po.as_of));
    JsonArray deleted("deleted", false);
    for (size_t i = 0; i < inv.backups.size(); ++i) {
      if (!r->deleted[i]) continue;
      prune_item_json(inv, inv.backups[i], nullptr, buf);
      deleted.item(buf);
    }
    deleted.close();
    JsonArray kept("kept_expired", false);
    for (size_t i = 0; i < inv.backups.size(); ++i) {
      if (!r->expired[i] || r->deleted[i] || r->reason[i] == KeepReason::none) continue;
      prune_item_json(inv, inv.backups[i], keep_reason_text(r->reason[i]), buf);
      kept.item(buf);
    }
    kept.close();
    JsonArray orphans("orphans_deleted", false);
    for (size_t k = 0; k < r->orphans.size(); ++k) {
      const AdminStray& s = inv.strays[r->orphans[k]];
      JsonWriter w;
      json_init(&w, buf, sizeof buf);
      json_begin_object(&w);
      json_add_string(&w, "subdir", inv.dirs[s.dir].rel);
      json_add_string(&w, "file", s.file);
      json_add_u64(&w, "bytes", s.bytes);
      json_add_i64(&w, "age_seconds", s.age_seconds);
      json_end_object(&w);
      orphans.item(buf);
    }
    orphans.close();
    JsonArray failures("failures", false);
    for (size_t k = 0; k < r->failures.size(); ++k) {
      const PruneFailure& f = r->failures[k];
      JsonWriter w;
      json_init(&w, buf, sizeof buf);
      json_begin_object(&w);
      json_add_string(&w, "subdir", inv.dirs[f.dir].rel);
      json_add_string(&w, "file", f.file);
      json_add_i64(&w, "status", f.status);
      json_add_string(&w, "error", status_text(f.status));
      json_end_object(&w);
      failures.item(buf);
    }
    failures.close();
    printf(",\"freed_bytes\":%llu}\n", ull(r->freed_bytes));
  } else {
    const char* verb = o.dry_run ? "would delete" : "deleted";
    for (size_t i = 0; i < inv.backups.size(); ++i) {
      const AdminBackup& b = inv.backups[i];
      char id[UUID_TEXT_SIZE];
      uuid_text(b.uuid, id);
      if (r->deleted[i]) {
        printf("%s %s/%s (%s %s %s)\n", verb, shown_subdir(inv.dirs[b.dir].rel), b.file, b.name,
               admin_type_word(b.type), id);
      } else if (r->expired[i] && r->reason[i] != KeepReason::none) {
        printf("kept %s/%s (%s %s %s), expired but %s\n", shown_subdir(inv.dirs[b.dir].rel), b.file, b.name,
               admin_type_word(b.type), id, keep_reason_text(r->reason[i]));
      }
    }
    for (size_t k = 0; k < r->orphans.size(); ++k) {
      const AdminStray& s = inv.strays[r->orphans[k]];
      printf("%s orphan %s/%s (%llu bytes, %lld days old)\n", verb, shown_subdir(inv.dirs[s.dir].rel), s.file,
             ull(s.bytes), static_cast<long long>(s.age_seconds / 86400));
    }
    for (size_t k = 0; k < r->failures.size(); ++k) {
      const PruneFailure& f = r->failures[k];
      printf("FAILED to delete %s/%s: %s (status=%d)\n", inv.dirs[f.dir].abs, f.file, status_text(f.status),
             f.status);
    }
    char freed[32];
    bytes_text(r->freed_bytes, freed, sizeof freed);
    printf("prune: %s %llu backups and %zu orphan files, %s %s (%llu bytes); %llu expired backups kept\n", verb,
           ull(r->deleted_count), r->orphans.size(), o.dry_run ? "would free" : "freed", freed, ull(r->freed_bytes),
           ull(r->kept_expired_count));
  }
  bool clean = r->failures.size() == 0 && inv.unreadable_dirs == 0;
  if (o.metrics_file != nullptr) {
    MetricSample samples[] = {
        {"orv_admin_prune_deleted_backups", "Backups deleted by the last prune.", "gauge",
         static_cast<double>(o.dry_run ? 0 : r->deleted_count)},
        {"orv_admin_prune_freed_bytes", "Bytes freed by the last prune.", "gauge",
         static_cast<double>(o.dry_run ? 0 : r->freed_bytes)},
        {"orv_admin_prune_kept_expired_backups", "Expired backups the last prune kept because something needs them.",
         "gauge", static_cast<double>(r->kept_expired_count)},
        {"orv_admin_prune_orphans_deleted", "Images without a catalog and .tmp files deleted by the last prune.",
         "gauge", static_cast<double>(o.dry_run ? 0 : r->orphans.size())},
        {"orv_admin_prune_failures", "Files the last prune could not delete.", "gauge",
         static_cast<double>(r->failures.size())},
        {"orv_admin_run_duration_seconds", "Wall-clock time the last orv_admin command took.", "gauge",
         static_cast<double>(monotonic_ms() - start_ms) / 1000.0},
    };
    char error[512];
    if (metrics_file_write(o.metrics_file, "prune", samples, sizeof samples / sizeof samples[0], now_seconds(), clean,
                           error, sizeof error) != STATUS_OK) {
      write_metrics_warning("prune", error);
      return ADMIN_EXIT_PROBLEMS;
    }
  }
  return clean ? ADMIN_EXIT_OK : ADMIN_EXIT_PROBLEMS;
}

const char* command_word(AdminCommand c) {
  switch (c) {
    case AdminCommand::list: return "list";
    case AdminCommand::du: return "du";
    case AdminCommand::verify: return "verify";
    case AdminCommand::prune: return "prune";
    default: return "orv_admin";
  }
}

}  // namespace

int admin_main(int argc, char** argv) {
  AdminOptions o;
  char error[1024];
  if (admin_parse(argc, argv, &o, error, sizeof error) != STATUS_OK) {
    fprintf(stderr, "%s: %s\n\n%s", kProgram, error, admin_usage_text());
    return ADMIN_EXIT_USAGE;
  }
  if (o.command == AdminCommand::help) {
    fputs(admin_usage_text(), stdout);
    return ADMIN_EXIT_OK;
  }
  if (o.command == AdminCommand::version) {
    printf("%s %s\n", kProgram, kVersion);
    return ADMIN_EXIT_OK;
  }
  log_init(kProgram, LEVEL_WARN);
  std::unique_ptr<Inventory> inv(new (std::nothrow) Inventory);
  if (!inv) {
    fprintf(stderr, "%s: out of memory\n", kProgram);
    return ADMIN_EXIT_PROBLEMS;
  }
  {
    ProgressLine line;
    line.show("%s: reading %s", command_word(o.command), o.storage);
    if (inventory_load(o.storage, o.subdir, now_seconds(), inv.get(), error, sizeof error) != STATUS_OK) {
      line.finish();
      fprintf(stderr, "%s: %s: %s\n", kProgram, command_word(o.command), error);
      return ADMIN_EXIT_PROBLEMS;
    }
  }
  int code = ADMIN_EXIT_PROBLEMS;
  switch (o.command) {
    case AdminCommand::list: code = run_list(o, *inv); break;
    case AdminCommand::du: code = run_du(o, *inv); break;
    case AdminCommand::verify: code = run_verify(o, *inv); break;
    case AdminCommand::prune: code = run_prune(o, *inv); break;
    default: break;
  }
  fflush(stdout);
  return code;
}

}  // namespace orv
