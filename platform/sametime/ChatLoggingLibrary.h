// A chat logging plug-in with its sixteen entry points.
#pragma once

#include <string>

#include "PluginLibrary.h"
#include "stdda_cl.h"

namespace sametime {

class ChatLoggingLibrary final : public PluginLibrary {
 public:
  ~ChatLoggingLibrary() override { unload(); }

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
  void resolveAll() override;
};

// build/lib/chatwarden.so beside the bin folder of the running program.
std::string defaultChatLoggingLibraryPath();

}  // namespace sametime
