#include "ChatLoggingLibrary.h"

namespace sametime {

void ChatLoggingLibrary::resolveAll() {
  resolve(Init, "stDdaClInit");
  resolve(Terminate, "stDdaClTerminate");
  resolve(TimerEvent, "stDdaClTimerEvent");
  resolve(SessionPolicycheckFunc, "stDdaClSessionPolicycheckFunc");
  resolve(SessionStartedByOrgName, "stDdaClSessionStartedByOrgName");
  resolve(SessionStarted, "stDdaClSessionStarted");
  resolve(SessionEnded, "stDdaClSessionEnded");
  resolve(JoiningSessionWithSrvMsg, "stDdaClJoiningSessionWithSrvMsg");
  resolve(JoiningSession, "stDdaClJoiningSession");
  resolve(LeavingSessionWithSrvMsg, "stDdaClLeavingSessionWithSrvMsg");
  resolve(LeavingSession, "stDdaClLeavingSession");
  resolve(SessionMsgWithSrvMsg, "stDdaClSessionMsgWithSrvMsg");
  resolve(SessionMsg, "stDdaClSessionMsg");
  resolve(SessionDataMsgWithSrvMsg, "stDdaClSessionDataMsgWithSrvMsg");
  resolve(SessionDataMsg, "stDdaClSessionDataMsg");
  resolve(CleanSrvMsgs, "stDdaClCleanSrvMsgs");
}

std::string defaultChatLoggingLibraryPath() { return libraryBesideProgram("chatwarden.so"); }

}  // namespace sametime
