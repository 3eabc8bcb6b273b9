/* An exported function with the shape of a session entry point that does
 * nothing: the baseline for the cost of calling an inactive plug-in. */
#include <stdint.h>

#include "stdda_cl.h"

ST_DDA_EXPORT int32_t emptySessionMsg(const char* sessID, const ChatEntity* sender, int32_t len, const char* text,
                                      const ChatEntity* receiver) {
  (void)sessID;
  (void)sender;
  (void)len;
  (void)text;
  (void)receiver;
  return 0;
}
