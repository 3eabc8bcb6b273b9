// Loading and unloading of the shared library: the settings are read and
// the session table created before the host calls any entry point.
#include "core/ChatwardenPlugin.h"

namespace {

__attribute__((constructor)) void onLibraryLoad() {
  try {
    chatwarden::loadPlugin(win::Facilities::machine());
  } catch (...) {
    // Nothing at load may fail the host; without a plug-in object every
    // entry point answers with its neutral result.
  }
}

__attribute__((destructor)) void onLibraryUnload() { chatwarden::unloadPlugin(); }

}  // namespace
