#include "LoadGenerator.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace sametime {
namespace {

// Resident set size of this process in bytes (0 when unknown).
long residentBytes() {
  std::ifstream status("/proc/self/status");
  std::string sKey;
  long nKb = 0;
  while (status >> sKey) {
    if (sKey == "VmRSS:") {
      status >> nKb;
      return nKb * 1024;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

ChatEntity user(const std::string& sId) {
  ChatEntity e{};
  std::snprintf(e.id, sizeof e.id, "%s", sId.c_str());
  e.type = ST_DDA_ENTITY_USER;
  return e;
}

}  // namespace

LoadReport runLoad(ChatLoggingLibrary& lib, const LoadOptions& o, std::FILE* pProgress) {
  LoadReport r;
  std::int32_t nVersion = ST_DDA_CL_SPI_VERSION, nIndicator = 0;
  std::uint32_t nInitFlags = 0;
  char aDir[ST_DDA_DIR_TYPE_SIZE], aLib[ST_DDA_LIB_VERSION_SIZE], aMessage[ST_DDA_STATUS_MSG_SIZE] = {};
  if (lib.Init(&nVersion, 0, &nInitFlags, aDir, aLib, &nIndicator, aMessage) != ST_DDA_API_OK) {
    std::fprintf(pProgress, "sthost: initialisation failed: %s\n", aMessage);
    r.nFailedCalls = 1;
    return r;
  }

  std::vector<std::string> vIds(static_cast<std::size_t>(o.nChats));
  std::vector<ChatEntity> vUsers;
  vUsers.reserve(static_cast<std::size_t>(o.nChats) * 2);
  const long nRssBefore = residentBytes();
  for (long i = 0; i < o.nChats; ++i) {
    vIds[static_cast<std::size_t>(i)] = "load-" + std::to_string(i);
    vUsers.push_back(user("CN=Load User " + std::to_string(2 * i) + "/O=Acme"));
    vUsers.push_back(user("CN=Load User " + std::to_string(2 * i + 1) + "/O=Acme"));
  }
  const long nRssIds = residentBytes();
  for (long i = 0; i < o.nChats; ++i) {
    const char* pId = vIds[static_cast<std::size_t>(i)].c_str();
    if (lib.SessionStarted(pId) != ST_DDA_API_OK) ++r.nFailedCalls;
    for (int k = 0; k < 2; ++k)
      if (lib.JoiningSession(pId, &vUsers[static_cast<std::size_t>(2 * i + k)], nullptr) != ST_DDA_API_OK)
        ++r.nFailedCalls;
    if (pProgress && o.nChats >= 10000 && (i + 1) % (o.nChats / 10) == 0)
      std::fprintf(pProgress, "  %ld of %ld chats open\n", i + 1, o.nChats);
  }
  const long nRssOpen = residentBytes();
  (void)nRssBefore;
  r.nOpenBytesPerChat = o.nChats > 0 ? (nRssOpen - nRssIds) / o.nChats : 0;

  std::string sText(o.nSize, 'x');
  for (std::size_t i = 0; i < sText.size(); i += 7) sText[i] = ' ';
  const auto tStart = std::chrono::steady_clock::now();
  for (long m = 0; m < o.nMessages; ++m) {
    for (long i = 0; i < o.nChats; ++i) {
      const std::size_t n = static_cast<std::size_t>(i);
      if (lib.SessionMsg(vIds[n].c_str(), &vUsers[2 * n + (m & 1)], static_cast<std::int32_t>(sText.size()),
                         sText.c_str(), &vUsers[2 * n + 1 - (m & 1)]) != ST_DDA_API_OK)
        ++r.nFailedCalls;
      ++r.nMessages;
    }
    if (pProgress && o.nMessages >= 10 && (m + 1) % (o.nMessages / 10) == 0)
      std::fprintf(pProgress, "  %ld of %ld rounds of messages sent\n", m + 1, o.nMessages);
  }
  r.dMessageSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();

  for (long i = 0; i < o.nChats; ++i)
    if (lib.SessionEnded(vIds[static_cast<std::size_t>(i)].c_str()) != ST_DDA_API_OK) ++r.nFailedCalls;
  lib.Terminate();
  return r;
}

}  // namespace sametime
