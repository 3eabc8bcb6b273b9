// The exported C entry points of the chat logging plug-in. Each forwards to
// the loaded plug-in and keeps every exception on this side of the boundary.
#include <exception>

#include "core/ChatwardenPlugin.h"
#include "stdda_cl.h"

using chatwarden::ChatwardenPlugin;

namespace {

// Runs WORK on the loaded plug-in; FALLBACK is the result when there is no
// plug-in or WORK throws (out of memory, mostly).
template <typename Work>
std::int32_t guarded(std::int32_t nFallback, Work&& work) {
  ChatwardenPlugin* pPlugin = chatwarden::loadedPlugin();
  if (!pPlugin) return nFallback;
  try {
    return work(*pPlugin);
  } catch (...) {
    return nFallback;
  }
}

}  // namespace

extern "C" {

ST_DDA_EXPORT int32_t stDdaClInit(int32_t* prVersion, uint32_t flags, uint32_t* initFlags, char* dirType,
                                  char* libVersion, int32_t* statusIndicator, char* statusMessage) {
  return guarded(ST_DDA_API_INIT_FAILED, [&](ChatwardenPlugin& p) {
    return p.init(prVersion, flags, initFlags, dirType, libVersion, statusIndicator, statusMessage);
  });
}

ST_DDA_EXPORT void stDdaClTerminate(void) {
  guarded(0, [](ChatwardenPlugin& p) {
    p.terminate();
    return 0;
  });
}

ST_DDA_EXPORT void stDdaClTimerEvent(void) {
  guarded(0, [](ChatwardenPlugin& p) {
    p.timerEvent();
    return 0;
  });
}

// An error while deciding refuses the chat.
ST_DDA_EXPORT int32_t stDdaClSessionPolicycheckFunc(const char* from, const char* to, SrvMsg** srvMessages,
                                                    int32_t* indicator) {
  return guarded(ST_DDA_API_CHAT_DENIED,
                 [&](ChatwardenPlugin& p) { return p.policyCheck(from, to, srvMessages, indicator); });
}

ST_DDA_EXPORT int32_t stDdaClSessionStartedByOrgName(const char* sessID, const char* org) {
  return guarded(ST_DDA_API_LOG_FILE_ERROR, [&](ChatwardenPlugin& p) { return p.sessionStarted(sessID, org); });
}

ST_DDA_EXPORT int32_t stDdaClSessionStarted(const char* sessID) { return stDdaClSessionStartedByOrgName(sessID, ""); }

ST_DDA_EXPORT int32_t stDdaClSessionEnded(const char* sessID) {
  return guarded(ST_DDA_API_LOG_FILE_ERROR, [&](ChatwardenPlugin& p) { return p.sessionEnded(sessID); });
}

ST_DDA_EXPORT int32_t stDdaClJoiningSessionWithSrvMsg(const char* sessID, const ChatEntity* entity,
                                                      const ChatEntity* scope, SrvMsg** srvMessages,
                                                      int32_t* indicator) {
  return guarded(ST_DDA_API_LOG_FILE_ERROR,
                 [&](ChatwardenPlugin& p) { return p.joining(sessID, entity, scope, srvMessages, indicator); });
}

ST_DDA_EXPORT int32_t stDdaClJoiningSession(const char* sessID, const ChatEntity* entity, const ChatEntity* scope) {
  return stDdaClJoiningSessionWithSrvMsg(sessID, entity, scope, nullptr, nullptr);
}

ST_DDA_EXPORT int32_t stDdaClLeavingSessionWithSrvMsg(const char* sessID, const ChatEntity* entity,
                                                      SrvMsg** /*srvMessages*/, int32_t* /*indicator*/) {
  return guarded(ST_DDA_API_LOG_FILE_ERROR, [&](ChatwardenPlugin& p) { return p.leaving(sessID, entity); });
}

ST_DDA_EXPORT int32_t stDdaClLeavingSession(const char* sessID, const ChatEntity* entity) {
  return stDdaClLeavingSessionWithSrvMsg(sessID, entity, nullptr, nullptr);
}

ST_DDA_EXPORT int32_t stDdaClSessionMsgWithSrvMsg(const char* sessID, const ChatEntity* sender, int32_t len,
                                                  const char* text, const ChatEntity* receiver,
                                                  SrvMsg** srvMessages, int32_t* indicator) {
  return guarded(ST_DDA_API_LOG_FILE_ERROR, [&](ChatwardenPlugin& p) {
    return p.message(sessID, sender, len, text, receiver, srvMessages, indicator);
  });
}

ST_DDA_EXPORT int32_t stDdaClSessionMsg(const char* sessID, const ChatEntity* sender, int32_t len, const char* text,
                                        const ChatEntity* receiver) {
  return stDdaClSessionMsgWithSrvMsg(sessID, sender, len, text, receiver, nullptr, nullptr);
}

ST_DDA_EXPORT int32_t stDdaClSessionDataMsgWithSrvMsg(const char* sessID, const void* /*reserved1*/,
                                                      uint32_t dataType, uint32_t subType, uint32_t len,
                                                      const unsigned char* data, const void* /*reserved2*/,
                                                      SrvMsg** /*srvMessages*/, int32_t* /*indicator*/) {
  return guarded(ST_DDA_API_LOG_FILE_ERROR,
                 [&](ChatwardenPlugin& p) { return p.dataMessage(sessID, dataType, subType, len, data); });
}

ST_DDA_EXPORT int32_t stDdaClSessionDataMsg(const char* sessID, const void* reserved1, uint32_t dataType,
                                            uint32_t subType, uint32_t len, const unsigned char* data,
                                            const void* reserved2) {
  if (ChatwardenPlugin* p = chatwarden::loadedPlugin()) {
    try {
      p->traceDataMessage("stDdaClSessionDataMsg", sessID, dataType, subType, len, data);
    } catch (...) {
    }
  }
  return stDdaClSessionDataMsgWithSrvMsg(sessID, reserved1, dataType, subType, len, data, reserved2, nullptr,
                                         nullptr);
}

ST_DDA_EXPORT int32_t stDdaClCleanSrvMsgs(SrvMsg* srvMessages, int32_t indicator) {
  return guarded(ST_DDA_API_OK, [&](ChatwardenPlugin& p) { return p.cleanSrvMsgs(srvMessages, indicator); });
}

}  // extern "C"
