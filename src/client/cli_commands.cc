#include "client/cli_commands.h"

#include <time.h>

#include <cstdio>
#include <cstring>

#include "client/agent_backup.h"
#include "client/agent_bench.h"
#include "client/agent_restore.h"
#include "client/agent_session.h"
#include "client/agent_verify.h"
#include "client/cli_options.h"
#include "client/progress.h"
#include "core/json.h"
#include "core/status.h"
#include "core/sysinfo.h"
#include "core/text.h"

namespace orv {

namespace {

constexpr const char* kProgram = "orv_client";

void print_error(const char* command, const AgentError& err) {
  char text[AGENT_ERROR_TEXT_SIZE + 96];
  agent_error_format(err, text, sizeof text);
  fprintf(stderr, "%s: %s: %s\n", kProgram, command, text);
}

// Fills the connection settings and reads the key; false after printing why.
bool make_target(const CliOptions& o, AgentTarget* t) {
  *t = AgentTarget{};
  copy_text(t->host, sizeof t->host, o.host);
  t->port = o.port;
  copy_text(t->server_name, sizeof t->server_name, o.server_name);
  if (!o.insecure) copy_text(t->ca_file, sizeof t->ca_file, o.ca_file);
  t->timeout_ms = o.timeout_sec * 1000;
  copy_text(t->subdir, sizeof t->subdir, o.subdir);
  char error[CLI_PATH_SIZE + 128];
  int32_t rc = cli_read_api_key(o.api_key_file, t->api_key, sizeof t->api_key, error, sizeof error);
  if (rc != STATUS_OK) {
    fprintf(stderr, "%s: %s (status=%d, %s)\n", kProgram, error, rc, status_text(rc));
    return false;
  }
  return true;
}

void uuid_text(const Uuid& u, char out[UUID_TEXT_SIZE]) { uuid_format(u, out); }

void time_text(int64_t seconds, char* out, size_t size) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  if (gmtime_r(&t, &tm) == nullptr || strftime(out, size, "%Y-%m-%d %H:%M:%S", &tm) == 0) {
    snprintf(out, size, "%lld", static_cast<long long>(seconds));
  }
}

int run_ping(const CliOptions& o, AgentTarget* t) {
  Client client;
  AgentError err;
  int32_t rc = agent_open(*t, &client, &err);
  if (rc != STATUS_OK) {
    print_error("ping", err);
    return CLI_EXIT_FAILURE;
  }
  uint64_t t0 = monotonic_ms();
  rc = client_ping(&client);
  uint64_t rtt = monotonic_ms() - t0;
  if (rc != STATUS_OK) {
    agent_error_from(&err, "PING", rc, &client);
    print_error("ping", err);
    client_close(&client);
    return CLI_EXIT_FAILURE;
  }
  HelloReply reply;
  rc = client_hello(&client, t->api_key, true, 0, &reply);
  if (rc != STATUS_OK) {
    agent_error_from(&err, "HELLO", rc, &client);
    print_error("ping", err);
    client_close(&client);
    return CLI_EXIT_FAILURE;
  }
  client_close(&client);
  printf("target %s:%u: version %s on host \"%s\", protocol %u, PING answered in %llu ms\n", o.host,
         static_cast<unsigned>(o.port), reply.version_text, reply.host_name,
         static_cast<unsigned>(reply.protocol_version), static_cast<unsigned long long>(rtt));
  return CLI_EXIT_OK;
}

void print_list_json(const CliOptions& o, const BackupListEntry* entries, uint32_t count, bool truncated) {
  char buf[1024];
  JsonWriter w;
  json_init(&w, buf, sizeof buf);
  json_append(&w, "{\"subdir\":", 10);
  json_write_string(&w, o.subdir);
  json_append(&w, ",\"truncated\":", 13);
  json_append(&w, truncated ? "true" : "false", truncated ? 4 : 5);
  json_append(&w, ",\"backups\":[", 12);
  fputs(buf, stdout);
  for (uint32_t i = 0; i < count; ++i) {
    const BackupListEntry& e = entries[i];
    char id[UUID_TEXT_SIZE];
    char parent[UUID_TEXT_SIZE];
    char created[32];
    uuid_text(e.uuid, id);
    uuid_text(e.parent_uuid, parent);
    time_text(static_cast<int64_t>(e.created), created, sizeof created);
    json_init(&w, buf, sizeof buf);
    json_begin_object(&w);
    json_add_string(&w, "name", e.name);
    json_add_string(&w, "type", agent_type_name(e.type));
    json_add_string(&w, "uuid", id);
    json_add_string(&w, "parent_uuid", parent);
    json_add_u64(&w, "created", e.created);
    json_add_string(&w, "created_utc", created);
    json_add_u64(&w, "source_size", e.source_size);
    json_add_u64(&w, "image_size", e.image_size);
    json_add_u64(&w, "entry_count", e.entry_count);
    json_end_object(&w);
    if (i > 0) fputc(',', stdout);
    fputs(buf, stdout);
  }
  fputs("]}\n", stdout);
}

void print_list_table(const CliOptions& o, const BackupListEntry* entries, uint32_t count, bool truncated) {
  if (count == 0) {
    printf("no backups in '%s'%s\n", o.subdir, o.name[0] != '\0' ? " with that name" : "");
    return;
  }
  int width = 4;
  for (uint32_t i = 0; i < count; ++i) {
    int n = static_cast<int>(strlen(entries[i].name));
    if (n > width) width = n;
  }
  printf("%-*s  %-4s  %-36s  %-19s  %10s  %10s  %8s\n", width, "NAME", "TYPE", "UUID", "CREATED (UTC)", "SOURCE",
         "IMAGE", "BLOCKS");
  for (uint32_t i = 0; i < count; ++i) {
    const BackupListEntry& e = entries[i];
    char id[UUID_TEXT_SIZE];
    char created[32];
    char source[32];
    char image[32];
    uuid_text(e.uuid, id);
    time_text(static_cast<int64_t>(e.created), created, sizeof created);
    format_bytes(source, sizeof source, e.source_size);
    format_bytes(image, sizeof image, e.image_size);
    printf("%-*s  %-4s  %-36s  %-19s  %10s  %10s  %8llu\n", width, e.name, agent_type_name(e.type), id, created,
           source, image, static_cast<unsigned long long>(e.entry_count));
  }
  if (truncated) printf("(the target cut the list to the newest %u backups)\n", count);
}

int run_list(const CliOptions& o, AgentTarget* t) {
  Client client;
  HelloReply reply;
  AgentError err;
  if (agent_connect(*t, 0, &client, &reply, &err) != STATUS_OK) {
    print_error("list", err);
    return CLI_EXIT_FAILURE;
  }
  BackupListEntry* entries = nullptr;
  uint32_t count = 0;
  bool truncated = false;
  int32_t rc = agent_list(&client, *t, o.name, &entries, &count, &truncated, &err);
  client_close(&client);
  if (rc != STATUS_OK) {
    print_error("list", err);
    return CLI_EXIT_FAILURE;
  }
  if (o.json) print_list_json(o, entries, count, truncated);
  else print_list_table(o, entries, count, truncated);
  delete[] entries;
  return CLI_EXIT_OK;
}

int run_backup(const CliOptions& o, AgentTarget* t) {
  FileSource file;
  int32_t rc = file_source_open(o.path, &file);
  if (rc != STATUS_OK) {
    fprintf(stderr, "%s: backup: cannot open %s: %s (status=%d)\n", kProgram, o.path, status_text(rc), rc);
    return CLI_EXIT_FAILURE;
  }
  BackupParams p;
  p.target = *t;
  copy_text(p.name, sizeof p.name, o.name);
  p.type = o.type;
  p.block_size = o.block_size;
  p.block_size_given = o.block_size_given;
  copy_text(p.retention, sizeof p.retention, o.retention);
  copy_text(p.label, sizeof p.label, o.label);
  p.retries = o.retries;
  p.progress = !o.quiet;
  BackupResult r;
  AgentError err;
  rc = agent_backup(p, file.source, &r, &err);
  explicit_bzero(p.target.api_key, sizeof p.target.api_key);
  if (rc != STATUS_OK) {
    print_error("backup", err);
    return CLI_EXIT_FAILURE;
  }
  char id[UUID_TEXT_SIZE];
  char parent[UUID_TEXT_SIZE];
  char sent[32];
  char image[32];
  char block[32];
  uuid_text(r.uuid, id);
  uuid_text(r.parent_uuid, parent);
  format_bytes(sent, sizeof sent, r.bytes_sent);
  format_bytes(image, sizeof image, r.image_size);
  format_bytes(block, sizeof block, r.block_size);
  printf("backup finished\n");
  printf("name: %s\n", o.name);
  printf("type: %s\n", agent_type_name(r.type));
  printf("uuid: %s\n", id);
  if (r.type != BACKUP_FULL) printf("parent: %s\n", parent);
  printf("blocks: %llu of %s (sent %llu, unchanged %llu, kept from an interrupted backup %llu, "
         "without data %llu, sent again %llu)\n",
         static_cast<unsigned long long>(r.blocks), block, static_cast<unsigned long long>(r.blocks_sent),
         static_cast<unsigned long long>(r.blocks_unchanged), static_cast<unsigned long long>(r.blocks_kept),
         static_cast<unsigned long long>(r.blocks_zero), static_cast<unsigned long long>(r.blocks_resent));
  printf("data sent: %s\n", sent);
  printf("stored: %llu catalog entries, image %s\n", static_cast<unsigned long long>(r.entry_count), image);
  printf("reconnects: %u%s\n", r.reconnects, r.continued_earlier ? " (continued an interrupted backup)" : "");
  return CLI_EXIT_OK;
}

int run_restore(const CliOptions& o, AgentTarget* t) {
  RestoreParams p;
  p.target = *t;
  p.uuid = o.uuid;
  p.by_name = !o.has_uuid;
  copy_text(p.name, sizeof p.name, o.name);
  p.output = o.path;
  p.progress = !o.quiet;
  RestoreResult r;
  AgentError err;
  int32_t rc = agent_restore(p, &r, &err);
  explicit_bzero(p.target.api_key, sizeof p.target.api_key);
  if (rc != STATUS_OK) {
    print_error("restore", err);
    return rc == STATUS_CORRUPT && (r.mismatches != 0 || r.missing != 0) ? CLI_EXIT_MISMATCH : CLI_EXIT_FAILURE;
  }
  char id[UUID_TEXT_SIZE];
  char size[32];
  uuid_text(r.uuid, id);
  format_bytes(size, sizeof size, r.source_size);
  printf("restore finished\n");
  printf("name: %s\n", r.name);
  printf("type: %s\n", agent_type_name(r.type));
  printf("uuid: %s\n", id);
  printf("chain: %u backup%s\n", r.chain_length, r.chain_length == 1 ? "" : "s");
  printf("blocks: %llu (read %llu, without data %llu), every block checked\n",
         static_cast<unsigned long long>(r.blocks), static_cast<unsigned long long>(r.blocks_read),
         static_cast<unsigned long long>(r.blocks_zero));
  printf("size: %s (%llu bytes)\n", size, static_cast<unsigned long long>(r.source_size));
  printf("output: %s\n", o.path);
  return CLI_EXIT_OK;
}

int run_verify(const CliOptions& o, AgentTarget* t) {
  VerifyParams p;
  p.target = *t;
  p.uuid = o.uuid;
  p.by_name = !o.has_uuid;
  copy_text(p.name, sizeof p.name, o.name);
  p.progress = !o.quiet;
  VerifyResult r;
  AgentError err;
  int32_t rc = agent_verify(p, &r, &err);
  explicit_bzero(p.target.api_key, sizeof p.target.api_key);
  if (rc != STATUS_OK) {
    print_error("verify", err);
    return rc == STATUS_CORRUPT && (r.mismatches != 0 || r.missing != 0) ? CLI_EXIT_MISMATCH : CLI_EXIT_FAILURE;
  }
  char id[UUID_TEXT_SIZE];
  char size[32];
  char read[32];
  uuid_text(r.uuid, id);
  format_bytes(size, sizeof size, r.source_size);
  format_bytes(read, sizeof read, r.bytes_read);
  printf("verify finished\n");
  printf("name: %s\n", r.name);
  printf("type: %s\n", agent_type_name(r.type));
  printf("uuid: %s\n", id);
  printf("chain: %u backup%s\n", r.chain_length, r.chain_length == 1 ? "" : "s");
  printf("blocks: %llu (read %llu, without data %llu), every block matches its checksum\n",
         static_cast<unsigned long long>(r.blocks), static_cast<unsigned long long>(r.blocks_read),
         static_cast<unsigned long long>(r.blocks_zero));
  printf("size: %s (%llu bytes), %s read\n", size, static_cast<unsigned long long>(r.source_size), read);
  return CLI_EXIT_OK;
}

int run_bench(const CliOptions& o, AgentTarget* t) {
  BenchParams p;
  p.target = *t;
  copy_text(p.name_prefix, sizeof p.name_prefix, o.name);
  p.sessions = o.sessions;
  p.size = o.bench_size;
  p.block_size = o.block_size;
  p.window = o.window;
  char size[32];
  char block[32];
  format_bytes(size, sizeof size, p.size);
  format_bytes(block, sizeof block, p.block_size);
  printf("bench: %u session%s x %s in blocks of %s, %u in flight, into '%s'\n", p.sessions,
         p.sessions == 1 ? "" : "s", size, block, p.window, o.subdir);
  fflush(stdout);
  BenchResult r;
  int32_t rc = agent_bench(p, &r);
  explicit_bzero(p.target.api_key, sizeof p.target.api_key);
  if (r.sessions == nullptr) {
    fprintf(stderr, "%s: bench: cannot start the sessions: %s (status=%d)\n", kProgram, status_text(rc), rc);
    return CLI_EXIT_FAILURE;
  }
  for (uint32_t i = 0; i < r.count; ++i) {
    const BenchSession& s = r.sessions[i];
    if (s.status != STATUS_OK) {
      char text[AGENT_ERROR_TEXT_SIZE + 96];
      agent_error_format(s.err, text, sizeof text);
      printf("session %u: failed: %s\n", i, text);
      continue;
    }
    double rate = s.seconds > 0 ? static_cast<double>(s.bytes) / s.seconds / 1e6 : 0;
    printf("session %u: %.2f s, %.1f MB/s\n", i, s.seconds, rate);
  }
  char total[32];
  format_bytes(total, sizeof total, r.total_bytes);
  double aggregate = r.wall_seconds > 0 ? static_cast<double>(r.total_bytes) / r.wall_seconds / 1e6 : 0;
  printf("total: %s in %.2f s, %.1f MB/s aggregate%s\n", total, r.wall_seconds, aggregate,
         r.failed != 0 ? " (some sessions failed)" : "");
  bool ok = r.failed == 0;
  bench_result_free(&r);
  return ok ? CLI_EXIT_OK : CLI_EXIT_FAILURE;
}

}  // namespace

