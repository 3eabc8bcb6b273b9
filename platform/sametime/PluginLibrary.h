// A plug-in library loaded the way the Sametime server loads one: by path
// with dlopen, its entry points looked up by name.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sametime {

class PluginLibrary {
 public:
  PluginLibrary() = default;
  virtual ~PluginLibrary() { unload(); }
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // Loads the library and resolves every entry point of the derived class.
  // On failure returns false, leaves nothing loaded and sets error() to what
  // the loader said or which entry point is missing.
  bool load(const std::string& sPath);
  // Unloads the library; every entry point becomes null.
  void unload();
  bool loaded() const { return m_hLibrary != nullptr; }
  const std::string& error() const { return m_sError; }

 protected:
  // Called by load() once the library is open: resolve() each entry point.
  virtual void resolveAll() = 0;
  template <typename Pfn>
  void resolve(Pfn& pfn, const char* pName) {
    pfn = reinterpret_cast<Pfn>(symbol(pName));
    m_vResets.push_back([&pfn] { pfn = nullptr; });
  }

 private:
  void* symbol(const char* pName);

  void* m_hLibrary = nullptr;
  std::string m_sPath;
  std::string m_sError;
  bool m_bMissing = false;
  std::vector<std::function<void()>> m_vResets;
};

// NAME in the lib folder beside the bin folder of the running program
// (build/lib/NAME for build/bin/sthost).
std::string libraryBesideProgram(const std::string& sName);

}  // namespace sametime
