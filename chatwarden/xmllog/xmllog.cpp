// xmllog: reads the XML log files the plug-ins leave in the log folder.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "win/crypto_provider.h"
#include "xmllog/TranscriptCheck.h"
#include "xmllog/TranscriptDecrypt.h"

namespace {

constexpr const char* kUsage =
    "Usage: xmllog check FILE...\n"
    "       xmllog decrypt FILE\n"
    "\n"
    "Reads the XML log files of the chat and file-transfer plug-ins.\n"
    "\n"
    "Commands:\n"
    "  check FILE...   check each file against the log format (root, part\n"
    "                  head, records, completion, and that the part its name\n"
    "                  gives matches its content); prints one line per file\n"
    "  decrypt FILE    print an encrypted transcript part with every encrypted\n"
    "                  value in clear, as the part would read with encryption\n"
    "                  off; needs the key container \"Parlantis\" of this\n"
    "                  machine (MACHINE_DIR/keys)\n"
    "\n"
    "Exit status: 0 when every file is sound, 1 when a file is not, 2 on a\n"
    "usage error.\n";

bool readFile(const std::string& sPath, std::string& sOut) {
  std::ifstream in(sPath, std::ios::binary);
  if (!in) return false;
  sOut.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::string baseName(const std::string& sPath) {
  const auto n = sPath.find_last_of('/');
  return n == std::string::npos ? sPath : sPath.substr(n + 1);
}

int commandCheck(const std::vector<std::string>& vFiles) {
  int nBad = 0;
  for (const auto& sFile : vFiles) {
    std::string sXml;
    if (!readFile(sFile, sXml)) {
      std::printf("%s: cannot read: %s\n", sFile.c_str(), std::strerror(errno));
      ++nBad;
      continue;
    }
    chatwarden::TranscriptSummary s;
    const auto vProblems = chatwarden::checkTranscript(sXml, baseName(sFile), s);
    if (vProblems.empty()) {
      std::printf("%s: ok: %s %s part %d, %s, %d state(s), %d message(s), %d image(s)%s\n", sFile.c_str(),
                  s.bFileTransfer ? "file transfer" : "chat", s.sGuid.c_str(), s.nPart,
                  s.bComplete ? "complete" : "incomplete", s.nStates, s.nMessages, s.nImages,
                  s.bEncrypted ? ", encrypted" : "");
    } else {
      ++nBad;
      for (const auto& p : vProblems) std::printf("%s: %s\n", sFile.c_str(), p.c_str());
    }
  }
  return nBad == 0 ? 0 : 1;
}

int commandDecrypt(const std::string& sFile) {
  std::string sXml, sClear, sError;
  if (!readFile(sFile, sXml)) {
    std::fprintf(stderr, "xmllog: cannot read '%s': %s\n", sFile.c_str(), std::strerror(errno));
    return 1;
  }
  if (!chatwarden::decryptTranscript(sXml, win::cryptoProvider(), sClear, sError)) {
    std::fprintf(stderr, "xmllog: %s: %s\n", sFile.c_str(), sError.c_str());
    return 1;
  }
  std::fwrite(sClear.data(), 1, sClear.size(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> vArgs(argv + 1, argv + argc);
  for (const auto& s : vArgs) {
    if (s == "-h" || s == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  if (vArgs.empty()) {
    std::fputs("xmllog: no command given\nTry 'xmllog --help'.\n", stderr);
    return 2;
  }
  const std::string sCommand = vArgs[0];
  const std::vector<std::string> vRest(vArgs.begin() + 1, vArgs.end());
  if (sCommand == "check") {
    if (vRest.empty()) {
      std::fputs("xmllog: check: no file given\nTry 'xmllog --help'.\n", stderr);
      return 2;
    }
    return commandCheck(vRest);
  }
  if (sCommand == "decrypt") {
    if (vRest.size() != 1) {
      std::fputs("xmllog: decrypt takes one file\nTry 'xmllog --help'.\n", stderr);
      return 2;
    }
    return commandDecrypt(vRest[0]);
  }
  std::fprintf(stderr, "xmllog: unknown command '%s'\nTry 'xmllog --help'.\n", sCommand.c_str());
  return 2;
}
