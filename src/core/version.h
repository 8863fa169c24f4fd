// The version text of the programs: printed by --version and --selftest,
// carried in the HELLO reply, recorded in diagnostics bundles. It is set
// once, as ORV_VERSION_TEXT in CMakeLists.txt, which also derives the
// package version from it; only version.cc is compiled with it.
#pragma once

namespace orv {

extern const char PROGRAM_VERSION[];

}  // namespace orv
