#include "protocol/tls_channel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <new>

#include "core/status.h"
#include "protocol/tls_policy.h"

namespace orv {

struct TlsContext {
  SSL_CTX* ctx = nullptr;
};

namespace {

// Per-thread: concurrent connections never see each other's errors.
thread_local char t_transport_error[TRANSPORT_ERROR_SIZE];

pthread_once_t g_library_once = PTHREAD_ONCE_INIT;

void library_init_once() {
  OPENSSL_init_ssl(0, nullptr);
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  // A write to a peer that has gone away must fail, not end the process.
  signal(SIGPIPE, SIG_IGN);
}

void library_init() { pthread_once(&g_library_once, library_init_once); }

// Sets the transport error text after a failed SSL_read/SSL_write with
// result r, and empties OpenSSL's error queue in every case.
void tls_set_error(SSL* ssl, int r, const char* operation) {
  int saved_errno = errno;
  int code = SSL_get_error(ssl, r);
  unsigned long queued = ERR_peek_last_error();
  if (code == SSL_ERROR_ZERO_RETURN) {
    transport_error_set("the peer closed the TLS connection");
  } else if (queued != 0) {
    char text[200];
    ERR_error_string_n(queued, text, sizeof text);
    transport_error_set("TLS %s failed: %s", operation, text);
  } else if (code == SSL_ERROR_SYSCALL && r == 0) {
    transport_error_set("the connection was closed unexpectedly by the peer or the network");
  } else if (code == SSL_ERROR_SYSCALL) {
    char text[128];
    errno = saved_errno;
    transport_error_set("TLS %s failed: %s", operation, errno_text(text, sizeof text));
  } else {
    transport_error_set("TLS %s failed (SSL error %d)", operation, code);
  }
  ERR_clear_error();
}

// SSL_read/SSL_write take an int length.
int clamp_int(size_t n) { return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n); }

// Creates a context of the given method with the transfer settings shared by
// both sides: read-ahead with a large buffer.
int32_t context_new(const SSL_METHOD* method, SSL_CTX** out) {
  library_init();
  SSL_CTX* ctx = SSL_CTX_new(method);
  if (ctx == nullptr) {
    ERR_clear_error();
    return STATUS_IO;
  }
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_default_read_buffer_len(ctx, TLS_READ_BUFFER_SIZE);
  *out = ctx;
  return STATUS_OK;
}

int32_t wrap_context(SSL_CTX* ctx, TlsContext** out) {
  TlsContext* handle = new (std::nothrow) TlsContext;
  if (handle == nullptr) {
    SSL_CTX_free(ctx);
    return STATUS_NOMEM;
  }
  handle->ctx = ctx;
  *out = handle;
  return STATUS_OK;
}

}  // namespace

const char* last_transport_error() { return t_transport_error; }

void transport_error_clear() { t_transport_error[0] = '\0'; }

void transport_error_set(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vsnprintf(t_transport_error, sizeof t_transport_error, format, ap);
  va_end(ap);
}

int32_t tls_context_load(const char* cert_path, const char* key_path, TlsContext** out) {
  SSL_CTX* ctx = nullptr;
  int32_t rc = context_new(TLS_server_method(), &ctx);
  if (rc != STATUS_OK) return rc;
  tls_policy_prepare(ctx);
  // The chain variant also sends intermediate certificates listed after the
  // server certificate; for a single certificate it is the same.
  if (SSL_CTX_use_certificate_chain_file(ctx, cert_path) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, key_path, SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1) {
    ERR_clear_error();
    SSL_CTX_free(ctx);
    return STATUS_INVALID;
  }
  rc = tls_policy_apply(ctx, key_path);
  if (rc != STATUS_OK) {
    SSL_CTX_free(ctx);
    return rc;
  }
  // No session tickets: agents do not resume sessions, and a peer that never
  // reads would otherwise leave the tickets unread and make its close a reset.
  SSL_CTX_set_num_tickets(ctx, 0);
  // A certificate out of its validity still loads (it may be all the operator
  // has), but never silently.
  tls_policy_warn_validity(ctx, cert_path, static_cast<int64_t>(time(nullptr)));
  return wrap_context(ctx, out);
}

