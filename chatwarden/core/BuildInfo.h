// Identity of this build of the chat logging plug-in.
#pragma once

#include <cstdint>

namespace chatwarden {

inline constexpr const char* kProductName = "Velkora Parlantis Sametime plugin";
inline constexpr const char* kProductVersion = "5.6.5";
inline constexpr const char* kLibVersion = "9.5.6.5";
inline constexpr const char* kDirType = "Lotus Domino";
inline constexpr std::int32_t kSpiVersion = 14;     // answered to the host
inline constexpr std::int32_t kMinSpiVersion = 14;  // lowest host version accepted

// "Mmm DD YYYY" with a two-digit day, and "HH:MM:SS".
const char* buildDate();
const char* buildTime();

}  // namespace chatwarden
