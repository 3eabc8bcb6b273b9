#include "BuildInfo.h"

namespace filewarden {
namespace {

// The compiler writes "Dec  1 2026"; the log's comment row carries
// "Dec 01 2026".
struct BuildDate {
  char a[12];
  constexpr BuildDate() : a{} {
    constexpr const char* kDate = __DATE__;
    for (int i = 0; i < 11; ++i) a[i] = kDate[i];
    if (a[4] == ' ') a[4] = '0';
    a[11] = '\0';
  }
};

constexpr BuildDate kBuildDate;

}  // namespace

const char* buildDate() { return kBuildDate.a; }
const char* buildTime() { return __TIME__; }

}  // namespace filewarden
