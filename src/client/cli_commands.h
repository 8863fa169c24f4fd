// The orv_client program: parses the command line, runs one command and
// turns its outcome into messages and an exit status. Results go to
// standard output, errors and the progress line to standard error.
#pragma once

namespace orv {

inline constexpr int CLI_EXIT_OK = 0;
inline constexpr int CLI_EXIT_FAILURE = 1;
inline constexpr int CLI_EXIT_USAGE = 2;
inline constexpr int CLI_EXIT_MISMATCH = 3;  // restored data does not match its checksums

int cli_main(int argc, char** argv);

}  // namespace orv