void tls_context_free(TlsContext* context) {
  if (context == nullptr) return;
  SSL_CTX_free(context->ctx);
  delete context;
}

int32_t tls_context_share(TlsContext* context, TlsContext** out) {
  TlsContext* handle = new (std::nothrow) TlsContext;
  if (handle == nullptr) return STATUS_NOMEM;
  SSL_CTX_up_ref(context->ctx);
  handle->ctx = context->ctx;
  *out = handle;
  return STATUS_OK;
}

namespace {

// A new TLS session on fd, or null (error queue cleared) when the library
// cannot make one.
SSL* ssl_for_fd(TlsContext* context, int fd) {
  ERR_clear_error();
  SSL* ssl = SSL_new(context->ctx);
  if (ssl != nullptr && SSL_set_fd(ssl, fd) == 1) return ssl;
  ERR_clear_error();
  SSL_free(ssl);
  return nullptr;
}

// Result r of SSL_accept or SSL_connect: on success the channel owns ssl,
// otherwise ssl is freed and the thread's error text says why.
int32_t handshake_done(SSL* ssl, int r, int fd, Channel* out) {
  if (r != 1) {
    tls_set_error(ssl, r, "handshake");
    SSL_free(ssl);
    return STATUS_PROTOCOL;
  }
  out->fd = fd;
  out->tls = ssl;
  return STATUS_OK;
}

}  // namespace

int32_t tls_accept(TlsContext* context, int fd, Channel* out) {
  SSL* ssl = ssl_for_fd(context, fd);
  if (ssl == nullptr) return STATUS_IO;
  return handshake_done(ssl, SSL_accept(ssl), fd, out);
}