int cli_main(int argc, char** argv) {
  CliOptions o;
  char error[CLI_PATH_SIZE + 256];
  if (cli_parse(argc, argv, &o, error, sizeof error) != STATUS_OK) {
    fprintf(stderr, "%s: %s\n\n%s", kProgram, error, cli_usage_text());
    return CLI_EXIT_USAGE;
  }
  if (o.command == CliCommand::help) {
    fputs(cli_usage_text(), stdout);
    return CLI_EXIT_OK;
  }
  if (o.command == CliCommand::version) {
    printf("%s %s\n", kProgram, TARGET_VERSION_TEXT);
    return CLI_EXIT_OK;
  }
  AgentTarget target;
  if (!make_target(o, &target)) return CLI_EXIT_FAILURE;
  int code = CLI_EXIT_FAILURE;
  switch (o.command) {
    case CliCommand::ping: code = run_ping(o, &target); break;
    case CliCommand::backup: code = run_backup(o, &target); break;
    case CliCommand::list: code = run_list(o, &target); break;
    case CliCommand::restore: code = run_restore(o, &target); break;
    case CliCommand::bench: code = run_bench(o, &target); break;
    case CliCommand::verify: code = run_verify(o, &target); break;
    default: break;
  }
  explicit_bzero(target.api_key, sizeof target.api_key);
  fflush(stdout);
  return code;
}

}  // namespace orv
