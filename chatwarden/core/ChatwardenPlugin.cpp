#include "core/ChatwardenPlugin.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/BuildInfo.h"
#include "transcript/LogFolder.h"

namespace chatwarden {
namespace {

constexpr int kWantedOpenFiles = 2048;

std::unique_ptr<ChatwardenPlugin> g_pPlugin;

// The id of an entity, bounded by its field, or "NULL".
std::string entityId(const ChatEntity* pEntity) {
  if (!pEntity) return "NULL";
  return std::string(pEntity->id, ::strnlen(pEntity->id, sizeof pEntity->id));
}

const char* orNull(const char* p) { return p ? p : "NULL"; }

void copyBounded(char* pDest, std::size_t nSize, const char* pText) { std::snprintf(pDest, nSize, "%s", pText); }

}  // namespace

const char* entityTypeName(std::int32_t nType) {
  switch (nType) {
    case ST_DDA_ENTITY_USER: return "User";
    case ST_DDA_ENTITY_SECTION: return "Section";
    case ST_DDA_ENTITY_ACTIVITY: return "Activity";
    case ST_DDA_ENTITY_SESSION: return "Session";
    default: return "Unknown";
  }
}

ChatwardenPlugin* loadedPlugin() { return g_pPlugin.get(); }

void loadPlugin(const win::Facilities& facilities) {
  g_pPlugin.reset();
  g_pPlugin = std::make_unique<ChatwardenPlugin>(facilities);
}

void unloadPlugin() { g_pPlugin.reset(); }

ChatwardenPlugin::ChatwardenPlugin(const win::Facilities& facilities)
    : m_facilities(facilities),
      m_pResource(std::make_unique<ChatResource>(facilities)),
      m_rules(*m_pResource) {
  // The trace switch is read first, so every later reading is traced.
  m_settings.traceEnabled = m_pResource->readTraceEnabled();
  m_pResource->setTraceEnabled(m_settings.traceEnabled);
  m_settings.logFileEnabled = m_pResource->isLogFileEnabled();
  m_settings.encryptContent = m_pResource->isEncryptionEnabled();
  m_settings.captureImages = m_pResource->isImageCaptureEnabled();
  m_settings.logFileFormat = m_pResource->getLogFileFormat();
  m_settings.flushIntervalSecs = m_pResource->getXMLFlushIntervalSecs();
}

ChatwardenPlugin::~ChatwardenPlugin() = default;

void ChatwardenPlugin::setStatusMessage(const char* pFormat, ...) {
  char aText[ST_DDA_STATUS_MSG_SIZE];
  va_list args;
  va_start(args, pFormat);
  std::vsnprintf(aText, sizeof aText, pFormat, args);
  va_end(args);
  if (m_pStatusMessage) copyBounded(m_pStatusMessage, ST_DDA_STATUS_MSG_SIZE, aText);
  m_pResource->traceMessage("%s", aText);
}

void ChatwardenPlugin::report(std::int32_t nStatus, const char* pFormat, ...) {
  char aText[ST_DDA_STATUS_MSG_SIZE];
  va_list args;
  va_start(args, pFormat);
  std::vsnprintf(aText, sizeof aText, pFormat, args);
  va_end(args);
  if (m_pStatusMessage) copyBounded(m_pStatusMessage, ST_DDA_STATUS_MSG_SIZE, aText);
  m_pResource->traceMessage("%s", aText);
  if (m_pStatusIndicator) *m_pStatusIndicator = nStatus;
}

std::int32_t ChatwardenPlugin::init(std::int32_t* prVersion, std::uint32_t nFlags, std::uint32_t* pInitFlags,
                                    char* pDirType, char* pLibVersion, std::int32_t* pStatusIndicator,
                                    char* pStatusMessage) {
  ChatResource& res = *m_pResource;
  res.traceMessage("------------[Velkora Parlantis %s Chat Logging startup]-------------------", kProductVersion);
  res.traceMessage("+stDdaClInit()");
  if (pDirType && pLibVersion) {
    copyBounded(pDirType, ST_DDA_DIR_TYPE_SIZE, kDirType);
    copyBounded(pLibVersion, ST_DDA_LIB_VERSION_SIZE, kLibVersion);
    res.traceMessage("..->dirType: %s, libVersion: %s", pDirType, pLibVersion);
  }
  const std::int32_t nHostVersion = prVersion ? *prVersion : 0;
  res.traceMessage("..->Sametime  SPI prVersion: %u", static_cast<unsigned>(nHostVersion));
  res.traceMessage("..->Parlantis SPI prVersion: %u", static_cast<unsigned>(kSpiVersion));

  m_pStatusIndicator = pStatusIndicator;
  m_pStatusMessage = pStatusMessage;
  if (m_pStatusIndicator) *m_pStatusIndicator = PLUGIN_STATUS_RUNNING;

  if (nHostVersion < kMinSpiVersion) {
    report(PLUGIN_STATUS_FATAL,
           "Velkora Parlantis FATAL ERROR: Chatlogging SPI version %u not supported, Parlantis requires SPI "
           "version %u or higher, terminating.",
           static_cast<unsigned>(nHostVersion), static_cast<unsigned>(kMinSpiVersion));
    return ST_DDA_API_UNSUPPORTED_VERSION;
  }
  *prVersion = kSpiVersion;

  if (!isActive()) {
    setStatusMessage("%s %s (Build %s %s) loaded but inactive.", kProductName, kProductVersion, buildDate(),
                     buildTime());
    res.traceMessage("~stDdaClInit()");
    return ST_DDA_API_OK;
  }

  if (const std::uint16_t nStatus = m_rules.Init(nFlags, pInitFlags)) {
    char aReason[256];
    std::snprintf(aReason, sizeof aReason, "ERROR: Notes initialization failed with error 0x%04X", nStatus);
    report(PLUGIN_STATUS_FATAL, "Velkora Parlantis FATAL ERROR: Unable to initialize chat rules, terminating: %s",
           aReason);
    return ST_DDA_API_INIT_FAILED;
  }

  win::IProcess& process = *m_facilities.pProcess;
  res.traceMessage("..->Max open files before: %d", process.openFileLimit());
  res.traceMessage("..->Max open files after : %d", process.raiseOpenFileLimit(kWantedOpenFiles));

  if (!setLogFolderPath(res, m_sLogFolderPath)) {
    report(PLUGIN_STATUS_FATAL, "Velkora Parlantis FATAL ERROR: Unable to get log folder path, terminating.");
    return ST_DDA_API_INIT_FAILED;
  }

  if (m_settings.encryptContent) {
    // Content encryption is not part of this build: refusing to start is the
    // only way to keep names and texts from being written in clear.
    report(PLUGIN_STATUS_FATAL, "Velkora Parlantis FATAL ERROR: Unable to initialize Crypto API, terminating.");
    return ST_DDA_API_INIT_FAILED;
  }

  if (pInitFlags) *pInitFlags |= nFlags;
  setStatusMessage("%s %s (Build %s %s) loaded and initialized.", kProductName, kProductVersion, buildDate(),
                   buildTime());
  res.traceMessage("~stDdaClInit()");
  return ST_DDA_API_OK;
}

void ChatwardenPlugin::terminate() {
  ChatResource& res = *m_pResource;
  res.traceMessage("------------[Velkora Parlantis %s Chat Logging shutdown]------------------", kProductVersion);
  res.traceMessage("+stDdaClTerminate()");
  if (isActive()) m_rules.Term();
  setStatusMessage("%s %s (Build %s %s) unloaded.", kProductName, kProductVersion, buildDate(), buildTime());
  if (m_pStatusIndicator) *m_pStatusIndicator = PLUGIN_STATUS_RUNNING;
  res.traceMessage("~stDdaClTerminate()");
}

void ChatwardenPlugin::timerEvent() {
  if (!isActive()) return;
  m_pResource->traceMessage("+stDdaClTimerEvent()");
  m_rules.RefreshRules();
  m_pResource->traceMessage("~stDdaClTimerEvent()");
}

std::int32_t ChatwardenPlugin::policyCheck(const char* pFrom, const char* pTo, SrvMsg** ppSrvMessages,
                                           std::int32_t* pIndicator) {
  (void)pFrom;
  (void)pTo;
  (void)ppSrvMessages;
  (void)pIndicator;
  if (!isActive()) return ST_DDA_API_OK;
  m_pResource->traceMessage("+stDdaClSessionPolicycheckFunc()");
  const std::int32_t nResult = ST_DDA_API_OK;
  m_pResource->traceMessage("~stDdaClSessionPolicycheckFunc(): 0x%X", static_cast<unsigned>(nResult));
  return nResult;
}

std::int32_t ChatwardenPlugin::sessionStarted(const char* pSessId, const char* pOrg) {
  if (!isActive()) return ST_DDA_API_OK;
  ChatResource& res = *m_pResource;
  res.traceMessage("------------[New session start]-------------------");
  res.traceMessage("+stDdaClSessionStartedByOrgName(sessID=%s, org='%s')", orNull(pSessId), orNull(pOrg));
  const std::int32_t nResult = ST_DDA_API_OK;
  res.traceMessage("~stDdaClSessionStartedByOrgName(%s, %s)", orNull(pSessId), orNull(pOrg));
  return nResult;
}

std::int32_t ChatwardenPlugin::sessionEnded(const char* pSessId) {
  if (!isActive()) return ST_DDA_API_OK;
  ChatResource& res = *m_pResource;
  res.traceMessage("+stDdaClSessionEnded(%s)", orNull(pSessId));
  const std::int32_t nResult = ST_DDA_API_OK;
  res.traceMessage("~stDdaClSessionEnded(%s)", orNull(pSessId));
  res.traceMessage("------------[Session ended]-----------------------");
  return nResult;
}

std::int32_t ChatwardenPlugin::joining(const char* pSessId, const ChatEntity* pEntity, const ChatEntity* pScope,
                                       SrvMsg** ppSrvMessages, std::int32_t* pIndicator) {
  (void)ppSrvMessages;
  (void)pIndicator;
  if (!isActive()) return ST_DDA_API_OK;
  ChatResource& res = *m_pResource;
  const std::string sEntity = entityId(pEntity);
  res.traceMessage(
      "+stDdaClJoiningSessionWithSrvMsg(SessID='%s', entID='%s', entType='%s', scopeID='%s', scopeType='%s')",
      orNull(pSessId), sEntity.c_str(), pEntity ? entityTypeName(pEntity->type) : "", entityId(pScope).c_str(),
      pScope ? entityTypeName(pScope->type) : "");
  const std::int32_t nResult = ST_DDA_API_OK;
  res.traceMessage("~stDdaClJoiningSessionWithSrvMsg(%s, %s, %d)", orNull(pSessId), sEntity.c_str(), nResult);
  return nResult;
}

std::int32_t ChatwardenPlugin::leaving(const char* pSessId, const ChatEntity* pEntity) {
  if (!isActive()) return ST_DDA_API_OK;
  ChatResource& res = *m_pResource;
  const std::string sEntity = entityId(pEntity);
  res.traceMessage("+stDdaClLeavingSessionWithSrvMsg(%s, %s)", orNull(pSessId), sEntity.c_str());
  const std::int32_t nResult = ST_DDA_API_OK;
  res.traceMessage("~stDdaClLeavingSessionWithSrvMsg(%s, %s)", orNull(pSessId), sEntity.c_str());
  return nResult;
}

std::int32_t ChatwardenPlugin::message(const char* pSessId, const ChatEntity* pSender, std::int32_t nLen,
                                       const char* pText, const ChatEntity* pReceiver, SrvMsg** ppSrvMessages,
                                       std::int32_t* pIndicator) {
  (void)pSender;
  (void)pReceiver;
  (void)ppSrvMessages;
  (void)pIndicator;
  if (!isActive()) return ST_DDA_API_OK;
  ChatResource& res = *m_pResource;
  res.traceMessage("+stDdaClSessionMsgWithSrvMsg(sess %s, msg '%s', len %d)", orNull(pSessId), orNull(pText), nLen);
  const std::int32_t nResult = ST_DDA_API_OK;
  res.traceMessage("~stDdaClSessionMsgWithSrvMsg(%s)", orNull(pSessId));
  return nResult;
}

void ChatwardenPlugin::traceDataMessage(const char* pEntryPoint, const char* pSessId, std::uint32_t nDataType,
                                        std::uint32_t nSubType, std::uint32_t nLen, const unsigned char* pData) {
  ChatResource& res = *m_pResource;
  if (!res.isTraceEnabled()) return;
  res.traceMessage("+%s(%s, dataType = %u, subType = %u, len = %u)", pEntryPoint, orNull(pSessId), nDataType,
                   nSubType, nLen);
  if (pData) res.traceHexDump(pData, nLen < 32 ? nLen : 32);
}

std::int32_t ChatwardenPlugin::dataMessage(const char* pSessId, std::uint32_t nDataType, std::uint32_t nSubType,
                                           std::uint32_t nLen, const unsigned char* pData) {
  traceDataMessage("stDdaClSessionDataMsgWithSrvMsg", pSessId, nDataType, nSubType, nLen, pData);
  const std::int32_t nResult = ST_DDA_API_OK;
  m_pResource->traceMessage("~stDdaClSessionDataMsgWithSrvMsg(%s)", orNull(pSessId));
  return nResult;
}

std::int32_t ChatwardenPlugin::cleanSrvMsgs(SrvMsg* pSrvMessages, std::int32_t nIndicator) {
  ChatResource& res = *m_pResource;
  res.traceMessage("+stDdaClCleanSrvMsgs(): Processing %d server messages", nIndicator);
  if (!pSrvMessages || nIndicator == 0) {
    res.traceMessage("~stDdaClCleanSrvMsgs(): Message list is NULL or indicator is 0");
    return ST_DDA_API_OK;
  }
  for (std::int32_t i = 0; i < nIndicator; ++i) {
    SrvMsg& msg = pSrvMessages[i];
    if (msg.isStatic == 0 && msg.text) {
      std::free(msg.text);
      msg.text = nullptr;
    }
  }
  std::free(pSrvMessages);
  res.traceMessage("~stDdaClCleanSrvMsgs()");
  return ST_DDA_API_OK;
}

}  // namespace chatwarden
