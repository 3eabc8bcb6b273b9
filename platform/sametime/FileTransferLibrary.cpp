#include "FileTransferLibrary.h"

namespace sametime {

void FileTransferLibrary::resolveAll() {
  resolve(Init, "stDdaFtInit");
  resolve(ScanFile, "stDdaFtScanFile");
  resolve(Terminate, "stDdaFtTerminate");
}

std::string defaultFileTransferLibraryPath() { return libraryBesideProgram("filewarden.so"); }

}  // namespace sametime
