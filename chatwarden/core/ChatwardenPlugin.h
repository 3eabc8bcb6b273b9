// The process-wide state of the loaded chat logging plug-in and the work
// behind each exported entry point.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>

#include "core/ChatResource.h"
#include "core/PluginSettings.h"
#include "policy/ChatRules.h"
#include "transcript/ChatSessionTable.h"
#include "transcript/ContentCrypto.h"
#include "transcript/TranscriptContext.h"
#include "stdda_cl.h"
#include "win/facilities.h"

namespace chatwarden {

class ChatwardenPlugin {
 public:
  // Loading: creates the resource object (debugger banner), reads the
  // settings in their fixed order, creates the empty session table.
  explicit ChatwardenPlugin(const win::Facilities& facilities);
  ~ChatwardenPlugin();
  ChatwardenPlugin(const ChatwardenPlugin&) = delete;
  ChatwardenPlugin& operator=(const ChatwardenPlugin&) = delete;

  ChatResource& resource() { return *m_pResource; }
  const PluginSettings& settings() const { return m_settings; }
  const std::string& logFolderPath() const { return m_sLogFolderPath; }
  bool isActive() const { return m_settings.logFileEnabled; }
  ChatSessionTable& sessionTable() { return *m_pSessionTable; }

  std::int32_t init(std::int32_t* prVersion, std::uint32_t nFlags, std::uint32_t* pInitFlags, char* pDirType,
                    char* pLibVersion, std::int32_t* pStatusIndicator, char* pStatusMessage);
  void terminate();
  void timerEvent();
  std::int32_t policyCheck(const char* pFrom, const char* pTo, SrvMsg** ppSrvMessages, std::int32_t* pIndicator);
  std::int32_t sessionStarted(const char* pSessId, const char* pOrg);
  std::int32_t sessionEnded(const char* pSessId);
  std::int32_t joining(const char* pSessId, const ChatEntity* pEntity, const ChatEntity* pScope,
                       SrvMsg** ppSrvMessages, std::int32_t* pIndicator);
  std::int32_t leaving(const char* pSessId, const ChatEntity* pEntity);
  std::int32_t message(const char* pSessId, const ChatEntity* pSender, std::int32_t nLen, const char* pText,
                       const ChatEntity* pReceiver, SrvMsg** ppSrvMessages, std::int32_t* pIndicator);
  // The trace of a data message (entry line and dump), shared by both
  // variants; runs even while inactive.
  void traceDataMessage(const char* pEntryPoint, const char* pSessId, std::uint32_t nDataType, std::uint32_t nSubType,
                        std::uint32_t nLen, const unsigned char* pData);
  std::int32_t dataMessage(const char* pSessId, std::uint32_t nDataType, std::uint32_t nSubType, std::uint32_t nLen,
                           const unsigned char* pData);
  std::int32_t cleanSrvMsgs(SrvMsg* pSrvMessages, std::int32_t nIndicator);

  // Formats a message into the host's status buffer, traces it and stores
  // NSTATUS in the host's status indicator.
  void report(std::int32_t nStatus, const char* pFormat, ...) __attribute__((format(printf, 3, 4)));

 private:
  // Writes a message into the host's status buffer and traces it, leaving
  // the indicator alone.
  void setStatusMessage(const char* pFormat, ...) __attribute__((format(printf, 2, 3)));
  // Both: the message, and the status when PSTATUS is given.
  void vreport(const std::int32_t* pStatus, const char* pFormat, va_list args) __attribute__((format(printf, 3, 0)));
  // Hands a refusal text back as one server message for RECIPIENT; without
  // a list to return it in, or without memory, the text is released.
  void returnRefusal(char* pMessage, std::int32_t nRecipient, SrvMsg** ppSrvMessages, std::int32_t* pIndicator);

  win::Facilities m_facilities;
  std::unique_ptr<ChatResource> m_pResource;
  PluginSettings m_settings;
  std::string m_sLogFolderPath;
  ChatRules m_rules;
  ContentCrypto m_crypto;
  TranscriptContext m_context;
  std::unique_ptr<ChatSessionTable> m_pSessionTable;
  std::int32_t* m_pStatusIndicator = nullptr;
  char* m_pStatusMessage = nullptr;
};

// The instance of the loaded library; null before loading and after
// unloading.
ChatwardenPlugin* loadedPlugin();

// Whether a plug-in is loaded and inactive: the session entry points then
// answer 0 at the cost of this one test.
namespace detail {
extern bool g_bLoadedInactive;
}
inline bool loadedAndInactive() { return detail::g_bLoadedInactive; }
// Called when the library is loaded and unloaded. Tests call them to load
// the plug-in afresh with fake facilities.
void loadPlugin(const win::Facilities& facilities);
void unloadPlugin();

// Printable name of an entity type ("User", ..., "Unknown").
const char* entityTypeName(std::int32_t nType);

}  // namespace chatwarden
