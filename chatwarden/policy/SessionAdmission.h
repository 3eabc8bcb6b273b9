// Whether two users may chat, by the chat rules.
#pragma once

#include <cstdint>

namespace chatwarden {

class ChatRules;
class ChatResource;

// ST_DDA_API_OK, or ST_DDA_API_CHAT_DENIED with the refusal text in
// *ppMessage (allocated with malloc for the host, or null). With no rules
// loaded every pair may chat.
std::int32_t isSessionAllowed(ChatRules& rules, ChatResource& resource, const char* pFrom, const char* pTo,
                              char** ppMessage);

}  // namespace chatwarden
