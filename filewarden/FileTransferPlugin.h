// The process-wide state of the loaded file-transfer plug-in and the work
// behind its three entry points.
//
// The settings are read by init() and only read afterwards: scans keep no
// state of their own, so the host may run them side by side. The host calls
// init() once, before any scan, and never while scans run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "stdda_ft.h"
#include "win/facilities.h"

namespace filewarden {

// The plug-ins' settings key below HKEY_LOCAL_MACHINE.
inline constexpr const char* kSettingsKey = "Software\\Parlantis\\Server";
// Traces are formatted into a buffer of this size; longer ones are cut.
inline constexpr std::size_t kTraceBufferSize = 2048;
// The host's path of the file to scan starts with a prefix of this length
// (its upload folder); the rest is the name the file was sent under.
inline constexpr std::size_t kUploadPrefixLength = 15;

struct FileTransferSettings {
  // Both end with exactly one '/' once read from the key ("/" for a missing
  // value); both stay empty when the key cannot be opened.
  std::string sLogFolderPath;
  std::string sFileTransferFolderPath;
  bool bEnabled = false;  // "FileTransferEnabled" reads exactly 1
};

class FileTransferPlugin {
 public:
  explicit FileTransferPlugin(const win::Facilities& facilities) : m_facilities(facilities) {}
  FileTransferPlugin(const FileTransferPlugin&) = delete;
  FileTransferPlugin& operator=(const FileTransferPlugin&) = delete;

  // Reads the three settings and answers the interface version (12).
  std::int32_t init(std::uint32_t* prVersion);
  // Writes the transfer's log, then copies the file: ST_DDA_FT_SCAN_*.
  std::int32_t scanFile(const FtScanRequest* pRequest) const;
  void terminate() const;

  const FileTransferSettings& settings() const { return m_settings; }

  // The readers; each opens the key, queries its value and closes it.
  std::string getLogFileFolderPath() const;
  std::string getFileTransferFolderPath() const;
  bool getFileTransferEnabled() const;

  // One line to the debugger output. Never throws.
  void trace(const char* pFormat, ...) const __attribute__((format(printf, 2, 3)));

 private:
  std::string readFolderPath(const char* pReader, const char* pValueName) const;
  // Writes DOCUMENT to PATH with one open, one write and a durable close.
  bool writeLogFile(const std::string& sPath, const std::string& sDocument) const;

  win::Facilities m_facilities;
  FileTransferSettings m_settings;
};

// The instance of the loaded library; null before loading and after
// unloading.
FileTransferPlugin* loadedPlugin();
// Called when the library is loaded and unloaded. Tests call them to load
// the plug-in afresh with fake facilities.
void loadPlugin(const win::Facilities& facilities);
void unloadPlugin();

}  // namespace filewarden
