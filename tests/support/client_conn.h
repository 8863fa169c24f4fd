// A client connection for integration tests: connected to 127.0.0.1 with a
// bounded wait, closed when the object goes away.
#pragma once

#include <cstdint>

#include "client/client.h"
#include "core/status.h"

namespace orv_support {

struct ClientConn {
  orv::Client c;
  bool open = false;
  ClientConn() = default;
  ClientConn(const ClientConn&) = delete;
  ClientConn& operator=(const ClientConn&) = delete;
  ~ClientConn() { close(); }
  int32_t connect(uint16_t port, int timeout_ms = 20000) {
    orv::ClientOptions o;
    o.timeout_ms = timeout_ms;
    int32_t rc = orv::client_connect(&c, "127.0.0.1", port, o);
    open = rc == orv::STATUS_OK;
    return rc;
  }
  void close() {
    if (open) orv::client_close(&c);
    open = false;
  }
};

}  // namespace orv_support
