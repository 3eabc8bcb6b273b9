// The open chats, by the host's session id.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "transcript/ChatSessionEntry.h"

namespace chatwarden {

class ChatSessionTable {
 public:
  explicit ChatSessionTable(TranscriptContext& context);
  virtual ~ChatSessionTable();
  ChatSessionTable(const ChatSessionTable&) = delete;
  ChatSessionTable& operator=(const ChatSessionTable&) = delete;

  // Creates the entry and writes its file heads: ST_DDA_API_OK,
  // ST_DDA_API_SESSION_EXISTS or ST_DDA_API_LOG_FILE_ERROR (the entry stays).
  std::int32_t openChatSession(std::string_view sSessionId);
  // The entry, or null.
  ChatSessionEntry* findChatSession(std::string_view sSessionId);
  // Completes the files and discards the entry: ST_DDA_API_OK,
  // ST_DDA_API_SESSION_NOT_FOUND or ST_DDA_API_LOG_FILE_ERROR.
  std::int32_t closeChatSession(std::string_view sSessionId);
  // Completes and discards every entry; false when any failed.
  bool closeAllChatSession();

  std::int32_t concurrentSessions() const { return m_nConcurrent; }
  std::int32_t peakSessions() const { return m_nPeak; }

 private:
  TranscriptContext& m_rContext;
  // Ids compare byte by byte as unsigned values.
  std::map<std::string, std::unique_ptr<ChatSessionEntry>, std::less<>> m_sessions;
  std::int32_t m_nConcurrent = 0;
  std::int32_t m_nPeak = 0;
};

}  // namespace chatwarden
