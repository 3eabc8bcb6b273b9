// sthost: the stand-in Sametime server. Loads the chat logging and the
// file-transfer plug-ins as the server would and drives them.
#include <cerrno>
#include <fstream>
#include <iostream>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ChatLoggingLibrary.h"
#include "FileTransferLibrary.h"
#include "LoadGenerator.h"
#include "ScenarioPlayer.h"

namespace {

constexpr const char* kUsage =
    "Usage: sthost [--plugin PATH] [--ft-plugin PATH] COMMAND [OPTIONS]\n"
    "\n"
    "The stand-in Sametime server: loads the chat logging plug-in and the\n"
    "file-transfer plug-in with dlopen and calls their entry points as the\n"
    "server would.\n"
    "\n"
    "Commands:\n"
    "  init [--spi-version N] [--flags N]\n"
    "        Initialise the plug-in with host interface version N (default 14)\n"
    "        and the given flags (default 0), print the result, the status\n"
    "        indicator and the status message, then terminate it.\n"
    "  play FILE...\n"
    "        Play chat scenarios ('-' reads standard input): every call is\n"
    "        printed with its result, the host's status and the server\n"
    "        messages returned. A 'transfer' line scans a file through the\n"
    "        file-transfer plug-in. The format is in scenarios/README.md.\n"
    "  load [--chats N] [--messages M] [--size BYTES]\n"
    "        Open N chats (default 100) with two users each, send M messages\n"
    "        (default 100) of BYTES bytes (default 64) in each, end them, and\n"
    "        report messages per second and memory per open chat.\n"
    "\n"
    "Options:\n"
    "  --plugin PATH   the chat logging plug-in to load (default:\n"
    "                  ../lib/chatwarden.so beside this program)\n"
    "  --ft-plugin PATH\n"
    "                  the file-transfer plug-in to load (default:\n"
    "                  ../lib/filewarden.so beside this program); needed only\n"
    "                  by scenarios that transfer files\n"
    "  -h, --help      show this help\n"
    "\n"
    "The plug-in reads its settings from the registry of the machine folder\n"
    "named by MACHINE_DIR (see the 'reg' command).\n";

[[noreturn]] void usageError(const std::string& sMessage) {
  std::fprintf(stderr, "sthost: %s\nTry 'sthost --help'.\n", sMessage.c_str());
  std::exit(2);
}

// A whole number from the command line (decimal or 0x-hex).
long parseNumber(const std::string& sOption, const char* pText) {
  if (!pText) usageError(sOption + " needs a value");
  char* pEnd = nullptr;
  errno = 0;
  const long n = std::strtol(pText, &pEnd, 0);
  if (errno != 0 || pEnd == pText || *pEnd != '\0') usageError(sOption + ": not a number: '" + pText + "'");
  return n;
}

const char* statusName(int32_t nStatus) {
  switch (nStatus) {
    case PLUGIN_STATUS_RUNNING: return "running";
    case PLUGIN_STATUS_ERROR: return "error";
    case PLUGIN_STATUS_FATAL: return "fatal";
    default: return "unknown";
  }
}

// The host's state that the plug-in reports into.
struct HostStatus {
  int32_t nIndicator = 0;
  char aMessage[ST_DDA_STATUS_MSG_SIZE] = {};

