// TLS transport: the server context (certificate and key), the server
// handshake, exact-length reads and writes, and closing a connection. This
// is the only part of the program that talks to OpenSSL's SSL layer; the
// frame codec and the session see a Channel and the functions below.
//
// Every failed transfer sets the calling thread's transport error text, so a
// caller that gets STATUS_IO can tell a clean close from a reset.
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct ssl_st SSL;

namespace orv {

// Size of the per-thread transport error text, NUL included.
inline constexpr size_t TRANSPORT_ERROR_SIZE = 256;
// OpenSSL reads ahead into a buffer of this size, so one read system call
// can bring in many 16 KiB records of a large frame.
inline constexpr size_t TLS_READ_BUFFER_SIZE = 256 * 1024;

// Owned handle on one OpenSSL context. Read-only once loaded; any number of
// threads may create sessions from it. Every handle is released with
// tls_context_free; tls_context_share hands out further handles on the same
// context, which stays alive until its last handle and last session are gone.
struct TlsContext;

// One connection. Owned by one thread. fd is -1 once closed; tls is null for
// a plain channel (tests) and after close.
struct Channel {
  int fd = -1;
  SSL* tls = nullptr;
  // Set only by channel_bound_sends. When not 0, the socket is
  // non-blocking and every send_all must be done within this many
  // milliseconds: a write that would block waits in poll up to the
  // deadline, so a peer that stops reading fails the send instead of
  // holding the thread; a read that would block waits in poll without a
  // bound, as a blocking read would. 0: plain blocking reads and writes.
  uint32_t send_timeout_ms = 0;
};

// Loads the PEM certificate chain and private key and checks that they
// belong together. STATUS_IO when no context can be created, STATUS_INVALID
// when a file is unreadable, malformed or the pair does not match,
// STATUS_NOMEM for the handle. *out is set only on success. The first call
// in the process initialises the library and ignores SIGPIPE.
[[nodiscard]] int32_t tls_context_load(const char* cert_path, const char* key_path, TlsContext** out);

// Releases one handle; accepts null.
void tls_context_free(TlsContext* context);

// A second handle on the same context (one more reference on it), for a
// holder that may outlive the first handle. STATUS_NOMEM on failure.
[[nodiscard]] int32_t tls_context_share(TlsContext* context, TlsContext** out);

// Server handshake on a connected socket in blocking mode. Success fills
// *out (which then owns fd). Any failure returns STATUS_PROTOCOL (STATUS_IO
// when no session could be created); fd stays open and belongs to the
// caller. Socket time-outs set on fd bound the handshake.
[[nodiscard]] int32_t tls_accept(TlsContext* context, int fd, Channel* out);

// Client side, for the agent library and tests. ca_file null: the server
// certificate is not verified. Otherwise it must chain to ca_file and, when
// server_name is given, match it.
[[nodiscard]] int32_t tls_client_context_new(const char* ca_file, TlsContext** out);
[[nodiscard]] int32_t tls_connect(TlsContext* context, int fd, const char* server_name, Channel* out);

// Switches the socket of a TLS channel to non-blocking mode for the rest of
// its life and bounds every later send_all by timeout_ms (not 0). Reads keep
// their behaviour: they wait for data without a bound (a shutdown of the
// socket still ends them). STATUS_IO with the transport error text set when
// the socket's mode cannot be changed; the channel is then unchanged.
[[nodiscard]] int32_t channel_bound_sends(Channel* channel, uint32_t timeout_ms);

// Transfer exactly n bytes. STATUS_IO on any failure, with the transport
// error text set; the stream position is then unknown. A send on a channel
// with a send_timeout_ms that the peer does not take in time fails with
// "the peer did not take the data within %u s".
[[nodiscard]] int32_t send_all(Channel* channel, const void* bytes, size_t n);
[[nodiscard]] int32_t recv_all(Channel* channel, void* bytes, size_t n);

// Sends close-notify (without waiting for the answer), frees the session and
// closes the socket. Safe on a closed or never-opened channel.
void channel_close(Channel* channel);

// The calling thread's last transport error text ("" when none).
const char* last_transport_error();
void transport_error_clear();
void transport_error_set(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace orv
