// A file-transfer plug-in loaded the way the Sametime server loads it: by
// path with dlopen, its three entry points looked up by name.
#pragma once

#include <string>

#include "stdda_ft.h"

namespace sametime {

class FileTransferLibrary {
 public:
  FileTransferLibrary() = default;
  ~FileTransferLibrary();
  FileTransferLibrary(const FileTransferLibrary&) = delete;
  FileTransferLibrary& operator=(const FileTransferLibrary&) = delete;

  // Loads the library and resolves the three entry points. On failure
  // returns false and sets error() to what the loader said.
  bool load(const std::string& sPath);
  void unload();
  bool loaded() const { return m_hLibrary != nullptr; }
  const std::string& error() const { return m_sError; }

  PFN_stDdaFtInit Init = nullptr;
  PFN_stDdaFtScanFile ScanFile = nullptr;
  PFN_stDdaFtTerminate Terminate = nullptr;

 private:
  void* m_hLibrary = nullptr;
  std::string m_sError;
};

// build/lib/filewarden.so beside the bin folder of the running program.
std::string defaultFileTransferLibraryPath();

}  // namespace sametime
