#include "core/version.h"

namespace orv {

const char PROGRAM_VERSION[] = ORV_VERSION_TEXT;

}  // namespace orv
