// The platform facilities a deliverable works through, bundled so that a
// component receives them once and tests can swap any of them for a fake.
#pragma once

#include "win/clock.h"
#include "win/crypto_provider.h"
#include "win/debug_output.h"
#include "win/file_system.h"
#include "win/process.h"
#include "win/registry.h"
#include "win/uuid.h"

namespace win {

struct Facilities {
  IRegistry* pRegistry;
  IFileSystem* pFiles;
  IClock* pClock;
  IDebugOutput* pDebug;
  IProcess* pProcess;
  IUuidSource* pUuid;
  ICryptoProvider* pCrypto;

  // The machine's real facilities.
  static Facilities machine() {
    return Facilities{&machineRegistry(), &posixFileSystem(),  &systemClock(),   &debugOutput(),
                      &currentProcess(),  &systemUuidSource(), &cryptoProvider()};
  }
};

}  // namespace win
