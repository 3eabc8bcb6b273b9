// The debugger output: a diagnostic sink that receives whole strings.
//
// By default the strings go to syslog at debug level. The environment
// variable DEBUG_OUTPUT chooses another sink for a whole process:
// "stderr", "syslog", or a file path (one line per string, appended), which
// is how tests of a loaded plug-in read what it sent.
#pragma once

#include <string>
#include <vector>

namespace win {

class IDebugOutput {
 public:
  virtual ~IDebugOutput() = default;
  // Sends one string. Never fails towards the caller.
  virtual void output(const std::string& sText) = 0;
};

// The sink chosen by DEBUG_OUTPUT for this process (created on first use).
IDebugOutput& debugOutput();

// Keeps every string, for tests.
class CapturingDebugOutput final : public IDebugOutput {
 public:
  void output(const std::string& sText) override { m_vLines.push_back(sText); }
  const std::vector<std::string>& lines() const { return m_vLines; }
  void clear() { m_vLines.clear(); }

 private:
  std::vector<std::string> m_vLines;
};

}  // namespace win
