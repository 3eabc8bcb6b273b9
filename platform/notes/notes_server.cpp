// The stand-in server's shared facilities: message queues, statistics,
// status and log lines, the task start-up, agents and the console.
#include <fcntl.h>
#include <mqueue.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>

#include "notes/notes_runtime.h"

namespace notes {

namespace {

std::atomic<bool> g_bTerminate{false};

void onTerminate(int) { g_bTerminate = true; }

std::string upperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// Queue names are case-insensitive, like task names on the console.
std::string queueKey(const std::string& sName) {
  std::string s = upperAscii(sName);
  for (char& c : s)
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '$' || c == '_' || c == '-' || c == '.')) c = '_';
  return s;
}

std::uint64_t fnv1a(const std::string& s) {
  std::uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

std::mutex g_agentMutex;
std::map<std::string, AgentImplementation>& agentRegistry() {
  static std::map<std::string, AgentImplementation> m;
  return m;
}

std::string timeStampText() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char aBuf[32];
  std::strftime(aBuf, sizeof aBuf, "%m/%d/%Y %H:%M:%S", &tm);
  return aBuf;
}

}  // namespace

INotesApi& notesApi() {
  static NotesRuntime* pRuntime = new NotesRuntime();  // never destroyed: plug-ins may call it at exit
  return *pRuntime;
}

static NotesRuntime& runtime() { return static_cast<NotesRuntime&>(notesApi()); }

void setReadEntriesLimit(DWORD nBytes) { runtime().setReadEntriesLimit(nBytes); }
void setLockTimeout(int nMs) { runtime().setLockTimeout(nMs); }
std::string dataDirectory() { return runtime().dataDir(); }
std::string notesIniPath() { return runtime().iniPath(); }
std::vector<std::string> listStatistics(const std::string& sPattern) { return runtime().listStatistics(sPattern); }

std::string posixQueueName(const std::string& sName) {
  char aHash[17];
  std::snprintf(aHash, sizeof aHash, "%016llx", static_cast<unsigned long long>(fnv1a(dataDirectory())));
  return "/prlmq." + queueKey(sName) + "." + aHash;
}

// --- message queues ---
// A queue is a POSIX message queue; its creator holds an advisory lock on
// DATA/.mq/NAME.lock for as long as it lives, so a second creator is told
// 0x0461 and a queue left by a crashed creator is replaced. A pending quit
// is the file DATA/.mq/NAME.quit.

