// Request handlers called by session_dispatch. Each lives in the file of its
// subsystem and is entered in the dispatch table of session.cc, which has
// already checked the session state and the payload's minimum length.
//
// A handler returns STATUS_OK to keep the session, or a status that ends it.
// Every refusal goes through session_refuse, which says whether the session
// is kept or ends (in state error). A failure to send an answer returns the
// send status.
#pragma once

#include <cstdint>
#include <span>

#include "server/session.h"

namespace orv {

using SessionHandler = int32_t (*)(Session* session, std::span<const uint8_t> payload);

// session.cc
[[nodiscard]] int32_t session_hello(Session* session, std::span<const uint8_t> payload);
[[nodiscard]] int32_t session_ping(Session* session, std::span<const uint8_t> payload);

// begin.cc
[[nodiscard]] int32_t session_begin(Session* session, std::span<const uint8_t> payload);

// backup_recv.cc
[[nodiscard]] int32_t session_block(Session* session, std::span<const uint8_t> payload);
[[nodiscard]] int32_t session_drop_entries(Session* session, std::span<const uint8_t> payload);
[[nodiscard]] int32_t session_end_backup(Session* session, std::span<const uint8_t> payload);

// restore.cc
[[nodiscard]] int32_t session_list_backups(Session* session, std::span<const uint8_t> payload);
[[nodiscard]] int32_t session_find_parent(Session* session, std::span<const uint8_t> payload);
[[nodiscard]] int32_t session_fetch_chain(Session* session, std::span<const uint8_t> payload);
[[nodiscard]] int32_t session_read_range(Session* session, std::span<const uint8_t> payload);

// resume.cc
[[nodiscard]] int32_t session_query_partial(Session* session, std::span<const uint8_t> payload);
[[nodiscard]] int32_t session_continue(Session* session, std::span<const uint8_t> payload);
[[nodiscard]] int32_t session_discard_partial(Session* session, std::span<const uint8_t> payload);

}  // namespace orv
