#include "core/ChatResource.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <ctime>

#include "core/BuildInfo.h"
#include "core/TimeFormat.h"

namespace chatwarden {
namespace {

constexpr const char* kTruncatedMarker = "{Output truncated}";

// Trace lines are text: every LF in a message becomes CR LF in the file.
void appendTextLine(std::string& sOut, const std::string& sText) {
  for (char c : sText) {
    if (c == '\n') sOut += '\r';
    sOut += c;
  }
  sOut += "\r\n";
}

}  // namespace

ChatResource::ChatResource(const win::Facilities& facilities) : m_facilities(facilities) {
  const std::string sRule(70, '=');
  const std::string sExe = m_facilities.pProcess->executablePath();
  m_facilities.pDebug->output(sRule);
  m_facilities.pDebug->output(std::string("Velkora Parlantis ") + kProductVersion + " loaded from " +
                              (sExe.empty() ? "???" : sExe));
  m_facilities.pDebug->output(sRule);

  traceMessage("..+ChatResource::ChatResource()");
  getTraceFilePath();
}

void ChatResource::getTraceFilePath() {
  traceMessage("..+ChatResource::getTraceFilePath()");
  if (m_sCurrentFolderPath.empty()) {
    const std::string sExe = m_facilities.pProcess->executablePath();
    if (sExe.empty()) {
      traceMessage("->ERROR getting ModuleFileName()");
      return;
    }
    const auto nSlash = sExe.find_last_of('/');
    m_sCurrentFolderPath = nSlash == std::string::npos ? "./" : sExe.substr(0, nSlash + 1);
  }
  if (m_sTraceFilePath.empty()) m_sTraceFilePath = m_sCurrentFolderPath + "trace/parlantis.txt";
  traceMessage("->sCurrentFolderPath = '%s'", m_sCurrentFolderPath.c_str());
  traceMessage("->sTraceFilePath     = '%s'", m_sTraceFilePath.c_str());
  traceMessage("..-ChatResource::getTraceFilePath()");
}

void ChatResource::traceMessage(const char* pFormat, ...) {
  if (!m_bTraceEnabled) return;
  char aBuf[kTraceMessageMax + 1];
  va_list args;
  va_start(args, pFormat);
  const int n = std::vsnprintf(aBuf, sizeof aBuf, pFormat, args);
  va_end(args);
  if (n < 0) return;
  writeTraceLine(aBuf, static_cast<std::size_t>(n) > kTraceMessageMax);
}

void ChatResource::writeTraceLine(const std::string& sMessage, bool bTruncated) {
  win::IDebugOutput& debug = *m_facilities.pDebug;
  debug.output(sMessage);
  if (bTruncated) debug.output(kTruncatedMarker);

  win::IFileSystem& files = *m_facilities.pFiles;
  int nFd = -1;
  if (m_sTraceFilePath.empty()) {
    debug.output("->ERROR opening trace file: " + win::systemErrorText(ENOENT));
    return;
  }
  if (const int nErr = files.openAppend(m_sTraceFilePath, win::kPrivateFileMode, &nFd)) {
    debug.output("->ERROR opening '" + m_sTraceFilePath + "': " + win::systemErrorText(nErr));
    return;
  }

  win::IProcess& process = *m_facilities.pProcess;
  char aPrefix[32];
  std::snprintf(aPrefix, sizeof aPrefix, "[%04X:%04X] ", process.processId(), process.threadId());
  win::IClock& clock = *m_facilities.pClock;
  std::string sLine = aPrefix;
  char aStamp[kStampSize];
  formatClockStamp(clock.localTime(clock.now()), aStamp);
  sLine += aStamp;
  sLine += ' ';
  appendTextLine(sLine, sMessage);
  if (bTruncated) appendTextLine(sLine, kTruncatedMarker);

  if (const int nErr = files.write(nFd, sLine.data(), sLine.size())) {
    debug.output("->ERROR: Unable to write to '" + m_sTraceFilePath + "': " + win::systemErrorText(nErr));
  }
  if (const int nErr = files.close(nFd, true)) {
    debug.output("->ERROR: Unable to close '" + m_sTraceFilePath + "': " + win::systemErrorText(nErr));
  }
}

void ChatResource::traceHexDump(const void* pData, std::size_t nSize) {
  if (!m_bTraceEnabled) return;
  const auto* p = static_cast<const unsigned char*>(pData);
  for (std::size_t nRow = 0; nRow < nSize; nRow += 16) {
    char aLine[80];
    int nPos = std::snprintf(aLine, sizeof aLine, "%06zx: ", nRow);
    for (std::size_t i = 0; i < 16; ++i) {
      if (nRow + i < nSize)
        nPos += std::snprintf(aLine + nPos, sizeof aLine - static_cast<std::size_t>(nPos), "%02x ", p[nRow + i]);
      else
        nPos += std::snprintf(aLine + nPos, sizeof aLine - static_cast<std::size_t>(nPos), "   ");
    }
    aLine[nPos++] = ' ';
    for (std::size_t i = 0; i < 16 && nRow + i < nSize; ++i) {
      const unsigned char c = p[nRow + i];
      aLine[nPos++] = (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
    }
    aLine[nPos] = '\0';
    writeTraceLine(aLine, false);
  }
}

bool ChatResource::queryValue(const char* pName, void* pBuffer, std::uint32_t nSize) {
  std::memset(pBuffer, 0, nSize);
  const auto key = m_facilities.pRegistry->openKey(kSettingsKey);
  if (!key) {
    traceMessage("...->ERROR opening registry key '%s'", kSettingsKey);
    return false;
  }
  // Missing values keep the zeroed buffer; data larger than the buffer is
  // unreadable and must not leave a partial copy behind.
  if (win::queryValue(*key, pName, pBuffer, nSize) == win::RegStatus::Failed) std::memset(pBuffer, 0, nSize);
  return true;
}

bool ChatResource::readTraceEnabled() { return readTraceLevel() != 0; }

std::uint32_t ChatResource::readTraceLevel() {
  std::uint32_t nValue = 0;
  const auto key = m_facilities.pRegistry->openKey(kSettingsKey);
  if (key && win::queryValue(*key, "TraceSametime", &nValue, sizeof nValue) != win::RegStatus::Ok) nValue = 0;
  return nValue;
}

bool ChatResource::isLogFileEnabled() {
  traceMessage("..+ChatResource::isLogFileEnabled()");
  std::uint32_t nValue = 0;
  bool bOn = false;
  if (queryValue("LogFileEnabled", &nValue, sizeof nValue)) {
    bOn = nValue == 1;
    traceMessage("...->%s\\%s = '%u'", kSettingsKey, "LogFileEnabled", bOn ? 1u : 0u);
  }
  traceMessage("..-ChatResource::isLogFileEnabled()");
  return bOn;
}

bool ChatResource::isEncryptionEnabled() {
  traceMessage("..+ChatResource::isEncryptionEnabled()");
  char aText[2];
  bool bOn = false;
  if (queryValue("LogFileEncrypt", aText, sizeof aText)) {
    bOn = aText[0] == '1';
    traceMessage("...->%s\\%s = '%u'", kSettingsKey, "LogFileEncrypt", bOn ? 1u : 0u);
  }
  traceMessage("..-ChatResource::isEncryptionEnabled()");
  return bOn;
}

bool ChatResource::isImageCaptureEnabled() {
  traceMessage("..+ChatResource::isImageCaptureEnabled()");
  std::uint32_t nValue = 0;
  // The value is read but image capture stays on whatever it holds.
  if (queryValue("LogFileCaptureImages", &nValue, sizeof nValue))
    traceMessage("...->%s\\%s = '%u'", kSettingsKey, "LogFileCaptureImages", 1u);
  traceMessage("..-ChatResource::isImageCaptureEnabled()");
  return true;
}

std::uint32_t ChatResource::getLogFileFormat() {
  traceMessage("..+ChatResource::getLogFileFormat()");
  std::uint32_t nMask = 0;
  if (queryValue("LogFileFormat", &nMask, sizeof nMask))
    traceMessage("...->%s\\%s = '%u'", kSettingsKey, "LogFileFormat", nMask);
  traceMessage("..-ChatResource::getLogFileFormat()");
  return nMask;
}

std::int32_t ChatResource::getXMLFlushIntervalSecs() {
  traceMessage("..+ChatResource::getXMLFlushIntervalSecs()");
  std::uint32_t nMinutes = 0;
  std::int32_t nSeconds = 0;
  if (queryValue("LogFileInterval", &nMinutes, sizeof nMinutes)) {
    // Minutes beyond what a signed 32-bit count of seconds holds are capped
    // rather than wrapped into a negative interval.
    constexpr std::uint32_t kMaxMinutes = 0x7FFFFFFF / 60;
    nSeconds = nMinutes > kMaxMinutes ? 0x7FFFFFFF : static_cast<std::int32_t>(nMinutes * 60);
    traceMessage("...->%s\\%s = '%i'", kSettingsKey, "LogFileInterval", nSeconds);
  }
  traceMessage("..-ChatResource::getXMLFlushIntervalSecs()");
  return nSeconds;
}

void ChatResource::createLogFolderPath() {
  traceMessage("..+ChatResource::createLogFolderPath()");
  char aText[256];
  if (queryValue("LogFileFolderPath", aText, sizeof aText)) {
    // At most 255 characters: a text filling the whole buffer without its
    // terminator is unreadable.
    const std::size_t nLen = ::strnlen(aText, sizeof aText);
    m_sLogFolderPath.assign(aText, nLen < sizeof aText ? nLen : 0);
    traceMessage("...->%s\\%s = '%s'", kSettingsKey, "LogFileFolderPath", m_sLogFolderPath.c_str());
  }
  traceMessage("..-ChatResource::createLogFolderPath()");
}

std::string ChatResource::getLogFolderPath() {
  traceMessage("..+ChatResource::getLogFolderPath()");
  if (m_sLogFolderPath.empty()) createLogFolderPath();
  traceMessage("..-ChatResource::getLogFolderPath()");
  return m_sLogFolderPath;
}

bool ChatResource::isImageMessage(std::uint32_t nDataType, std::uint32_t nSubType, std::uint32_t nLen,
                                  const unsigned char* pData) {
  if (nDataType != kImageDataType || nSubType != 0 || nLen <= kImageHeaderSize || !pData) return false;
  if (std::memcmp(pData + 2, "data", 4) != 0 || std::memcmp(pData + 8, "image", 5) != 0) return false;
  traceMessage("...->Image found!");
  return true;
}

int ChatResource::getImageType(std::uint32_t nLen, const unsigned char* pData) {
  traceMessage("..+ChatResource::getImageType()");
  int nType = 0;
  if (nLen <= 16) {
    traceMessage("->ERROR: Image header too small, unable to determine image type.");
  } else {
    const unsigned char* p = pData + kImageHeaderSize;
    if (p[0] == 'G' && p[1] == 'I' && p[2] == 'F') {
      nType = 1;
      traceMessage("->Image type is GIF");
    } else if (p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) {
      nType = 2;
      traceMessage("->Image type is JPEG");
    } else if (p[0] == 0x89 && p[1] == 'P' && p[2] == 'N' && p[3] == 'G') {
      nType = 3;
      traceMessage("->Image type is PNG");
    } else {
      traceMessage("->WARNING: Image type is UNKNOWN");
    }
  }
  traceMessage("..-ChatResource::getImageType()");
  return nType;
}

namespace {

// "00" to "FF", two characters per byte value.
struct HexPairs {
  char a[512];
  constexpr HexPairs() : a{} {
    constexpr char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < 256; ++i) {
      a[2 * i] = kHex[i >> 4];
      a[2 * i + 1] = kHex[i & 0x0F];
    }
  }
};
constexpr HexPairs kHexPairs;

}  // namespace

bool ChatResource::Bin2ASCII(const unsigned char* pData, std::size_t nSize, std::string& sOut) {
  const bool bTrace = m_bTraceEnabled;  // runs for every encrypted value
  if (bTrace) traceMessage("..+ChatResource::Bin2ASCII()");
  try {
    const std::size_t nStart = sOut.size();
    sOut.resize(nStart + 2 * nSize);
    char* p = sOut.data() + nStart;
    for (std::size_t i = 0; i < nSize; ++i, p += 2) std::memcpy(p, kHexPairs.a + 2 * pData[i], 2);
  } catch (const std::bad_alloc&) {
    traceMessage("->ERROR: Unable to allocate memory!!!");
    return false;
  }
  if (bTrace) traceMessage("..-ChatResource::Bin2ASCII()");
  return true;
}

}  // namespace chatwarden
