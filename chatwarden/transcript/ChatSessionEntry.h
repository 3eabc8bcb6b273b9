// One open chat: its id, the GUID that names its files, its participants
// and the state of its transcript files.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "stdda_cl.h"
#include "transcript/TranscriptContext.h"

namespace chatwarden {

class ChatSessionEntry {
 public:
  // Fixes the GUID and the file names; writes nothing.
  ChatSessionEntry(TranscriptContext& context, std::string_view sSessionId);
  virtual ~ChatSessionEntry();
  ChatSessionEntry(const ChatSessionEntry&) = delete;
  ChatSessionEntry& operator=(const ChatSessionEntry&) = delete;

  // Each returns ST_DDA_API_OK or ST_DDA_API_LOG_FILE_ERROR; addUser also
  // ST_DDA_API_CHAT_DENIED with the refusal text (or null) in *ppMessage.
  std::int32_t startSession();
  std::int32_t endSession();
  std::int32_t addUser(const ChatEntity* pEntity, const ChatEntity* pScope, char** ppMessage);
  std::int32_t removeUser(const ChatEntity* pEntity);
  std::int32_t logText(const ChatEntity* pSender, std::int32_t nLen, const char* pText, const ChatEntity* pReceiver);
  // Saves an image data message (header included, nLen > 13) as a file of
  // its own beside the transcript and records it in the XML transcript.
  std::int32_t logImage(std::uint32_t nLen, const unsigned char* pData);
  // The disclaimers that apply to this chat, as server messages for the
  // host: ST_DDA_API_OK when there are none.
  std::int32_t GetDisclaimers(SrvMsg** ppSrvMessages, std::int32_t* pIndicator, std::uint32_t nFlags,
                              const char* pText, std::int32_t nLen, char** ppDenyMessage);

  const std::string& sessionId() const { return m_sSessionId; }
  const std::string& guid() const { return m_sGuid; }
  const std::string& basePath() const { return m_sBasePath; }
  const std::string& activeXmlPath() const { return m_sActiveXmlPath; }
  const std::string& activeTxtPath() const { return m_sActiveTxtPath; }
  const std::string& txtPath() const { return m_sTxtPath; }
  const std::vector<std::string>& participants() const { return m_participants; }

  bool m_bDisclaimerSent = false;
  std::int32_t m_nChatKind = 0;  // 0 two-party chat, 2 place chat
  std::int32_t m_nSpanDepth = 0;

 private:
  bool addXMLFileHeader();
  // Writes the joined (with or without scope) or left record.
  bool logStateChange(bool bJoined, const ChatEntity* pEntity, const ChatEntity* pScope);
  bool addTXTFileHeader();
  bool maybeFlushXMLFile(bool bFinal);
  bool closeTXTFile();
  // Renames (or, without content, removes) a completed active XML part.
  bool finishXmlPart(bool bFinal, std::time_t tNow);
  // Makes the active XML file ready for a record: a part whose completion
  // was written but not renamed is finished first, and a head that could
  // not be written is written now, so that no record follows a completion
  // or stands in a file without its head.
  bool prepareXmlPart();
  // What a record is, for the trace of a failed write.
  enum class Record { Head, Joined, Left, Message, Image, Completion, Footer };
  // Appends RECORD (already in text-mode form, CR LF line ends) in one
  // open, write and durable close.
  bool appendRecord(const std::string& sPath, std::string_view sRecord, Record kind);
  std::string xmlPartName(bool bFinal) const;
  // Syncs the folder of a file just created; traces a failure.
  bool syncFolderOf(const std::string& sPath);
  // The id and message-body encodings of the XML log: escaped, or with
  // encryption on, encrypted. False when a value cannot be encrypted: the
  // record must not be written then, never in clear.
  bool appendId(std::string& sOut, std::string_view sId);
  bool appendBody(std::string& sOut, std::string_view sText);
  void appendXmlStamp(std::string& sOut);
  void appendTextStamp(std::string& sOut);

  TranscriptContext& m_rContext;
  std::string m_sSessionId;
  std::string m_sGuid;
  std::vector<std::string> m_participants;
  // Kept rather than derived: every record names its file.
  std::string m_sActiveTxtPath;
  std::string m_sTxtPath;
  std::string m_sActiveXmlPath;
  std::string m_sBasePath;
  std::time_t m_tLastFlush;
  std::int32_t m_nPart = 0;
  bool m_bHasContent = false;
  // The completion lines are in the active XML file but its rename (or
  // removal) failed; retried before anything else is written to it.
  bool m_bCompletionPending = false;
  bool m_bPendingFinal = false;
  // The active XML file lacks its head (writing it failed).
  bool m_bXmlHeadMissing = false;

 public:
  std::uint32_t m_nImageCount = 0;
};

}  // namespace chatwarden
