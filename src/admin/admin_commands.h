// The orv_admin program: parses the command line, walks the storage root
// and runs one command. Results go to standard output (text or one JSON
// document), errors and the progress line to standard error.
#pragma once

namespace orv {

inline constexpr int ADMIN_EXIT_OK = 0;
inline constexpr int ADMIN_EXIT_PROBLEMS = 1;  // problems found, or work that failed
inline constexpr int ADMIN_EXIT_USAGE = 2;

int admin_main(int argc, char** argv);

}  // namespace orv
