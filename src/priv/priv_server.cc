#include "priv/priv_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/status.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "priv/ipc.h"
#include "priv/lvm.h"

namespace orv {

namespace {

constexpr const char* kMalformed = "malformed request";

// Builds the answer to a decoded-or-not request of a known opcode.
void answer_request(uint16_t opcode, std::span<const uint8_t> payload, LvResponse* rsp) {
  LvRequest req;
  if (decode_lv_request(opcode, payload, &req) != STATUS_OK) {
    rsp->status = STATUS_PROTOCOL;
    copy_text(rsp->message, sizeof rsp->message, kMalformed);
    return;
  }
  if (!lv_name_valid(req.vg_name) || !lv_name_valid(req.lv_name)) {
    rsp->status = STATUS_INVALID;
    copy_text(rsp->message, sizeof rsp->message, LVM_INVALID_NAME_TEXT);
    return;
  }

  // Texts from the tools can be long; the response field cuts them to 199.
  char error[512] = "";
  switch (opcode) {
    case ORVP_LV_CREATE:
      if (lvm_create(req.vg_name, req.lv_name, req.size_bytes, error, sizeof error) != 0) {
        rsp->status = STATUS_IO;
        copy_text(rsp->message, sizeof rsp->message, error);
        return;
      }
      snprintf(rsp->dev_path, sizeof rsp->dev_path, "/dev/%s/%s", req.vg_name, req.lv_name);
      return;
    case ORVP_LV_REMOVE:
      if (lvm_remove(req.vg_name, req.lv_name, error, sizeof error) != 0) {
        rsp->status = STATUS_IO;
        copy_text(rsp->message, sizeof rsp->message, error);
      }
      return;
    case ORVP_LV_QUERY: {
      LvInfo info;
      int q = lvm_query(req.vg_name, req.lv_name, &info, error, sizeof error);
      if (q < 0) {
        rsp->status = STATUS_IO;
        copy_text(rsp->message, sizeof rsp->message, error);
        return;
      }
      if (q > 0) return;  // not found: status 0, found 0, everything else zero
      char tag_error[256] = "";
      rsp->tagged = lvm_has_tag(req.vg_name, req.lv_name, PRIV_LV_TAG, tag_error, sizeof tag_error) > 0 ? 1 : 0;
      rsp->found = 1;
      copy_text(rsp->attr, sizeof rsp->attr, info.lv_attr);
      copy_text(rsp->segtype, sizeof rsp->segtype, info.segtype);
      copy_text(rsp->origin, sizeof rsp->origin, info.origin);
      rsp->size_bytes = info.lv_size;
      rsp->major = info.kernel_major;
      rsp->minor = info.kernel_minor;
      return;
    }
    default:
      return;
  }
}

// Waits briefly when accept fails for lack of resources, instead of spinning.
void pause_after_accept_error() { (void)poll(nullptr, 0, 100); }

}  // namespace

int32_t handle_privileged_request(int fd) {
  uint8_t payload[ORVP_MAX_PAYLOAD];
  OrvpHeader hdr;
  int32_t rc = ipc_recv_frame(fd, &hdr, payload);
  if (rc != STATUS_OK) {
    log_write(LEVEL_WARN, "privileged IPC: could not read a request frame: %s (status=%d)", status_text(rc), rc);
    return rc;
  }
  if (orvp_request_size(hdr.opcode) == 0) {
    log_write(LEVEL_WARN, "privileged IPC: unknown opcode %u", static_cast<unsigned>(hdr.opcode));
    return STATUS_PROTOCOL;
  }

  LvResponse rsp;
  answer_request(hdr.opcode, std::span<const uint8_t>(payload, hdr.length), &rsp);
  uint8_t out[ORVP_MAX_PAYLOAD];
  size_t n = encode_lv_response(hdr.opcode, rsp, out);
  if (ipc_send_frame(fd, hdr.opcode, std::span<const uint8_t>(out, n)) != 0) return STATUS_IO;
  return STATUS_OK;
}

void serve_privileged(int listen_fd, uid_t expected_uid, pid_t worker_pid, const volatile sig_atomic_t* stop_flag) {
  while (!*stop_flag) {
    int cfd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (cfd < 0) {
      int err = errno;
      if (*stop_flag || err == EINVAL || err == EBADF || err == ENOTSOCK) return;
      if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) pause_after_accept_error();
      continue;  // EINTR and transient errors: try again
    }
    UniqueFd conn(cfd);
    if (*stop_flag) return;

    struct ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(conn.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
      char err_buf[128];
      log_write(LEVEL_WARN, "privileged IPC: SO_PEERCRED failed: %s", errno_text(err_buf, sizeof err_buf));
      continue;
    }
    if (cred.uid != expected_uid) {
      log_write(LEVEL_WARN, "privileged IPC: rejected connection from pid=%d uid=%d (expected uid=%d)",
                static_cast<int>(cred.pid), static_cast<int>(cred.uid), static_cast<int>(expected_uid));
      continue;
    }
    if (cred.pid != worker_pid) {
      log_write(LEVEL_INFO,
                "privileged IPC: request from pid=%d (uid=%d) -- not the running worker (pid=%d), likely "
                "--priv-debug run by hand",
                static_cast<int>(cred.pid), static_cast<int>(cred.uid), static_cast<int>(worker_pid));
    }

    struct timeval tv = {PRIV_CONN_TIMEOUT_SEC, 0};
    (void)setsockopt(conn.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);  // best effort, as the
    (void)setsockopt(conn.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);  // request still gets served
    (void)handle_privileged_request(conn.get());  // failures are logged inside
  }
}

}  // namespace orv