  void print(const char* pCall, int32_t nResult) const {
    std::printf("%s -> %d (0x%X)\n", pCall, nResult, static_cast<unsigned>(nResult));
    std::printf("  status indicator: %d (%s)\n", nIndicator, statusName(nIndicator));
    std::printf("  status message:   %s\n", aMessage);
  }
};

int commandInit(sametime::ChatLoggingLibrary& lib, const std::vector<std::string>& vArgs) {
  long nSpiVersion = ST_DDA_CL_SPI_VERSION;
  long nFlags = 0;
  for (std::size_t i = 0; i < vArgs.size(); ++i) {
    const std::string& sArg = vArgs[i];
    const char* pNext = i + 1 < vArgs.size() ? vArgs[i + 1].c_str() : nullptr;
    if (sArg == "--spi-version") {
      nSpiVersion = parseNumber(sArg, pNext);
      ++i;
    } else if (sArg == "--flags") {
      nFlags = parseNumber(sArg, pNext);
      ++i;
    } else {
      usageError("init: unknown option '" + sArg + "'");
    }
  }

  HostStatus status;
  int32_t nVersion = static_cast<int32_t>(nSpiVersion);
  uint32_t nInitFlags = 0;
  char aDirType[ST_DDA_DIR_TYPE_SIZE] = {};
  char aLibVersion[ST_DDA_LIB_VERSION_SIZE] = {};
  const int32_t nResult = lib.Init(&nVersion, static_cast<uint32_t>(nFlags), &nInitFlags, aDirType, aLibVersion,
                                   &status.nIndicator, status.aMessage);
  status.print("stDdaClInit", nResult);
  std::printf("  interface version: offered %ld, answered %d\n", nSpiVersion, nVersion);
  std::printf("  directory type:   %s\n", aDirType);
  std::printf("  library version:  %s\n", aLibVersion);
  std::printf("  init flags:       0x%X\n", nInitFlags);

  lib.Terminate();
  std::printf("stDdaClTerminate\n");
  std::printf("  status indicator: %d (%s)\n", status.nIndicator, statusName(status.nIndicator));
  std::printf("  status message:   %s\n", status.aMessage);
  return nResult == ST_DDA_API_OK ? 0 : 1;
}

int commandPlay(sametime::ChatLoggingLibrary& lib, sametime::FileTransferLibrary& ftLib,
                const std::vector<std::string>& vFiles) {
  if (vFiles.empty()) usageError("play: no scenario file given");
  sametime::ScenarioPlayer player(lib, stdout, &ftLib);
  std::string sText;
  for (const auto& sFile : vFiles) {
    std::string s;
    if (sFile == "-") {
      s.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
      std::ifstream in(sFile, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "sthost: cannot read scenario '%s': %s\n", sFile.c_str(), std::strerror(errno));
        return 1;
      }
      s.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // One host run: the scenarios play one after another against one load.
    sText += s;
    if (!sText.empty() && sText.back() != '\n') sText += '\n';
  }
  const std::string sName = vFiles.size() == 1 ? vFiles[0] : "scenarios";
  if (!player.play(sText, sName)) {
    std::fflush(stdout);
    std::fprintf(stderr, "sthost: %s\n", player.error().c_str());
    return 2;
  }
  std::printf("%d call(s) answered with an error\n", player.failedCalls());
  return 0;
}

int commandLoad(sametime::ChatLoggingLibrary& lib, const std::vector<std::string>& vArgs) {
  sametime::LoadOptions o;
  for (std::size_t i = 0; i < vArgs.size(); ++i) {
    const std::string& sArg = vArgs[i];
    const char* pNext = i + 1 < vArgs.size() ? vArgs[i + 1].c_str() : nullptr;
    long n = 0;
    if (sArg == "--chats" || sArg == "--messages" || sArg == "--size") {
      n = parseNumber(sArg, pNext);
      ++i;
      if (n < 0 || (sArg == "--chats" && n == 0)) usageError(sArg + " must be positive");
    } else {
      usageError("load: unknown option '" + sArg + "'");
    }
    if (sArg == "--chats") o.nChats = n;
    if (sArg == "--messages") o.nMessages = n;
    if (sArg == "--size") o.nSize = static_cast<std::size_t>(n);
  }
  std::printf("load: %ld chats, %ld messages each, %zu bytes per message\n", o.nChats, o.nMessages, o.nSize);
  const sametime::LoadReport r = sametime::runLoad(lib, o, stdout);
  std::printf("messages logged: %ld in %.3f s = %.0f messages/s (%.1f us per message)\n", r.nMessages,
              r.dMessageSeconds, r.dMessageSeconds > 0 ? r.nMessages / r.dMessageSeconds : 0.0,
              r.nMessages > 0 ? r.dMessageSeconds * 1e6 / static_cast<double>(r.nMessages) : 0.0);
  std::printf("memory per open chat with two users: %ld bytes\n", r.nOpenBytesPerChat);
  std::printf("calls answered with an error: %ld\n", r.nFailedCalls);
  return r.nFailedCalls == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> vArgs(argv + 1, argv + argc);
  std::string sPlugin, sFtPlugin;
  std::size_t i = 0;
  for (; i < vArgs.size(); ++i) {
    if (vArgs[i] == "-h" || vArgs[i] == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (vArgs[i] == "--plugin") {
      if (i + 1 >= vArgs.size()) usageError("--plugin needs a path");
      sPlugin = vArgs[++i];
      continue;
    }
    if (vArgs[i] == "--ft-plugin") {
      if (i + 1 >= vArgs.size()) usageError("--ft-plugin needs a path");
      sFtPlugin = vArgs[++i];
      continue;
    }
    break;
  }
  if (i >= vArgs.size()) usageError("no command given");
  const std::string sCommand = vArgs[i];
  const std::vector<std::string> vRest(vArgs.begin() + static_cast<long>(i) + 1, vArgs.end());
  for (const auto& s : vRest) {
    if (s == "-h" || s == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  if (sCommand != "init" && sCommand != "play" && sCommand != "load") usageError("unknown command '" + sCommand + "'");

  if (sPlugin.empty()) sPlugin = sametime::defaultChatLoggingLibraryPath();
  sametime::ChatLoggingLibrary lib;
  if (!lib.load(sPlugin)) {
    std::fprintf(stderr, "sthost: cannot load the chat logging plug-in: %s\n", lib.error().c_str());
    return 1;
  }
  // A missing file-transfer plug-in matters only to a scenario that
  // transfers a file; the player reports the loader's error then.
  if (sFtPlugin.empty()) sFtPlugin = sametime::defaultFileTransferLibraryPath();
  sametime::FileTransferLibrary ftLib;
  ftLib.load(sFtPlugin);
  if (sCommand == "play") return commandPlay(lib, ftLib, vRest);
  if (sCommand == "load") return commandLoad(lib, vRest);
  return commandInit(lib, vRest);
}
