// The time stamps the plug-in writes.
#pragma once

#include <cstddef>
#include <ctime>

namespace chatwarden {

// Room for either stamp even with out-of-range fields.
inline constexpr std::size_t kStampSize = 64;

// "MM/DD/YY HH:MM:SS AM": the trace's and the plain-text transcript's form
// (24-hour time followed by the half of day). Writes 20 characters and a NUL.
void formatClockStamp(const std::tm& tm, char (&aOut)[kStampSize]);
// "%Y%m%dT%H%M%S": the XML log's form. Writes 15 characters and a NUL.
void formatXmlStamp(const std::tm& tm, char (&aOut)[kStampSize]);

// A build date as logs and messages give it, "Mmm DD YYYY" with a two-digit
// day, from the compiler's __DATE__ ("Dec  1 2026"). Each deliverable
// expands __DATE__ in its own build.
struct BuildDate {
  char a[12];
  constexpr explicit BuildDate(const char* pCompilerDate) : a{} {
    for (int i = 0; i < 11; ++i) a[i] = pCompilerDate[i];
    if (a[4] == ' ') a[4] = '0';
    a[11] = '\0';
  }
};

}  // namespace chatwarden
