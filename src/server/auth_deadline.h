// One deadline per connection for everything before authentication: the TLS
// handshake and a successful HELLO must both be done within
// AUTH_DEADLINE_MS of the accept. A watchdog thread shuts the socket down
// for reading and writing when the deadline passes, so a peer that trickles
// bytes or stays silent is cut at the deadline whatever read it is in; the
// blocked read then fails and the connection ends as any failed one does.
//
// Each connection's AuthWatch lives in its job and is linked into one list
// (ordered by deadline) while it is armed. The list, every watch's link
// fields and `fired` are guarded by the module's mutex; the watchdog calls
// shutdown only under that mutex and only on armed watches, so a socket that
// its owner disarmed and closed (and whose number is reused) is never touched.
#pragma once

#include <cstdint>

namespace orv {

inline constexpr uint64_t AUTH_DEADLINE_MS = 30000;

struct AuthWatch {
  int fd = -1;
  uint64_t deadline_ms = 0;  // monotonic milliseconds
  bool armed = false;
  bool fired = false;
  AuthWatch* prev = nullptr;
  AuthWatch* next = nullptr;
};

// Starts the watchdog thread if it is not running yet (STATUS_IO when it
// cannot be started). The listener calls it at start, so the thread exists
// before any connection; arming starts it too.
[[nodiscard]] int32_t auth_watch_start();

// Arms watch for fd with the given monotonic deadline. The first call starts
// the watchdog thread; if it cannot be started the watch stays unarmed and
// STATUS_IO is returned (the caller then serves the connection without a
// deadline or refuses it).
[[nodiscard]] int32_t auth_watch_arm(AuthWatch* watch, int fd, uint64_t deadline_ms);

// Disarms watch (harmless when not armed). Returns true when the deadline
// had passed and the socket was shut down. Call before the socket is closed.
bool auth_watch_disarm(AuthWatch* watch);

}  // namespace orv
