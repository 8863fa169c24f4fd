// Agent-side client: TLS connection to a target, frames in both directions,
// and one call per request that sends it and parses the answer. The payload
// builders and parsers themselves are in protocol/payloads.h.
//
// Answers: a call returns STATUS_OK when the expected reply arrived. When the
// target answered ERROR, the call returns that ERROR's status (or
// STATUS_PROTOCOL if it carried none) and client->last_error holds it, with
// client->got_error set. Transport failures return STATUS_IO (see
// last_transport_error()); a reply of an unexpected type or size returns
// STATUS_PROTOCOL. A Client is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/frame.h"
#include "protocol/payloads.h"
#include "protocol/tls_channel.h"

namespace orv {

struct ClientOptions {
  const char* ca_file = nullptr;      // null: the server certificate is not verified
  const char* server_name = nullptr;  // checked against the certificate when ca_file is set
  uint32_t timeout_ms = 0;            // receive/send time-out per call; 0: none
};

struct Client {
  Channel channel;
  TlsContext* tls = nullptr;
  // Payloads of received frames: FRAME_MAX_PAYLOAD bytes after a lead of
  // FRAME_PLACE_MAX_OFFSET, aligned. A RANGE_DATA payload is placed so that
  // its data starts on a DIRECT_IO_ALIGN boundary (it can be written to a
  // file opened for direct I/O as it is); every other payload starts at
  // the buffer's beginning.
  uint8_t* buffer = nullptr;
  FrameHeader header;         // of the last frame received
  bool got_error = false;
  ErrorReply last_error;
};

// Connects to host (dotted IPv4 or a name) and completes the TLS handshake.
// On failure everything is released and *client stays closed.
[[nodiscard]] int32_t client_connect(Client* client, const char* host, uint16_t port, const ClientOptions& options);
// Makes *client the agent's end of an already connected socket without TLS
// (a socketpair to a session run in the same process). Takes fd on success.
[[nodiscard]] int32_t client_attach_plain(Client* client, int fd);
// Closes the connection (close-notify first) and releases the client.
// Safe to call twice.
void client_close(Client* client);

[[nodiscard]] int32_t client_send(Client* client, uint16_t msg_type, std::span<const uint8_t> payload);
// Receives one frame into the client's buffer; *payload views it until the
// next receive. A RANGE_DATA payload's data (after its 16-byte echo) starts
// on a DIRECT_IO_ALIGN boundary.
[[nodiscard]] int32_t client_receive(Client* client, std::span<const uint8_t>* payload);
// Receives one frame and checks that it is of `type`; ERROR is decoded into
// last_error (see above).
[[nodiscard]] int32_t client_expect(Client* client, uint16_t type, std::span<const uint8_t>* payload);

// ---- one call per request ------------------------------------------------------
[[nodiscard]] int32_t client_ping(Client* client);
// with_flags false sends the 162-byte HELLO without agent flags.
[[nodiscard]] int32_t client_hello(Client* client, const char* api_key, bool with_flags, uint32_t flags,
                                   HelloReply* reply);
[[nodiscard]] int32_t client_begin(Client* client, const BeginRequest& request);
// Sends one BLOCK (header and data) and reads its ACK.
[[nodiscard]] int32_t client_block(Client* client, const BlockHeader& block, std::span<const uint8_t> data,
                                   bool* has_seq, uint64_t* durable_seq);
// The same in two halves, for an agent that keeps several blocks in flight:
// the target answers every BLOCK with one ACK, in order, so ACKs may be read
// later. Keep the number of unread ACKs small (a few): the target does not
// read further frames while its ACKs cannot be sent.
[[nodiscard]] int32_t client_block_send(Client* client, const BlockHeader& block, std::span<const uint8_t> data);
[[nodiscard]] int32_t client_read_ack(Client* client, bool* has_seq, uint64_t* durable_seq);
[[nodiscard]] int32_t client_drop_entries(Client* client, std::span<const uint64_t> keys, bool* has_seq,
                                          uint64_t* durable_seq);
[[nodiscard]] int32_t client_end(Client* client, EndOk* reply);
// *header views the parent's header in the client's buffer (zero when not found).
[[nodiscard]] int32_t client_find_parent(Client* client, const FindParentRequest& request, bool* found,
                                         std::span<const uint8_t>* header);
// *list views the BACKUP_LIST payload; read entries with backup_list_entry.
[[nodiscard]] int32_t client_list_backups(Client* client, const ListBackupsRequest& request, uint32_t* count,
                                          bool* truncated, std::span<const uint8_t>* list);
[[nodiscard]] int32_t client_query_partial(Client* client, const QueryPartialRequest& request, PartialInfo* info);
[[nodiscard]] int32_t client_discard_partial(Client* client, const SubdirUuidRequest& request);
// *data views the range's bytes in the client's buffer.
[[nodiscard]] int32_t client_read_range(Client* client, const RangeRequest& request, std::span<const uint8_t>* data);

// Streams: FETCH_CHAIN and CONTINUE answer with several frames. The calls
// below send the request and deliver each frame to the callback until the
// closing frame; a callback result other than STATUS_OK stops the stream
// (the connection is then at an unknown position and should be closed).
using ClientFrameFn = int32_t (*)(void* context, uint16_t msg_type, std::span<const uint8_t> payload);
// Delivers CHAIN_HEADER and CHAIN_ENTRIES frames; returns at CHAIN_END.
[[nodiscard]] int32_t client_fetch_chain(Client* client, const SubdirUuidRequest& request, ClientFrameFn fn,
                                         void* context);
// Delivers CONTINUE_ENTRIES frames; *ok from CONTINUE_OK; returns at CONTINUE_END.
[[nodiscard]] int32_t client_continue(Client* client, const SubdirUuidRequest& request, ContinueOk* ok,
                                      ClientFrameFn fn, void* context);

}  // namespace orv
