#include "core/ChatwardenPlugin.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/BuildInfo.h"
#include "policy/SessionAdmission.h"
#include "transcript/LogFolder.h"

namespace chatwarden {
namespace {

constexpr int kWantedOpenFiles = 2048;

// Destroyed by the library's unload hook (or a test), never by the exit
// handlers, which may already have destroyed what it traces through.
ChatwardenPlugin* g_pPlugin = nullptr;

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

namespace detail {
bool g_bLoadedInactive = false;
}

ChatwardenPlugin* loadedPlugin() { return g_pPlugin; }

void loadPlugin(const win::Facilities& facilities) {
  unloadPlugin();
  g_pPlugin = new ChatwardenPlugin(facilities);
  detail::g_bLoadedInactive = !g_pPlugin->isActive();
}

void unloadPlugin() {
  detail::g_bLoadedInactive = false;
  delete g_pPlugin;
  g_pPlugin = nullptr;
}

ChatwardenPlugin::ChatwardenPlugin(const win::Facilities& facilities)
    : m_facilities(facilities),
      m_pResource(std::make_unique<ChatResource>(facilities)),
      m_rules(*m_pResource),
      m_crypto(*m_pResource, *facilities.pCrypto),
      m_context{*m_pResource,       m_settings,        m_sLogFolderPath, *facilities.pFiles,
                *facilities.pClock, *facilities.pUuid, m_rules,          m_crypto} {
  // The trace switch is read first, so every later reading is traced.
  m_settings.traceEnabled = m_pResource->readTraceEnabled();
  m_pResource->setTraceEnabled(m_settings.traceEnabled);
  m_settings.logFileEnabled = m_pResource->isLogFileEnabled();
  m_settings.encryptContent = m_pResource->isEncryptionEnabled();
  m_settings.captureImages = m_pResource->isImageCaptureEnabled();
  m_settings.logFileFormat = m_pResource->getLogFileFormat();
  m_settings.flushIntervalSecs = m_pResource->getXMLFlushIntervalSecs();
  m_pSessionTable = std::make_unique<ChatSessionTable>(m_context);
}

ChatwardenPlugin::~ChatwardenPlugin() = default;

void ChatwardenPlugin::vreport(const std::int32_t* pStatus, const char* pFormat, va_list args) {
  char aText[ST_DDA_STATUS_MSG_SIZE];
  std::vsnprintf(aText, sizeof aText, pFormat, args);
  if (m_pStatusMessage) copyBounded(m_pStatusMessage, ST_DDA_STATUS_MSG_SIZE, aText);
  m_pResource->traceMessage("%s", aText);
  if (pStatus && m_pStatusIndicator) *m_pStatusIndicator = *pStatus;
}

void ChatwardenPlugin::setStatusMessage(const char* pFormat, ...) {
  va_list args;
  va_start(args, pFormat);
  vreport(nullptr, pFormat, args);
  va_end(args);
}

void ChatwardenPlugin::report(std::int32_t nStatus, const char* pFormat, ...) {
  va_list args;
  va_start(args, pFormat);
  vreport(&nStatus, pFormat, args);
  va_end(args);
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

  if (m_settings.encryptContent && !m_crypto.initCryptoAPI()) {
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
  if (isActive()) {
    m_rules.Term();
    // Completing the open transcripts below writes no encrypted value.
    if (m_settings.encryptContent) m_crypto.termCryptoAPI();
    if (!m_pSessionTable->closeAllChatSession())
      res.traceMessage("..->Velkora Parlantis ERROR: Unable to close all sessions during shutdown.");
  }
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

void ChatwardenPlugin::returnRefusal(char* pMessage, std::int32_t nRecipient, SrvMsg** ppSrvMessages,
                                     std::int32_t* pIndicator) {
  if (!pMessage) return;
  if (!ppSrvMessages || !pIndicator) {
    std::free(pMessage);
    return;
  }
  auto* pArray = static_cast<SrvMsg*>(std::malloc(sizeof(SrvMsg)));
  if (!pArray) {
    m_pResource->traceMessage("..->Out of memory error allocating %d bytes to return session banned message",
                              static_cast<int>(sizeof(SrvMsg)));
    std::free(pMessage);
    return;
  }
  *pArray = SrvMsg{0, nRecipient, static_cast<std::int32_t>(std::strlen(pMessage)), pMessage};
  *ppSrvMessages = pArray;
  *pIndicator = 1;
}

std::int32_t ChatwardenPlugin::policyCheck(const char* pFrom, const char* pTo, SrvMsg** ppSrvMessages,
                                           std::int32_t* pIndicator) {
  if (!isActive()) return ST_DDA_API_OK;
  ChatResource& res = *m_pResource;
  res.traceMessage("+stDdaClSessionPolicycheckFunc()");
  char* pMessage = nullptr;
  const std::int32_t nResult = isSessionAllowed(m_rules, res, pFrom, pTo, &pMessage);
  if (nResult == ST_DDA_API_CHAT_DENIED) {
    res.traceMessage("..->Session creation banned. Msg = '%s'", orNull(pMessage));
    returnRefusal(pMessage, 0, ppSrvMessages, pIndicator);
  }
  res.traceMessage("~stDdaClSessionPolicycheckFunc(): 0x%X", static_cast<unsigned>(nResult));
  return nResult;
}

std::int32_t ChatwardenPlugin::sessionStarted(const char* pSessId, const char* pOrg) {
  if (!isActive()) return ST_DDA_API_OK;
  ChatResource& res = *m_pResource;
  const char* pId = orNull(pSessId);
  res.traceMessage("------------[New session start]-------------------");
  res.traceMessage("+stDdaClSessionStartedByOrgName(sessID=%s, org='%s')", pId, orNull(pOrg));
  const std::int32_t nResult = m_pSessionTable->openChatSession(pId);
  if (nResult == ST_DDA_API_SESSION_EXISTS)
    report(PLUGIN_STATUS_ERROR, "Velkora Parlantis ERROR: Unable to start new session '%.255s': Session already exists.",
           pId);
  else if (nResult == ST_DDA_API_LOG_FILE_ERROR)
    report(PLUGIN_STATUS_FATAL,
           "Velkora Parlantis FATAL ERROR: Log file error(s) while starting session '%.255s', terminating.", pId);
  res.traceMessage("~stDdaClSessionStartedByOrgName(%s, %s)", pId, orNull(pOrg));
  return nResult;
}

std::int32_t ChatwardenPlugin::sessionEnded(const char* pSessId) {
  if (!isActive()) return ST_DDA_API_OK;
  ChatResource& res = *m_pResource;
  const char* pId = orNull(pSessId);
  res.traceMessage("+stDdaClSessionEnded(%s)", pId);
  const std::int32_t nResult = m_pSessionTable->closeChatSession(pId);
  if (nResult == ST_DDA_API_SESSION_NOT_FOUND)
    report(PLUGIN_STATUS_ERROR, "Velkora Parlantis ERROR: Unable to close session '%.255s': Session not found.", pId);
  else if (nResult == ST_DDA_API_LOG_FILE_ERROR)
    report(PLUGIN_STATUS_FATAL,
           "Velkora Parlantis FATAL ERROR: Log file error(s) while closing session '%.255s', terminating.", pId);
  res.traceMessage("~stDdaClSessionEnded(%s)", pId);
  res.traceMessage("------------[Session ended]-----------------------");
  return nResult;
}

std::int32_t ChatwardenPlugin::joining(const char* pSessId, const ChatEntity* pEntity, const ChatEntity* pScope,
                                       SrvMsg** ppSrvMessages, std::int32_t* pIndicator) {
  if (!isActive()) return ST_DDA_API_OK;
  ChatResource& res = *m_pResource;
  const char* pId = orNull(pSessId);
  const std::string sEntity = entityId(pEntity);
  res.traceMessage(
      "+stDdaClJoiningSessionWithSrvMsg(SessID='%s', entID='%s', entType='%s', scopeID='%s', scopeType='%s')", pId,
      sEntity.c_str(), pEntity ? entityTypeName(pEntity->type) : "", entityId(pScope).c_str(),
      pScope ? entityTypeName(pScope->type) : "");
  ChatSessionEntry* pEntry = m_pSessionTable->findChatSession(pId);
  if (!pEntry) {
    report(PLUGIN_STATUS_ERROR,
           "Velkora Parlantis ERROR: Unable to join '%.255s' into session '%.255s': Session not found.",
           sEntity.c_str(), pId);
    return ST_DDA_API_SESSION_NOT_FOUND;
  }
  char* pMessage = nullptr;
  std::int32_t nResult = pEntry->addUser(pEntity, pScope, &pMessage);
  if (nResult == ST_DDA_API_LOG_FILE_ERROR) {
    report(PLUGIN_STATUS_FATAL,
           "Velkora Parlantis FATAL ERROR: Log file error(s) while joining '%.255s' into session '%.255s', "
           "terminating.",
           sEntity.c_str(), pId);
  } else if (nResult == ST_DDA_API_CHAT_DENIED) {
    res.traceMessage("..->Session creation banned. Msg = '%s'", orNull(pMessage));
    returnRefusal(pMessage, 1, ppSrvMessages, pIndicator);
  } else if (nResult == ST_DDA_API_OK && pEntry->m_nChatKind == 2 && pEntry->m_bDisclaimerSent) {
    // A newcomer to a place chat receives the disclaimers already delivered.
    nResult = pEntry->GetDisclaimers(ppSrvMessages, pIndicator, 2, nullptr, 0, &pMessage);
    if (nResult == ST_DDA_API_CHAT_DENIED) {
      res.traceMessage("..->Session creation banned due to disclaimer processing. Msg = '%s'", orNull(pMessage));
      returnRefusal(pMessage, 1, ppSrvMessages, pIndicator);
    }
  }
  res.traceMessage("~stDdaClJoiningSessionWithSrvMsg(%s, %s, %d)", pId, sEntity.c_str(), nResult);
  return nResult;
}

std::int32_t ChatwardenPlugin::leaving(const char* pSessId, const ChatEntity* pEntity) {
  if (!isActive()) return ST_DDA_API_OK;
  ChatResource& res = *m_pResource;
  const char* pId = orNull(pSessId);
  const std::string sEntity = entityId(pEntity);
  res.traceMessage("+stDdaClLeavingSessionWithSrvMsg(%s, %s)", pId, sEntity.c_str());
  ChatSessionEntry* pEntry = m_pSessionTable->findChatSession(pId);
  if (!pEntry) {
    report(PLUGIN_STATUS_ERROR,
           "Velkora Parlantis ERROR: Unable to remove '%.255s' from session '%.255s': Session not found.",
           sEntity.c_str(), pId);
    return ST_DDA_API_SESSION_NOT_FOUND;
  }
  const std::int32_t nResult = pEntry->removeUser(pEntity);
  if (nResult == ST_DDA_API_LOG_FILE_ERROR)
    report(PLUGIN_STATUS_FATAL,
           "Velkora Parlantis FATAL ERROR: Log file error(s) while removing '%.255s' from session '%.255s', "
           "terminating.",
           sEntity.c_str(), pId);
  res.traceMessage("~stDdaClLeavingSessionWithSrvMsg(%s, %s)", pId, sEntity.c_str());
  return nResult;
}

namespace {

// Occurrences of PATTERN in the terminated TEXT that begin before NLEN.
int countBefore(const char* pText, std::int32_t nLen, std::string_view sPattern) {
  if (!pText || nLen <= 0) return 0;
  const std::string_view sText(pText);
  int nCount = 0;
  for (std::size_t n = sText.find(sPattern); n != std::string_view::npos && n < static_cast<std::size_t>(nLen);
       n = sText.find(sPattern, n + sPattern.size()))
    ++nCount;
  return nCount;
}

}  // namespace

std::int32_t ChatwardenPlugin::message(const char* pSessId, const ChatEntity* pSender, std::int32_t nLen,
                                       const char* pText, const ChatEntity* pReceiver, SrvMsg** ppSrvMessages,
                                       std::int32_t* pIndicator) {
  if (!isActive()) return ST_DDA_API_OK;
  ChatResource& res = *m_pResource;
  const char* pId = orNull(pSessId);
  res.traceMessage("+stDdaClSessionMsgWithSrvMsg(sess %s, msg '%s', len %d)", pId, orNull(pText), nLen);
  ChatSessionEntry* pEntry = m_pSessionTable->findChatSession(pId);
  if (!pEntry) {
    report(PLUGIN_STATUS_ERROR, "Velkora Parlantis ERROR: Session '%.255s' doesn't exist.", pId);
    return ST_DDA_API_SESSION_NOT_FOUND;
  }

  // Rich text: disclaimers wait until every span tag opened is closed.
  const bool bContinuesSpan = pEntry->m_nSpanDepth > 0;
  if (nLen != 0) {
    pEntry->m_nSpanDepth += countBefore(pText, nLen, "<span");
    for (int n = countBefore(pText, nLen, "/span"); n > 0 && pEntry->m_nSpanDepth > 0; --n) --pEntry->m_nSpanDepth;
  }

  std::int32_t nResult = pEntry->logText(pSender, nLen, pText, pReceiver);
  if (nResult == ST_DDA_API_LOG_FILE_ERROR) {
    report(PLUGIN_STATUS_FATAL, "Velkora Parlantis FATAL ERROR: Unable to log message from '%.255s' to '%.255s', terminating.",
           entityId(pSender).c_str(), entityId(pReceiver).c_str());
  } else if (!pEntry->m_bDisclaimerSent && pEntry->m_nSpanDepth <= 0) {
    const std::uint32_t nFlags = 4u | (pEntry->m_nChatKind != 2 ? 2u : 0u) | (bContinuesSpan ? 1u : 0u);
    nResult = pEntry->GetDisclaimers(ppSrvMessages, pIndicator, nFlags, pText, nLen, nullptr);
    if (nResult == ST_DDA_API_SRV_MSGS) pEntry->m_bDisclaimerSent = true;
  }
  res.traceMessage("~stDdaClSessionMsgWithSrvMsg(%s)", pId);
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
  ChatResource& res = *m_pResource;
  const char* pId = orNull(pSessId);
  traceDataMessage("stDdaClSessionDataMsgWithSrvMsg", pSessId, nDataType, nSubType, nLen, pData);
  std::int32_t nResult = ST_DDA_API_OK;
  if (isActive() && m_settings.captureImages && res.isImageMessage(nDataType, nSubType, nLen, pData)) {
    res.traceMessage("+saveImage(%s)", pId);
    if (ChatSessionEntry* pEntry = m_pSessionTable->findChatSession(pId)) {
      nResult = pEntry->logImage(nLen, pData);
      if (nResult == ST_DDA_API_LOG_FILE_ERROR)
        report(PLUGIN_STATUS_FATAL, "Velkora Parlantis FATAL ERROR: Unable to save image for session '%.255s'.", pId);
    } else {
      report(PLUGIN_STATUS_ERROR, "Velkora Parlantis ERROR: Session '%.255s' doesn't exist.", pId);
      nResult = ST_DDA_API_SESSION_NOT_FOUND;
    }
    res.traceMessage("~saveImage(%s)", pId);
  }
  res.traceMessage("~stDdaClSessionDataMsgWithSrvMsg(%s)", pId);
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
