#include "FileTransferLibrary.h"

#include <dlfcn.h>

#include <type_traits>

#include "win/process.h"

namespace sametime {

FileTransferLibrary::~FileTransferLibrary() { unload(); }

bool FileTransferLibrary::load(const std::string& sPath) {
  unload();
  m_hLibrary = ::dlopen(sPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m_hLibrary) {
    const char* pError = ::dlerror();
    m_sError = pError ? pError : ("cannot load " + sPath);
    return false;
  }
  bool bOk = true;
  auto resolve = [&](auto& pfn, const char* pName) {
    using Pfn = std::remove_reference_t<decltype(pfn)>;
    pfn = reinterpret_cast<Pfn>(::dlsym(m_hLibrary, pName));
    if (!pfn && bOk) {
      m_sError = sPath + " does not export " + pName;
      bOk = false;
    }
  };
  resolve(Init, "stDdaFtInit");
  resolve(ScanFile, "stDdaFtScanFile");
  resolve(Terminate, "stDdaFtTerminate");
  if (!bOk) unload();
  return bOk;
}

void FileTransferLibrary::unload() {
  if (m_hLibrary) ::dlclose(m_hLibrary);
  m_hLibrary = nullptr;
  Init = nullptr;
  ScanFile = nullptr;
  Terminate = nullptr;
}

std::string defaultFileTransferLibraryPath() {
  std::string sExe = win::currentProcess().executablePath();
  const auto nSlash = sExe.find_last_of('/');
  const std::string sBin = nSlash == std::string::npos ? "." : sExe.substr(0, nSlash);
  return sBin + "/../lib/filewarden.so";
}

}  // namespace sametime
