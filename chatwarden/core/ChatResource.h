// The process-wide resource object of the chat logging plug-in: the
// diagnostic trace and the readers of the plug-in's registry settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "win/facilities.h"

namespace chatwarden {

// The plug-ins' settings key below HKEY_LOCAL_MACHINE.
inline constexpr const char* kSettingsKey = "Software\\Parlantis\\Server";

inline constexpr std::uint32_t kImageDataType = 0x6A37;
inline constexpr std::uint32_t kImageHeaderSize = 13;

// Longest trace message; longer ones are cut and marked.
inline constexpr std::size_t kTraceMessageMax = 1023;

class ChatResource {
 public:
  // Creation writes the debugger banner and works out the trace file path.
  explicit ChatResource(const win::Facilities& facilities);
  ChatResource(const ChatResource&) = delete;
  ChatResource& operator=(const ChatResource&) = delete;

  bool isTraceEnabled() const { return m_bTraceEnabled; }
  void setTraceEnabled(bool bOn) { m_bTraceEnabled = bOn; }

  // One printf-style trace line: to the debugger output and, with a time
  // stamp, to the trace file. Costs one flag test while tracing is off.
  void traceMessage(const char* pFormat, ...) __attribute__((format(printf, 2, 3)));
  // Hexadecimal dump of N bytes, one line per 16 bytes.
  void traceHexDump(const void* pData, std::size_t nSize);

  // Settings readers. Each opens the key, queries one value and closes it.
  bool readTraceEnabled();           // "TraceSametime" as a truth value, untraced
  std::uint32_t readTraceLevel();    // "TraceSametime" as a number, untraced
  bool isLogFileEnabled();           // "LogFileEnabled" == 1
  bool isEncryptionEnabled();        // "LogFileEncrypt" text starting with '1'
  bool isImageCaptureEnabled();      // always true
  std::uint32_t getLogFileFormat();  // "LogFileFormat" bit mask
  std::int32_t getXMLFlushIntervalSecs();  // "LogFileInterval" minutes * 60
  void createLogFolderPath();               // reads "LogFileFolderPath"
  std::string getLogFolderPath();

  // Image data messages: type 0x6A37, sub-type 0, "data" at offset 2 and
  // "image" at offset 8, the image's bytes from offset 13.
  bool isImageMessage(std::uint32_t nDataType, std::uint32_t nSubType, std::uint32_t nLen, const unsigned char* pData);
  // 1 GIF, 2 JPEG, 3 PNG, 0 unknown (or too short to tell).
  int getImageType(std::uint32_t nLen, const unsigned char* pData);

  // Appends N bytes as 2 x N upper-case hexadecimal characters. False when
  // the memory for them cannot be had (nothing appended then).
  bool Bin2ASCII(const unsigned char* pData, std::size_t nSize, std::string& sOut);

  const std::string& currentFolderPath() const { return m_sCurrentFolderPath; }
  const std::string& traceFilePath() const { return m_sTraceFilePath; }
  const win::Facilities& facilities() const { return m_facilities; }

 private:
  void getTraceFilePath();
  // Writes one finished message (already formatted) to both sinks.
  void writeTraceLine(const std::string& sMessage, bool bTruncated);
  // Queries VALUE into a zeroed buffer of nSize bytes. Returns false when the
  // key could not be opened (and traces that).
  bool queryValue(const char* pName, void* pBuffer, std::uint32_t nSize);

  win::Facilities m_facilities;
  bool m_bTraceEnabled = false;
  std::string m_sCurrentFolderPath;
  std::string m_sTraceFilePath;
  std::string m_sLogFolderPath;
};

}  // namespace chatwarden
