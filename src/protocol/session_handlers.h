// Request handlers called by session_dispatch. Each lives in the file of its
// subsystem and is entered in the dispatch table of session.cc, which has
// already checked the session state and the payload's minimum length.
//
// A handler returns STATUS_OK to keep the session, or a status that ends it.
// A refusal that keeps the session sends ERROR and returns STATUS_OK; one that
// ends it sets SessionState::error where the request says so and returns the
// status. A failure to send an answer returns the send status.
#pragma once

#include <cstdint>
#include <span>

#include "protocol/session.h"

namespace orv {

using SessionHandler = int32_t (*)(Session* session, std::span<const uint8_t> payload);

// session.cc
[[nodiscard]] int32_t session_hello(Session* session, std::span<const uint8_t> payload);
[[nodiscard]] int32_t session_ping(Session* session, std::span<const uint8_t> payload);

}  // namespace orv
