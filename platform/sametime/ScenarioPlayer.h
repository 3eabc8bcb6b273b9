// Plays a chat scenario against a loaded chat logging plug-in and prints
// every call, its result, the host's status and the returned server
// messages. The scenario format is described in scenarios/README.md.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "ChatLoggingLibrary.h"

namespace sametime {

class ScenarioPlayer {
 public:
  ScenarioPlayer(ChatLoggingLibrary& lib, std::FILE* pOut) : m_rLib(lib), m_pOut(pOut) {}

  // Plays the scenario text (NAME is used in error messages). Returns false
  // and sets error() on a line that cannot be understood; calls that the
  // plug-in answers with an error do not stop the play.
  bool play(const std::string& sText, const std::string& sName);
  const std::string& error() const { return m_sError; }
  // Number of calls whose result was not ST_DDA_API_OK.
  int failedCalls() const { return m_nFailedCalls; }

 private:
  bool runLine(const std::vector<std::string>& vWords);
  void ensureInitialised();
  void init(std::int32_t nVersion, std::uint32_t nFlags);
  void terminate();
  void printResult(std::int32_t nResult);
  void deliver(SrvMsg* pMessages, std::int32_t nCount);

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
};

// Splits a scenario line into words: blanks separate, "double quotes" group
// (with \" \\ \n \t escapes), '#' outside quotes starts a comment. Returns
// false on an unterminated quote.
bool splitScenarioLine(const std::string& sLine, std::vector<std::string>& vWords);

const char* resultName(std::int32_t nResult);

}  // namespace sametime
