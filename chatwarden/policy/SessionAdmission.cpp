#include "policy/SessionAdmission.h"

#include "policy/ChatRules.h"
#include "stdda_cl.h"

namespace chatwarden {

std::int32_t isSessionAllowed(ChatRules& /*rules*/, ChatResource& /*resource*/, const char* /*pFrom*/,
                              const char* /*pTo*/, char** ppMessage) {
  if (ppMessage) *ppMessage = nullptr;
  return ST_DDA_API_OK;
}

}  // namespace chatwarden
