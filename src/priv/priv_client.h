// Client calls of the privileged socket: one connection, one request frame,
// one response frame. Error texts are written only when a buffer is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "priv/ipc.h"

namespace orv {

// Send and receive time-out of a call: longer than the slowest LVM command
// the server may run for it.
inline constexpr int PRIV_CALL_TIMEOUT_SEC = 150;
// Longest socket path a Unix socket address holds.
inline constexpr size_t PRIV_SOCK_PATH_MAX = 107;

// Connects to socket_path, sends request with opcode and receives the
// response payload into response. Returns STATUS_OK with
// *out_response_length set, or a status with error_text filled. Ignores
// SIGPIPE process-wide.
[[nodiscard]] int32_t ipc_call(const char* socket_path, uint16_t opcode, std::span<const uint8_t> request,
                               std::span<uint8_t> response, size_t* out_response_length, char* error_text,
                               size_t error_size);

// The typed calls build the request (names cut to 127 characters) and
// decode the response. A response shorter than its common part gives
// "truncated response" and STATUS_PROTOCOL; a non-zero response status
// copies the response message into error_text and is returned.
[[nodiscard]] int32_t priv_lv_create(const char* socket_path, const char* vg_name, const char* lv_name,
                                     uint64_t size_bytes, char* out_dev_path, size_t dev_path_size,
                                     char* error_text, size_t error_size);
[[nodiscard]] int32_t priv_lv_remove(const char* socket_path, const char* vg_name, const char* lv_name,
                                     char* error_text, size_t error_size);
// On success *out_response holds the decoded answer (found 0 with empty
// texts for a volume that does not exist).
[[nodiscard]] int32_t priv_lv_query(const char* socket_path, const char* vg_name, const char* lv_name,
                                    LvResponse* out_response, char* error_text, size_t error_size);

}  // namespace orv
