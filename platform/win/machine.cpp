#include "machine.h"

#include <cstdlib>

namespace win {

std::string machineDir() {
  const char* p = std::getenv("MACHINE_DIR");
  std::string s = (p && *p) ? p : "/var/lib/winmachine";
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string registryFilePath() { return machineDir() + "/registry.reg"; }

}  // namespace win
