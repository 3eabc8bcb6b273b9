#include "transcript/ChatSessionTable.h"

namespace chatwarden {

ChatSessionTable::ChatSessionTable(TranscriptContext& context) : m_rContext(context) {
  m_rContext.resource.traceMessage("ChatSessionTable::ChatSessionTable()");
}

ChatSessionTable::~ChatSessionTable() { m_rContext.resource.traceMessage("ChatSessionTable::~ChatSessionTable()"); }

std::int32_t ChatSessionTable::openChatSession(std::string_view sSessionId) {
  ChatResource& res = m_rContext.resource;
  const std::string sId(sSessionId);
  res.traceMessage("..+ChatSessionTable::openChatSession(%s)", sId.c_str());
  if (findChatSession(sSessionId)) {
    res.traceMessage("..->Chat session already exists");
    return ST_DDA_API_SESSION_EXISTS;
  }
  auto pEntry = std::make_unique<ChatSessionEntry>(m_rContext, sSessionId);
  ChatSessionEntry& entry = *pEntry;
  m_sessions.emplace(sId, std::move(pEntry));
  if (++m_nConcurrent > m_nPeak) m_nPeak = m_nConcurrent;
  res.traceMessage("..->Concurrent sessions increased to: %ld (peak: %ld)", static_cast<long>(m_nConcurrent),
                   static_cast<long>(m_nPeak));
  res.traceMessage("..-ChatSessionTable::openChatSession(%s)", sId.c_str());
  return entry.startSession();
}

ChatSessionEntry* ChatSessionTable::findChatSession(std::string_view sSessionId) {
  ChatResource& res = m_rContext.resource;
  const bool bTrace = res.isTraceEnabled();
  const std::string sId = bTrace ? std::string(sSessionId) : std::string();
  if (bTrace) res.traceMessage("..+ChatSessionTable::findChatSession(%s)", sId.c_str());
  const auto it = m_sessions.find(sSessionId);
  ChatSessionEntry* pEntry = it == m_sessions.end() ? nullptr : it->second.get();
  if (pEntry) res.traceMessage("..->Found session");
  if (bTrace) res.traceMessage("..-ChatSessionTable::findChatSession(%s)", sId.c_str());
  return pEntry;
}

std::int32_t ChatSessionTable::closeChatSession(std::string_view sSessionId) {
  ChatResource& res = m_rContext.resource;
  const std::string sId(sSessionId);
  res.traceMessage("..+ChatSessionTable::closeChatSession(%s)", sId.c_str());
  std::int32_t nResult = ST_DDA_API_SESSION_NOT_FOUND;
  const auto it = m_sessions.find(sSessionId);
  if (it != m_sessions.end()) {
    nResult = it->second->endSession();
    m_sessions.erase(it);
    --m_nConcurrent;
    res.traceMessage("->Concurrent sessions decreased to: %d (peak: %d)", m_nConcurrent, m_nPeak);
  }
  res.traceMessage("..-ChatSessionTable::closeChatSession(%s)", sId.c_str());
  return nResult;
}

bool ChatSessionTable::closeAllChatSession() {
  ChatResource& res = m_rContext.resource;
  res.traceMessage("..+ChatSessionTable::closeAllChatSession()");
  bool bAllDone = true;
  for (auto& [sId, pEntry] : m_sessions) {
    if (pEntry->endSession() == ST_DDA_API_LOG_FILE_ERROR) bAllDone = false;
    pEntry.reset();
    --m_nConcurrent;
    res.traceMessage("->Concurrent sessions shutdown to: %d (peak: %d)", m_nConcurrent, m_nPeak);
  }
  m_sessions.clear();
  res.traceMessage("..-ChatSessionTable::closeAllChatSession()");
  return bAllDone;
}

}  // namespace chatwarden
