// The exported C entry points of the chat logging plug-in. Each forwards to
// the loaded plug-in and keeps every exception on this side of the boundary.
//
// The session entry points of an inactive plug-in answer 0 at the cost of
// one test: the exported function holds only that test and hands the rest
// to an out-of-line worker, so no frame is built on the inactive path.
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

bool inactive() { return chatwarden::loadedAndInactive(); }

[[gnu::noinline]] void timerEvent() {
  guarded(0, [](ChatwardenPlugin& p) {
    p.timerEvent();
    return 0;
  });
}

// An error while deciding refuses the chat.
[[gnu::noinline]] int32_t policyCheck(const char* from, const char* to, SrvMsg** srvMessages, int32_t* indicator) {
  return guarded(ST_DDA_API_CHAT_DENIED,
                 [&](ChatwardenPlugin& p) { return p.policyCheck(from, to, srvMessages, indicator); });
}

[[gnu::noinline]] int32_t sessionStarted(const char* sessID, const char* org) {
  return guarded(ST_DDA_API_LOG_FILE_ERROR, [&](ChatwardenPlugin& p) { return p.sessionStarted(sessID, org); });
}

[[gnu::noinline]] int32_t sessionEnded(const char* sessID) {
  return guarded(ST_DDA_API_LOG_FILE_ERROR, [&](ChatwardenPlugin& p) { return p.sessionEnded(sessID); });
}

[[gnu::noinline]] int32_t joining(const char* sessID, const ChatEntity* entity, const ChatEntity* scope,
                                  SrvMsg** srvMessages, int32_t* indicator) {
  return guarded(ST_DDA_API_LOG_FILE_ERROR,
                 [&](ChatwardenPlugin& p) { return p.joining(sessID, entity, scope, srvMessages, indicator); });
}

[[gnu::noinline]] int32_t leaving(const char* sessID, const ChatEntity* entity) {
  return guarded(ST_DDA_API_LOG_FILE_ERROR, [&](ChatwardenPlugin& p) { return p.leaving(sessID, entity); });
}

[[gnu::noinline]] int32_t message(const char* sessID, const ChatEntity* sender, int32_t len, const char* text,
                                  const ChatEntity* receiver, SrvMsg** srvMessages, int32_t* indicator) {
  return guarded(ST_DDA_API_LOG_FILE_ERROR, [&](ChatwardenPlugin& p) {
    return p.message(sessID, sender, len, text, receiver, srvMessages, indicator);
  });
}

// Data messages trace even while inactive.
int32_t dataMessage(const char* pEntryPoint, const char* sessID, uint32_t dataType, uint32_t subType, uint32_t len,
                    const unsigned char* data) {
  return guarded(ST_DDA_API_LOG_FILE_ERROR, [&](ChatwardenPlugin& p) {
    if (pEntryPoint) p.traceDataMessage(pEntryPoint, sessID, dataType, subType, len, data);
    return p.dataMessage(sessID, dataType, subType, len, data);
  });
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
  if (!inactive()) timerEvent();
}

ST_DDA_EXPORT int32_t stDdaClSessionPolicycheckFunc(const char* from, const char* to, SrvMsg** srvMessages,
                                                    int32_t* indicator) {
  return inactive() ? ST_DDA_API_OK : policyCheck(from, to, srvMessages, indicator);
}

ST_DDA_EXPORT int32_t stDdaClSessionStartedByOrgName(const char* sessID, const char* org) {
  return inactive() ? ST_DDA_API_OK : sessionStarted(sessID, org);
}

ST_DDA_EXPORT int32_t stDdaClSessionStarted(const char* sessID) {
  return inactive() ? ST_DDA_API_OK : sessionStarted(sessID, "");
}

ST_DDA_EXPORT int32_t stDdaClSessionEnded(const char* sessID) {
  return inactive() ? ST_DDA_API_OK : sessionEnded(sessID);
}

ST_DDA_EXPORT int32_t stDdaClJoiningSessionWithSrvMsg(const char* sessID, const ChatEntity* entity,
                                                      const ChatEntity* scope, SrvMsg** srvMessages,
                                                      int32_t* indicator) {
  return inactive() ? ST_DDA_API_OK : joining(sessID, entity, scope, srvMessages, indicator);
}

ST_DDA_EXPORT int32_t stDdaClJoiningSession(const char* sessID, const ChatEntity* entity, const ChatEntity* scope) {
  return inactive() ? ST_DDA_API_OK : joining(sessID, entity, scope, nullptr, nullptr);
}

ST_DDA_EXPORT int32_t stDdaClLeavingSessionWithSrvMsg(const char* sessID, const ChatEntity* entity,
                                                      SrvMsg** /*srvMessages*/, int32_t* /*indicator*/) {
  return inactive() ? ST_DDA_API_OK : leaving(sessID, entity);
}

ST_DDA_EXPORT int32_t stDdaClLeavingSession(const char* sessID, const ChatEntity* entity) {
  return inactive() ? ST_DDA_API_OK : leaving(sessID, entity);
}

ST_DDA_EXPORT int32_t stDdaClSessionMsgWithSrvMsg(const char* sessID, const ChatEntity* sender, int32_t len,
                                                  const char* text, const ChatEntity* receiver,
                                                  SrvMsg** srvMessages, int32_t* indicator) {
  return inactive() ? ST_DDA_API_OK : message(sessID, sender, len, text, receiver, srvMessages, indicator);
}

ST_DDA_EXPORT int32_t stDdaClSessionMsg(const char* sessID, const ChatEntity* sender, int32_t len, const char* text,
                                        const ChatEntity* receiver) {
  return inactive() ? ST_DDA_API_OK : message(sessID, sender, len, text, receiver, nullptr, nullptr);
}

ST_DDA_EXPORT int32_t stDdaClSessionDataMsgWithSrvMsg(const char* sessID, const void* /*reserved1*/,
                                                      uint32_t dataType, uint32_t subType, uint32_t len,
                                                      const unsigned char* data, const void* /*reserved2*/,
                                                      SrvMsg** /*srvMessages*/, int32_t* /*indicator*/) {
  return dataMessage(nullptr, sessID, dataType, subType, len, data);
}

// Traces its own entry and dump, then does what its twin does.
ST_DDA_EXPORT int32_t stDdaClSessionDataMsg(const char* sessID, const void* /*reserved1*/, uint32_t dataType,
                                            uint32_t subType, uint32_t len, const unsigned char* data,
                                            const void* /*reserved2*/) {
  return dataMessage("stDdaClSessionDataMsg", sessID, dataType, subType, len, data);
}

ST_DDA_EXPORT int32_t stDdaClCleanSrvMsgs(SrvMsg* srvMessages, int32_t indicator) {
  return guarded(ST_DDA_API_OK, [&](ChatwardenPlugin& p) { return p.cleanSrvMsgs(srvMessages, indicator); });
}

}  // extern "C"
