#include "admin/admin_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/args.h"
#include "core/status.h"

namespace orv {

namespace {

constexpr char kUsage[] =
    "usage: orv_admin <command> [options]\n"
    "\n"
    "Works directly on the backups below a storage root, beside a running orv_target.\n"
    "\n"
    "commands:\n"
    "  list                  every backup (name, type, uuid, parent, created, expires, sizes), the\n"
    "                        partial backups with their last checkpoint and age, totals per sub-directory\n"
    "  du                    space per sub-directory and per backup name, and what a prune would free\n"
    "  verify                check every catalog, image size, entry ranges and chain; changes nothing\n"
    "  prune                 delete expired backups that nothing needs any more, and old orphan files\n"
    "\n"
    "options of every command:\n"
    "  --storage DIR         the storage root (default /var/lib/orv_target)\n"
    "  --subdir GLOB         only sub-directories matching GLOB ('*' does not match '/'; \"a/**\" is\n"
    "                        everything below a)\n"
    "  --json                one JSON document on standard output\n"
    "\n"
    "verify:   --data (also read every byte of every image), --rate MB/s (read at most this fast;\n"
    "          default no limit), --metrics-file PATH\n"
    "prune:    --dry-run (only say what would go), --as-of UNIX_SECONDS (prune as if it were then),\n"
    "          --orphan-age DAYS (images without a catalog and .tmp files older than this go;\n"
    "          default 7), --metrics-file PATH\n"
    "--metrics-file writes the result in the Prometheus text format (for node_exporter's textfile\n"
    "collector), through a temporary file and a rename.\n"
    "\n"
    "A progress line is drawn on standard error when it is a terminal.\n"
    "Exit status: 0 clean, 1 problems found or work failed, 2 usage error.\n";

bool parse_i64(const char* text, int64_t min, int64_t max, int64_t* out) {
  if (text == nullptr || text[0] == '\0') return false;
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(text, &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

bool parse_rate(const char* text, double* out) {
  if (text == nullptr || text[0] == '\0' || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  double v = strtod(text, &end);
  if (errno != 0 || end == nullptr || *end != '\0' || !(v >= 0) || v > 1e6) return false;
  *out = v;
  return true;
}

struct OptionRow {
  const char* name;
  bool takes_value;
  // Commands that accept it (bit per AdminCommand value).
  unsigned commands;
};

constexpr unsigned bit(AdminCommand c) { return 1u << static_cast<unsigned>(c); }
constexpr unsigned kAll = bit(AdminCommand::list) | bit(AdminCommand::du) | bit(AdminCommand::verify) |
                          bit(AdminCommand::prune);

constexpr OptionRow kOptions[] = {
    {"--storage", true, kAll},
    {"--subdir", true, kAll},
    {"--json", false, kAll},
    {"--data", false, bit(AdminCommand::verify)},
    {"--rate", true, bit(AdminCommand::verify)},
    {"--dry-run", false, bit(AdminCommand::prune)},
    {"--as-of", true, bit(AdminCommand::prune)},
    {"--orphan-age", true, bit(AdminCommand::prune)},
    {"--metrics-file", true, bit(AdminCommand::verify) | bit(AdminCommand::prune)},
};

int32_t apply(AdminOptions* o, const char* opt, const char* value, char* error, size_t error_size) {
  auto is = [opt](const char* name) { return strcmp(opt, name) == 0; };
  if (is("--storage")) {
    if (value[0] == '\0') goto bad_value;
    o->storage = value;
  } else if (is("--subdir")) {
    if (value[0] == '\0') goto bad_value;
    o->subdir = value;
  } else if (is("--json")) {
    o->json = true;
  } else if (is("--data")) {
    o->data = true;
  } else if (is("--rate")) {
    if (!parse_rate(value, &o->rate_mb)) goto bad_value;
  } else if (is("--dry-run")) {
    o->dry_run = true;
  } else if (is("--as-of")) {
    if (!parse_i64(value, 0, INT64_MAX / 2, &o->as_of)) goto bad_value;
    o->as_of_given = true;
  } else if (is("--orphan-age")) {
    if (!parse_i64(value, 0, 36500, &o->orphan_age_days)) goto bad_value;
  } else if (is("--metrics-file")) {
    if (value[0] == '\0') goto bad_value;
    o->metrics_file = value;
  }
  return STATUS_OK;
bad_value:
  set_error_text(error, error_size, "%s: '%s' is not a valid value", opt, value);
  return STATUS_INVALID;
}

}  // namespace

const char* admin_usage_text() { return kUsage; }

int32_t admin_parse(int argc, char** argv, AdminOptions* out, char* error, size_t error_size) {
  *out = AdminOptions{};
  if (error_size > 0) error[0] = '\0';
  if (argc < 2) {
    set_error_text(error, error_size, "no command given");
    return STATUS_INVALID;
  }
  const char* cmd = argv[1];
  if (strcmp(cmd, "--help") == 0 || strcmp(cmd, "-h") == 0 || strcmp(cmd, "help") == 0) {
    out->command = AdminCommand::help;
    return STATUS_OK;
  }
  if (strcmp(cmd, "--version") == 0) {
    out->command = AdminCommand::version;
    return STATUS_OK;
  }
  if (strcmp(cmd, "list") == 0) out->command = AdminCommand::list;
  else if (strcmp(cmd, "du") == 0) out->command = AdminCommand::du;
  else if (strcmp(cmd, "verify") == 0) out->command = AdminCommand::verify;
  else if (strcmp(cmd, "prune") == 0) out->command = AdminCommand::prune;
  else {
    set_error_text(error, error_size, "unknown command '%s'", cmd);
    return STATUS_INVALID;
  }
  for (int i = 2; i < argc; ++i) {
    const char* arg = argv[i];
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      out->command = AdminCommand::help;
      return STATUS_OK;
    }
    char opt[32];
    const char* eq = strchr(arg, '=');
    size_t len = eq != nullptr ? static_cast<size_t>(eq - arg) : strlen(arg);
    const OptionRow* row = nullptr;
    if (strncmp(arg, "--", 2) == 0 && len < sizeof opt) {
      memcpy(opt, arg, len);
      opt[len] = '\0';
      for (const OptionRow& r : kOptions) {
        if (strcmp(r.name, opt) == 0) row = &r;
      }
    }
    if (row == nullptr) {
      if (strncmp(arg, "-", 1) == 0) {
        set_error_text(error, error_size, "%s: unknown option %.*s", cmd, static_cast<int>(len), arg);
      } else {
        set_error_text(error, error_size, "%s: unexpected argument '%s'", cmd, arg);
      }
      return STATUS_INVALID;
    }
    if ((row->commands & bit(out->command)) == 0) {
      set_error_text(error, error_size, "%s: option %s is not valid here", cmd, row->name);
      return STATUS_INVALID;
    }
    const char* value = "";
    if (row->takes_value) {
      if (eq != nullptr) {
        value = eq + 1;
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        set_error_text(error, error_size, "%s: option %s needs a value", cmd, row->name);
        return STATUS_INVALID;
      }
    } else if (eq != nullptr) {
      set_error_text(error, error_size, "%s: option %s takes no value", cmd, row->name);
      return STATUS_INVALID;
    }
    int32_t rc = apply(out, row->name, value, error, error_size);
    if (rc != STATUS_OK) return rc;
  }
  return STATUS_OK;
}

}  // namespace orv
