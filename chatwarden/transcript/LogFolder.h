// The log folder of all transcript and image files.
#pragma once

#include <string>

namespace chatwarden {

class ChatResource;

// Fills SFOLDER (once) from the "LogFileFolderPath" setting, ending with
// exactly one '/'. Returns false when the setting is empty or unreadable.
bool setLogFolderPath(ChatResource& resource, std::string& sFolder);

}  // namespace chatwarden
