// Runtime start-up, notes.ini, databases, notes, views and agents.
#include <fcntl.h>
#include <mqueue.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "notes/notes_runtime.h"

namespace notes {

namespace {

constexpr const char* kFormat = "parlantis-nsf/1";

std::string trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool fileExists(const std::string& sPath) {
  struct stat st{};
  return ::stat(sPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string folderOf(const std::string& sPath) {
  std::size_t n = sPath.rfind('/');
  return n == std::string::npos ? "." : (n == 0 ? "/" : sPath.substr(0, n));
}

std::string absolute(const std::string& sPath) {
  if (!sPath.empty() && sPath[0] == '/') return sPath;
  char aCwd[PATH_MAX];
  if (!::getcwd(aCwd, sizeof aCwd)) return sPath;
  return std::string(aCwd) + "/" + sPath;
}

Ticks dbTicks(sqlite3* pDb, const char* pKey) {
  Stmt st(pDb, "SELECT value FROM dbinfo WHERE key=?");
  st.bind(1, std::string(pKey));
  return st.step() == SQLITE_ROW ? st.colInt(0) : 0;
}

void setInfo(sqlite3* pDb, const char* pKey, std::int64_t nValue) {
  Stmt st(pDb, "INSERT INTO dbinfo(key,value) VALUES(?,?) ON CONFLICT(key) DO UPDATE SET value=excluded.value");
  st.bind(1, std::string(pKey));
  st.bind(2, nValue);
  st.step();
}

void setInfoBlob(sqlite3* pDb, const char* pKey, const std::string& sValue) {
  Stmt st(pDb, "INSERT INTO dbinfo(key,value) VALUES(?,?) ON CONFLICT(key) DO UPDATE SET value=excluded.value");
  st.bind(1, std::string(pKey));
  st.bindBlob(2, sValue);
  st.step();
}

std::string infoBlob(sqlite3* pDb, const char* pKey) {
  Stmt st(pDb, "SELECT value FROM dbinfo WHERE key=?");
  st.bind(1, std::string(pKey));
  return st.step() == SQLITE_ROW ? st.colText(0) : std::string();
}

// A stamp later than every stamp the database gave out, so two changes in
// the same hundredth still read as different times.
Ticks nextStamp(sqlite3* pDb) {
  return std::max(nowTicks(), std::max(dbTicks(pDb, "data_modified"), dbTicks(pDb, "design_modified")) + 1);
}

int exec(sqlite3* pDb, const char* pSql) { return sqlite3_exec(pDb, pSql, nullptr, nullptr, nullptr); }

// A write transaction that rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* pDb) : m_pDb(pDb), m_nRc(exec(pDb, "BEGIN IMMEDIATE")) {}
  ~Transaction() {
    if (m_nRc == SQLITE_OK && !m_bDone) exec(m_pDb, "ROLLBACK");
  }
  int begun() const { return m_nRc; }
  int commit() {
    m_bDone = true;
    return exec(m_pDb, "COMMIT");
  }

 private:
  sqlite3* m_pDb;
  int m_nRc;
  bool m_bDone = false;
};

struct ViewDef {
  std::vector<std::string> vForms, vSort, vSummary;
};

ViewDef viewDefOf(const std::vector<Item>& vItems) {
  ViewDef d;
  if (const Item* p = findItem(vItems, "$FormSelection")) d.vForms = itemTexts(*p);
  if (const Item* p = findItem(vItems, "$Sort")) d.vSort = itemTexts(*p);
  if (const Item* p = findItem(vItems, "$Summary")) d.vSummary = itemTexts(*p);
  return d;
}

bool viewSelectsForm(const ViewDef& d, const std::string& sForm) {
  if (d.vForms.empty()) return true;
  for (const std::string& f : d.vForms)
    if (equalsNoCase(f, sForm)) return true;
  return false;
}

std::string formOf(const std::vector<Item>& vItems) {
  const Item* p = findItem(vItems, "Form");
  return p && p->nType == TYPE_TEXT ? p->sValue : std::string();
}

std::string titleOf(const std::vector<Item>& vItems) {
  const Item* p = findItem(vItems, "$TITLE");
  return p && p->nType == TYPE_TEXT ? p->sValue : std::string();
}

const char* kSchema =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE dbinfo(key TEXT PRIMARY KEY, value);"
    "CREATE TABLE notes(id INTEGER PRIMARY KEY, class INTEGER NOT NULL, form TEXT COLLATE NOCASE,"
    " title TEXT COLLATE NOCASE, modified INTEGER NOT NULL, signed INTEGER NOT NULL DEFAULT 0, items BLOB NOT NULL);"
    "CREATE INDEX notes_class_form ON notes(class, form);"
    "CREATE TABLE viewtime(id INTEGER PRIMARY KEY, modified INTEGER NOT NULL);";

}  // namespace

NotesRuntime::NotesRuntime() = default;
NotesRuntime::~NotesRuntime() = default;

// --- runtime and notes.ini ---

STATUS NotesRuntime::resolveIni(int argc, char** argv) {
  std::string sIni;
  for (int i = 1; i < argc; ++i)
    if (argv[i] && argv[i][0] == '=') sIni = argv[i] + 1;  // "=path/notes.ini", as the server passes it
  if (sIni.empty()) {
    const char* pEnv = std::getenv("NOTES_INI");
    sIni = pEnv && *pEnv ? pEnv : "notes.ini";
  }
  sIni = absolute(sIni);
  if (!fileExists(sIni)) return ERR_NO_NOTES_INI;
  m_sIniPath = sIni;
  bool bFound = false;
  std::string sDir = readIni("Directory", &bFound);
  if (sDir.empty()) sDir = folderOf(sIni);
  if (sDir[0] != '/') sDir = folderOf(sIni) + "/" + sDir;
  char aReal[PATH_MAX];
  m_sDataDir = ::realpath(sDir.c_str(), aReal) ? aReal : sDir;
  return NOERROR;
}

STATUS NotesRuntime::NotesInitExtended(int argc, char** argv) {
  std::lock_guard lock(m_mutex);
  if (m_nInitCount > 0) {
    ++m_nInitCount;
    return NOERROR;
  }
  STATUS s = resolveIni(argc, argv);
  if (s != NOERROR) return s;
  ++m_nInitCount;
  return NOERROR;
}

void NotesRuntime::NotesTerm() {
  std::lock_guard lock(m_mutex);
  if (m_nInitCount == 0 || --m_nInitCount > 0) return;
  std::vector<MQHANDLE> vQueues;
  for (auto& [h, q] : m_mQueues) vQueues.push_back(h);
  for (MQHANDLE h : vQueues) MQClose(h, 0);
  for (auto& [sKey, nLock] : m_mCreatedQueues) {  // created but never opened
    ::mq_unlink(posixQueueName(sKey).c_str());
    ::close(nLock);
  }
  m_mCreatedQueues.clear();
  m_mColl.clear();
  m_mNotes.clear();
  m_mAgents.clear();
  m_mAgentCtx.clear();
  for (auto& [h, d] : m_mDb) sqlite3_close_v2(d.pDb);
  m_mDb.clear();
  m_mMem.clear();
  for (auto& [h, line] : m_mStatusLines) {
    (void)line;
    if (m_pServerDb) {
      Stmt st(m_pServerDb, "DELETE FROM statuslines WHERE handle=? AND pid=?");
      st.bind(1, h);
      st.bind(2, ::getpid());
      st.step();
    }
  }
  m_mStatusLines.clear();
  m_hDefaultStatus = 0;
  if (m_pServerDb) sqlite3_close_v2(m_pServerDb);
  m_pServerDb = nullptr;
  m_pDirectory.reset();
  m_mElapsed.clear();
}

std::string NotesRuntime::dataDir() {
  std::lock_guard lock(m_mutex);
  return m_sDataDir;
}

std::string NotesRuntime::iniPath() {
  std::lock_guard lock(m_mutex);
  return m_sIniPath;
}

// notes.ini is read afresh on every call: the installer, the server task and
// the console change it from different processes.
std::string NotesRuntime::readIni(const std::string& sName, bool* pFound) {
  *pFound = false;
  std::string sPath = m_sIniPath;
  if (sPath.empty()) {
    const char* pEnv = std::getenv("NOTES_INI");
    sPath = absolute(pEnv && *pEnv ? pEnv : "notes.ini");
  }
  std::ifstream in(sPath, std::ios::binary);
  std::string sLine;
  while (std::getline(in, sLine)) {
    std::size_t n = sLine.find('=');
    if (n == std::string::npos || sLine[0] == '[' || sLine[0] == ';') continue;
    if (equalsNoCase(trim(sLine.substr(0, n)), sName)) {
      *pFound = true;
      std::string sValue = sLine.substr(n + 1);
      while (!sValue.empty() && (sValue.back() == '\r' || sValue.back() == '\n')) sValue.pop_back();
      return sValue;
    }
  }
  return {};
}

// Rewrites the whole file under an advisory lock: temporary file, fsync,
// rename. Lines are kept as they were (CR LF endings), the variable replaced
// in place or appended.
void NotesRuntime::writeIni(const std::string& sName, const std::string& sValue) {
  std::string sPath = m_sIniPath;
  if (sPath.empty()) {
    const char* pEnv = std::getenv("NOTES_INI");
    sPath = absolute(pEnv && *pEnv ? pEnv : "notes.ini");
  }
  int nLock = ::open((sPath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (nLock >= 0) ::flock(nLock, LOCK_EX);
  std::vector<std::string> vLines;
  {
    std::ifstream in(sPath, std::ios::binary);
    std::string sLine;
    while (std::getline(in, sLine)) {
      while (!sLine.empty() && sLine.back() == '\r') sLine.pop_back();
      vLines.push_back(sLine);
    }
  }
  if (vLines.empty()) vLines.push_back("[Notes]");
  bool bDone = false;
  for (std::string& sLine : vLines) {
    std::size_t n = sLine.find('=');
    if (n != std::string::npos && sLine[0] != '[' && equalsNoCase(trim(sLine.substr(0, n)), sName)) {
      sLine = sLine.substr(0, n) + "=" + sValue;
      bDone = true;
      break;
    }
  }
  if (!bDone) vLines.push_back(sName + "=" + sValue);
  std::string sText;
  for (const std::string& sLine : vLines) sText += sLine + "\r\n";
  std::string sTmp = sPath + ".tmp." + std::to_string(::getpid());
  int nFd = ::open(sTmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool bOk = nFd >= 0 && ::write(nFd, sText.data(), sText.size()) == static_cast<ssize_t>(sText.size()) &&
             ::fsync(nFd) == 0;
  if (nFd >= 0) ::close(nFd);
  if (bOk && ::rename(sTmp.c_str(), sPath.c_str()) == 0) {
    int nDir = ::open(folderOf(sPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (nDir >= 0) {
      ::fsync(nDir);
      ::close(nDir);
    }
  } else {
    ::unlink(sTmp.c_str());
  }
  if (nLock >= 0) ::close(nLock);
}

long NotesRuntime::OSGetEnvironmentLong(const char* pName) {
  std::lock_guard lock(m_mutex);
  bool bFound = false;
  std::string s = readIni(pName ? pName : "", &bFound);
  return std::strtol(s.c_str(), nullptr, 10);
}

bool NotesRuntime::OSGetEnvironmentString(const char* pName, char* pBuffer, WORD nBufLen) {
  std::lock_guard lock(m_mutex);
  bool bFound = false;
  std::string s = readIni(pName ? pName : "", &bFound);
  if (pBuffer && nBufLen) std::snprintf(pBuffer, nBufLen, "%s", bFound ? s.c_str() : "");
  return bFound;
}

void NotesRuntime::OSSetEnvironmentInt(const char* pName, int nValue) {
  std::lock_guard lock(m_mutex);
  writeIni(pName, std::to_string(nValue));
}

void NotesRuntime::OSSetEnvironmentVariable(const char* pName, const char* pValue) {
  std::lock_guard lock(m_mutex);
  writeIni(pName, pValue ? pValue : "");
}

// --- databases ---

DbState* NotesRuntime::db(DBHANDLE h) {
  auto it = m_mDb.find(h);
  return it == m_mDb.end() ? nullptr : &it->second;
}

std::string NotesRuntime::resolvePath(const std::string& sPath) {
  if (!sPath.empty() && sPath[0] == '/') return sPath;
  return m_sDataDir + "/" + sPath;
}

STATUS NotesRuntime::openDb(const std::string& sPath, DbState* pState) {
  std::string sFile = resolvePath(sPath);
  if (!fileExists(sFile)) return ERR_NOEXIST;
  sqlite3* pDb = nullptr;
  int nRc = sqlite3_open_v2(sFile.c_str(), &pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (nRc != SQLITE_OK) {
    sqlite3_close_v2(pDb);
    return sqliteStatus(nRc);
  }
  sqlite3_busy_timeout(pDb, m_nBusyMs);
  Stmt st(pDb, "SELECT value FROM dbinfo WHERE key='format'");
  nRc = st.prepareResult() != SQLITE_OK ? st.prepareResult() : st.step();
  STATUS s = NOERROR;
  if (nRc == SQLITE_ROW) {
    if (st.colText(0) != kFormat) s = ERR_NOT_NSF;
  } else {
    s = nRc == SQLITE_DONE ? ERR_NOT_NSF : sqliteStatus(nRc);
  }
  if (s != NOERROR) {
    sqlite3_close_v2(pDb);
    return s;
  }
  exec(pDb, "PRAGMA synchronous=NORMAL");
  pState->pDb = pDb;
  pState->sCanonical = sPath;
  pState->sExpanded = sFile;
  return NOERROR;
}

STATUS NotesRuntime::NSFDbOpen(const char* pPath, DBHANDLE* phDb) {
  if (!pPath || !phDb) return ERR_BAD_ARGUMENT;
  std::lock_guard lock(m_mutex);
  if (m_nInitCount == 0) return ERR_NOT_INITIALIZED;
  DbState d;
  STATUS s = openDb(pPath, &d);
  if (s != NOERROR) return s;
  DBHANDLE h = m_nNextHandle++;
  m_mDb.emplace(h, d);
  *phDb = h;
  return NOERROR;
}

STATUS NotesRuntime::NSFDbClose(DBHANDLE hDb) {
  std::lock_guard lock(m_mutex);
  DbState* p = db(hDb);
  if (!p) return ERR_INVALID_HANDLE;
  sqlite3_close_v2(p->pDb);
  m_mDb.erase(hDb);
  return NOERROR;
}

STATUS NotesRuntime::NSFDbCreate(const char* pPath, const char* pTitle) {
  if (!pPath) return ERR_BAD_ARGUMENT;
  std::lock_guard lock(m_mutex);
  if (m_nInitCount == 0) return ERR_NOT_INITIALIZED;
  std::string sFile = resolvePath(pPath);
  if (::access(sFile.c_str(), F_OK) == 0) return ERR_EXISTS;
  sqlite3* pDb = nullptr;
  int nRc = sqlite3_open_v2(sFile.c_str(), &pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr);
  if (nRc == SQLITE_OK) nRc = exec(pDb, kSchema);
  if (nRc == SQLITE_OK) {
    Ticks t = nowTicks();
    std::random_device rd;
    DBREPLICAINFO info{};
    info.ID = ticksToTimeDate(t);
    info.ID.Innards[0] ^= rd() & 0xFFFF;  // two databases created in one tick still differ
    info.ID.Innards[1] = (info.ID.Innards[1] & 0x00FFFFFF) | ((rd() & 0x7F) << 24);
    Stmt st(pDb, "INSERT INTO dbinfo(key,value) VALUES('format',?)");
    st.bind(1, std::string(kFormat));
    st.step();
    setInfoBlob(pDb, "title", pTitle ? pTitle : "");
    setInfoBlob(pDb, "replica", std::string(reinterpret_cast<const char*>(&info), sizeof info));
    setInfo(pDb, "data_modified", t);
    setInfo(pDb, "design_modified", t);
    setInfo(pDb, "next_id", 4);
  }
  sqlite3_close_v2(pDb);
  if (nRc != SQLITE_OK) {
    ::unlink(sFile.c_str());
    return sqliteStatus(nRc) == ERR_NOT_NSF ? ERR_DB_IO : sqliteStatus(nRc);
  }
  return NOERROR;
}

STATUS NotesRuntime::NSFDbCreateFromTemplate(const char* pTemplatePath, const char* pPath, bool bInherit) {
  std::lock_guard lock(m_mutex);
  DBHANDLE hTemplate = 0, hDb = 0;
  STATUS s = NSFDbOpen(pTemplatePath, &hTemplate);
  if (s != NOERROR) return s;
  std::string sTitle;
  NSFDbTitleGet(hTemplate, &sTitle);
  s = NSFDbCreate(pPath, sTitle.c_str());
  if (s == NOERROR) s = NSFDbOpen(pPath, &hDb);
  if (s == NOERROR) s = DesignReplace(hTemplate, hDb, 0, 0, nullptr, nullptr);
  if (s == NOERROR && bInherit) setInfoBlob(db(hDb)->pDb, "inherit_from", pTemplatePath);
  if (hDb) NSFDbClose(hDb);
  NSFDbClose(hTemplate);
  return s;
}

STATUS NotesRuntime::NSFDbTitleGet(DBHANDLE hDb, std::string* pTitle) {
  std::lock_guard lock(m_mutex);
  DbState* p = db(hDb);
  if (!p) return ERR_INVALID_HANDLE;
  if (pTitle) *pTitle = infoBlob(p->pDb, "title");
  return NOERROR;
}

STATUS NotesRuntime::NSFDbTitleSet(DBHANDLE hDb, const char* pTitle) {
  std::lock_guard lock(m_mutex);
  DbState* p = db(hDb);
  if (!p) return ERR_INVALID_HANDLE;
  Transaction tx(p->pDb);
  if (tx.begun() != SQLITE_OK) return sqliteStatus(tx.begun());
  setInfoBlob(p->pDb, "title", pTitle ? pTitle : "");
  setInfo(p->pDb, "design_modified", nextStamp(p->pDb));
  return sqliteStatus(tx.commit());
}

STATUS NotesRuntime::NSFDbPathGet(DBHANDLE hDb, std::string* pCanonical, std::string* pExpanded) {
  std::lock_guard lock(m_mutex);
  DbState* p = db(hDb);
  if (!p) return ERR_INVALID_HANDLE;
  if (pCanonical) *pCanonical = p->sCanonical;
  if (pExpanded) *pExpanded = p->sExpanded;
  return NOERROR;
}

STATUS NotesRuntime::NSFDbModifiedTime(DBHANDLE hDb, TIMEDATE* pDataModified, TIMEDATE* pNonDataModified) {
  std::lock_guard lock(m_mutex);
  DbState* p = db(hDb);
  if (!p) return ERR_INVALID_HANDLE;
  Stmt st(p->pDb, "SELECT key, value FROM dbinfo WHERE key IN ('data_modified','design_modified')");
  int nRc;
  while ((nRc = st.step()) == SQLITE_ROW) {
    TIMEDATE td = ticksToTimeDate(st.colInt(1));
    if (st.colText(0) == "data_modified") {
      if (pDataModified) *pDataModified = td;
    } else if (pNonDataModified) {
      *pNonDataModified = td;
    }
  }
  return sqliteStatus(nRc);
}

STATUS NotesRuntime::NSFDbReplicaInfoGet(DBHANDLE hDb, DBREPLICAINFO* pInfo) {
  std::lock_guard lock(m_mutex);
  DbState* p = db(hDb);
  if (!p) return ERR_INVALID_HANDLE;
  if (!pInfo) return ERR_BAD_ARGUMENT;
  std::string s = infoBlob(p->pDb, "replica");
  if (s.size() != sizeof(DBREPLICAINFO)) return ERR_NOT_NSF;
  std::memcpy(pInfo, s.data(), sizeof(DBREPLICAINFO));
  return NOERROR;
}

STATUS NotesRuntime::NSFDbReplicaInfoSet(DBHANDLE hDb, const DBREPLICAINFO* pInfo) {
  std::lock_guard lock(m_mutex);
  DbState* p = db(hDb);
  if (!p) return ERR_INVALID_HANDLE;
  if (!pInfo) return ERR_BAD_ARGUMENT;
  Transaction tx(p->pDb);
  if (tx.begun() != SQLITE_OK) return sqliteStatus(tx.begun());
  setInfoBlob(p->pDb, "replica", std::string(reinterpret_cast<const char*>(pInfo), sizeof(DBREPLICAINFO)));
  return sqliteStatus(tx.commit());
}

STATUS NotesRuntime::NSFDbSign(DBHANDLE hDb, WORD nNoteClassMask) {
  std::lock_guard lock(m_mutex);
  DbState* p = db(hDb);
  if (!p) return ERR_INVALID_HANDLE;
  Stmt st(p->pDb, "UPDATE notes SET signed=1 WHERE (class & ?) != 0");
  st.bind(1, nNoteClassMask);
  return sqliteStatus(st.step());
}

STATUS NotesRuntime::DesignReplace(DBHANDLE hTemplateDb, DBHANDLE hDb, DWORD, DWORD, void*, void*) {
  std::lock_guard lock(m_mutex);
  DbState* pTemplate = db(hTemplateDb);
  DbState* pDb = db(hDb);
  if (!pTemplate || !pDb) return ERR_INVALID_HANDLE;
  std::vector<std::pair<std::int64_t, std::string>> vDesign;  // class, items
  {
    Stmt st(pTemplate->pDb, "SELECT class, items FROM notes WHERE class != 1 ORDER BY id");
    int nRc;
    while ((nRc = st.step()) == SQLITE_ROW) vDesign.emplace_back(st.colInt(0), st.colText(1));
    if (nRc != SQLITE_DONE) return sqliteStatus(nRc);
  }
  Transaction tx(pDb->pDb);
  if (tx.begun() != SQLITE_OK) return sqliteStatus(tx.begun());
  Ticks t = nextStamp(pDb->pDb);
  // A design note that the database already has (same class and title)
  // keeps its note id, so a view that a running process holds open stays
  // valid across a design refresh; the others are replaced.
  std::map<std::pair<std::int64_t, std::string>, std::int64_t> mExisting;
  {
    Stmt st(pDb->pDb, "SELECT id, class, title FROM notes WHERE class != 1");
    while (st.step() == SQLITE_ROW) mExisting.emplace(std::make_pair(st.colInt(1), lowerAscii(st.colText(2))), st.colInt(0));
  }
  std::int64_t nNext = dbTicks(pDb->pDb, "next_id");
  for (auto& [nClass, sItems] : vDesign) {
    std::vector<Item> vItems;
    decodeItems(sItems.data(), sItems.size(), &vItems);
    std::string sTitle = titleOf(vItems);
    auto it = mExisting.find(std::make_pair(nClass, lowerAscii(sTitle)));
    std::int64_t nId = nNext;
    if (it != mExisting.end()) {
      nId = it->second;
      mExisting.erase(it);
    } else {
      nNext += 4;
    }
    Stmt st(pDb->pDb,
            "INSERT INTO notes(id,class,form,title,modified,items) VALUES(?,?,?,?,?,?) ON CONFLICT(id) DO UPDATE SET "
            "class=excluded.class, form=excluded.form, title=excluded.title, modified=excluded.modified, "
            "items=excluded.items, signed=0");
    st.bind(1, nId);
    st.bind(2, nClass);
    st.bind(3, formOf(vItems));
    st.bind(4, sTitle);
    st.bind(5, t);
    st.bindBlob(6, sItems);
    int nRc = st.step();
    if (nRc != SQLITE_DONE) return sqliteStatus(nRc);
    if (nClass == NOTE_CLASS_VIEW) {
      Stmt sv(pDb->pDb, "INSERT INTO viewtime(id, modified) VALUES(?,?) ON CONFLICT(id) DO UPDATE SET modified=excluded.modified");
      sv.bind(1, nId);
      sv.bind(2, t);
      sv.step();
    }
  }
  for (auto& [key, nId] : mExisting) {  // design notes the template no longer has
    (void)key;
    for (const char* pSql : {"DELETE FROM notes WHERE id=?", "DELETE FROM viewtime WHERE id=?"}) {
      Stmt sd(pDb->pDb, pSql);
      sd.bind(1, nId);
      sd.step();
    }
  }
  setInfo(pDb->pDb, "next_id", nNext);
  setInfo(pDb->pDb, "design_modified", t);
  return sqliteStatus(tx.commit());
}

STATUS NotesRuntime::NSFDbGetNoteIds(DBHANDLE hDb, WORD nNoteClassMask, std::vector<NOTEID>* pIds) {
  std::lock_guard lock(m_mutex);
  DbState* p = db(hDb);
  if (!p) return ERR_INVALID_HANDLE;
  if (!pIds) return ERR_BAD_ARGUMENT;
  pIds->clear();
  Stmt st(p->pDb, "SELECT id FROM notes WHERE (class & ?) != 0 ORDER BY id");
  st.bind(1, nNoteClassMask);
  int nRc;
  while ((nRc = st.step()) == SQLITE_ROW) pIds->push_back(static_cast<NOTEID>(st.colInt(0)));
  return sqliteStatus(nRc);
}

// --- notes ---

STATUS NotesRuntime::NSFNoteCreate(DBHANDLE hDb, NOTEHANDLE* phNote) {
  std::lock_guard lock(m_mutex);
  if (!db(hDb)) return ERR_INVALID_HANDLE;
  if (!phNote) return ERR_BAD_ARGUMENT;
  NOTEHANDLE h = m_nNextHandle++;
  m_mNotes[h] = NoteState{hDb, 0, NOTE_CLASS_DOCUMENT, {}, {}};
  *phNote = h;
  return NOERROR;
}

STATUS NotesRuntime::NSFNoteOpen(DBHANDLE hDb, NOTEID noteId, WORD, NOTEHANDLE* phNote) {
  std::lock_guard lock(m_mutex);
  DbState* p = db(hDb);
  if (!p) return ERR_INVALID_HANDLE;
  if (!phNote) return ERR_BAD_ARGUMENT;
  Stmt st(p->pDb, "SELECT class, items FROM notes WHERE id=?");
  st.bind(1, noteId);
  int nRc = st.step();
  if (nRc == SQLITE_DONE) return ERR_NOT_FOUND;
  if (nRc != SQLITE_ROW) return sqliteStatus(nRc);
  NoteState n{hDb, noteId, static_cast<WORD>(st.colInt(0)), {}, {}};
  std::string sItems = st.colText(1);
  if (!decodeItems(sItems.data(), sItems.size(), &n.vItems)) return ERR_NOT_NSF;
  n.sOldForm = formOf(n.vItems);
  NOTEHANDLE h = m_nNextHandle++;
  m_mNotes.emplace(h, std::move(n));
  *phNote = h;
  return NOERROR;
}

// Stores a note and moves the times: the database's data time for documents
// (its design time for design notes), and the time of every view that shows
// the note under its old or its new form.
STATUS NotesRuntime::writeNote(DbState& rDb, NoteState& rNote) {
  Transaction tx(rDb.pDb);
  if (tx.begun() != SQLITE_OK) return sqliteStatus(tx.begun());
  Ticks t = nextStamp(rDb.pDb);
  bool bNew = rNote.id == 0;
  if (bNew) {
    rNote.id = static_cast<NOTEID>(dbTicks(rDb.pDb, "next_id"));
    setInfo(rDb.pDb, "next_id", rNote.id + 4);
  }
  std::string sForm = formOf(rNote.vItems);
  Stmt st(rDb.pDb,
          "INSERT INTO notes(id,class,form,title,modified,items) VALUES(?,?,?,?,?,?) ON CONFLICT(id) DO UPDATE SET "
          "class=excluded.class, form=excluded.form, title=excluded.title, modified=excluded.modified, "
          "items=excluded.items");
  st.bind(1, rNote.id);
  st.bind(2, rNote.nClass);
  st.bind(3, sForm);
  st.bind(4, titleOf(rNote.vItems));
  st.bind(5, t);
  st.bindBlob(6, encodeItems(rNote.vItems));
  int nRc = st.step();
  if (nRc != SQLITE_DONE) return sqliteStatus(nRc);
  if (rNote.nClass == NOTE_CLASS_DOCUMENT) {
    Stmt sv(rDb.pDb, "SELECT id, items FROM notes WHERE class=8");
    std::vector<NOTEID> vTouched;
    while ((nRc = sv.step()) == SQLITE_ROW) {
      std::vector<Item> vItems;
      std::string s = sv.colText(1);
      decodeItems(s.data(), s.size(), &vItems);
      ViewDef d = viewDefOf(vItems);
      if (viewSelectsForm(d, sForm) || (!bNew && viewSelectsForm(d, rNote.sOldForm)))
        vTouched.push_back(static_cast<NOTEID>(sv.colInt(0)));
    }
    for (NOTEID v : vTouched) {
      Stmt su(rDb.pDb, "UPDATE viewtime SET modified=? WHERE id=?");
      su.bind(1, t);
      su.bind(2, v);
      su.step();
    }
    setInfo(rDb.pDb, "data_modified", t);
  } else {
    if (rNote.nClass == NOTE_CLASS_VIEW) {
      Stmt su(rDb.pDb, "INSERT INTO viewtime(id,modified) VALUES(?,?) ON CONFLICT(id) DO UPDATE SET modified=excluded.modified");
      su.bind(1, rNote.id);
      su.bind(2, t);
      su.step();
    }
    setInfo(rDb.pDb, "design_modified", t);
  }
  nRc = tx.commit();
  if (nRc != SQLITE_OK) {
    if (bNew) rNote.id = 0;
    return sqliteStatus(nRc);
  }
  rNote.sOldForm = sForm;
  return NOERROR;
}

STATUS NotesRuntime::NSFNoteUpdate(NOTEHANDLE hNote, WORD) {
  std::lock_guard lock(m_mutex);
  auto it = m_mNotes.find(hNote);
  if (it == m_mNotes.end()) return ERR_INVALID_HANDLE;
  DbState* p = db(it->second.hDb);
  if (!p) return ERR_INVALID_HANDLE;
  return writeNote(*p, it->second);
}

STATUS NotesRuntime::NSFNoteClose(NOTEHANDLE hNote) {
  std::lock_guard lock(m_mutex);
  return m_mNotes.erase(hNote) ? NOERROR : ERR_INVALID_HANDLE;
}

STATUS NotesRuntime::NSFNoteDelete(DBHANDLE hDb, NOTEID noteId, WORD) {
  std::lock_guard lock(m_mutex);
  DbState* p = db(hDb);
  if (!p) return ERR_INVALID_HANDLE;
  NOTEHANDLE hNote = 0;
  STATUS s = NSFNoteOpen(hDb, noteId, 0, &hNote);
  if (s != NOERROR) return s;
  NoteState n = m_mNotes[hNote];
  m_mNotes.erase(hNote);
  Transaction tx(p->pDb);
  if (tx.begun() != SQLITE_OK) return sqliteStatus(tx.begun());
  Ticks t = nextStamp(p->pDb);
  Stmt st(p->pDb, "DELETE FROM notes WHERE id=?");
  st.bind(1, noteId);
  int nRc = st.step();
  if (nRc != SQLITE_DONE) return sqliteStatus(nRc);
  if (n.nClass == NOTE_CLASS_DOCUMENT) {
    Stmt sv(p->pDb, "SELECT id, items FROM notes WHERE class=8");
    std::vector<NOTEID> vTouched;
    while (sv.step() == SQLITE_ROW) {
      std::vector<Item> vItems;
      std::string sItems = sv.colText(1);
      decodeItems(sItems.data(), sItems.size(), &vItems);
      if (viewSelectsForm(viewDefOf(vItems), n.sOldForm)) vTouched.push_back(static_cast<NOTEID>(sv.colInt(0)));
    }
    for (NOTEID v : vTouched) {
      Stmt su(p->pDb, "UPDATE viewtime SET modified=? WHERE id=?");
      su.bind(1, t);
      su.bind(2, v);
      su.step();
    }
    setInfo(p->pDb, "data_modified", t);
  } else {
    Stmt sd(p->pDb, "DELETE FROM viewtime WHERE id=?");
    sd.bind(1, noteId);
    sd.step();
    setInfo(p->pDb, "design_modified", t);
  }
  return sqliteStatus(tx.commit());
}

STATUS NotesRuntime::NSFNoteGetInfo(NOTEHANDLE hNote, NOTEID* pNoteId, WORD* pNoteClass) {
  std::lock_guard lock(m_mutex);
  auto it = m_mNotes.find(hNote);
  if (it == m_mNotes.end()) return ERR_INVALID_HANDLE;
  if (pNoteId) *pNoteId = it->second.id;
  if (pNoteClass) *pNoteClass = it->second.nClass;
  return NOERROR;
}

STATUS NotesRuntime::NSFNoteSetClass(NOTEHANDLE hNote, WORD nNoteClass) {
  std::lock_guard lock(m_mutex);
  auto it = m_mNotes.find(hNote);
  if (it == m_mNotes.end()) return ERR_INVALID_HANDLE;
  it->second.nClass = nNoteClass;
  return NOERROR;
}

STATUS NotesRuntime::NSFItemSetValue(NOTEHANDLE hNote, const char* pName, WORD nType, const void* pValue, DWORD nLen) {
  std::lock_guard lock(m_mutex);
  auto it = m_mNotes.find(hNote);
  if (it == m_mNotes.end()) return ERR_INVALID_HANDLE;
  if (!pName || !*pName || (!pValue && nLen) || nLen > 0xFFF0) return ERR_BAD_ARGUMENT;
  std::string sValue(static_cast<const char*>(pValue), nLen);
  for (Item& item : it->second.vItems) {
    if (equalsNoCase(item.sName, pName)) {
      item.nType = nType;
      item.sValue = std::move(sValue);
      return NOERROR;
    }
  }
  it->second.vItems.push_back(Item{pName, nType, std::move(sValue)});
  return NOERROR;
}

STATUS NotesRuntime::NSFItemGetValue(NOTEHANDLE hNote, const char* pName, WORD* pType, std::string* pValue) {
  std::lock_guard lock(m_mutex);
  auto it = m_mNotes.find(hNote);
  if (it == m_mNotes.end()) return ERR_INVALID_HANDLE;
  const Item* p = findItem(it->second.vItems, pName ? pName : "");
  if (!p) return ERR_ITEM_NOT_FOUND;
  if (pType) *pType = p->nType;
  if (pValue) *pValue = p->sValue;
  return NOERROR;
}

STATUS NotesRuntime::NSFItemDelete(NOTEHANDLE hNote, const char* pName) {
  std::lock_guard lock(m_mutex);
  auto it = m_mNotes.find(hNote);
  if (it == m_mNotes.end()) return ERR_INVALID_HANDLE;
  auto& v = it->second.vItems;
  auto n = std::erase_if(v, [&](const Item& item) { return equalsNoCase(item.sName, pName ? pName : ""); });
  return n ? NOERROR : ERR_ITEM_NOT_FOUND;
}

STATUS NotesRuntime::NSFItemNames(NOTEHANDLE hNote, std::vector<std::string>* pNames) {
  std::lock_guard lock(m_mutex);
  auto it = m_mNotes.find(hNote);
  if (it == m_mNotes.end()) return ERR_INVALID_HANDLE;
  if (pNames) {
    pNames->clear();
    for (const Item& item : it->second.vItems) pNames->push_back(item.sName);
  }
  return NOERROR;
}

// --- design and views ---

STATUS NotesRuntime::NIFFindDesignNoteExt(DBHANDLE hDb, const char* pName, WORD nNoteClass, const char*,
                                          NOTEID* pNoteId) {
  std::lock_guard lock(m_mutex);
  DbState* p = db(hDb);
  if (!p) return ERR_INVALID_HANDLE;
  if (!pName || !pNoteId) return ERR_BAD_ARGUMENT;
  Stmt st(p->pDb, "SELECT id, title FROM notes WHERE class=? ORDER BY id");
  st.bind(1, nNoteClass);
  int nRc;
  while ((nRc = st.step()) == SQLITE_ROW) {
    std::string sTitle = st.colText(1);
    std::size_t nStart = 0;
    while (nStart <= sTitle.size()) {  // the title and each "|" alias
      std::size_t nEnd = sTitle.find('|', nStart);
      if (nEnd == std::string::npos) nEnd = sTitle.size();
      if (equalsNoCase(trim(sTitle.substr(nStart, nEnd - nStart)), pName)) {
        *pNoteId = static_cast<NOTEID>(st.colInt(0));
        return NOERROR;
      }
      nStart = nEnd + 1;
    }
  }
  return nRc == SQLITE_DONE ? ERR_NOT_FOUND : sqliteStatus(nRc);
}

STATUS NotesRuntime::viewTime(DbState& rDb, NOTEID viewId, Ticks* pTicks) {
  Stmt st(rDb.pDb, "SELECT modified FROM viewtime WHERE id=?");
  st.bind(1, viewId);
  int nRc = st.step();
  if (nRc == SQLITE_DONE) return ERR_NOT_FOUND;
  if (nRc != SQLITE_ROW) return sqliteStatus(nRc);
  *pTicks = st.colInt(0);
  return NOERROR;
}

namespace {
struct SortKey {
  bool bNumber = false;
  double dNumber = 0;
  std::string sText;  // lower case
};

// One item of a stored note, pointing into the row's blob.
struct RawItem {
  const char* pName = nullptr;
  WORD nNameLen = 0;
  WORD nType = 0;
  const char* pValue = nullptr;
  DWORD nValueLen = 0;
};

bool nameIs(const RawItem& r, const std::string& sName) {
  if (r.nNameLen != sName.size()) return false;
  for (std::size_t i = 0; i < sName.size(); ++i) {
    char a = r.pName[i], b = sName[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// Finds the wanted items (first occurrence of each name) in an items blob
// without copying it. False for a damaged blob.
bool scanItems(const char* p, std::size_t nLen, const std::vector<std::string>& vWanted, std::vector<RawItem>* pFound) {
  pFound->assign(vWanted.size(), RawItem{});
  if (nLen < 2) return false;
  const char* pEnd = p + nLen;
  WORD n;
  std::memcpy(&n, p, 2);
  p += 2;
  for (WORD i = 0; i < n; ++i) {
    if (pEnd - p < 8) return false;
    RawItem r;
    std::memcpy(&r.nNameLen, p, 2);
    std::memcpy(&r.nType, p + 2, 2);
    std::memcpy(&r.nValueLen, p + 4, 4);
    p += 8;
    if (static_cast<std::size_t>(pEnd - p) < std::size_t{r.nNameLen} + r.nValueLen) return false;
    r.pName = p;
    r.pValue = p + r.nNameLen;
    p += r.nNameLen + r.nValueLen;
    for (std::size_t k = 0; k < vWanted.size(); ++k)
      if (!(*pFound)[k].pName && nameIs(r, vWanted[k])) (*pFound)[k] = r;
  }
  return true;
}

SortKey sortKeyOf(const RawItem& r) {
  SortKey k;
  if (!r.pName) return k;
  if (r.nType == TYPE_NUMBER && r.nValueLen == sizeof(double)) {
    k.bNumber = true;
    std::memcpy(&k.dNumber, r.pValue, sizeof(double));
  } else if (r.nType == TYPE_TIME && r.nValueLen == sizeof(TIMEDATE)) {
    TIMEDATE td;
    std::memcpy(&td, r.pValue, sizeof td);
    k.bNumber = true;
    k.dNumber = static_cast<double>(timeDateToTicks(td));
  } else if (r.nType == TYPE_TEXT) {
    k.sText.assign(r.pValue, r.nValueLen);
  } else if (r.nType == TYPE_TEXT_LIST) {
    std::vector<std::string> v = decodeTextList(r.pValue, r.nValueLen);
    if (!v.empty()) k.sText = v[0];
  }
  for (char& c : k.sText)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return k;
}

int compareKeys(const SortKey& a, const SortKey& b) {
  if (a.bNumber != b.bNumber) return a.bNumber ? -1 : 1;  // numbers before texts
  if (a.bNumber) return a.dNumber < b.dNumber ? -1 : (a.dNumber > b.dNumber ? 1 : 0);
  return a.sText.compare(b.sText);
}
}  // namespace

// Builds the view's index: the documents it selects, sorted, each with its
// summary ITEM_TABLE encoded once, so that reading is a copy.
STATUS NotesRuntime::buildIndex(DbState& rDb, NOTEID viewId, ViewIndex* pIndex) {
  Ticks tView = 0;
  STATUS s = viewTime(rDb, viewId, &tView);
  if (s != NOERROR) return s;
  ViewDef d;
  {
    Stmt st(rDb.pDb, "SELECT items FROM notes WHERE id=? AND class=8");
    st.bind(1, viewId);
    int nRc = st.step();
    if (nRc != SQLITE_ROW) return nRc == SQLITE_DONE ? ERR_NOT_FOUND : sqliteStatus(nRc);
    std::vector<Item> vItems;
    std::string sItems = st.colText(0);
    decodeItems(sItems.data(), sItems.size(), &vItems);
    d = viewDefOf(vItems);
  }
  std::string sSql = "SELECT id, items FROM notes WHERE class=1";
  if (!d.vForms.empty()) {
    sSql += " AND form IN (";
    for (std::size_t i = 0; i < d.vForms.size(); ++i) sSql += i ? ",?" : "?";
    sSql += ")";
  }
  Stmt st(rDb.pDb, sSql.c_str());
  for (std::size_t i = 0; i < d.vForms.size(); ++i) st.bind(static_cast<int>(i + 1), d.vForms[i]);

  // Wanted items: the sort items first, then the summary items.
  std::vector<std::string> vWanted;
  std::vector<bool> vDescending;
  for (const std::string& sName : d.vSort) {
    bool bDesc = !sName.empty() && sName[0] == '-';
    vWanted.push_back(bDesc ? sName.substr(1) : sName);
    vDescending.push_back(bDesc);
  }
  const std::size_t nSort = vWanted.size();
  vWanted.insert(vWanted.end(), d.vSummary.begin(), d.vSummary.end());

  struct Row {
    NOTEID id;
    std::uint32_t nStart;
    std::uint16_t nLen;
    std::vector<SortKey> vKeys;
  };
  std::vector<Row> vRows;
  std::string sAll;
  std::vector<RawItem> vFound;
  int nRc;
  while ((nRc = st.step()) == SQLITE_ROW) {
    const char* pBlob = static_cast<const char*>(sqlite3_column_blob(st.get(), 1));
    std::size_t nBlob = static_cast<std::size_t>(sqlite3_column_bytes(st.get(), 1));
    if (!pBlob || !scanItems(pBlob, nBlob, vWanted, &vFound)) continue;
    Row r{static_cast<NOTEID>(sqlite3_column_int64(st.get(), 0)), static_cast<std::uint32_t>(sAll.size()), 0, {}};
    r.vKeys.reserve(nSort);
    for (std::size_t k = 0; k < nSort; ++k) r.vKeys.push_back(sortKeyOf(vFound[k]));
    // ITEM_TABLE: header, ITEM headers, then name and typed value per item.
    WORD nItems = 0;
    std::size_t nSize = sizeof(ITEM_TABLE);
    for (std::size_t k = nSort; k < vFound.size(); ++k) {
      if (!vFound[k].pName) continue;
      ++nItems;
      nSize += sizeof(ITEM) + vFound[k].nNameLen + 2 + vFound[k].nValueLen;
    }
    if (nSize > 0xFFFF) return ERR_BUFFER_TOO_SMALL;
    sAll.resize(sAll.size() + nSize);
    char* pOut = sAll.data() + r.nStart;
    ITEM_TABLE table{static_cast<WORD>(nSize), nItems};
    std::memcpy(pOut, &table, sizeof table);
    char* pHeader = pOut + sizeof table;
    char* pData = pHeader + nItems * sizeof(ITEM);
    for (std::size_t k = nSort; k < vFound.size(); ++k) {
      const RawItem& it = vFound[k];
      if (!it.pName) continue;
      ITEM item{it.nNameLen, static_cast<WORD>(it.nValueLen + 2)};
      std::memcpy(pHeader, &item, sizeof item);
      pHeader += sizeof item;
      std::memcpy(pData, it.pName, it.nNameLen);
      pData += it.nNameLen;
      std::memcpy(pData, &it.nType, 2);
      pData += 2;
      std::memcpy(pData, it.pValue, it.nValueLen);
      pData += it.nValueLen;
    }
    r.nLen = static_cast<std::uint16_t>(nSize);
    vRows.push_back(std::move(r));
  }
  if (nRc != SQLITE_DONE) return sqliteStatus(nRc);
  std::sort(vRows.begin(), vRows.end(), [&](const Row& a, const Row& b) {
    for (std::size_t i = 0; i < a.vKeys.size(); ++i) {
      int c = compareKeys(a.vKeys[i], b.vKeys[i]);
      if (c) return vDescending[i] ? c > 0 : c < 0;
    }
    return a.id < b.id;
  });
  pIndex->viewId = viewId;
  pIndex->nBuiltAt = tView;
  pIndex->vIds.resize(vRows.size());
  pIndex->vStart.resize(vRows.size());
  pIndex->vLen.resize(vRows.size());
  for (std::size_t i = 0; i < vRows.size(); ++i) {
    pIndex->vIds[i] = vRows[i].id;
    pIndex->vStart[i] = vRows[i].nStart;
    pIndex->vLen[i] = vRows[i].nLen;
  }
  pIndex->sSummaries = std::move(sAll);
  return NOERROR;
}

STATUS NotesRuntime::NIFOpenCollection(DBHANDLE hViewDb, DBHANDLE hDataDb, NOTEID viewNoteId, WORD,
                                       HCOLLECTION* phCollection) {
  std::lock_guard lock(m_mutex);
  DbState* p = db(hDataDb);
  if (!p || !db(hViewDb)) return ERR_INVALID_HANDLE;
  if (!phCollection) return ERR_BAD_ARGUMENT;
  CollectionState c{hDataDb, viewNoteId, {}};
  STATUS s = buildIndex(*p, viewNoteId, &c.index);
  if (s != NOERROR) return s;
  // 16-bit handles: find a free one.
  for (int nTry = 0; nTry < 0xFFFF; ++nTry) {
    HCOLLECTION h = m_nNextCollection++;
    if (m_nNextCollection == 0) m_nNextCollection = 1;
    if (h && !m_mColl.count(h)) {
      m_mColl.emplace(h, std::move(c));
      *phCollection = h;
      return NOERROR;
    }
  }
  return ERR_MEMORY;
}

STATUS NotesRuntime::NIFUpdateCollection(HCOLLECTION hCollection) {
  std::lock_guard lock(m_mutex);
  auto it = m_mColl.find(hCollection);
  if (it == m_mColl.end()) return ERR_INVALID_HANDLE;
  DbState* p = db(it->second.hDb);
  if (!p) return ERR_INVALID_HANDLE;
  Ticks t = 0;
  STATUS s = viewTime(*p, it->second.viewId, &t);
  if (s != NOERROR) return s;
  if (t == it->second.index.nBuiltAt) return NOERROR;
  return buildIndex(*p, it->second.viewId, &it->second.index);
}

STATUS NotesRuntime::NIFCloseCollection(HCOLLECTION hCollection) {
  std::lock_guard lock(m_mutex);
  return m_mColl.erase(hCollection) ? NOERROR : ERR_INVALID_HANDLE;
}

STATUS NotesRuntime::NIFReadEntries(HCOLLECTION hCollection, COLLECTIONPOSITION* pPos, WORD, DWORD nSkipCount, WORD,
                                    DWORD nReturnCount, DWORD nReturnMask, DHANDLE* phBuffer, WORD* pBufferLength,
                                    DWORD* pSkipped, DWORD* pReturned, WORD* pSignalFlags) {
  std::lock_guard lock(m_mutex);
  auto it = m_mColl.find(hCollection);
  if (it == m_mColl.end()) return ERR_INVALID_HANDLE;
  if (!pPos || !phBuffer) return ERR_BAD_ARGUMENT;
  const ViewIndex& idx = it->second.index;
  std::size_t nCount = idx.vIds.size();
  std::size_t nStart = pPos->Tumbler[0] ? pPos->Tumbler[0] - 1 : 0;
  std::size_t nSkipped = std::min<std::size_t>(nSkipCount, nStart < nCount ? nCount - nStart : 0);
  std::size_t i = nStart + nSkipped;
  bool bIds = nReturnMask & READ_MASK_NOTEID, bSummary = nReturnMask & READ_MASK_SUMMARY;
  std::size_t nLimit = std::min<std::size_t>(m_nReadLimit, 0xFFFF);
  std::string sOut;
  DWORD nReturned = 0;
  bool bStoppedByLimit = false;
  while (i < nCount && nReturned < nReturnCount) {
    std::size_t nEntry = (bIds ? 4 : 0) + (bSummary ? idx.vLen[i] : 0);
    if (nReturned > 0 && sOut.size() + nEntry > nLimit) {
      bStoppedByLimit = true;
      break;
    }
    if (bIds) sOut.append(reinterpret_cast<const char*>(&idx.vIds[i]), 4);
    if (bSummary) sOut.append(idx.sSummaries, idx.vStart[i], idx.vLen[i]);
    ++i;
    ++nReturned;
  }
  pPos->Tumbler[0] = static_cast<DWORD>(i + 1);
  if (pSkipped) *pSkipped = static_cast<DWORD>(nSkipped);
  if (pReturned) *pReturned = nReturned;
  if (pBufferLength) *pBufferLength = static_cast<WORD>(std::min<std::size_t>(sOut.size(), 0xFFFF));
  if (pSignalFlags) *pSignalFlags = bStoppedByLimit ? SIGNAL_MORE_TO_DO : 0;
  *phBuffer = nReturned ? newMem(std::move(sOut)) : NULLHANDLE;
  return NOERROR;
}

STATUS NotesRuntime::NIFGetLastModifiedTime(HCOLLECTION hCollection, TIMEDATE* pTime) {
  std::lock_guard lock(m_mutex);
  auto it = m_mColl.find(hCollection);
  if (it == m_mColl.end()) return ERR_INVALID_HANDLE;
  DbState* p = db(it->second.hDb);
  if (!p) return ERR_INVALID_HANDLE;
  Ticks t = 0;
  STATUS s = viewTime(*p, it->second.viewId, &t);
  if (s == NOERROR && pTime) *pTime = ticksToTimeDate(t);
  return s;
}

// --- design helpers ---

STATUS createView(INotesApi& api, DBHANDLE hDb, const ViewDesign& design, NOTEID* pNoteId) {
  NOTEHANDLE h = 0;
  STATUS s = api.NSFNoteCreate(hDb, &h);
  if (s != NOERROR) return s;
  api.NSFNoteSetClass(h, NOTE_CLASS_VIEW);
  setText(api, h, "$TITLE", design.sTitle);
  setText(api, h, "$Flags", "-G40n^");
  setTextList(api, h, "$FormSelection", design.vForms);
  setTextList(api, h, "$Sort", design.vSort);
  setTextList(api, h, "$Summary", design.vSummary);
  s = api.NSFNoteUpdate(h, 0);
  if (s == NOERROR && pNoteId) api.NSFNoteGetInfo(h, pNoteId, nullptr);
  api.NSFNoteClose(h);
  return s;
}

STATUS createAgent(INotesApi& api, DBHANDLE hDb, const AgentDesign& design, NOTEID* pNoteId) {
  NOTEHANDLE h = 0;
  STATUS s = api.NSFNoteCreate(hDb, &h);
  if (s != NOERROR) return s;
  api.NSFNoteSetClass(h, NOTE_CLASS_FILTER);
  setText(api, h, "$TITLE", design.sTitle);
  setNumber(api, h, "$Trigger", design.nTrigger);
  setNumber(api, h, "$Enabled", design.bEnabled ? 1 : 0);
  setText(api, h, "$AgentImpl", design.sImplementation);
  s = api.NSFNoteUpdate(h, 0);
  if (s == NOERROR && pNoteId) api.NSFNoteGetInfo(h, pNoteId, nullptr);
  api.NSFNoteClose(h);
  return s;
}

STATUS readAgent(INotesApi& api, DBHANDLE hDb, NOTEID noteId, AgentDesign* pDesign) {
  NOTEHANDLE h = 0;
  STATUS s = api.NSFNoteOpen(hDb, noteId, 0, &h);
  if (s != NOERROR) return s;
  WORD nClass = 0;
  api.NSFNoteGetInfo(h, nullptr, &nClass);
  if (nClass != NOTE_CLASS_FILTER) {
    api.NSFNoteClose(h);
    return ERR_NOT_FOUND;
  }
  pDesign->sTitle = itemAsText(api, h, "$TITLE");
  pDesign->nTrigger = static_cast<WORD>(std::atoi(itemAsText(api, h, "$Trigger").c_str()));
  pDesign->bEnabled = itemAsText(api, h, "$Enabled") == "1";
  pDesign->sImplementation = itemAsText(api, h, "$AgentImpl");
  api.NSFNoteClose(h);
  return NOERROR;
}

}  // namespace notes
