#include "priv/priv_client.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/status.h"
#include "core/text.h"
#include "core/unique_fd.h"

namespace orv {

namespace {

void fill_request(LvRequest* req, const char* vg_name, const char* lv_name) {
  copy_text(req->vg_name, sizeof req->vg_name, vg_name != nullptr ? vg_name : "");
  copy_text(req->lv_name, sizeof req->lv_name, lv_name != nullptr ? lv_name : "");
}

// Sends req with opcode and decodes the answer. Returns STATUS_OK only when
// the server reported success.
int32_t typed_call(const char* socket_path, uint16_t opcode, const LvRequest& req, LvResponse* rsp,
                   char* error_text, size_t error_size) {
  uint8_t request[ORVP_MAX_PAYLOAD];
  size_t request_len = encode_lv_request(opcode, req, request);
  uint8_t response[ORVP_MAX_PAYLOAD] = {};
  size_t response_len = 0;
  int32_t rc = ipc_call(socket_path, opcode, std::span<const uint8_t>(request, request_len),
                        std::span<uint8_t>(response, orvp_response_size(opcode)), &response_len, error_text,
                        error_size);
  if (rc != STATUS_OK) return rc;
  if (decode_lv_response(opcode, std::span<const uint8_t>(response, response_len), rsp) != STATUS_OK) {
    if (error_text != nullptr && error_size > 0) copy_text(error_text, error_size, "truncated response");
    return STATUS_PROTOCOL;
  }
  if (rsp->status != STATUS_OK) {
    if (error_text != nullptr && error_size > 0) copy_text(error_text, error_size, rsp->message);
    return rsp->status;
  }
  return STATUS_OK;
}

}  // namespace

int32_t ipc_call(const char* socket_path, uint16_t opcode, std::span<const uint8_t> request,
                 std::span<uint8_t> response, size_t* out_response_length, char* error_text, size_t error_size) {
  const bool want_text = error_text != nullptr && error_size > 0;
  char err_buf[128];
  if (out_response_length != nullptr) *out_response_length = 0;
  signal(SIGPIPE, SIG_IGN);

  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    if (want_text) snprintf(error_text, error_size, "socket() failed: %s", errno_text(err_buf, sizeof err_buf));
    return STATUS_IO;
  }
  if (socket_path == nullptr || strlen(socket_path) > PRIV_SOCK_PATH_MAX) {
    if (want_text) snprintf(error_text, error_size, "socket path too long: %s", socket_path != nullptr ? socket_path : "");
    return STATUS_INVALID;
  }
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, socket_path, strlen(socket_path));
  if (connect(fd.get(), reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) != 0) {
    if (want_text) {
      snprintf(error_text, error_size, "cannot connect to %s: %s", socket_path, errno_text(err_buf, sizeof err_buf));
    }
    return STATUS_IO;
  }
  struct timeval tv = {PRIV_CALL_TIMEOUT_SEC, 0};
  (void)setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);  // best effort: without the
  (void)setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);  // time-outs the call still works

  if (ipc_send_frame(fd.get(), opcode, request) != 0) {
    // A server that refuses the peer closes the connection without reading;
    // that shows as a missing response below, whichever side was first.
    if (errno != EPIPE && errno != ECONNRESET) {
      if (want_text) snprintf(error_text, error_size, "could not send the request to %s", socket_path);
      return STATUS_IO;
    }
  }
  OrvpHeader hdr;
  int32_t rc = ipc_recv_frame(fd.get(), &hdr, response);
  if (rc != STATUS_OK) {
    if (want_text) {
      snprintf(error_text, error_size, "could not read the response from %s (%s, status=%d)", socket_path,
               status_text(rc), rc);
    }
    return rc;
  }
  fd.reset();
  if (out_response_length != nullptr) *out_response_length = hdr.length;
  return STATUS_OK;
}

int32_t priv_lv_create(const char* socket_path, const char* vg_name, const char* lv_name, uint64_t size_bytes,
                       char* out_dev_path, size_t dev_path_size, char* error_text, size_t error_size) {
  LvRequest req;
  fill_request(&req, vg_name, lv_name);
  req.size_bytes = size_bytes;
  LvResponse rsp;
  int32_t rc = typed_call(socket_path, ORVP_LV_CREATE, req, &rsp, error_text, error_size);
  if (rc != STATUS_OK) return rc;
  if (out_dev_path != nullptr && dev_path_size > 0) copy_text(out_dev_path, dev_path_size, rsp.dev_path);
  return STATUS_OK;
}

int32_t priv_lv_remove(const char* socket_path, const char* vg_name, const char* lv_name, char* error_text,
                       size_t error_size) {
  LvRequest req;
  fill_request(&req, vg_name, lv_name);
  LvResponse rsp;
  return typed_call(socket_path, ORVP_LV_REMOVE, req, &rsp, error_text, error_size);
}

int32_t priv_lv_query(const char* socket_path, const char* vg_name, const char* lv_name, LvResponse* out_response,
                      char* error_text, size_t error_size) {
  LvRequest req;
  fill_request(&req, vg_name, lv_name);
  LvResponse rsp;
  int32_t rc = typed_call(socket_path, ORVP_LV_QUERY, req, &rsp, error_text, error_size);
  if (rc == STATUS_OK && out_response != nullptr) *out_response = rsp;
  return rc;
}

}  // namespace orv
