// What a chat's transcript works with: the process-wide settings, trace and
// platform facilities, owned by the plug-in and shared by every session.
#pragma once

#include <string>

#include "core/ChatResource.h"
#include "core/PluginSettings.h"
#include "win/facilities.h"

namespace chatwarden {

class ChatRules;
class ContentCrypto;

struct TranscriptContext {
  ChatResource& resource;
  const PluginSettings& settings;
  const std::string& logFolderPath;  // ends with '/'
  win::IFileSystem& files;
  win::IClock& clock;
  win::IUuidSource& uuid;
  ChatRules& rules;
  ContentCrypto& crypto;  // used when settings.encryptContent is set
};

}  // namespace chatwarden
