// The chat logging plug-in's settings, read once when the library is loaded.
#pragma once

#include <cstdint>

namespace chatwarden {

// Transcript formats (bit mask of "LogFileFormat").
inline constexpr std::uint32_t LOG_FORMAT_TXT = 1;
inline constexpr std::uint32_t LOG_FORMAT_XML = 2;

struct PluginSettings {
  bool traceEnabled = false;
  bool logFileEnabled = false;
  bool encryptContent = false;
  bool captureImages = true;
  std::uint32_t logFileFormat = 0;
  std::int32_t flushIntervalSecs = 0;

  bool writesTxt() const { return (logFileFormat & LOG_FORMAT_TXT) != 0; }
  bool writesXml() const { return (logFileFormat & LOG_FORMAT_XML) != 0; }
};

}  // namespace chatwarden
