// --priv-debug: sends one request to the privileged socket by hand and
// prints the answer as one line. Must run as the service user, the only
// peer the server accepts.
#pragma once

namespace orv {

// Reads --priv-debug (lv_create|lv_remove|lv_query), --sock, --vg, --lv and
// --size from the command line. Prints "OK ..." on stdout and returns 0, or
// prints "ERR ..." and returns 1 (usage errors go to stderr).
int run_priv_debug(int argc, const char* const* argv);

}  // namespace orv
