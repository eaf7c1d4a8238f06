// The version text of this build, alone in its object file: a second build at another version
// (the upgrade test's) relinks with its own copy instead of recompiling the program.
#include "velmora/constants.hpp"

#ifndef VELMORA_RELEASE_TAG
#define VELMORA_RELEASE_TAG ""
#endif
#ifndef VELMORA_VERSION
#define VELMORA_VERSION ""
#endif

namespace velmora {

const std::string_view CLI_RELEASE_TAG = VELMORA_RELEASE_TAG;
const std::string_view CLI_BUILD_VERSION = VELMORA_VERSION;

}  // namespace velmora
