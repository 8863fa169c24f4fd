// One-shot --version and --selftest modes, and the self-test itself: checks
// that SHA-256, CRC-32C, zstd and lz4 give correct results on this machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/version.h"

namespace orv {

// Size of the test pattern and of the callers' message buffers.
inline constexpr size_t SELFTEST_PATTERN_SIZE = 262144;
inline constexpr size_t SELFTEST_MSG_SIZE = 256;

// --version prints "<progname> <version>" on stdout and gives 0 (it wins over
// --selftest); --selftest runs the self-test and gives 0 or 1 after printing
// its outcome. Returns -1 when neither option is on the command line.
int handle_version_selftest(int argc, const char* const* argv, const char* progname);

// Runs every check in turn, stopping at the first failure. Returns 0 when all
// pass, else 1 with the failure text in msg (at most msg_size-1 characters
// and a NUL; nothing is written when msg is null or msg_size is 0).
int selftest_run(char* msg, size_t msg_size);

// Compresses data with codec at level 3 and decompresses it again. Returns 0
// when the result is non-empty, smaller than data, and decompresses to data
// exactly; else 1 with failure_text (or "out of memory") in msg.
int codec_roundtrip(int codec, const char* failure_text, std::span<const uint8_t> data, char* msg,
                    size_t msg_size);

// Fills out with the compressible test pattern: byte i is
// ((7 * i) ^ (i >> 5)) & 0xFF.
void selftest_fill_pattern(std::span<uint8_t> out);

}  // namespace orv
