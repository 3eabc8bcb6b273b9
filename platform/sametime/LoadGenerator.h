// Drives a chat logging plug-in with many concurrent chats and measures
// how fast it logs messages.
#pragma once

#include <cstddef>
#include <cstdio>

#include "ChatLoggingLibrary.h"

namespace sametime {

struct LoadOptions {
  long nChats = 100;         // chats open at once
  long nMessages = 100;      // messages per chat
  std::size_t nSize = 64;    // bytes per message text
};

struct LoadReport {
  long nFailedCalls = 0;
  double dMessageSeconds = 0;      // wall time of the message phase
  long nMessages = 0;
  long nOpenBytesPerChat = 0;      // resident memory growth per open chat
};

// Initialises the plug-in, opens every chat with two users, sends the
// messages round-robin over the chats, ends every chat and terminates.
LoadReport runLoad(ChatLoggingLibrary& lib, const LoadOptions& options, std::FILE* pProgress);

}  // namespace sametime
