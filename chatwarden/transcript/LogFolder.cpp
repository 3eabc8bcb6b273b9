#include "transcript/LogFolder.h"

#include "core/ChatResource.h"

namespace chatwarden {

bool setLogFolderPath(ChatResource& resource, std::string& sFolder) {
  resource.traceMessage("..+ChatSessionEntry::setLogFolderPath()");
  if (!sFolder.empty()) return true;
  sFolder = resource.getLogFolderPath();
  if (sFolder.empty()) return false;
  if (sFolder.back() != '/') sFolder += '/';
  resource.traceMessage("..-ChatSessionEntry::setLogFolderPath()");
  return true;
}

}  // namespace chatwarden
