#include "ChatLoggingLibrary.h"

#include <dlfcn.h>

#include "win/process.h"

namespace sametime {

ChatLoggingLibrary::~ChatLoggingLibrary() { unload(); }

bool ChatLoggingLibrary::load(const std::string& sPath) {
  unload();
  m_hLibrary = ::dlopen(sPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m_hLibrary) {
    const char* pError = ::dlerror();
    m_sError = pError ? pError : ("cannot load " + sPath);
    return false;
  }
  bool bOk = true;
  auto resolve = [&](auto& pfn, const char* pName) {
    using Pfn = std::remove_reference_t<decltype(pfn)>;
    pfn = reinterpret_cast<Pfn>(::dlsym(m_hLibrary, pName));
    if (!pfn && bOk) {
      m_sError = sPath + " does not export " + pName;
      bOk = false;
    }
  };
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
  if (!bOk) unload();
  return bOk;
}

void ChatLoggingLibrary::unload() {
  if (m_hLibrary) ::dlclose(m_hLibrary);
  m_hLibrary = nullptr;
  Init = nullptr;
}

std::string defaultChatLoggingLibraryPath() {
  std::string sExe = win::currentProcess().executablePath();
  const auto nSlash = sExe.find_last_of('/');
  const std::string sBin = nSlash == std::string::npos ? "." : sExe.substr(0, nSlash);
  return sBin + "/../lib/chatwarden.so";
}

}  // namespace sametime