STATUS NotesRuntime::MQCreate(const char* pName, WORD, DWORD) {
  if (!pName || !*pName) return ERR_BAD_ARGUMENT;
  std::lock_guard lock(m_mutex);
  if (m_nInitCount == 0) return ERR_NOT_INITIALIZED;
  std::string sKey = queueKey(pName), sDir = m_sDataDir + "/.mq";
  if (m_mCreatedQueues.count(sKey)) return ERR_DUPLICATE_MQ;
  ::mkdir(sDir.c_str(), 0755);
  int nLock = ::open((sDir + "/" + sKey + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (nLock < 0) return ERR_MQ_SYSTEM;
  if (::flock(nLock, LOCK_EX | LOCK_NB) != 0) {
    ::close(nLock);
    return ERR_DUPLICATE_MQ;
  }
  std::string sPosix = posixQueueName(pName);
  ::mq_unlink(sPosix.c_str());
  ::unlink((sDir + "/" + sKey + ".quit").c_str());
  mq_attr attr{};
  attr.mq_maxmsg = 10;
  attr.mq_msgsize = MQ_MAX_MSGSIZE;
  mqd_t q = ::mq_open(sPosix.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0660, &attr);
  if (q == static_cast<mqd_t>(-1)) {
    ::close(nLock);
    return ERR_MQ_SYSTEM;
  }
  ::mq_close(q);
  m_mCreatedQueues[sKey] = nLock;
  return NOERROR;
}

STATUS NotesRuntime::MQOpen(const char* pName, DWORD, MQHANDLE* phQueue) {
  if (!pName || !phQueue) return ERR_BAD_ARGUMENT;
  std::lock_guard lock(m_mutex);
  if (m_nInitCount == 0) return ERR_NOT_INITIALIZED;
  mqd_t q = ::mq_open(posixQueueName(pName).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (q == static_cast<mqd_t>(-1)) return errno == ENOENT ? ERR_NOSUCH_MQ : ERR_MQ_SYSTEM;
  std::string sKey = queueKey(pName);
  bool bOwner = m_mCreatedQueues.count(sKey) > 0;
  for (auto& [h, st] : m_mQueues)
    if (st.sName == sKey && st.bOwner) bOwner = false;  // one owning handle per queue
  MQHANDLE h = m_nNextHandle++;
  m_mQueues[h] = QueueState{static_cast<int>(q), sKey, bOwner};
  *phQueue = h;
  return NOERROR;
}

STATUS NotesRuntime::MQClose(MQHANDLE hQueue, DWORD) {
  std::lock_guard lock(m_mutex);
  auto it = m_mQueues.find(hQueue);
  if (it == m_mQueues.end()) return ERR_INVALID_HANDLE;
  ::mq_close(static_cast<mqd_t>(it->second.nMq));
  if (it->second.bOwner) {
    std::string sKey = it->second.sName;
    ::mq_unlink(posixQueueName(sKey).c_str());
    ::unlink((m_sDataDir + "/.mq/" + sKey + ".quit").c_str());
    auto itLock = m_mCreatedQueues.find(sKey);
    if (itLock != m_mCreatedQueues.end()) {
      ::close(itLock->second);
      m_mCreatedQueues.erase(itLock);
    }
  }
  m_mQueues.erase(it);
  return NOERROR;
}

bool NotesRuntime::MQIsQuitPending(MQHANDLE hQueue) {
  std::lock_guard lock(m_mutex);
  auto it = m_mQueues.find(hQueue);
  if (it == m_mQueues.end()) return false;
  return ::access((m_sDataDir + "/.mq/" + it->second.sName + ".quit").c_str(), F_OK) == 0;
}

STATUS NotesRuntime::MQPutQuitMsg(MQHANDLE hQueue) {
  std::lock_guard lock(m_mutex);
  auto it = m_mQueues.find(hQueue);
  if (it == m_mQueues.end()) return ERR_INVALID_HANDLE;
  int nFd = ::open((m_sDataDir + "/.mq/" + it->second.sName + ".quit").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (nFd < 0) return ERR_MQ_SYSTEM;
  ::close(nFd);
  return NOERROR;
}

STATUS NotesRuntime::MQPut(MQHANDLE hQueue, WORD nPriority, const char* pBuffer, WORD nLen, DWORD) {
  std::lock_guard lock(m_mutex);
  auto it = m_mQueues.find(hQueue);
  if (it == m_mQueues.end()) return ERR_INVALID_HANDLE;
  if (nLen > MQ_MAX_MSGSIZE) return ERR_MQ_TOO_BIG;
  if (::mq_send(static_cast<mqd_t>(it->second.nMq), pBuffer ? pBuffer : "", nLen, nPriority % 32) != 0)
    return errno == EAGAIN ? ERR_MQ_FULL : ERR_MQ_SYSTEM;
  return NOERROR;
}

STATUS NotesRuntime::MQGet(MQHANDLE hQueue, char* pBuffer, WORD nBufLen, DWORD, DWORD, WORD* pRetLen) {
  int nMq;
  {
    std::lock_guard lock(m_mutex);
    auto it = m_mQueues.find(hQueue);
    if (it == m_mQueues.end()) return ERR_INVALID_HANDLE;
    nMq = it->second.nMq;
  }
  char aMsg[MQ_MAX_MSGSIZE];
  ssize_t n = ::mq_receive(static_cast<mqd_t>(nMq), aMsg, sizeof aMsg, nullptr);
  if (n < 0) return errno == EAGAIN ? ERR_MQ_EMPTY : ERR_MQ_SYSTEM;
  std::size_t nCopy = std::min<std::size_t>(static_cast<std::size_t>(n), nBufLen);
  if (pBuffer) std::memcpy(pBuffer, aMsg, nCopy);
  if (pRetLen) *pRetLen = static_cast<WORD>(nCopy);
  return NOERROR;
}

// --- server database: statistics and status lines ---

sqlite3* NotesRuntime::serverDb() {
  if (m_pServerDb) return m_pServerDb;
  if (m_sDataDir.empty()) return nullptr;
  sqlite3* pDb = nullptr;
  if (sqlite3_open_v2((m_sDataDir + "/server.db").c_str(), &pDb,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(pDb);
    return nullptr;
  }
  sqlite3_busy_timeout(pDb, 5000);
  sqlite3_exec(pDb,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
               "CREATE TABLE IF NOT EXISTS stats(facility TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL COLLATE "
               "NOCASE, type INTEGER NOT NULL, value, PRIMARY KEY(facility, name));"
               "CREATE TABLE IF NOT EXISTS statuslines(pid INTEGER NOT NULL, handle INTEGER NOT NULL, task TEXT, "
               "text TEXT, PRIMARY KEY(pid, handle));"
               "CREATE TABLE IF NOT EXISTS requests(id INTEGER PRIMARY KEY, command TEXT NOT NULL, task TEXT);",
               nullptr, nullptr, nullptr);
  m_pServerDb = pDb;
  return pDb;
}

STATUS NotesRuntime::StatUpdate(const char* pFacility, const char* pStatName, WORD nFlags, WORD nValueType,
                                const void* pValue) {
  if (!pFacility || !pStatName || !pValue) return ERR_BAD_ARGUMENT;
  std::lock_guard lock(m_mutex);
  sqlite3* pDb = serverDb();
  if (!pDb) return ERR_STATS;
  bool bAdd = (nFlags & ST_UPDATE_ADD) && nValueType == VT_LONG;
  Stmt st(pDb, bAdd ? "INSERT INTO stats(facility,name,type,value) VALUES(?,?,?,?) ON CONFLICT(facility,name) DO "
                      "UPDATE SET value=CASE WHEN type=excluded.type THEN value+excluded.value ELSE excluded.value "
                      "END, type=excluded.type"
                    : "INSERT INTO stats(facility,name,type,value) VALUES(?,?,?,?) ON CONFLICT(facility,name) DO "
                      "UPDATE SET value=excluded.value, type=excluded.type");
  st.bind(1, std::string(pFacility));
  st.bind(2, std::string(pStatName));
  st.bind(3, nValueType);
  switch (nValueType) {
    case VT_LONG: {
      std::int32_t n;
      std::memcpy(&n, pValue, sizeof n);
      st.bind(4, n);
      break;
    }
    case VT_TEXT:
      st.bind(4, std::string(static_cast<const char*>(pValue)));
      break;
    case VT_TIMEDATE: {
      TIMEDATE td;
      std::memcpy(&td, pValue, sizeof td);
      st.bind(4, timeDateToTicks(td));
      break;
    }
    case VT_NUMBER: {
      double d;
      std::memcpy(&d, pValue, sizeof d);
      sqlite3_bind_double(st.get(), 4, d);
      break;
    }
    default:
      return ERR_BAD_ARGUMENT;
  }
  return st.step() == SQLITE_DONE ? NOERROR : ERR_STATS;
}

void NotesRuntime::StatDelete(const char* pFacility, const char* pStatName) {
  if (!pFacility || !pStatName) return;
  std::lock_guard lock(m_mutex);
  sqlite3* pDb = serverDb();
  if (!pDb) return;
  Stmt st(pDb, "DELETE FROM stats WHERE facility=? AND name=?");
  st.bind(1, std::string(pFacility));
  st.bind(2, std::string(pStatName));
  st.step();
}

std::vector<std::string> NotesRuntime::listStatistics(const std::string& sPattern) {
  std::lock_guard lock(m_mutex);
  std::vector<std::string> v;
  sqlite3* pDb = serverDb();
  if (!pDb) return v;
  Stmt st(pDb, "SELECT facility, name, type, value FROM stats ORDER BY facility, name");
  while (st.step() == SQLITE_ROW) {
    std::string sName = st.colText(0) + "." + st.colText(1);
    if (!wildcardMatch(sName, sPattern.empty() ? "*" : sPattern)) continue;
    std::string sValue;
    switch (st.colInt(2)) {
      case VT_LONG:
        sValue = std::to_string(st.colInt(3));
        break;
      case VT_TIMEDATE: {
        TIMEDATE td = ticksToTimeDate(st.colInt(3));
        char aBuf[80];
        WORD n = 0;
        ConvertTIMEDATEToText(&td, aBuf, sizeof aBuf, &n);
        sValue.assign(aBuf, n);
        break;
      }
      case VT_NUMBER: {
        char aBuf[64];
        std::snprintf(aBuf, sizeof aBuf, "%g", sqlite3_column_double(st.get(), 3));
        sValue = aBuf;
        break;
      }
      default:
        sValue = st.colText(3);
    }
    v.push_back(sName + " = " + sValue);
  }
  return v;
}

std::vector<std::pair<std::string, std::string>> NotesRuntime::takeServerRequests() {
  std::lock_guard lock(m_mutex);
  std::vector<std::pair<std::string, std::string>> v;
  sqlite3* pDb = serverDb();
  if (!pDb || sqlite3_exec(pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return v;
  {
    Stmt st(pDb, "SELECT command, task FROM requests ORDER BY id");
    while (st.step() == SQLITE_ROW) v.emplace_back(st.colText(0), st.colText(1));
  }
  sqlite3_exec(pDb, "DELETE FROM requests; COMMIT", nullptr, nullptr, nullptr);
  return v;
}

std::vector<std::pair<std::string, std::string>> takeServerRequests() { return runtime().takeServerRequests(); }

// --- status and log lines ---

void NotesRuntime::setStatusRow(DHANDLE h) {
  sqlite3* pDb = serverDb();
  auto it = m_mStatusLines.find(h);
  if (!pDb || it == m_mStatusLines.end()) return;
  Stmt st(pDb, "INSERT INTO statuslines(pid,handle,task,text) VALUES(?,?,?,?) ON CONFLICT(pid,handle) DO UPDATE SET "
               "task=excluded.task, text=excluded.text");
  st.bind(1, ::getpid());
  st.bind(2, h);
  st.bind(3, it->second.first);
  st.bind(4, it->second.second);
  st.step();
}

void NotesRuntime::setDefaultTaskName(const std::string& sName) {
  std::lock_guard lock(m_mutex);
  m_sDefaultTask = sName;
}

void NotesRuntime::AddInQueryDefaults(HMODULE* phModule, DHANDLE* phStatusLine) {
  std::lock_guard lock(m_mutex);
  static int s_nModule;
  if (phModule) *phModule = &s_nModule;
  if (!m_hDefaultStatus) m_hDefaultStatus = AddInCreateStatusLine(m_sDefaultTask.empty() ? "Task" : m_sDefaultTask.c_str());
  if (phStatusLine) *phStatusLine = m_hDefaultStatus;
}

DHANDLE NotesRuntime::AddInCreateStatusLine(const char* pTaskName) {
  std::lock_guard lock(m_mutex);
  DHANDLE h = m_nNextHandle++;
  m_mStatusLines[h] = {pTaskName ? pTaskName : "", ""};
  setStatusRow(h);
  return h;
}

void NotesRuntime::AddInDeleteStatusLine(DHANDLE hStatusLine) {
  std::lock_guard lock(m_mutex);
  if (!m_mStatusLines.erase(hStatusLine)) return;
  if (m_hDefaultStatus == hStatusLine) m_hDefaultStatus = 0;
  if (sqlite3* pDb = serverDb()) {
    Stmt st(pDb, "DELETE FROM statuslines WHERE pid=? AND handle=?");
    st.bind(1, ::getpid());
    st.bind(2, hStatusLine);
    st.step();
  }
}

void NotesRuntime::AddInSetDefaults(HMODULE, DHANDLE hStatusLine) {
  std::lock_guard lock(m_mutex);
  m_hDefaultStatus = hStatusLine;
}

void NotesRuntime::AddInSetStatusText(const char* pText) {
  std::lock_guard lock(m_mutex);
  auto it = m_mStatusLines.find(m_hDefaultStatus);
  if (it == m_mStatusLines.end()) return;
  it->second.second = pText ? pText : "";
  setStatusRow(m_hDefaultStatus);
}

// One line: time stamp, two blanks, the formatted text, then the status
// text (after ": " unless the text already ends with a blank).
void NotesRuntime::logLine(const char* pPattern, STATUS status, va_list args) {
  char aText[2048];
  std::vsnprintf(aText, sizeof aText, pPattern ? pPattern : "", args);
  std::string sText = aText;
  while (!sText.empty() && (sText.back() == '\n' || sText.back() == '\r')) sText.pop_back();
  if (status != NOERROR) {
    std::string sStatus = statusText(*this, status);
    if (sStatus.empty()) {
      char aCode[16];
      std::snprintf(aCode, sizeof aCode, "0x%04X", status);
      sStatus = std::string("status ") + aCode;
    }
    sText += (sText.empty() || sText.back() == ' ' ? "" : ": ") + sStatus;
  }
  std::string sLine = timeStampText() + "  " + sText + "\n";
  std::fwrite(sLine.data(), 1, sLine.size(), stdout);
  std::fflush(stdout);
  std::string sDir = dataDir();
  if (sDir.empty()) return;
  int nFd = ::open((sDir + "/console.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (nFd < 0) return;
  ssize_t nIgnored = ::write(nFd, sLine.data(), sLine.size());
  (void)nIgnored;
  ::close(nFd);
}

void NotesRuntime::AddInLogMessageTextV(const char* pPattern, STATUS status, va_list args) {
  logLine(pPattern, status, args);
}

void NotesRuntime::AddInLogErrorTextV(const char* pPattern, STATUS status, va_list args) {
  logLine(pPattern, status, args);
}

bool NotesRuntime::AddInShouldTerminate() {
  if (g_bTerminate) return true;
  std::lock_guard lock(m_mutex);
  for (auto& [h, q] : m_mQueues)
    if (q.bOwner && ::access((m_sDataDir + "/.mq/" + q.sName + ".quit").c_str(), F_OK) == 0) return true;
  return false;
}

bool NotesRuntime::AddInSecondsHaveElapsed(DWORD nSeconds) {
  using namespace std::chrono;
  std::int64_t nNow = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  std::lock_guard lock(m_mutex);
  auto it = m_mElapsed.find(nSeconds);
  if (it == m_mElapsed.end()) {
    m_mElapsed[nSeconds] = nNow;
    return false;
  }
  if (nNow - it->second < static_cast<std::int64_t>(nSeconds) * 1000) return false;
  it->second = nNow;
  return true;
}

int runServerTask(int argc, char** argv, const char* pTaskName, AddInMainProc pMain) {
  INotesApi& api = notesApi();
  runtime().setDefaultTaskName(pTaskName ? pTaskName : "");
  struct sigaction sa{};
  sa.sa_handler = onTerminate;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  STATUS s = api.NotesInitExtended(argc, argv);
  if (s != NOERROR) {
    std::printf("\r\n%s\r\n\r\n", statusText(api, s).c_str());
    std::fflush(stdout);
    return 1;
  }
  HMODULE hModule = nullptr;
  api.AddInQueryDefaults(&hModule, nullptr);
  s = pMain(hModule, argc, argv);
  api.NotesTerm();
  return s;
}

// --- agents ---

void registerAgentImplementation(const std::string& sName, AgentImplementation impl) {
  std::lock_guard lock(g_agentMutex);
  agentRegistry()[sName] = std::move(impl);
}

STATUS NotesRuntime::AgentOpen(DBHANDLE hDb, NOTEID agentNoteId, HAGENT* phAgent) {
  std::lock_guard lock(m_mutex);
  if (!db(hDb)) return ERR_INVALID_HANDLE;
  if (!phAgent) return ERR_BAD_ARGUMENT;
  AgentState a{hDb, agentNoteId, {}};
  STATUS s = readAgent(*this, hDb, agentNoteId, &a.design);
  if (s != NOERROR) return s;
  HAGENT h = m_nNextHandle++;
  m_mAgents[h] = a;
  *phAgent = h;
  return NOERROR;
}

STATUS NotesRuntime::AgentCreateRunContext(HAGENT hAgent, void*, DWORD, HAGENTCTX* phContext) {
  std::lock_guard lock(m_mutex);
  if (!m_mAgents.count(hAgent)) return ERR_INVALID_HANDLE;
  if (!phContext) return ERR_BAD_ARGUMENT;
  HAGENTCTX h = m_nNextHandle++;
  m_mAgentCtx[h] = hAgent;
  *phContext = h;
  return NOERROR;
}

STATUS NotesRuntime::AgentRun(HAGENT hAgent, HAGENTCTX hContext, DHANDLE, DWORD) {
  AgentRunInfo info{this, 0, 0, {}};
  std::string sImpl;
  {
    std::lock_guard lock(m_mutex);
    auto it = m_mAgents.find(hAgent);
    auto itCtx = m_mAgentCtx.find(hContext);
    if (it == m_mAgents.end() || itCtx == m_mAgentCtx.end() || itCtx->second != hAgent) return ERR_INVALID_HANDLE;
    info.hDb = it->second.hDb;
    info.agentNoteId = it->second.noteId;
    info.sAgentName = it->second.design.sTitle;
    sImpl = it->second.design.sImplementation;
  }
  AgentImplementation impl;
  {
    std::lock_guard lock(g_agentMutex);
    auto it = agentRegistry().find(sImpl);
    if (it != agentRegistry().end()) impl = it->second;
  }
  if (!impl && sImpl == kRecordRunImplementation) {
    impl = [](const AgentRunInfo& r) -> STATUS {
      std::string sPath;
      r.pApi->NSFDbPathGet(r.hDb, &sPath, nullptr);
      std::string sLine = timeStampText() + " " + r.sAgentName + " " + sPath + "\n";
      int nFd = ::open((dataDirectory() + "/agentruns.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
      if (nFd < 0) return ERR_AGENT_FAILED;
      bool bOk = ::write(nFd, sLine.data(), sLine.size()) == static_cast<ssize_t>(sLine.size());
      ::close(nFd);
      return bOk ? NOERROR : ERR_AGENT_FAILED;
    };
  }
  if (!impl) return ERR_AGENT_NO_IMPL;
  return impl(info);
}

void NotesRuntime::AgentDestroyRunContext(HAGENTCTX hContext) {
  std::lock_guard lock(m_mutex);
  m_mAgentCtx.erase(hContext);
}

void NotesRuntime::AgentClose(HAGENT hAgent) {
  std::lock_guard lock(m_mutex);
  m_mAgents.erase(hAgent);
}

// --- console ---

namespace {
std::vector<std::string> words(const std::string& s, std::size_t nMax) {
  std::vector<std::string> v;
  std::size_t i = 0;
  while (i < s.size() && v.size() + 1 < nMax) {
    while (i < s.size() && s[i] == ' ') ++i;
    if (i >= s.size()) break;
    std::size_t j = s.find(' ', i);
    v.push_back(s.substr(i, j == std::string::npos ? std::string::npos : j - i));
    i = j == std::string::npos ? s.size() : j;
  }
  while (i < s.size() && s[i] == ' ') ++i;
  if (i < s.size()) v.push_back(s.substr(i));
  return v;
}

// True while a supervising "dominosrv run" holds its lock on DATA/.server.lock.
bool supervisorRunning(const std::string& sDataDir) {
  int nFd = ::open((sDataDir + "/.server.lock").c_str(), O_RDWR | O_CLOEXEC);
  if (nFd < 0) return false;
  bool bHeld = ::flock(nFd, LOCK_SH | LOCK_NB) != 0;
  ::close(nFd);
  return bHeld;
}
}  // namespace

STATUS NotesRuntime::NSFRemoteConsole(const char*, const char* pCommand, std::string* pReply) {
  std::string sCommand = pCommand ? pCommand : "";
  std::string sReply;
  STATUS s = NOERROR;
  {
    std::lock_guard lock(m_mutex);
    if (m_nInitCount == 0) return ERR_NOT_INITIALIZED;
  }
  while (!sCommand.empty() && (sCommand[0] == '!' || sCommand[0] == ' ')) sCommand.erase(0, 1);
  std::vector<std::string> v = words(sCommand, 3);
  std::string sVerb = v.empty() ? "" : lowerAscii(v[0]);
  auto withQueue = [&](const std::string& sTask, const std::function<STATUS(MQHANDLE)>& fn) {
    MQHANDLE h = 0;
    STATUS st = MQOpen(("MQ$" + sTask).c_str(), 0, &h);
    if (st == ERR_NOSUCH_MQ) {
      sReply = "Task " + sTask + " is not running";
      return st;
    }
    if (st != NOERROR) return st;
    st = fn(h);
    MQClose(h, 0);
    return st;
  };
  if (sVerb == "tell" && v.size() >= 3) {
    std::string sTask = v[1], sText = v[2];
    s = withQueue(sTask, [&](MQHANDLE h) {
      if (equalsNoCase(sText, "quit") || equalsNoCase(sText, "exit")) return MQPutQuitMsg(h);
      return MQPut(h, 1, sText.data(), static_cast<WORD>(std::min<std::size_t>(sText.size(), 0xFFFF)), 0);
    });
    if (s == NOERROR) sReply = "Sent '" + sText + "' to task " + sTask;
  } else if (sVerb == "restart" && v.size() >= 3 && equalsNoCase(v[1], "task")) {
    std::string sTask = v[2];
    STATUS sq = withQueue(sTask, [&](MQHANDLE h) { return MQPutQuitMsg(h); });
    std::lock_guard lock(m_mutex);
    if (supervisorRunning(m_sDataDir)) {
      if (sqlite3* pDb = serverDb()) {
        Stmt st(pDb, "INSERT INTO requests(command, task) VALUES('restart', ?)");
        st.bind(1, sTask);
        st.step();
      }
      sReply = "Restarting task " + sTask;
    } else {
      sReply = sq == NOERROR ? "Asked task " + sTask + " to quit; no server is running to start it again"
                             : "Task " + sTask + " is not running and no server is running to start it";
      s = sq == NOERROR ? NOERROR : ERR_CONSOLE;
    }
  } else if (sVerb == "load" && v.size() >= 2) {
    std::lock_guard lock(m_mutex);
    if (!supervisorRunning(m_sDataDir)) {
      sReply = "No server is running to load task " + v[1];
      s = ERR_CONSOLE;
    } else if (sqlite3* pDb = serverDb()) {
      Stmt st(pDb, "INSERT INTO requests(command, task) VALUES('load', ?)");
      st.bind(1, v[1]);
      st.step();
      sReply = "Loading task " + v[1];
    }
  } else if (sVerb == "show" && v.size() >= 2 && (lowerAscii(v[1]) == "stat" || lowerAscii(v[1]) == "statistics")) {
    for (const std::string& sLine : listStatistics(v.size() >= 3 ? v[2] : "*")) sReply += sLine + "\n";
  } else if (sVerb == "show" && v.size() >= 2 && lowerAscii(v[1]) == "tasks") {
    std::lock_guard lock(m_mutex);
    if (sqlite3* pDb = serverDb()) {
      Stmt st(pDb, "SELECT pid, task, text FROM statuslines ORDER BY pid, handle");
      while (st.step() == SQLITE_ROW) {
        if (::kill(static_cast<pid_t>(st.colInt(0)), 0) != 0 && errno == ESRCH) continue;  // died without cleanup
        char aLine[512];
        std::snprintf(aLine, sizeof aLine, "%-20s %s\n", st.colText(1).c_str(), st.colText(2).c_str());
        sReply += aLine;
      }
    }
  } else {
    sReply = "Unknown command: " + sCommand;
    s = ERR_CONSOLE;
  }
  if (pReply) *pReply = sReply;
  return s;
}

}  // namespace notes
