#include "BuildInfo.h"

#include "core/TimeFormat.h"

namespace filewarden {
namespace {

constexpr chatwarden::BuildDate kBuildDate(__DATE__);

}  // namespace

const char* buildDate() { return kBuildDate.a; }
const char* buildTime() { return __TIME__; }

}  // namespace filewarden