int32_t tls_client_context_new(const char* ca_file, TlsContext** out) {
  SSL_CTX* ctx = nullptr;
  int32_t rc = context_new(TLS_client_method(), &ctx);
  if (rc != STATUS_OK) return rc;
  if (ca_file != nullptr) {
    if (SSL_CTX_load_verify_locations(ctx, ca_file, nullptr) != 1) {
      ERR_clear_error();
      SSL_CTX_free(ctx);
      return STATUS_INVALID;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  }
  return wrap_context(ctx, out);
}

int32_t tls_connect(TlsContext* context, int fd, const char* server_name, Channel* out) {
  SSL* ssl = ssl_for_fd(context, fd);
  if (ssl == nullptr) return STATUS_IO;
  if (server_name != nullptr && server_name[0] != '\0' &&
      (SSL_set_tlsext_host_name(ssl, server_name) != 1 || SSL_set1_host(ssl, server_name) != 1)) {
    ERR_clear_error();
    SSL_free(ssl);
    return STATUS_IO;
  }
  return handshake_done(ssl, SSL_connect(ssl), fd, out);
}

namespace {

uint64_t now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// True when the failed SSL_read/SSL_write with result r only has to wait
// for the socket (*code then says for what); errno is kept for the caller.
bool tls_would_block(SSL* ssl, int r, int* code) {
  int saved_errno = errno;
  *code = SSL_get_error(ssl, r);
  errno = saved_errno;
  return *code == SSL_ERROR_WANT_READ || *code == SSL_ERROR_WANT_WRITE;
}

// Waits until the socket is ready for what the library asked for (code
// SSL_ERROR_WANT_READ or SSL_ERROR_WANT_WRITE), at most timeout_ms, or
// without a bound when timeout_ms is -1. Returns what poll returns.
int wait_ready(int fd, int code, int timeout_ms) {
  struct pollfd pfd = {fd, static_cast<short>(code == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
  return poll(&pfd, 1, timeout_ms);
}

// TLS writes with a deadline on a non-blocking socket: a write that would
// block waits in poll for the rest of the time. A retried SSL_write gets
// the same buffer and length, as the library requires.
int32_t send_all_bounded(Channel* channel, const uint8_t* p, size_t n) {
  const uint64_t deadline = now_ms() + channel->send_timeout_ms;
  size_t done = 0;
  while (done < n) {
    ERR_clear_error();
    int r = SSL_write(channel->tls, p + done, clamp_int(n - done));
    if (r > 0) {
      done += static_cast<size_t>(r);
      continue;
    }
    int code = 0;
    if (!tls_would_block(channel->tls, r, &code)) {
      tls_set_error(channel->tls, r, "send");
      return STATUS_IO;
    }
    ERR_clear_error();
    uint64_t now = now_ms();
    int ready = 0;
    if (now < deadline) {
      uint64_t left = deadline - now;
      ready = wait_ready(channel->fd, code, left > INT_MAX ? INT_MAX : static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
    }
    if (ready == 0) {
      transport_error_set("the peer did not take the data within %u s", channel->send_timeout_ms / 1000);
      return STATUS_IO;
    }
    if (ready < 0) {
      char text[128];
      transport_error_set("%s failed: %s", "send", errno_text(text, sizeof text));
      return STATUS_IO;
    }
  }
  return STATUS_OK;
}

}  // namespace

int32_t channel_bound_sends(Channel* channel, uint32_t timeout_ms) {
  assert(channel->tls != nullptr && timeout_ms != 0);
  int flags = fcntl(channel->fd, F_GETFL);
  if (flags < 0 || fcntl(channel->fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    char text[128];
    transport_error_set("%s failed: %s", "fcntl", errno_text(text, sizeof text));
    return STATUS_IO;
  }
  channel->send_timeout_ms = timeout_ms;
  return STATUS_OK;
}

int32_t send_all(Channel* channel, const void* bytes, size_t n) {
  if (channel->tls != nullptr && channel->send_timeout_ms != 0) {
    return send_all_bounded(channel, static_cast<const uint8_t*>(bytes), n);
  }
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  size_t done = 0;
  while (done < n) {
    if (channel->tls != nullptr) {
      ERR_clear_error();
      int r = SSL_write(channel->tls, p + done, clamp_int(n - done));
      if (r <= 0) {
        tls_set_error(channel->tls, r, "send");
        return STATUS_IO;
      }
      done += static_cast<size_t>(r);
      continue;
    }
    ssize_t r = send(channel->fd, p + done, n - done, MSG_NOSIGNAL);
    if (r < 0) {
      if (errno == EINTR) continue;
      char text[128];
      transport_error_set("%s failed: %s", "send", errno_text(text, sizeof text));
      return STATUS_IO;
    }
    if (r == 0) {
      transport_error_set("send failed: nothing could be sent");
      return STATUS_IO;
    }
    done += static_cast<size_t>(r);
  }
  return STATUS_OK;
}

int32_t recv_all(Channel* channel, void* bytes, size_t n) {
  uint8_t* p = static_cast<uint8_t*>(bytes);
  size_t done = 0;
  while (done < n) {
    if (channel->tls != nullptr) {
      ERR_clear_error();
      int r = SSL_read(channel->tls, p + done, clamp_int(n - done));
      if (r > 0) {
        done += static_cast<size_t>(r);
        continue;
      }
      // A non-blocking channel waits for its data as a blocking read would:
      // without a bound.
      int code = 0;
      if (channel->send_timeout_ms != 0 && tls_would_block(channel->tls, r, &code)) {
        ERR_clear_error();
        if (wait_ready(channel->fd, code, -1) >= 0 || errno == EINTR) continue;
        char text[128];
        transport_error_set("%s failed: %s", "recv", errno_text(text, sizeof text));
        return STATUS_IO;
      }
      tls_set_error(channel->tls, r, "receive");
      return STATUS_IO;
    }
    ssize_t r = recv(channel->fd, p + done, n - done, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      char text[128];
      transport_error_set("%s failed: %s", "recv", errno_text(text, sizeof text));
      return STATUS_IO;
    }
    if (r == 0) {
      transport_error_set("the peer closed the connection");
      return STATUS_IO;
    }
    done += static_cast<size_t>(r);
  }
  return STATUS_OK;
}

void channel_close(Channel* channel) {
  if (channel->tls != nullptr) {
    // On a channel with bounded sends the socket is non-blocking, so a peer
    // that takes nothing does not hold the close either: the close-notify
    // goes out only if there is room for it.
    (void)SSL_shutdown(channel->tls);  // close-notify only; the answer is not awaited
    ERR_clear_error();
    SSL_free(channel->tls);
    channel->tls = nullptr;
  }
  if (channel->fd != -1) {
    (void)close(channel->fd);  // nothing left to report to: the connection is over
    channel->fd = -1;
  }
}

}  // namespace orv
