#include "policy/ChatRules.h"

#include "core/ChatResource.h"

namespace chatwarden {

std::uint16_t ChatRules::Init(std::uint32_t nFlags, std::uint32_t* pInitFlags) {
  m_rResource.traceMessage("..+ChatRules::Init(0x%04X, 0x%04X)", nFlags, pInitFlags ? *pInitFlags : 0xDEADu);
  if (!m_bInitDone) {
    if (pInitFlags) *pInitFlags |= nFlags;
    m_bInitDone = true;
  } else {
    m_rResource.traceMessage("...->Already init'd");
  }
  m_rResource.traceMessage("..-ChatRules::Init(): 0x%04X", 0u);
  return 0;
}

std::uint16_t ChatRules::Term() {
  m_rResource.traceMessage("..+ChatRules::Term()");
  m_bInitDone = false;
  m_rResource.traceMessage("..-ChatRules::Term()");
  return 0;
}

std::uint16_t ChatRules::RefreshRules() {
  m_rResource.traceMessage("..+ChatRules::RefreshRules()");
  m_rResource.traceMessage("..-ChatRules::RefreshRules(): Notes not init'd");
  return 0;
}

}  // namespace chatwarden
