// The exported C entry points of the file-transfer plug-in. Each forwards to
// the loaded plug-in and keeps every exception on this side of the boundary.
#include "FileTransferPlugin.h"
#include "stdda_ft.h"

using filewarden::FileTransferPlugin;

extern "C" {

ST_DDA_FT_EXPORT int32_t stDdaFtInit(uint32_t* prVersion) {
  FileTransferPlugin* pPlugin = filewarden::loadedPlugin();
  if (!pPlugin) return 0;
  try {
    return pPlugin->init(prVersion);
  } catch (...) {
    // Out of memory while reading the settings: whatever was not read
    // keeps its default, which leaves file-transfer logging off.
    return 0;
  }
}

ST_DDA_FT_EXPORT int32_t stDdaFtScanFile(const FtScanRequest* request) {
  FileTransferPlugin* pPlugin = filewarden::loadedPlugin();
  if (!pPlugin) return ST_DDA_FT_SCAN_DISABLED;
  try {
    return pPlugin->scanFile(request);
  } catch (...) {
    // Out of memory before the copy was confirmed: report it as not made.
    return ST_DDA_FT_SCAN_FAILED;
  }
}

ST_DDA_FT_EXPORT void stDdaFtTerminate(void) {
  if (FileTransferPlugin* pPlugin = filewarden::loadedPlugin()) pPlugin->terminate();
}

}  // extern "C"
