// A chat logging plug-in loaded the way the Sametime server loads it: by
// path with dlopen, every entry point looked up by name.
#pragma once

#include <string>

#include "stdda_cl.h"

namespace sametime {

class ChatLoggingLibrary {
 public:
  ChatLoggingLibrary() = default;
  ~ChatLoggingLibrary();
  ChatLoggingLibrary(const ChatLoggingLibrary&) = delete;
  ChatLoggingLibrary& operator=(const ChatLoggingLibrary&) = delete;

  // Loads the library and resolves all sixteen entry points. On failure
  // returns false and sets error() to what the loader said.
  bool load(const std::string& sPath);
  void unload();
  const std::string& error() const { return m_sError; }

  PFN_stDdaClInit Init = nullptr;
  PFN_stDdaClTerminate Terminate = nullptr;
  PFN_stDdaClTimerEvent TimerEvent = nullptr;
  PFN_stDdaClSessionPolicycheckFunc SessionPolicycheckFunc = nullptr;
  PFN_stDdaClSessionStartedByOrgName SessionStartedByOrgName = nullptr;
  PFN_stDdaClSessionStarted SessionStarted = nullptr;
  PFN_stDdaClSessionEnded SessionEnded = nullptr;
  PFN_stDdaClJoiningSessionWithSrvMsg JoiningSessionWithSrvMsg = nullptr;
  PFN_stDdaClJoiningSession JoiningSession = nullptr;
  PFN_stDdaClLeavingSessionWithSrvMsg LeavingSessionWithSrvMsg = nullptr;
  PFN_stDdaClLeavingSession LeavingSession = nullptr;
  PFN_stDdaClSessionMsgWithSrvMsg SessionMsgWithSrvMsg = nullptr;
  PFN_stDdaClSessionMsg SessionMsg = nullptr;
  PFN_stDdaClSessionDataMsgWithSrvMsg SessionDataMsgWithSrvMsg = nullptr;
  PFN_stDdaClSessionDataMsg SessionDataMsg = nullptr;
  PFN_stDdaClCleanSrvMsgs CleanSrvMsgs = nullptr;

 private:
  void* m_hLibrary = nullptr;
  std::string m_sError;
};

// build/lib/chatwarden.so beside the bin folder of the running program.
std::string defaultChatLoggingLibraryPath();

}  // namespace sametime
