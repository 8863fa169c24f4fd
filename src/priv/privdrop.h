// Switching a root process to the service user for good.
#pragma once

namespace orv {

// System user the worker runs as.
inline constexpr const char* SERVICE_USER = "orvsvc";

// When the effective user is root: takes the supplementary groups, the group
// and the user id of SERVICE_USER (in that order; once the user id has
// changed the groups can no longer be changed) and proves that root cannot
// be regained. Does nothing and returns 0 for any other effective user.
// Returns 0, or -1 after an ERROR line (the process must not go on then).
// Call before the process loads a key or opens a port, with no other
// threads running.
[[nodiscard]] int drop_privileges();

}  // namespace orv
