// UTF-8 checks and the escaping of untrusted text for log lines.
//
// Peer-supplied text (backup names, sub-directories, host names, versions)
// and file names reach the diagnostic log, the run log and syslog. A line
// feed in such text would forge a log line, an escape byte would drive the
// operator's terminal, and bytes that are not UTF-8 break tools that read
// the logs. log_escape turns every such byte into the four characters
// "\xNN" (lower-case hex) and copies well-formed UTF-8 unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

// Length (1 to 4) of the well-formed UTF-8 sequence at the start of p[0..n),
// or 0 when p does not start with one: a stray continuation byte, a
// truncated sequence, an overlong form, a surrogate (U+D800..U+DFFF) or a
// code point above U+10FFFF. n of 0 gives 0.
size_t utf8_sequence_length(const unsigned char* p, size_t n);

// Writes in[0..n) into out (cap bytes, NUL included) with control bytes
// (0x00-0x1F, 0x7F), the C1 controls U+0080..U+009F and every byte that is
// not part of a well-formed UTF-8 sequence written as "\xNN"; everything else
// is copied. Output that does not fit is cut before the first piece that
// would not fit whole, so an escape or a multi-byte character is never
// split. Returns the length written (out[len] is NUL); cap 0 writes nothing.
size_t log_escape(const char* in, size_t n, char* out, size_t cap);

}  // namespace orv
