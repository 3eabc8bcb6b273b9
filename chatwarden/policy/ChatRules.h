// The rule store: chat rules and disclaimers from the configuration
// database. Until the store is connected to the database it starts empty,
// so every chat is allowed and no disclaimer applies.
#pragma once

#include <cstdint>

namespace chatwarden {

class ChatResource;

class ChatRules {
 public:
  explicit ChatRules(ChatResource& resource) : m_rResource(resource) {}

  // Starts the store; ORs FLAGS into the host's initialisation word. Returns
  // a 16-bit Notes status, 0 on success.
  std::uint16_t Init(std::uint32_t nFlags, std::uint32_t* pInitFlags);
  std::uint16_t Term();
  std::uint16_t RefreshRules();

  // Set once the Notes runtime is known to be usable.
  bool m_bNotesReady = false;

 private:
  ChatResource& m_rResource;
  bool m_bInitDone = false;
};

}  // namespace chatwarden
