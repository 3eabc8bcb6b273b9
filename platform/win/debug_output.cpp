#include "debug_output.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace win {
namespace {

class SyslogDebugOutput final : public IDebugOutput {
 public:
  void output(const std::string& sText) override { ::syslog(LOG_USER | LOG_DEBUG, "%s", sText.c_str()); }
};

class StderrDebugOutput final : public IDebugOutput {
 public:
  void output(const std::string& sText) override {
    std::string s = sText;
    s += '\n';
    (void)!::write(STDERR_FILENO, s.data(), s.size());
  }
};

// One O_APPEND write per string, so lines of concurrent writers never mix.
class FileDebugOutput final : public IDebugOutput {
 public:
  explicit FileDebugOutput(std::string sPath) : m_sPath(std::move(sPath)) {}
  void output(const std::string& sText) override {
    const int nFd = ::open(m_sPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (nFd < 0) return;
    std::string s = sText;
    s += '\n';
    (void)!::write(nFd, s.data(), s.size());
    ::close(nFd);
  }

 private:
  std::string m_sPath;
};

std::unique_ptr<IDebugOutput> makeDebugOutput() {
  const char* pChoice = std::getenv("DEBUG_OUTPUT");
  const std::string sChoice = pChoice ? pChoice : "";
  if (sChoice.empty() || sChoice == "syslog") return std::make_unique<SyslogDebugOutput>();
  if (sChoice == "stderr") return std::make_unique<StderrDebugOutput>();
  return std::make_unique<FileDebugOutput>(sChoice);
}

}  // namespace

IDebugOutput& debugOutput() {
  // Never destroyed: plug-ins trace from their unload hooks, after the
  // process's static objects are gone.
  static IDebugOutput* const s_pSink = makeDebugOutput().release();
  return *s_pSink;
}

}  // namespace win
