#include "client/cli_options.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/args.h"
#include "core/status.h"
#include "core/text.h"

namespace orv {

namespace {

constexpr uint32_t kMinBlockSize = 4096;
constexpr uint32_t kMaxSessions = 1024;
constexpr uint32_t kMaxWindow = 16;
constexpr uint32_t kMaxRetries = 100;

constexpr char kUsage[] =
    "usage: orv_client <command> [options] [path]\n"
    "\n"
    "commands:\n"
    "  ping                  connect, PING and HELLO; print the target's version and host name\n"
    "  backup SOURCE         send a file or block device as a backup\n"
    "  list                  list the backups of a sub-directory\n"
    "  restore OUTPUT        fetch a backup's chain and write the reconstructed source to OUTPUT\n"
    "  bench                 parallel sessions sending generated data; prints throughput\n"
    "  verify                fetch a backup's chain and check every block against its checksum, writing nothing\n"
    "\n"
    "options of every command:\n"
    "  --target HOST[:PORT]  the target (default 127.0.0.1:9990)\n"
    "  --api-key-file FILE   file holding the API key (first word of the first line that is\n"
    "                        neither empty nor a comment)\n"
    "  --subdir DIR          storage sub-directory on the target\n"
    "  --ca-file FILE        verify the target's certificate against these CA certificates\n"
    "  --server-name NAME    name the certificate must carry (default: the host of --target)\n"
    "  --insecure            do not verify the target's certificate (self-signed development setups)\n"
    "  --timeout SEC         give up on a target that does not answer for SEC seconds (default 120)\n"
    "  --quiet               no progress line\n"
    "\n"
    "backup:   --name NAME (default: the source's file name), --type full|inc|diff (default full),\n"
    "          --block-size SIZE (default 4M), --retention VALUE (forever, or a count with d, w, m, y),\n"
    "          --label TEXT, --retries N (reconnect attempts after a dropped connection, default 5)\n"
    "list:     --name NAME (only backups of this name), --json\n"
    "restore:  --uuid UUID, or --name NAME for the newest backup of that name\n"
    "bench:    --sessions N (default 4), --size SIZE per session (default 256M), --block-size SIZE,\n"
    "          --window N (blocks in flight per session, default 2), --name PREFIX (default bench)\n"
    "verify:   --uuid UUID, or --name NAME for the newest backup of that name\n"
    "\n"
    "Sizes take the suffixes K, M, G, T (binary). Exit status: 0 success, 1 failure, 2 usage error,\n"
    "3 restored data that does not match its checksums.\n"
    "verify exits with 3 too when a stored block does not match its checksum.\n";

bool parse_u32(const char* text, uint32_t min, uint32_t max, uint32_t* out) {
  if (text == nullptr || !isdigit(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || v < min || v > max) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

// Copies text into a field of cap bytes; false when it does not fit.
bool copy_field(char* dst, size_t cap, const char* text) {
  size_t n = strlen(text);
  if (n >= cap) return false;
  copy_text(dst, cap, text);
  return true;
}

const char* command_name(CliCommand c) {
  switch (c) {
    case CliCommand::ping: return "ping";
    case CliCommand::backup: return "backup";
    case CliCommand::list: return "list";
    case CliCommand::restore: return "restore";
    case CliCommand::bench: return "bench";
    case CliCommand::verify: return "verify";
    default: return "orv_client";
  }
}

// Which command accepts which option beyond the shared ones.
bool option_allowed(CliCommand c, const char* opt) {
  auto is = [opt](const char* name) { return strcmp(opt, name) == 0; };
  if (is("--name")) return c == CliCommand::backup || c == CliCommand::list || c == CliCommand::restore ||
                           c == CliCommand::bench || c == CliCommand::verify;
  if (is("--type") || is("--retention") || is("--label") || is("--retries")) return c == CliCommand::backup;
  if (is("--block-size")) return c == CliCommand::backup || c == CliCommand::bench;
  if (is("--json")) return c == CliCommand::list;
  if (is("--uuid")) return c == CliCommand::restore || c == CliCommand::verify;
  if (is("--sessions") || is("--size") || is("--window")) return c == CliCommand::bench;
  return true;
}

int32_t apply_option(CliOptions* o, const char* opt, const char* value, char* error, size_t error_size) {
  auto is = [opt](const char* name) { return strcmp(opt, name) == 0; };
  if (is("--target")) {
    if (cli_parse_target(value, o->host, sizeof o->host, &o->port) != STATUS_OK) {
      set_error_text(error, error_size, "--target wants HOST or HOST:PORT, got '%s'", value);
      return STATUS_INVALID;
    }
  } else if (is("--api-key-file")) {
    if (!copy_field(o->api_key_file, sizeof o->api_key_file, value)) goto too_long;
  } else if (is("--subdir")) {
    if (!copy_field(o->subdir, sizeof o->subdir, value)) goto too_long;
  } else if (is("--ca-file")) {
    if (!copy_field(o->ca_file, sizeof o->ca_file, value)) goto too_long;
  } else if (is("--server-name")) {
    if (!copy_field(o->server_name, sizeof o->server_name, value)) goto too_long;
  } else if (is("--timeout")) {
    if (!parse_u32(value, 1, 86400, &o->timeout_sec)) goto bad_number;
  } else if (is("--name")) {
    if (!copy_field(o->name, sizeof o->name, value)) goto too_long;
  } else if (is("--type")) {
    if (strcmp(value, "full") == 0) o->type = BACKUP_FULL;
    else if (strcmp(value, "diff") == 0) o->type = BACKUP_DIFF;
    else if (strcmp(value, "inc") == 0) o->type = BACKUP_INC;
    else {
      set_error_text(error, error_size, "--type wants full, inc or diff, got '%s'", value);
      return STATUS_INVALID;
    }
  } else if (is("--block-size")) {
    uint64_t v = 0;
    if (parse_size(value, SIZE_ALL_FORMS, &v) != STATUS_OK || v < kMinBlockSize || v > CLI_MAX_BLOCK_SIZE) {
      set_error_text(error, error_size, "--block-size wants a size from %u bytes to %u bytes, got '%s'", kMinBlockSize,
                     CLI_MAX_BLOCK_SIZE, value);
      return STATUS_INVALID;
    }
    o->block_size = static_cast<uint32_t>(v);
    o->block_size_given = true;
  } else if (is("--retention")) {
    if (!copy_field(o->retention, sizeof o->retention, value)) goto too_long;
  } else if (is("--label")) {
    if (!copy_field(o->label, sizeof o->label, value)) goto too_long;
  } else if (is("--retries")) {
    if (!parse_u32(value, 0, kMaxRetries, &o->retries)) goto bad_number;
  } else if (is("--uuid")) {
    if (cli_parse_uuid(value, &o->uuid) != STATUS_OK) {
      set_error_text(error, error_size, "--uuid wants the form xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx, got '%s'", value);
      return STATUS_INVALID;
    }
    o->has_uuid = true;
  } else if (is("--sessions")) {
    if (!parse_u32(value, 1, kMaxSessions, &o->sessions)) goto bad_number;
  } else if (is("--window")) {
    if (!parse_u32(value, 1, kMaxWindow, &o->window)) goto bad_number;
  } else if (is("--size")) {
    if (parse_size(value, SIZE_ALL_FORMS, &o->bench_size) != STATUS_OK || o->bench_size == 0) goto bad_number;
  } else {
    set_error_text(error, error_size, "unknown option %s", opt);
    return STATUS_INVALID;
  }
  return STATUS_OK;
too_long:
  set_error_text(error, error_size, "the value of %s is too long", opt);
  return STATUS_INVALID;
bad_number:
  set_error_text(error, error_size, "%s: '%s' is not a valid value", opt, value);
  return STATUS_INVALID;
}

bool is_known(const char* opt) {
  static constexpr const char* kKnown[] = {
      "--target", "--api-key-file", "--subdir", "--ca-file", "--server-name", "--timeout", "--name",
      "--type", "--block-size", "--retention", "--label", "--retries", "--uuid", "--sessions", "--window",
      "--size", "--insecure", "--json", "--quiet"};
  for (const char* k : kKnown) {
    if (strcmp(opt, k) == 0) return true;
  }
  return false;
}

bool is_flag(const char* opt) {
  return strcmp(opt, "--insecure") == 0 || strcmp(opt, "--json") == 0 || strcmp(opt, "--quiet") == 0;
}

// Checks that belong to the whole command line rather than one option.
int32_t check_complete(CliOptions* o, char* error, size_t error_size) {
  const char* cmd = command_name(o->command);
  if (o->api_key_file[0] == '\0') {
    set_error_text(error, error_size, "%s: --api-key-file is required", cmd);
    return STATUS_INVALID;
  }
  if (o->insecure && o->ca_file[0] != '\0') {
    set_error_text(error, error_size, "%s: give either --ca-file or --insecure, not both", cmd);
    return STATUS_INVALID;
  }
  if (!o->insecure && o->ca_file[0] == '\0') {
    set_error_text(error, error_size,
                   "%s: the target's certificate must be verified: give --ca-file, or --insecure for a self-signed "
                   "development setup",
                   cmd);
    return STATUS_INVALID;
  }
  bool needs_subdir = o->command != CliCommand::ping;
  if (needs_subdir && o->subdir[0] == '\0') {
    set_error_text(error, error_size, "%s: --subdir is required", cmd);
    return STATUS_INVALID;
  }
  bool needs_path = o->command == CliCommand::backup || o->command == CliCommand::restore;
  if (needs_path && o->path[0] == '\0') {
    set_error_text(error, error_size, "%s: the %s path is missing", cmd,
                   o->command == CliCommand::backup ? "source" : "output");
    return STATUS_INVALID;
  }
  if (!needs_path && o->path[0] != '\0') {
    set_error_text(error, error_size, "%s: unexpected argument '%s'", cmd, o->path);
    return STATUS_INVALID;
  }
  if (o->command == CliCommand::backup && o->name[0] == '\0') {
    const char* slash = strrchr(o->path, '/');
    const char* base = slash != nullptr ? slash + 1 : o->path;
    if (base[0] == '\0' || !copy_field(o->name, sizeof o->name, base)) {
      set_error_text(error, error_size, "backup: give the backup a name with --name (at most %zu characters)",
                     CLI_NAME_MAX);
      return STATUS_INVALID;
    }
  }
  if (o->command == CliCommand::restore || o->command == CliCommand::verify) {
    if (o->has_uuid == (o->name[0] != '\0')) {
      set_error_text(error, error_size, "%s: give either --uuid or --name", cmd);
      return STATUS_INVALID;
    }
  }
  if (o->command == CliCommand::bench && o->name[0] == '\0') copy_text(o->name, sizeof o->name, "bench");
  return STATUS_OK;
}

}  // namespace

const char* cli_usage_text() { return kUsage; }

int32_t cli_parse_uuid(const char* text, Uuid* out) {
  if (text == nullptr || strlen(text) != UUID_TEXT_SIZE - 1) return STATUS_INVALID;
  Uuid u;
  size_t byte = 0;
  for (size_t i = 0; i < UUID_TEXT_SIZE - 1;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return STATUS_INVALID;
      ++i;
      continue;
    }
    int hi = isxdigit(static_cast<unsigned char>(text[i])) ? text[i] : -1;
    int lo = isxdigit(static_cast<unsigned char>(text[i + 1])) ? text[i + 1] : -1;
    if (hi < 0 || lo < 0) return STATUS_INVALID;
    auto nibble = [](int c) { return isdigit(c) ? c - '0' : (tolower(c) - 'a' + 10); };
    u.bytes[byte++] = static_cast<uint8_t>(nibble(hi) << 4 | nibble(lo));
    i += 2;
  }
  if (byte != UUID_SIZE) return STATUS_INVALID;
  *out = u;
  return STATUS_OK;
}

int32_t cli_parse_target(const char* text, char* host, size_t host_size, uint16_t* port) {
  if (text == nullptr || text[0] == '\0' || text[0] == ':' || text[0] == '[') return STATUS_INVALID;
  const char* colon = strrchr(text, ':');
  size_t host_len = colon != nullptr ? static_cast<size_t>(colon - text) : strlen(text);
  if (host_len == 0 || host_len >= host_size || memchr(text, ':', host_len) != nullptr) return STATUS_INVALID;
  uint16_t p = CLI_DEFAULT_PORT;
  if (colon != nullptr) {
    uint32_t v = 0;
    if (!parse_u32(colon + 1, 1, 65535, &v)) return STATUS_INVALID;
    p = static_cast<uint16_t>(v);
  }
  memcpy(host, text, host_len);
  host[host_len] = '\0';
  *port = p;
  return STATUS_OK;
}

int32_t cli_read_api_key(const char* path, char* key, size_t key_size, char* error, size_t error_size) {
  if (key_size > 0) key[0] = '\0';
  FILE* f = fopen(path, "re");
  if (f == nullptr) {
    char text[128];
    int32_t rc = status_from_errno(errno);
    set_error_text(error, error_size, "cannot read the API key file %s: %s", path, errno_text(text, sizeof text));
    return rc;
  }
  char line[1024];
  int32_t rc = STATUS_NOT_FOUND;
  while (fgets(line, sizeof line, f) != nullptr) {
    char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '#' || *p == '\n' || *p == '\r' || *p == '\0') continue;
    size_t n = strcspn(p, " \t\r\n");
    if (n > HELLO_API_KEY_SIZE || n >= key_size) {
      set_error_text(error, error_size, "the API key in %s is longer than %zu characters", path, HELLO_API_KEY_SIZE);
      rc = STATUS_INVALID;
    } else {
      memcpy(key, p, n);
      key[n] = '\0';
      rc = STATUS_OK;
    }
    break;
  }
  explicit_bzero(line, sizeof line);
  fclose(f);
  if (rc == STATUS_NOT_FOUND) set_error_text(error, error_size, "the API key file %s holds no key", path);
  return rc;
}

int32_t cli_parse(int argc, char** argv, CliOptions* out, char* error, size_t error_size) {
  *out = CliOptions{};
  if (error_size > 0) error[0] = '\0';
  if (argc < 2) {
    set_error_text(error, error_size, "no command given");
    return STATUS_INVALID;
  }
  const char* cmd = argv[1];
  if (strcmp(cmd, "--help") == 0 || strcmp(cmd, "-h") == 0 || strcmp(cmd, "help") == 0) {
    out->command = CliCommand::help;
    return STATUS_OK;
  }
  if (strcmp(cmd, "--version") == 0) {
    out->command = CliCommand::version;
    return STATUS_OK;
  }
  if (strcmp(cmd, "ping") == 0) out->command = CliCommand::ping;
  else if (strcmp(cmd, "backup") == 0) out->command = CliCommand::backup;
  else if (strcmp(cmd, "list") == 0) out->command = CliCommand::list;
  else if (strcmp(cmd, "restore") == 0) out->command = CliCommand::restore;
  else if (strcmp(cmd, "bench") == 0) out->command = CliCommand::bench;
  else if (strcmp(cmd, "verify") == 0) out->command = CliCommand::verify;
  else {
    set_error_text(error, error_size, "unknown command '%s'", cmd);
    return STATUS_INVALID;
  }

  for (int i = 2; i < argc; ++i) {
    const char* arg = argv[i];
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      out->command = CliCommand::help;
      return STATUS_OK;
    }
    if (strncmp(arg, "--", 2) != 0 || arg[2] == '\0') {
      if (out->path[0] != '\0') {
        set_error_text(error, error_size, "%s: more than one path given ('%s')", cmd, arg);
        return STATUS_INVALID;
      }
      if (!copy_field(out->path, sizeof out->path, arg) || arg[0] == '\0') {
        set_error_text(error, error_size, "%s: bad path '%s'", cmd, arg);
        return STATUS_INVALID;
      }
      continue;
    }
    // --name=value or --name value
    char opt[64];
    const char* value = nullptr;
    const char* eq = strchr(arg, '=');
    size_t opt_len = eq != nullptr ? static_cast<size_t>(eq - arg) : strlen(arg);
    if (opt_len >= sizeof opt) {
      set_error_text(error, error_size, "unknown option %s", arg);
      return STATUS_INVALID;
    }
    memcpy(opt, arg, opt_len);
    opt[opt_len] = '\0';
    if (!is_known(opt)) {
      set_error_text(error, error_size, "%s: unknown option %s", cmd, opt);
      return STATUS_INVALID;
    }
    if (is_flag(opt)) {
      if (eq != nullptr || !option_allowed(out->command, opt)) {
        set_error_text(error, error_size, "%s: option %s is not valid here", cmd, arg);
        return STATUS_INVALID;
      }
      if (strcmp(opt, "--insecure") == 0) out->insecure = true;
      else if (strcmp(opt, "--json") == 0) out->json = true;
      else out->quiet = true;
      continue;
    }
    if (eq != nullptr) {
      value = eq + 1;
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      set_error_text(error, error_size, "%s: option %s needs a value", cmd, opt);
      return STATUS_INVALID;
    }
    if (!option_allowed(out->command, opt)) {
      set_error_text(error, error_size, "%s: option %s is not valid here", cmd, opt);
      return STATUS_INVALID;
    }
    int32_t rc = apply_option(out, opt, value, error, error_size);
    if (rc != STATUS_OK) return rc;
  }
  return check_complete(out, error, error_size);
}

}  // namespace orv
