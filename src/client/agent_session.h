// What every agent operation needs to reach a target, and the error record
// the operations fill so that the command line can say exactly what failed:
// the request, and either the target's own ERROR text and status or the
// transport's explanation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/client.h"
#include "protocol/payloads.h"

namespace orv {

inline constexpr size_t AGENT_ERROR_TEXT_SIZE = 512;

// How this client fills the agent fields of every BLOCK it sends (the
// target stores them unchanged in the block's catalog entry): the agent u32
// holds the number of source bytes the block covers, the agent byte is
// AGENT_ENTRY_SHA256, and the 32 agent bytes hold the SHA-256 of those
// source bytes. An all-zero block is sent without data (entry flag bit 0)
// but with the same length and digest, so a restore can check every block
// and an incremental backup can tell which blocks changed.
inline constexpr uint8_t AGENT_ENTRY_SHA256 = 1;

struct AgentTarget {
  char host[256] = "127.0.0.1";
  uint16_t port = 9990;
  // Name the certificate must carry; empty: host. Ignored without ca_file.
  char server_name[256] = {};
  // CA certificates that must sign the target's certificate; empty: the
  // certificate is not verified.
  char ca_file[1024] = {};
  uint32_t timeout_ms = 120000;  // per send or receive; 0: none
  char api_key[HELLO_API_KEY_SIZE + 1] = {};
  char subdir[WIRE_SUBDIR_SIZE + 1] = {};
};

struct AgentError {
  int32_t status = 0;
  bool from_target = false;  // the target answered ERROR
  bool transport = false;    // the connection failed (may be retried)
  char text[AGENT_ERROR_TEXT_SIZE] = {};
};

// Records the failure of `step` (a request name such as "BEGIN", or a local
// step) with status rc: the target's ERROR when the client received one,
// else the transport error text when rc is STATUS_IO, else the status text.
void agent_error_from(AgentError* err, const char* step, int32_t rc, const Client* client);
// Records a failure that has nothing to do with the target.
void agent_error_set(AgentError* err, int32_t rc, const char* format, ...) __attribute__((format(printf, 3, 4)));
// "<text> (status=<n>, <status text>)", ready for a message line.
void agent_error_format(const AgentError& err, char* out, size_t size);

// TLS connection only (no request yet). On failure *client is closed and
// err filled; refused and timed-out connections count as transport
// failures that may be retried.
[[nodiscard]] int32_t agent_open(const AgentTarget& target, Client* client, AgentError* err);
// TLS connection and HELLO with the given agent flags. On failure *client
// is closed and err filled.
[[nodiscard]] int32_t agent_connect(const AgentTarget& target, uint32_t flags, Client* client, HelloReply* reply,
                                    AgentError* err);

// LIST_BACKUPS of target.subdir on an open session, oldest first. *out is a
// new[] array of *count items (null when none) that the caller deletes[].
[[nodiscard]] int32_t agent_list(Client* client, const AgentTarget& target, const char* name_filter,
                                 BackupListEntry** out, uint32_t* count, bool* truncated, AgentError* err);

// A fresh random identifier (version 4 layout).
[[nodiscard]] int32_t agent_new_uuid(Uuid* out);

// "FULL", "DIFF", "INC" or "?".
const char* agent_type_name(uint8_t type);

}  // namespace orv
