#include "ScenarioPlayer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "win/clock.h"

namespace sametime {
namespace {

const char* statusName(std::int32_t nStatus) {
  switch (nStatus) {
    case PLUGIN_STATUS_RUNNING: return "running";
    case PLUGIN_STATUS_ERROR: return "error";
    case PLUGIN_STATUS_FATAL: return "fatal";
    default: return "unknown";
  }
}

bool parseNumber(const std::string& s, long long& n) {
  if (s.empty()) return false;
  char* pEnd = nullptr;
  errno = 0;
  n = std::strtoll(s.c_str(), &pEnd, 0);
  return errno == 0 && *pEnd == '\0';
}

// "user", "section", "activity", "session" or a number.
bool parseEntityType(const std::string& s, std::int32_t& nType) {
  static const char* const kNames[] = {"user", "section", "activity", "session"};
  for (int i = 0; i < 4; ++i) {
    if (::strcasecmp(s.c_str(), kNames[i]) == 0) {
      nType = i + 1;
      return true;
    }
  }
  long long n = 0;
  if (!parseNumber(s, n)) return false;
  nType = static_cast<std::int32_t>(n);
  return true;
}

ChatEntity makeEntity(const std::string& sId, std::int32_t nType) {
  ChatEntity e{};
  std::snprintf(e.id, sizeof e.id, "%s", sId.c_str());
  e.type = nType;
  return e;
}

bool parseHex(const std::string& s, std::vector<unsigned char>& v) {
  std::string sDigits;
  for (char c : s)
    if (c != ' ' && c != ':') sDigits += c;
  if (sDigits.size() % 2) return false;
  for (std::size_t i = 0; i < sDigits.size(); i += 2) {
    char* pEnd = nullptr;
    const std::string sByte = sDigits.substr(i, 2);
    const long n = std::strtol(sByte.c_str(), &pEnd, 16);
    if (*pEnd) return false;
    v.push_back(static_cast<unsigned char>(n));
  }
  return true;
}

std::string quoted(const std::string& s) {
  std::string r = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') r += '\\';
    if (c == '\n') {
      r += "\\n";
      continue;
    }
    r += c;
  }
  return r + "\"";
}

}  // namespace

const char* scanResultName(std::int32_t nResult) {
  switch (nResult) {
    case ST_DDA_FT_SCAN_COPIED: return "copied";
    case ST_DDA_FT_SCAN_FAILED: return "copy failed";
    case ST_DDA_FT_SCAN_DISABLED: return "disabled";
    default: return "?";
  }
}

const char* resultName(std::int32_t nResult) {
  switch (nResult) {
    case ST_DDA_API_OK: return "ST_DDA_API_OK";
    case ST_DDA_API_UNSUPPORTED_VERSION: return "ST_DDA_API_UNSUPPORTED_VERSION";
    case ST_DDA_API_INIT_FAILED: return "ST_DDA_API_INIT_FAILED";
    case ST_DDA_API_SESSION_EXISTS: return "ST_DDA_API_SESSION_EXISTS";
    case ST_DDA_API_SESSION_NOT_FOUND: return "ST_DDA_API_SESSION_NOT_FOUND";
    case ST_DDA_API_LOG_FILE_ERROR: return "ST_DDA_API_LOG_FILE_ERROR";
    case ST_DDA_API_CHAT_DENIED: return "ST_DDA_API_CHAT_DENIED";
    case ST_DDA_API_SRV_MSGS: return "ST_DDA_API_SRV_MSGS";
    default: return "?";
  }
}

