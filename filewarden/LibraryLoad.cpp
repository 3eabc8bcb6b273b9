// Loading and unloading of the shared library. The plug-in object exists
// before the host calls any entry point; its settings are read by
// stDdaFtInit.
#include "FileTransferPlugin.h"

namespace {

__attribute__((constructor)) void onLibraryLoad() {
  try {
    filewarden::loadPlugin(win::Facilities::machine());
  } catch (...) {
    // Nothing at load may fail the host; without a plug-in object every
    // scan answers that logging is off.
  }
}

__attribute__((destructor)) void onLibraryUnload() { filewarden::unloadPlugin(); }

}  // namespace
