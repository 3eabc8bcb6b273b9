// Plays a chat scenario against a loaded chat logging plug-in (and, for
// file transfers, a file-transfer plug-in) and prints every call, its
// result, the host's status and the returned server messages. The scenario
// format is described in scenarios/README.md.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "ChatLoggingLibrary.h"
#include "FileTransferLibrary.h"

namespace sametime {

class ScenarioPlayer {
 public:
  // PFILETRANSFER may be null or not loaded: only a scenario that
  // transfers a file needs it.
  ScenarioPlayer(ChatLoggingLibrary& lib, std::FILE* pOut, FileTransferLibrary* pFileTransfer = nullptr)
      : m_rLib(lib), m_pOut(pOut), m_pFileTransfer(pFileTransfer) {}
  // Removes the upload folder, if a transfer created one.
  ~ScenarioPlayer();
  ScenarioPlayer(const ScenarioPlayer&) = delete;
  ScenarioPlayer& operator=(const ScenarioPlayer&) = delete;

  // Plays the scenario text (NAME is used in error messages). Returns false
  // and sets error() on a line that cannot be understood; calls that the
  // plug-in answers with an error do not stop the play.
  bool play(const std::string& sText, const std::string& sName);
  const std::string& error() const { return m_sError; }
  // Number of calls whose result was not ST_DDA_API_OK, and of transfers
  // whose copy failed.
  int failedCalls() const { return m_nFailedCalls; }

 private:
  bool runLine(const std::vector<std::string>& vWords);
  void ensureInitialised();
  void init(std::int32_t nVersion, std::uint32_t nFlags);
  void terminate();
  void printResult(std::int32_t nResult);
  void deliver(SrvMsg* pMessages, std::int32_t nCount);
  bool transfer(const std::vector<std::string>& vWords);
  bool ensureFileTransferInitialised();
  bool ensureUploadFolder();

  ChatLoggingLibrary& m_rLib;
  std::FILE* m_pOut;
  std::string m_sError;
  int m_nFailedCalls = 0;
  bool m_bInitialised = false;
  bool m_bTerminated = false;
  std::int32_t m_nIndicator = 0;
  char m_aMessage[ST_DDA_STATUS_MSG_SIZE] = {};
  std::string m_sLastMessage;
  std::int32_t m_nLastIndicator = 0;

  FileTransferLibrary* m_pFileTransfer;
  bool m_bFileTransferInitialised = false;
  std::uint32_t m_nNextTransferSession = 1;
  // The host's upload folder, made by the first transfer: "/tmp/st.XXXXXX/",
  // 15 characters, the prefix a file-transfer plug-in drops from the scan
  // request's path to get the name the file was sent under.
  std::string m_sUploadFolder;
};

// Splits a scenario line into words: blanks separate, "double quotes" group
// (with \" \\ \n \t escapes), '#' outside quotes starts a comment. Returns
// false on an unterminated quote.
bool splitScenarioLine(const std::string& sLine, std::vector<std::string>& vWords);

const char* resultName(std::int32_t nResult);
// "copied", "copy failed", "disabled" or "?".
const char* scanResultName(std::int32_t nResult);

}  // namespace sametime
