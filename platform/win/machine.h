// The machine folder: all machine-wide state of the stand-ins (registry,
// key containers, service manager state) lives below one folder, named by
// MACHINE_DIR (default /var/lib/winmachine).
#pragma once

#include <string>

namespace win {

// The machine folder, without a trailing slash.
std::string machineDir();
// MACHINE_DIR/registry.reg: HKEY_LOCAL_MACHINE.
std::string registryFilePath();

}  // namespace win
