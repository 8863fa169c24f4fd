#include "client/client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <new>

#include "core/aligned_buffer.h"

#include "core/status.h"
#include "core/unique_fd.h"

namespace orv {

namespace {

// Received payloads land after a lead of FRAME_PLACE_MAX_OFFSET bytes, so
// that RANGE_DATA can be placed on a direct-I/O boundary; freed by
// client_close.
uint8_t* receive_buffer_new() {
  return static_cast<uint8_t*>(aligned_alloc(DIRECT_IO_ALIGN, FRAME_PLACE_MAX_OFFSET + FRAME_MAX_PAYLOAD));
}

int32_t resolve_ipv4(const char* host, struct in_addr* out) {
  if (inet_pton(AF_INET, host, out) == 1) return STATUS_OK;
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return STATUS_NOT_FOUND;
  *out = reinterpret_cast<struct sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return STATUS_OK;
}

void set_timeouts(int fd, uint32_t ms) {
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);  // best effort
  (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int32_t expect_empty(Client* client, uint16_t type) {
  std::span<const uint8_t> payload;
  return client_expect(client, type, &payload);
}

int32_t expect_ack(Client* client, bool* has_seq, uint64_t* durable_seq) {
  std::span<const uint8_t> payload;
  int32_t rc = client_expect(client, MSG_ACK, &payload);
  if (rc != STATUS_OK) return rc;
  return decode_ack(payload, has_seq, durable_seq);
}

// Turns the frame just received into the call's result when it is ERROR.
int32_t take_error(Client* client, std::span<const uint8_t> payload) {
  client->got_error = true;
  if (decode_error(payload, &client->last_error) != STATUS_OK) return STATUS_PROTOCOL;
  return client->last_error.status < 0 ? client->last_error.status : STATUS_PROTOCOL;
}

// Receives frames until `end_type`, handing every other allowed type to fn.
int32_t stream(Client* client, uint16_t end_type, uint16_t type_a, uint16_t type_b, ClientFrameFn fn,
               void* context) {
  for (;;) {
    std::span<const uint8_t> payload;
    int32_t rc = client_receive(client, &payload);
    if (rc != STATUS_OK) return rc;
    uint16_t type = client->header.msg_type;
    if (type == end_type) return STATUS_OK;
    if (type == MSG_ERROR) return take_error(client, payload);
    if (type != type_a && type != type_b) return STATUS_PROTOCOL;
    if (fn != nullptr) {
      rc = fn(context, type, payload);
      if (rc != STATUS_OK) return rc;
    }
  }
}

}  // namespace

int32_t client_connect(Client* client, const char* host, uint16_t port, const ClientOptions& options) {
  *client = Client{};
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  int32_t rc = resolve_ipv4(host, &addr.sin_addr);
  if (rc != STATUS_OK) return rc;

  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return STATUS_IO;
  if (options.timeout_ms != 0) set_timeouts(fd.get(), options.timeout_ms);
  if (connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    char text[128];
    transport_error_set("connect failed: %s", errno_text(text, sizeof text));
    return STATUS_IO;
  }
  int one = 1;
  (void)setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // best effort

  uint8_t* buffer = receive_buffer_new();
  if (buffer == nullptr) return STATUS_NOMEM;
  TlsContext* tls = nullptr;
  rc = tls_client_context_new(options.ca_file, &tls);
  if (rc == STATUS_OK) rc = tls_connect(tls, fd.get(), options.server_name, &client->channel);
  if (rc != STATUS_OK) {
    tls_context_free(tls);
    free(buffer);
    return rc;
  }
  (void)fd.release();  // the channel owns the socket now
  client->tls = tls;
  client->buffer = buffer;
  return STATUS_OK;
}

int32_t client_attach_plain(Client* client, int fd) {
  uint8_t* buffer = receive_buffer_new();
  if (buffer == nullptr) return STATUS_NOMEM;
  client->channel.fd = fd;
  client->buffer = buffer;
  return STATUS_OK;
}

void client_close(Client* client) {
  channel_close(&client->channel);
  tls_context_free(client->tls);
  client->tls = nullptr;
  free(client->buffer);
  client->buffer = nullptr;
}

int32_t client_send(Client* client, uint16_t msg_type, std::span<const uint8_t> payload) {
  return send_frame(&client->channel, msg_type, payload);
}

namespace {

// Range data lands aligned, so a restore can write it with direct I/O.
size_t place_payload(void*, const FrameHeader& header) {
  return header.msg_type == MSG_RANGE_DATA ? frame_place_data(RANGE_DATA_OFF, 0) : 0;
}

}  // namespace

int32_t client_receive(Client* client, std::span<const uint8_t>* payload) {
  *payload = {};
  size_t at = 0;
  int32_t rc = receive_frame_placed(&client->channel, &client->header,
                                    std::span<uint8_t>(client->buffer, FRAME_PLACE_MAX_OFFSET + FRAME_MAX_PAYLOAD),
                                    place_payload, nullptr, &at);
  if (rc != STATUS_OK) return rc;
  *payload = std::span<const uint8_t>(client->buffer + at, client->header.length);
  return STATUS_OK;
}

int32_t client_expect(Client* client, uint16_t type, std::span<const uint8_t>* payload) {
  client->got_error = false;
  int32_t rc = client_receive(client, payload);
  if (rc != STATUS_OK) return rc;
  if (client->header.msg_type == MSG_ERROR && type != MSG_ERROR) return take_error(client, *payload);
  if (client->header.msg_type != type) return STATUS_PROTOCOL;
  return STATUS_OK;
}

int32_t client_ping(Client* client) {
  int32_t rc = client_send(client, MSG_PING, {});
  if (rc != STATUS_OK) return rc;
  return expect_empty(client, MSG_PONG);
}

int32_t client_hello(Client* client, const char* api_key, bool with_flags, uint32_t flags, HelloReply* reply) {
  HelloRequest hello;
  snprintf(hello.api_key, sizeof hello.api_key, "%s", api_key);
  hello.flags = flags;
  uint8_t out[HELLO_SIZE];
  size_t n = encode_hello(hello, with_flags, out);
  explicit_bzero(&hello, sizeof hello);
  int32_t rc = client_send(client, MSG_HELLO, std::span<const uint8_t>(out, n));
  explicit_bzero(out, sizeof out);
  if (rc != STATUS_OK) return rc;
  std::span<const uint8_t> payload;
  rc = client_expect(client, MSG_HELLO_REPLY, &payload);
  if (rc != STATUS_OK) return rc;
  return decode_hello_reply(payload, reply);
}

// Sends one request and receives the reply of the expected type; payload
// points into the client's receive buffer until the next receive.
static int32_t client_request(Client* client, uint16_t type, std::span<const uint8_t> request, uint16_t reply_type,
                              std::span<const uint8_t>* payload) {
  int32_t rc = client_send(client, type, request);
  if (rc != STATUS_OK) return rc;
  return client_expect(client, reply_type, payload);
}

int32_t client_begin(Client* client, const BeginRequest& request) {
  uint8_t out[BEGIN_SIZE];
  size_t n = encode_begin(request, out);
  int32_t rc = client_send(client, MSG_BEGIN, std::span<const uint8_t>(out, n));
  if (rc != STATUS_OK) return rc;
  return expect_empty(client, MSG_BEGIN_OK);
}

int32_t client_block(Client* client, const BlockHeader& block, std::span<const uint8_t> data, bool* has_seq,
                     uint64_t* durable_seq) {
  int32_t rc = client_block_send(client, block, data);
  if (rc != STATUS_OK) return rc;
  return expect_ack(client, has_seq, durable_seq);
}

int32_t client_block_send(Client* client, const BlockHeader& block, std::span<const uint8_t> data) {
  uint8_t head[BLOCK_HEADER_SIZE];
  size_t n = encode_block_header(block, head);
  return send_frame_parts(&client->channel, MSG_BLOCK, std::span<const uint8_t>(head, n), data);
}

int32_t client_read_ack(Client* client, bool* has_seq, uint64_t* durable_seq) {
  return expect_ack(client, has_seq, durable_seq);
}

int32_t client_drop_entries(Client* client, std::span<const uint64_t> keys, bool* has_seq, uint64_t* durable_seq) {
  if (keys.size() > DROP_MAX_KEYS) return STATUS_INVALID;
  size_t size = DROP_KEYS_OFF + 8 * keys.size();
  uint8_t* out = new (std::nothrow) uint8_t[size];
  if (out == nullptr) return STATUS_NOMEM;
  size_t n = encode_drop_entries(keys, std::span<uint8_t>(out, size));
  int32_t rc = client_send(client, MSG_DROP_ENTRIES, std::span<const uint8_t>(out, n));
  delete[] out;
  if (rc != STATUS_OK) return rc;
  return expect_ack(client, has_seq, durable_seq);
}

int32_t client_end(Client* client, EndOk* reply) {
  int32_t rc = client_send(client, MSG_END, {});
  if (rc != STATUS_OK) return rc;
  std::span<const uint8_t> payload;
  rc = client_expect(client, MSG_END_OK, &payload);
  if (rc != STATUS_OK) return rc;
  return decode_end_ok(payload, reply);
}

int32_t client_find_parent(Client* client, const FindParentRequest& request, bool* found,
                           std::span<const uint8_t>* header) {
  uint8_t out[FIND_PARENT_MIN_SIZE];
  size_t n = encode_find_parent(request, out);
  std::span<const uint8_t> payload;
  int32_t rc = client_request(client, MSG_FIND_PARENT, std::span<const uint8_t>(out, n), MSG_FIND_PARENT_REPLY, &payload);
  if (rc != STATUS_OK) return rc;
  return decode_find_parent_reply(payload, found, header);
}

int32_t client_list_backups(Client* client, const ListBackupsRequest& request, uint32_t* count, bool* truncated,
                            std::span<const uint8_t>* list) {
  uint8_t out[LIST_BACKUPS_MIN_SIZE];
  size_t n = encode_list_backups(request, out);
  int32_t rc = client_request(client, MSG_LIST_BACKUPS, std::span<const uint8_t>(out, n), MSG_BACKUP_LIST, list);
  if (rc != STATUS_OK) return rc;
  return decode_backup_list(*list, count, truncated);
}

int32_t client_query_partial(Client* client, const QueryPartialRequest& request, PartialInfo* info) {
  uint8_t out[QUERY_PARTIAL_MIN_SIZE];
  size_t n = encode_query_partial(request, out);
  std::span<const uint8_t> payload;
  int32_t rc = client_request(client, MSG_QUERY_PARTIAL, std::span<const uint8_t>(out, n), MSG_PARTIAL_INFO, &payload);
  if (rc != STATUS_OK) return rc;
  return decode_partial_info(payload, info);
}

int32_t client_discard_partial(Client* client, const SubdirUuidRequest& request) {
  uint8_t out[REQ_SUBDIR_UUID_SIZE];
  size_t n = encode_subdir_uuid(request, out);
  int32_t rc = client_send(client, MSG_DISCARD_PARTIAL, std::span<const uint8_t>(out, n));
  if (rc != STATUS_OK) return rc;
  return expect_empty(client, MSG_DISCARD_OK);
}

int32_t client_read_range(Client* client, const RangeRequest& request, std::span<const uint8_t>* data) {
  uint8_t out[READ_RANGE_SIZE];
  size_t n = encode_read_range(request, out);
  int32_t rc = client_send(client, MSG_READ_RANGE, std::span<const uint8_t>(out, n));
  if (rc != STATUS_OK) return rc;
  std::span<const uint8_t> payload;
  rc = client_expect(client, MSG_RANGE_DATA, &payload);
  if (rc != STATUS_OK) return rc;
  RangeRequest echo;
  rc = decode_range_data(payload, &echo, data);
  if (rc != STATUS_OK) return rc;
  if (echo.file_index != request.file_index || echo.offset != request.offset || echo.length != request.length) {
    return STATUS_PROTOCOL;
  }
  return STATUS_OK;
}

int32_t client_fetch_chain(Client* client, const SubdirUuidRequest& request, ClientFrameFn fn, void* context) {
  uint8_t out[REQ_SUBDIR_UUID_SIZE];
  size_t n = encode_subdir_uuid(request, out);
  int32_t rc = client_send(client, MSG_FETCH_CHAIN, std::span<const uint8_t>(out, n));
  if (rc != STATUS_OK) return rc;
  client->got_error = false;
  return stream(client, MSG_CHAIN_END, MSG_CHAIN_HEADER, MSG_CHAIN_ENTRIES, fn, context);
}

int32_t client_continue(Client* client, const SubdirUuidRequest& request, ContinueOk* ok, ClientFrameFn fn,
                        void* context) {
  uint8_t out[REQ_SUBDIR_UUID_SIZE];
  size_t n = encode_subdir_uuid(request, out);
  int32_t rc = client_send(client, MSG_CONTINUE, std::span<const uint8_t>(out, n));
  if (rc != STATUS_OK) return rc;
  std::span<const uint8_t> payload;
  rc = client_expect(client, MSG_CONTINUE_OK, &payload);
  if (rc != STATUS_OK) return rc;
  rc = decode_continue_ok(payload, ok);
  if (rc != STATUS_OK) return rc;
  return stream(client, MSG_CONTINUE_END, MSG_CONTINUE_ENTRIES, MSG_CONTINUE_ENTRIES, fn, context);
}

}  // namespace orv
