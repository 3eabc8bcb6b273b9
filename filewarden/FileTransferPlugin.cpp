#include "FileTransferPlugin.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "BuildInfo.h"
#include "FileTransferLog.h"
#include "core/TimeFormat.h"

namespace filewarden {
namespace {

// Destroyed by the library's unload hook (or a test), never by the exit
// handlers, which may already have destroyed what it traces through.
FileTransferPlugin* g_pPlugin = nullptr;

// A NUL-terminated field of the request, never read past its end.
std::string_view field(const char* pField, std::size_t nSize) {
  return std::string_view(pField, ::strnlen(pField, nSize));
}

}  // namespace

FileTransferPlugin* loadedPlugin() { return g_pPlugin; }

void loadPlugin(const win::Facilities& facilities) {
  unloadPlugin();
  g_pPlugin = new FileTransferPlugin(facilities);
}

void unloadPlugin() {
  delete g_pPlugin;
  g_pPlugin = nullptr;
}

void FileTransferPlugin::trace(const char* pFormat, ...) const {
  char aText[kTraceBufferSize];
  va_list args;
  va_start(args, pFormat);
  const int n = std::vsnprintf(aText, sizeof aText, pFormat, args);
  va_end(args);
  if (n < 0) return;
  try {
    m_facilities.pDebug->output(aText);
  } catch (...) {
    // A lost trace line must not change what the host is answered.
  }
}

std::string FileTransferPlugin::readFolderPath(const char* pReader, const char* pValueName) const {
  trace("..+%s()", pReader);
  std::string sFolder;
  if (const auto key = m_facilities.pRegistry->openKey(kSettingsKey)) {
    // At most 255 characters: data larger than the buffer, or a text that
    // fills it without its terminator, is unreadable and counts as missing.
    char aText[256] = {};
    if (win::queryValue(*key, pValueName, aText, sizeof aText) == win::RegStatus::Ok) {
      const std::size_t nLen = ::strnlen(aText, sizeof aText);
      if (nLen < sizeof aText) sFolder.assign(aText, nLen);
    }
    trace("->%s\\%s = '%s'", kSettingsKey, pValueName, sFolder.c_str());
    if (sFolder.empty() || sFolder.back() != '/') sFolder += '/';
  } else {
    trace("->ERROR opening registry key '%s'", kSettingsKey);
  }
  trace("..-%s()", pReader);
  return sFolder;
}

std::string FileTransferPlugin::getLogFileFolderPath() const {
  return readFolderPath("getLogFileFolderPath", "LogFileFolderPath");
}

std::string FileTransferPlugin::getFileTransferFolderPath() const {
  return readFolderPath("getFileTransferFolderPath", "FileTransferFolderPath");
}

bool FileTransferPlugin::getFileTransferEnabled() const {
  trace("..+getFileTransferEnabled()");
  bool bOn = false;
  if (const auto key = m_facilities.pRegistry->openKey(kSettingsKey)) {
    std::uint32_t nValue = 0;
    if (win::queryValue(*key, "FileTransferEnabled", &nValue, sizeof nValue) == win::RegStatus::Ok) bOn = nValue == 1;
    trace("->%s\\%s = %u", kSettingsKey, "FileTransferEnabled", bOn ? 1u : 0u);
  } else {
    trace("->ERROR opening registry key '%s'", kSettingsKey);
  }
  trace("..-getFileTransferEnabled()");
  return bOn;
}

std::int32_t FileTransferPlugin::init(std::uint32_t* prVersion) {
  trace("------------[Velkora Parlantis %s File Logging startup]------------", kProductVersion);
  trace("+stDdaFtInit()");
  trace("->Sametime  SPI prVersion: %u", prVersion ? *prVersion : 0u);
  trace("->Parlantis SPI prVersion: %u", static_cast<unsigned>(ST_DDA_FT_SPI_VERSION));
  FileTransferSettings settings;
  settings.sLogFolderPath = getLogFileFolderPath();
  settings.sFileTransferFolderPath = getFileTransferFolderPath();
  settings.bEnabled = getFileTransferEnabled();
  m_settings = std::move(settings);
  // The host's version is not compared with anything.
  if (prVersion) *prVersion = ST_DDA_FT_SPI_VERSION;
  trace("-stDdaFtInit()");
  return 0;
}

bool FileTransferPlugin::writeLogFile(const std::string& sPath, const std::string& sDocument) const {
  win::IFileSystem& files = *m_facilities.pFiles;
  int nFd = -1;
  if (files.openAppend(sPath, win::kPrivateFileMode, &nFd) != 0) return false;
  const int nWrite = files.write(nFd, sDocument.data(), sDocument.size());
  const int nClose = files.close(nFd, true);
  if (nWrite == 0 && nClose == 0) {
    // The new file's name is durable only once its folder is synced; the
    // document itself is complete either way and stays.
    if (files.syncFolderOf(sPath) != 0) trace("->ERROR: Unable to sync the folder of '%s'", sPath.c_str());
    return true;
  }
  // A cut-off document would stop the import of the log folder; the
  // transfer's log is lost either way.
  files.remove(sPath);
  return false;
}

std::int32_t FileTransferPlugin::scanFile(const FtScanRequest* pRequest) const {
  if (!m_settings.bEnabled) return ST_DDA_FT_SCAN_DISABLED;
  trace("+stDdaFtScanFile()");
  std::int32_t nResult = ST_DDA_FT_SCAN_FAILED;
  const std::string sGuid = pRequest ? m_facilities.pUuid->newUuid() : std::string();
  if (!pRequest) {
    trace("->ERROR: No scan request");
  } else if (sGuid.empty()) {
    // Without a GUID every transfer would share one log and one copy name.
    trace("->ERROR: Unable to create GUID");
  } else {
    const std::string_view sSource = field(pRequest->path, sizeof pRequest->path);
    const std::string sLogPath = m_settings.sLogFolderPath + "prl5_" + sGuid + "_file.xml";
    const std::string sCopyPath = m_settings.sFileTransferFolderPath + "prl5_" + sGuid + ".bin";
    win::IClock& clock = *m_facilities.pClock;
    char aStamp[chatwarden::kStampSize];
    chatwarden::formatXmlStamp(clock.localTime(clock.now()), aStamp);

    FileTransferRecord record;
    record.sGuid = sGuid;
    record.nSession = pRequest->session;
    record.sStamp = aStamp;
    record.sSender = field(pRequest->sender, sizeof pRequest->sender);
    record.sReceiver = field(pRequest->receiver, sizeof pRequest->receiver);
    record.sFileName = sSource.size() > kUploadPrefixLength ? sSource.substr(kUploadPrefixLength) : std::string_view();
    record.sCopyPath = sCopyPath;
    record.nSize = pRequest->size;

    // The log is written first; its outcome does not change the result.
    if (writeLogFile(sLogPath, formatFileTransferLog(record)))
      trace("->Successfully wrote log file '%s'", sLogPath.c_str());
    else
      trace("->ERROR: Unable to write log file '%s'", sLogPath.c_str());

    const std::string sSourcePath(sSource);
    if (m_facilities.pFiles->copyFile(sSourcePath, sCopyPath, win::kPrivateFileMode) == 0) {
      trace("->Successfully copied '%s' to '%s'", sSourcePath.c_str(), sCopyPath.c_str());
      nResult = ST_DDA_FT_SCAN_COPIED;
    } else {
      trace("->ERROR: Unable to copy '%s' to '%s'", sSourcePath.c_str(), sCopyPath.c_str());
    }
  }
  trace("-stDdaFtScanFile(%i)", nResult);
  return nResult;
}

void FileTransferPlugin::terminate() const {
  trace("..+stDdaFtTerminate()");
  trace("------------[Velkora Parlantis File Logging shutdown]------------");
  trace("..-stDdaFtTerminate()");
}

}  // namespace filewarden
