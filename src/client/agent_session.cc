#include "client/agent_session.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/status.h"
#include "core/text.h"

namespace orv {

void agent_error_from(AgentError* err, const char* step, int32_t rc, const Client* client) {
  err->status = rc;
  err->from_target = client != nullptr && client->got_error;
  err->transport = !err->from_target && rc == STATUS_IO;
  if (err->from_target) {
    snprintf(err->text, sizeof err->text, "%s refused by the target: %s", step, client->last_error.text);
  } else if (rc == STATUS_IO && last_transport_error()[0] != '\0') {
    snprintf(err->text, sizeof err->text, "%s failed: %s", step, last_transport_error());
  } else {
    snprintf(err->text, sizeof err->text, "%s failed", step);
  }
}

void agent_error_set(AgentError* err, int32_t rc, const char* format, ...) {
  err->status = rc;
  err->from_target = false;
  err->transport = false;
  va_list ap;
  va_start(ap, format);
  vsnprintf(err->text, sizeof err->text, format, ap);
  va_end(ap);
}

void agent_error_format(const AgentError& err, char* out, size_t size) {
  snprintf(out, size, "%s (status=%d, %s)", err.text, err.status, status_text(err.status));
}

int32_t agent_open(const AgentTarget& target, Client* client, AgentError* err) {
  ClientOptions options;
  options.ca_file = target.ca_file[0] != '\0' ? target.ca_file : nullptr;
  options.server_name = target.server_name[0] != '\0' ? target.server_name : target.host;
  options.timeout_ms = target.timeout_ms;
  transport_error_clear();
  int32_t rc = client_connect(client, target.host, target.port, options);
  if (rc != STATUS_OK) {
    char step[320];
    snprintf(step, sizeof step, "connecting to %s:%u", target.host, static_cast<unsigned>(target.port));
    if (rc == STATUS_NOT_FOUND) {
      agent_error_set(err, rc, "%s failed: the host name cannot be resolved", step);
    } else if (rc == STATUS_INVALID) {
      agent_error_set(err, rc, "%s failed: cannot load the CA certificates from %s", step, target.ca_file);
    } else if (rc == STATUS_PROTOCOL) {
      agent_error_set(err, rc, "%s failed: TLS handshake: %s", step, last_transport_error());
    } else {
      agent_error_from(err, step, rc, nullptr);
      // A refused or timed-out connect can be retried like a dropped one.
      err->transport = true;
    }
    return rc;
  }
  return STATUS_OK;
}

int32_t agent_connect(const AgentTarget& target, uint32_t flags, Client* client, HelloReply* reply,
                      AgentError* err) {
  int32_t rc = agent_open(target, client, err);
  if (rc != STATUS_OK) return rc;
  rc = client_hello(client, target.api_key, true, flags, reply);
  if (rc != STATUS_OK) {
    agent_error_from(err, "HELLO", rc, client);
    client_close(client);
    return rc;
  }
  return STATUS_OK;
}

int32_t agent_list(Client* client, const AgentTarget& target, const char* name_filter, BackupListEntry** out,
                   uint32_t* count, bool* truncated, AgentError* err) {
  *out = nullptr;
  *count = 0;
  *truncated = false;
  ListBackupsRequest request;
  copy_text(request.target_subdir, sizeof request.target_subdir, target.subdir);
  if (name_filter != nullptr) copy_text(request.target_name, sizeof request.target_name, name_filter);
  uint32_t n = 0;
  bool cut = false;
  std::span<const uint8_t> list;
  int32_t rc = client_list_backups(client, request, &n, &cut, &list);
  if (rc != STATUS_OK) {
    agent_error_from(err, "LIST_BACKUPS", rc, client);
    return rc;
  }
  if (n == 0) {
    *truncated = cut;
    return STATUS_OK;
  }
  BackupListEntry* entries = new (std::nothrow) BackupListEntry[n];
  if (entries == nullptr) {
    agent_error_set(err, STATUS_NOMEM, "no memory for a list of %u backups", n);
    return STATUS_NOMEM;
  }
  for (uint32_t i = 0; i < n; ++i) entries[i] = decode_list_entry(backup_list_entry(list, i));
  *out = entries;
  *count = n;
  *truncated = cut;
  return STATUS_OK;
}

int32_t agent_new_uuid(Uuid* out) {
  size_t done = 0;
  while (done < UUID_SIZE) {
    ssize_t r = getrandom(out->bytes + done, UUID_SIZE - done, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return status_from_errno(errno);
    }
    done += static_cast<size_t>(r);
  }
  out->bytes[6] = static_cast<uint8_t>((out->bytes[6] & 0x0F) | 0x40);
  out->bytes[8] = static_cast<uint8_t>((out->bytes[8] & 0x3F) | 0x80);
  return STATUS_OK;
}

const char* agent_type_name(uint8_t type) {
  switch (type) {
    case BACKUP_FULL: return "FULL";
    case BACKUP_DIFF: return "DIFF";
    case BACKUP_INC: return "INC";
    default: return "?";
  }
}

}  // namespace orv