bool splitScenarioLine(const std::string& sLine, std::vector<std::string>& vWords) {
  vWords.clear();
  std::size_t i = 0;
  while (i < sLine.size()) {
    const char c = sLine[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    if (c == '#') break;
    std::string sWord;
    if (c == '"') {
      ++i;
      bool bClosed = false;
      while (i < sLine.size()) {
        char d = sLine[i++];
        if (d == '"') {
          bClosed = true;
          break;
        }
        if (d == '\\' && i < sLine.size()) {
          const char e = sLine[i++];
          d = e == 'n' ? '\n' : e == 't' ? '\t' : e;
        }
        sWord += d;
      }
      if (!bClosed) return false;
    } else {
      while (i < sLine.size() && sLine[i] != ' ' && sLine[i] != '\t' && sLine[i] != '\r') sWord += sLine[i++];
    }
    vWords.push_back(sWord);
  }
  return true;
}

void ScenarioPlayer::printResult(std::int32_t nResult) {
  if (nResult != ST_DDA_API_OK) ++m_nFailedCalls;
  std::fprintf(m_pOut, "  = 0x%X %s", static_cast<unsigned>(nResult), resultName(nResult));
  if (m_nIndicator != m_nLastIndicator || m_sLastMessage != m_aMessage) {
    std::fprintf(m_pOut, "\n  status %d (%s): %s", m_nIndicator, statusName(m_nIndicator), m_aMessage);
    m_nLastIndicator = m_nIndicator;
    m_sLastMessage = m_aMessage;
  }
  std::fputc('\n', m_pOut);
}

void ScenarioPlayer::deliver(SrvMsg* pMessages, std::int32_t nCount) {
  if (!pMessages) return;
  for (std::int32_t i = 0; i < nCount; ++i) {
    const SrvMsg& m = pMessages[i];
    std::fprintf(m_pOut, "  server message %d to %s (%d bytes): %s\n", i + 1,
                 m.recipient == 0 ? "sender" : "receiver side", m.textLen, m.text ? m.text : "");
  }
  m_rLib.CleanSrvMsgs(pMessages, nCount);
}

void ScenarioPlayer::init(std::int32_t nVersion, std::uint32_t nFlags) {
  std::int32_t nOffered = nVersion;
  std::uint32_t nInitFlags = 0;
  char aDirType[ST_DDA_DIR_TYPE_SIZE] = {};
  char aLibVersion[ST_DDA_LIB_VERSION_SIZE] = {};
  std::fprintf(m_pOut, "> init spi=%d flags=0x%X\n", nVersion, nFlags);
  const std::int32_t nResult =
      m_rLib.Init(&nOffered, nFlags, &nInitFlags, aDirType, aLibVersion, &m_nIndicator, m_aMessage);
  printResult(nResult);
  std::fprintf(m_pOut, "  answered spi=%d dirType=\"%s\" libVersion=\"%s\" initFlags=0x%X\n", nOffered, aDirType,
               aLibVersion, nInitFlags);
  m_bInitialised = true;
}

void ScenarioPlayer::terminate() {
  std::fprintf(m_pOut, "> terminate\n");
  m_rLib.Terminate();
  std::fprintf(m_pOut, "  status %d (%s): %s\n", m_nIndicator, statusName(m_nIndicator), m_aMessage);
  m_nLastIndicator = m_nIndicator;
  m_sLastMessage = m_aMessage;
  m_bTerminated = true;
}

void ScenarioPlayer::ensureInitialised() {
  if (!m_bInitialised) init(ST_DDA_CL_SPI_VERSION, 0);
}

ScenarioPlayer::~ScenarioPlayer() {
  if (m_sUploadFolder.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(m_sUploadFolder, ec);
}

bool ScenarioPlayer::ensureFileTransferInitialised() {
  if (m_bFileTransferInitialised) return true;
  if (!m_pFileTransfer || !m_pFileTransfer->loaded()) {
    m_sError = "transfer: no file-transfer plug-in";
    if (m_pFileTransfer && !m_pFileTransfer->error().empty()) m_sError += ": " + m_pFileTransfer->error();
    return false;
  }
  std::uint32_t nVersion = ST_DDA_FT_SPI_VERSION;
  std::fprintf(m_pOut, "> ftinit spi=%u\n", nVersion);
  const std::int32_t nResult = m_pFileTransfer->Init(&nVersion);
  std::fprintf(m_pOut, "  = %d\n  answered spi=%u\n", nResult, nVersion);
  m_bFileTransferInitialised = true;
  return true;
}

bool ScenarioPlayer::ensureUploadFolder() {
  if (!m_sUploadFolder.empty()) return true;
  char aFolder[] = "/tmp/st.XXXXXX";
  static_assert(sizeof aFolder == 15, "with its '/', the upload folder is 15 characters");
  if (!::mkdtemp(aFolder)) {
    m_sError = std::string("transfer: cannot create the upload folder: ") + std::strerror(errno);
    return false;
  }
  m_sUploadFolder = std::string(aFolder) + "/";
  return true;
}

// The host has received the file into its upload folder and asks the
// plug-in to scan it there: the file is staged under its own name as a
// link to PATH, scanned, and the link removed again.
bool ScenarioPlayer::transfer(const std::vector<std::string>& v) {
  const char* pUsage = "transfer FROM TO PATH [session N]";
  std::uint32_t nSession = m_nNextTransferSession;
  if (v.size() != 4 && v.size() != 6) {
    m_sError = std::string("usage: ") + pUsage;
    return false;
  }
  if (v.size() == 6) {
    long long n = 0;
    if (v[4] != "session" || !parseNumber(v[5], n) || n < 0 || n > 0xFFFFFFFFLL) {
      m_sError = std::string("usage: ") + pUsage;
      return false;
    }
    nSession = static_cast<std::uint32_t>(n);
  }
  const std::string& sPath = v[3];
  struct stat st {};
  if (::stat(sPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    m_sError = "transfer: cannot read '" + sPath + "'";
    return false;
  }
  const std::string sName = std::filesystem::path(sPath).filename().string();
  if (!ensureFileTransferInitialised() || !ensureUploadFolder()) return false;
  const std::string sStaged = m_sUploadFolder + sName;
  FtScanRequest request{};
  if (sStaged.size() >= sizeof request.path) {
    m_sError = "transfer: the name '" + sName + "' is too long for the scan request";
    return false;
  }
  std::error_code ec;
  const std::string sTarget = std::filesystem::absolute(sPath, ec).string();
  ::unlink(sStaged.c_str());
  if (ec || ::symlink(sTarget.c_str(), sStaged.c_str()) != 0) {
    m_sError = "transfer: cannot stage '" + sPath + "' in " + m_sUploadFolder;
    return false;
  }
  std::snprintf(request.path, sizeof request.path, "%s", sStaged.c_str());
  std::snprintf(request.sender, sizeof request.sender, "%s", v[1].c_str());
  std::snprintf(request.receiver, sizeof request.receiver, "%s", v[2].c_str());
  // The request has 32 bits for the size.
  request.size = st.st_size > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<std::uint32_t>(st.st_size);
  request.session = nSession;
  m_nNextTransferSession = nSession + 1;

  std::fprintf(m_pOut, "> transfer %s -> %s: %s (%u bytes, session %u)\n", quoted(v[1]).c_str(),
               quoted(v[2]).c_str(), quoted(sPath).c_str(), request.size, request.session);
  const std::int32_t nResult = m_pFileTransfer->ScanFile(&request);
  ::unlink(sStaged.c_str());
  if (nResult != ST_DDA_FT_SCAN_COPIED && nResult != ST_DDA_FT_SCAN_DISABLED) ++m_nFailedCalls;
  std::fprintf(m_pOut, "  = %d %s\n", nResult, scanResultName(nResult));
  return true;
}

bool ScenarioPlayer::play(const std::string& sText, const std::string& sName) {
  std::istringstream in(sText);
  std::string sLine;
  int nLine = 0;
  std::vector<std::string> vWords;
  while (std::getline(in, sLine)) {
    ++nLine;
    if (!splitScenarioLine(sLine, vWords)) {
      m_sError = sName + ":" + std::to_string(nLine) + ": unterminated quote";
      return false;
    }
    if (vWords.empty()) continue;
    if (m_bTerminated) {
      m_sError = sName + ":" + std::to_string(nLine) + ": '" + vWords[0] + "' after terminate";
      return false;
    }
    m_sError.clear();
    if (!runLine(vWords)) {
      m_sError = sName + ":" + std::to_string(nLine) + ": " + m_sError;
      return false;
    }
  }
  if (!m_bTerminated) {
    ensureInitialised();
    terminate();
  }
  if (m_bFileTransferInitialised) {
    std::fprintf(m_pOut, "> ftterminate\n");
    m_pFileTransfer->Terminate();
    m_bFileTransferInitialised = false;
  }
  return true;
}

bool ScenarioPlayer::runLine(const std::vector<std::string>& v) {
  const std::string& sCmd = v[0];
  auto need = [&](std::size_t nMin, std::size_t nMax, const char* pUsage) {
    if (v.size() >= nMin && v.size() <= nMax) return true;
    m_sError = std::string("usage: ") + pUsage;
    return false;
  };

  if (sCmd == "init") {
    if (!need(1, 3, "init [spi=N] [flags=N]")) return false;
    long long nVersion = ST_DDA_CL_SPI_VERSION, nFlags = 0;
    for (std::size_t i = 1; i < v.size(); ++i) {
      const auto nEq = v[i].find('=');
      const std::string sKey = v[i].substr(0, nEq);
      if (nEq == std::string::npos || (sKey != "spi" && sKey != "flags") ||
          !parseNumber(v[i].substr(nEq + 1), sKey == "spi" ? nVersion : nFlags)) {
        m_sError = "init: bad option '" + v[i] + "'";
        return false;
      }
    }
    if (m_bInitialised) {
      m_sError = "init: the plug-in is already initialised";
      return false;
    }
    init(static_cast<std::int32_t>(nVersion), static_cast<std::uint32_t>(nFlags));
    return true;
  }

  if (sCmd == "advance") {
    long long n = 0;
    if (!need(2, 2, "advance SECONDS") || !parseNumber(v[1], n)) {
      if (m_sError.empty()) m_sError = "advance: not a number: '" + v[1] + "'";
      return false;
    }
    win::systemClock().advance(static_cast<long>(n));
    std::fprintf(m_pOut, "> advance %lld\n", n);
    return true;
  }

  // A file transfer does not involve the chat logging plug-in.
  if (sCmd == "transfer") return transfer(v);

  ensureInitialised();

  if (sCmd == "terminate") {
    if (!need(1, 1, "terminate")) return false;
    terminate();
    return true;
  }
  if (sCmd == "timer") {
    if (!need(1, 1, "timer")) return false;
    std::fprintf(m_pOut, "> timer\n");
    m_rLib.TimerEvent();
    return true;
  }
  if (sCmd == "policy") {
    if (!need(3, 3, "policy FROM TO")) return false;
    std::fprintf(m_pOut, "> policy %s %s\n", quoted(v[1]).c_str(), quoted(v[2]).c_str());
    SrvMsg* pMsgs = nullptr;
    std::int32_t nCount = 0;
    printResult(m_rLib.SessionPolicycheckFunc(v[1].c_str(), v[2].c_str(), &pMsgs, &nCount));
    deliver(pMsgs, nCount);
    return true;
  }
  if (sCmd == "start") {
    if (!need(2, 3, "start SESSION [ORG]")) return false;
    std::fprintf(m_pOut, "> start %s\n", v[1].c_str());
    printResult(v.size() == 3 ? m_rLib.SessionStartedByOrgName(v[1].c_str(), v[2].c_str())
                              : m_rLib.SessionStarted(v[1].c_str()));
    return true;
  }
  if (sCmd == "end") {
    if (!need(2, 2, "end SESSION")) return false;
    std::fprintf(m_pOut, "> end %s\n", v[1].c_str());
    printResult(m_rLib.SessionEnded(v[1].c_str()));
    return true;
  }
  if (sCmd == "join" || sCmd == "leave") {
    const bool bJoin = sCmd == "join";
    const char* pUsage = bJoin ? "join SESSION ENTITY [TYPE] [scope SCOPE SCOPE-TYPE]" : "leave SESSION ENTITY [TYPE]";
    if (!need(3, bJoin ? 7 : 4, pUsage)) return false;
    std::int32_t nType = ST_DDA_ENTITY_USER;
    std::size_t i = 3;
    if (v.size() > i && v[i] != "scope") {
      if (!parseEntityType(v[i], nType)) {
        m_sError = sCmd + ": bad entity type '" + v[i] + "'";
        return false;
      }
      ++i;
    }
    const ChatEntity entity = makeEntity(v[2], nType);
    ChatEntity scope{};
    bool bScope = false;
    if (bJoin && v.size() > i) {
      std::int32_t nScopeType = 0;
      if (v[i] != "scope" || v.size() != i + 3 || !parseEntityType(v[i + 2], nScopeType)) {
        m_sError = std::string("usage: ") + pUsage;
        return false;
      }
      scope = makeEntity(v[i + 1], nScopeType);
      bScope = true;
    } else if (v.size() > i) {
      m_sError = std::string("usage: ") + pUsage;
      return false;
    }
    std::fprintf(m_pOut, "> %s %s %s%s%s\n", sCmd.c_str(), v[1].c_str(), quoted(v[2]).c_str(),
                 bScope ? " scope " : "", bScope ? quoted(v[i + 1]).c_str() : "");
    if (bJoin) {
      SrvMsg* pMsgs = nullptr;
      std::int32_t nCount = 0;
      printResult(m_rLib.JoiningSessionWithSrvMsg(v[1].c_str(), &entity, bScope ? &scope : nullptr, &pMsgs, &nCount));
      deliver(pMsgs, nCount);
    } else {
      printResult(m_rLib.LeavingSession(v[1].c_str(), &entity));
    }
    return true;
  }
  if (sCmd == "msg") {
    if (!need(5, 5, "msg SESSION FROM TO|* TEXT")) return false;
    const ChatEntity sender = makeEntity(v[2], ST_DDA_ENTITY_USER);
    const ChatEntity receiver = makeEntity(v[3], ST_DDA_ENTITY_USER);
    const bool bToAll = v[3] == "*";
    std::fprintf(m_pOut, "> msg %s %s -> %s: %s\n", v[1].c_str(), quoted(v[2]).c_str(),
                 bToAll ? "all" : quoted(v[3]).c_str(), quoted(v[4]).c_str());
    SrvMsg* pMsgs = nullptr;
    std::int32_t nCount = 0;
    printResult(m_rLib.SessionMsgWithSrvMsg(v[1].c_str(), &sender, static_cast<std::int32_t>(v[4].size()),
                                            v[4].c_str(), bToAll ? nullptr : &receiver, &pMsgs, &nCount));
    deliver(pMsgs, nCount);
    return true;
  }
  if (sCmd == "image") {
    // An image file sent in the chat, as the server passes it: a 13-byte
    // header ("data" at 2, "image" at 8), then the file's bytes.
    if (!need(3, 3, "image SESSION FILE")) return false;
    std::ifstream file(v[2], std::ios::binary);
    if (!file) {
      m_sError = "image: cannot read '" + v[2] + "'";
      return false;
    }
    std::vector<unsigned char> vData = {'\x01', '\x00', 'd', 'a', 't', 'a', '\x00', '\x00', 'i', 'm', 'a', 'g', 'e'};
    vData.insert(vData.end(), std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    std::fprintf(m_pOut, "> image %s %s (%zu bytes)\n", v[1].c_str(), quoted(v[2]).c_str(), vData.size() - 13);
    printResult(m_rLib.SessionDataMsg(v[1].c_str(), nullptr, 0x6A37, 0, static_cast<std::uint32_t>(vData.size()),
                                      vData.data(), nullptr));
    return true;
  }
  if (sCmd == "data") {
    if (!need(5, 5, "data SESSION TYPE SUBTYPE hex:BYTES|file:PATH|text:TEXT")) return false;
    long long nType = 0, nSubType = 0;
    if (!parseNumber(v[2], nType) || !parseNumber(v[3], nSubType)) {
      m_sError = "data: TYPE and SUBTYPE are numbers";
      return false;
    }
    std::vector<unsigned char> vData;
    const std::string& sSource = v[4];
    if (sSource.rfind("hex:", 0) == 0) {
      if (!parseHex(sSource.substr(4), vData)) {
        m_sError = "data: bad hex bytes";
        return false;
      }
    } else if (sSource.rfind("file:", 0) == 0) {
      std::ifstream file(sSource.substr(5), std::ios::binary);
      if (!file) {
        m_sError = "data: cannot read '" + sSource.substr(5) + "'";
        return false;
      }
      vData.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    } else if (sSource.rfind("text:", 0) == 0) {
      vData.assign(sSource.begin() + 5, sSource.end());
    } else {
      m_sError = "data: the bytes come from hex:, file: or text:";
      return false;
    }
    std::fprintf(m_pOut, "> data %s type=%lld subtype=%lld %zu bytes\n", v[1].c_str(), nType, nSubType,
                 vData.size());
    printResult(m_rLib.SessionDataMsg(v[1].c_str(), nullptr, static_cast<std::uint32_t>(nType),
                                      static_cast<std::uint32_t>(nSubType), static_cast<std::uint32_t>(vData.size()),
                                      vData.data(), nullptr));
    return true;
  }
  m_sError = "unknown command '" + sCmd + "'";
  return false;
}

}  // namespace sametime
