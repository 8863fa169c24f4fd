// Command line of orv_client: the subcommand, the options every command
// shares (where the target is, how it is trusted, which key and storage
// sub-directory to use) and the options of each command. Parsing only; the
// commands themselves are in cli_commands.h.
//
// The API key is never taken from the command line, where other users could
// read it in the process list: it comes from --api-key-file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "integrity/uuid.h"
#include "protocol/messages.h"

namespace orv {

enum class CliCommand { none, help, version, ping, backup, list, restore, bench, verify };

inline constexpr size_t CLI_PATH_SIZE = 1024;
inline constexpr size_t CLI_HOST_SIZE = 256;
// Names are kept to what a backup header stores (63 characters).
inline constexpr size_t CLI_NAME_MAX = HDR_NAME_SIZE - 1;
inline constexpr uint16_t CLI_DEFAULT_PORT = 9990;
inline constexpr uint32_t CLI_DEFAULT_BLOCK_SIZE = 4u << 20;
// A block's data travels in one BLOCK frame and is read back in one range.
inline constexpr uint32_t CLI_MAX_BLOCK_SIZE = READ_RANGE_MAX_LENGTH;
inline constexpr uint32_t CLI_DEFAULT_TIMEOUT_SEC = 120;
inline constexpr uint32_t CLI_DEFAULT_RETRIES = 5;

struct CliOptions {
  CliCommand command = CliCommand::none;

  // Shared by every command.
  char host[CLI_HOST_SIZE] = "127.0.0.1";
  uint16_t port = CLI_DEFAULT_PORT;
  char api_key_file[CLI_PATH_SIZE] = {};
  char subdir[WIRE_SUBDIR_SIZE + 1] = {};
  char ca_file[CLI_PATH_SIZE] = {};
  char server_name[CLI_HOST_SIZE] = {};  // empty: the host of --target
  bool insecure = false;
  uint32_t timeout_sec = CLI_DEFAULT_TIMEOUT_SEC;
  bool quiet = false;  // no progress line even on a terminal

  // backup
  char path[CLI_PATH_SIZE] = {};  // backup: the source; restore: the output
  char name[CLI_NAME_MAX + 1] = {};
  uint8_t type = BACKUP_FULL;
  uint32_t block_size = CLI_DEFAULT_BLOCK_SIZE;
  bool block_size_given = false;
  char retention[BEGIN_RETENTION_SIZE + 1] = {};
  char label[BEGIN_LABEL_SIZE + 1] = {};
  uint32_t retries = CLI_DEFAULT_RETRIES;

  // list
  bool json = false;

  // restore and verify: a uuid, or the newest backup of --name.
  bool has_uuid = false;
  Uuid uuid;

  // bench
  uint32_t sessions = 4;
  uint64_t bench_size = 256ull << 20;
  uint32_t window = 2;
};

// Parses argv (argv[0] is the program). On failure returns STATUS_INVALID
// with a one-line reason in error.
[[nodiscard]] int32_t cli_parse(int argc, char** argv, CliOptions* out, char* error, size_t error_size);

// The usage text printed by --help and after a usage error.
const char* cli_usage_text();

// Sizes (--block-size, --size) are read by parse_size of core/args.h with
// SIZE_ALL_FORMS: "123", "64K", "4M", "4MiB", "1G", "2T".

// The 36-character form "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", either case.
[[nodiscard]] int32_t cli_parse_uuid(const char* text, Uuid* out);
// "host:port", "host" (default port) or "[host]:port" is not supported: the
// target listens on IPv4 only.
[[nodiscard]] int32_t cli_parse_target(const char* text, char* host, size_t host_size, uint16_t* port);

// Reads the API key: the first word of the first line that is neither empty
// nor a comment ('#'), so a file holding just the key and an access-list
// file both work. STATUS_NOT_FOUND when the file holds no key,
// STATUS_INVALID when the key is longer than the 64 bytes HELLO carries;
// error says which file and why.
[[nodiscard]] int32_t cli_read_api_key(const char* path, char* key, size_t key_size, char* error,
                                       size_t error_size);

}  // namespace orv
