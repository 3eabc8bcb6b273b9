// A file-transfer plug-in with its three entry points.
#pragma once

#include <string>

#include "PluginLibrary.h"
#include "stdda_ft.h"

namespace sametime {

class FileTransferLibrary final : public PluginLibrary {
 public:
  ~FileTransferLibrary() override { unload(); }

  PFN_stDdaFtInit Init = nullptr;
  PFN_stDdaFtScanFile ScanFile = nullptr;
  PFN_stDdaFtTerminate Terminate = nullptr;

 private:
  void resolveAll() override;
};

// build/lib/filewarden.so beside the bin folder of the running program.
std::string defaultFileTransferLibraryPath();

}  // namespace sametime
