// Facts about the running process that the plug-ins report or depend on.
#pragma once

#include <cstdint>
#include <string>

namespace win {

class IProcess {
 public:
  virtual ~IProcess() = default;
  // Full path of the process's executable (not of a loaded library);
  // empty when it cannot be obtained.
  virtual std::string executablePath() = 0;
  virtual std::uint32_t processId() = 0;
  virtual std::uint32_t threadId() = 0;
  // The limit of simultaneously open files (the soft RLIMIT_NOFILE).
  virtual int openFileLimit() = 0;
  // Raises the limit to at least N where the hard limit allows; never lowers
  // it. Returns the limit in force afterwards.
  virtual int raiseOpenFileLimit(int n) = 0;
};

IProcess& currentProcess();

}  // namespace win
