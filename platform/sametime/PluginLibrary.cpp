#include "PluginLibrary.h"

#include <dlfcn.h>

#include "win/process.h"

namespace sametime {

bool PluginLibrary::load(const std::string& sPath) {
  unload();
  m_sPath = sPath;
  m_sError.clear();
  m_hLibrary = ::dlopen(sPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m_hLibrary) {
    const char* pError = ::dlerror();
    m_sError = pError ? pError : ("cannot load " + sPath);
    return false;
  }
  m_bMissing = false;
  resolveAll();
  if (m_bMissing) {
    const std::string sError = m_sError;
    unload();
    m_sError = sError;
    return false;
  }
  return true;
}

void* PluginLibrary::symbol(const char* pName) {
  void* p = ::dlsym(m_hLibrary, pName);
  if (!p && !m_bMissing) {
    m_sError = m_sPath + " does not export " + pName;
    m_bMissing = true;
  }
  return p;
}

void PluginLibrary::unload() {
  for (const auto& reset : m_vResets) reset();
  m_vResets.clear();
  if (m_hLibrary) ::dlclose(m_hLibrary);
  m_hLibrary = nullptr;
}

std::string libraryBesideProgram(const std::string& sName) {
  const std::string sExe = win::currentProcess().executablePath();
  const auto nSlash = sExe.find_last_of('/');
  const std::string sBin = nSlash == std::string::npos ? "." : sExe.substr(0, nSlash);
  return sBin + "/../lib/" + sName;
}

}  // namespace sametime
