#include "core/TimeFormat.h"

#include <cstdio>

namespace chatwarden {

void formatClockStamp(const std::tm& tm, char (&aOut)[kStampSize]) {
  std::snprintf(aOut, sizeof aOut, "%02d/%02d/%02d %02d:%02d:%02d %s", tm.tm_mon + 1, tm.tm_mday, tm.tm_year % 100,
                tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_hour < 12 ? "AM" : "PM");
}

void formatXmlStamp(const std::tm& tm, char (&aOut)[kStampSize]) {
  std::snprintf(aOut, sizeof aOut, "%04d%02d%02dT%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
}

}  // namespace chatwarden
