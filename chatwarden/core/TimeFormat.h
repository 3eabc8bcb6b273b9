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

}  // namespace chatwarden
