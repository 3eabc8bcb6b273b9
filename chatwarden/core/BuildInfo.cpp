#include "core/BuildInfo.h"
#include "core/TimeFormat.h"

namespace chatwarden {
namespace {

constexpr BuildDate kBuildDate(__DATE__);

}  // namespace

const char* buildDate() { return kBuildDate.a; }
const char* buildTime() { return __TIME__; }

}  // namespace chatwarden
