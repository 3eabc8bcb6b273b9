// Identity of this build of the file-transfer plug-in.
#pragma once

namespace filewarden {

inline constexpr const char* kProductVersion = "5.6.5";

// "Mmm DD YYYY" with a two-digit day, and "HH:MM:SS", as the chat logging
// plug-in writes them, so both kinds of log name their builds alike.
const char* buildDate();
const char* buildTime();

}  // namespace filewarden
