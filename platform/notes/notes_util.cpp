// Time stamps, item and list encodings, status texts and the helpers of
// notes_api.h that work over any INotesApi.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "notes/notes_runtime.h"

namespace notes {

namespace {
constexpr Ticks kTicksPerDay = 8640000;
constexpr std::int64_t kUnixEpochJulianDay = 2440588;

template <typename T>
T readRaw(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <typename T>
void appendRaw(std::string& s, T v) {
  s.append(reinterpret_cast<const char*>(&v), sizeof v);
}
}  // namespace

Ticks nowTicks() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() / 10;
}

TIMEDATE ticksToTimeDate(Ticks t) {
  Ticks nDay = t >= 0 ? t / kTicksPerDay : -((-t + kTicksPerDay - 1) / kTicksPerDay);
  TIMEDATE td;
  td.Innards[0] = static_cast<DWORD>(t - nDay * kTicksPerDay);
  td.Innards[1] = static_cast<DWORD>(nDay + kUnixEpochJulianDay);
  return td;
}

Ticks timeDateToTicks(const TIMEDATE& td) {
  return (static_cast<Ticks>(td.Innards[1]) - kUnixEpochJulianDay) * kTicksPerDay + td.Innards[0];
}

TIMEDATE timeDateFromUnix(std::int64_t nSeconds, int nHundredths) { return ticksToTimeDate(nSeconds * 100 + nHundredths); }
std::int64_t unixFromTimeDate(const TIMEDATE& td) {
  Ticks t = timeDateToTicks(td);
  return t >= 0 ? t / 100 : -((-t + 99) / 100);
}

std::string lowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool equalsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool wildcardMatch(const std::string& sName, const std::string& sPattern) {
  std::string n = lowerAscii(sName), p = lowerAscii(sPattern);
  std::size_t i = 0, j = 0, nStar = std::string::npos, nRestart = 0;
  while (i < n.size()) {
    if (j < p.size() && p[j] == '*') {
      nStar = ++j;
      nRestart = i;
    } else if (j < p.size() && p[j] == n[i]) {
      ++i;
      ++j;
    } else if (nStar != std::string::npos) {
      j = nStar;
      i = ++nRestart;
    } else {
      return false;
    }
  }
  while (j < p.size() && p[j] == '*') ++j;
  return j == p.size();
}

// Items blob: WORD count, then per item WORD name length, WORD type, DWORD
// value length, the name and the value.
std::string encodeItems(const std::vector<Item>& vItems) {
  std::string s;
  appendRaw<WORD>(s, static_cast<WORD>(vItems.size()));
  for (const Item& it : vItems) {
    appendRaw<WORD>(s, static_cast<WORD>(it.sName.size()));
    appendRaw<WORD>(s, it.nType);
    appendRaw<DWORD>(s, static_cast<DWORD>(it.sValue.size()));
    s += it.sName;
    s += it.sValue;
  }
  return s;
}

bool decodeItems(const void* pData, std::size_t nLen, std::vector<Item>* pItems) {
  const char* p = static_cast<const char*>(pData);
  const char* pEnd = p + nLen;
  if (nLen < 2) return false;
  WORD n = readRaw<WORD>(p);
  p += 2;
  pItems->clear();
  pItems->reserve(n);
  for (WORD i = 0; i < n; ++i) {
    if (pEnd - p < 8) return false;
    WORD nName = readRaw<WORD>(p), nType = readRaw<WORD>(p + 2);
    DWORD nValue = readRaw<DWORD>(p + 4);
    p += 8;
    if (static_cast<std::size_t>(pEnd - p) < std::size_t{nName} + nValue) return false;
    pItems->push_back(Item{std::string(p, nName), nType, std::string(p + nName, nValue)});
    p += nName + nValue;
  }
  return true;
}

std::string encodeTextList(const std::vector<std::string>& vTexts) {
  std::string s;
  appendRaw<WORD>(s, static_cast<WORD>(vTexts.size()));
  for (const std::string& t : vTexts) appendRaw<WORD>(s, static_cast<WORD>(t.size()));
  for (const std::string& t : vTexts) s += t;
  return s;
}

std::vector<std::string> decodeTextList(const void* pList, std::size_t nLen) {
  std::vector<std::string> v;
  const char* p = static_cast<const char*>(pList);
  if (nLen < 2) return v;
  WORD n = readRaw<WORD>(p);
  if (nLen < 2 + 2 * std::size_t{n}) return v;
  std::size_t nOff = 2 + 2 * std::size_t{n};
  for (WORD i = 0; i < n; ++i) {
    WORD nEntry = readRaw<WORD>(p + 2 + 2 * i);
    if (nOff + nEntry > nLen) break;
    v.emplace_back(p + nOff, nEntry);
    nOff += nEntry;
  }
  return v;
}

std::vector<std::string> itemTexts(const Item& item) {
  if (item.nType == TYPE_TEXT) return {item.sValue};
  if (item.nType == TYPE_TEXT_LIST) return decodeTextList(item.sValue.data(), item.sValue.size());
  return {};
}

const Item* findItem(const std::vector<Item>& vItems, const std::string& sName) {
  for (const Item& it : vItems)
    if (equalsNoCase(it.sName, sName)) return &it;
  return nullptr;
}

Stmt::Stmt(sqlite3* pDb, const char* pSql) { m_nPrepare = sqlite3_prepare_v2(pDb, pSql, -1, &m_pStmt, nullptr); }
Stmt::~Stmt() { sqlite3_finalize(m_pStmt); }
std::string Stmt::colText(int n) {
  const void* p = sqlite3_column_blob(m_pStmt, n);
  int nLen = sqlite3_column_bytes(m_pStmt, n);
  return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(nLen)) : std::string();
}

STATUS sqliteStatus(int nRc) {
  switch (nRc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return NOERROR;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERR_LOCKED;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_ERROR:  // no such table: a SQLite file that is not ours
      return ERR_NOT_NSF;
    case SQLITE_NOMEM:
      return ERR_MEMORY;
    case SQLITE_CANTOPEN:
      return ERR_NOEXIST;
    default:
      return ERR_DB_IO;
  }
}

namespace {
struct StatusTextEntry {
  STATUS nStatus;
  const char* pText;
};
// Every status the runtime returns or the system reports.
constexpr StatusTextEntry kStatusTexts[] = {
    {ERR_NOT_INITIALIZED, "The Notes runtime has not been started"},
    {ERR_NO_NOTES_INI, "Unable to find notes.ini (set NOTES_INI or start in the server's program folder)"},
    {ERR_NOEXIST, "File does not exist"},
    {ERR_INVALID_HANDLE, "Invalid handle"},
    {ERR_MEMORY, "Insufficient memory"},
    {ERR_EXISTS, "File already exists"},
    {ERR_NOT_NSF, "File is not a database"},
    {ERR_LOCKED, "Database is locked by another process for too long"},
    {ERR_DB_IO, "Database input/output error"},
    {ERR_BAD_ARGUMENT, "Invalid argument"},
    {ERR_NOT_FOUND, "Entry not found in index"},
    {ERR_ITEM_NOT_FOUND, "Field not found or of the wrong type"},
    {ERR_WRONG_TYPE, "Field is of the wrong type"},
    {ERR_LIST_INDEX, "List entry index is out of range"},
    {ERR_AGENT_NO_WORK, "Agent had nothing to do"},
    {ERR_AGENT_NO_IMPL, "Agent's implementation is not registered"},
    {ERR_AGENT_FAILED, "Agent failed"},
    {ERR_NAMES_TOO_DEEP, "Group nesting is too deep to build the names list"},
    {ERR_NAMES_TOO_MANY, "Names list is too large"},
    {ERR_BUFFER_TOO_SMALL, "Buffer is too small"},
    {ERR_DUPLICATE_MQ, "Message queue already exists"},
    {ERR_NOSUCH_MQ, "No such message queue"},
    {ERR_MQ_QUIT, "Message queue is quitting"},
    {ERR_MQ_EMPTY, "Message queue is empty"},
    {ERR_MQ_FULL, "Message queue is full"},
    {ERR_MQ_TOO_BIG, "Message is too large for the queue"},
    {ERR_MQ_SYSTEM, "Message queue system error"},
    {ERR_STATS, "Unable to update the server statistics"},
    {ERR_INI_WRITE, "Unable to write notes.ini"},
    {ERR_CONSOLE, "Console command failed"},
    {ERR_INVALID_ALLOW_DENY, "Invalid value in an Allow/Deny field"},
};
}  // namespace

WORD NotesRuntime::OSLoadString(HMODULE, STATUS status, char* pBuffer, WORD nLen) {
  if (!pBuffer || nLen == 0) return 0;
  pBuffer[0] = '\0';
  STATUS nCode = status & ERR_MASK;
  for (const auto& e : kStatusTexts) {
    if (e.nStatus == nCode) {
      std::snprintf(pBuffer, nLen, "%s", e.pText);
      return static_cast<WORD>(std::strlen(pBuffer));
    }
  }
  return 0;
}

std::string statusText(INotesApi& api, STATUS status) {
  char aBuf[256];
  WORD n = api.OSLoadString(nullptr, status, aBuf, sizeof aBuf);
  return std::string(aBuf, n);
}

void AddInLogMessageText(INotesApi& api, const char* pPattern, STATUS status, ...) {
  va_list args;
  va_start(args, status);
  api.AddInLogMessageTextV(pPattern, status, args);
  va_end(args);
}

void AddInLogErrorText(INotesApi& api, const char* pPattern, STATUS status, ...) {
  va_list args;
  va_start(args, status);
  api.AddInLogErrorTextV(pPattern, status, args);
  va_end(args);
}

STATUS setText(INotesApi& api, NOTEHANDLE hNote, const std::string& sName, const std::string& sText) {
  return api.NSFItemSetValue(hNote, sName.c_str(), TYPE_TEXT, sText.data(), static_cast<DWORD>(sText.size()));
}
STATUS setTextList(INotesApi& api, NOTEHANDLE hNote, const std::string& sName, const std::vector<std::string>& vTexts) {
  std::string s = encodeTextList(vTexts);
  return api.NSFItemSetValue(hNote, sName.c_str(), TYPE_TEXT_LIST, s.data(), static_cast<DWORD>(s.size()));
}
STATUS setNumber(INotesApi& api, NOTEHANDLE hNote, const std::string& sName, double dNumber) {
  return api.NSFItemSetValue(hNote, sName.c_str(), TYPE_NUMBER, &dNumber, sizeof dNumber);
}
STATUS setTime(INotesApi& api, NOTEHANDLE hNote, const std::string& sName, const TIMEDATE& td) {
  return api.NSFItemSetValue(hNote, sName.c_str(), TYPE_TIME, &td, sizeof td);
}

std::string itemAsText(INotesApi& api, NOTEHANDLE hNote, const std::string& sName) {
  WORD nType = 0;
  std::string sValue;
  if (api.NSFItemGetValue(hNote, sName.c_str(), &nType, &sValue) != NOERROR) return {};
  switch (nType) {
    case TYPE_TEXT:
      return sValue;
    case TYPE_TEXT_LIST: {
      std::string s;
      for (const std::string& t : decodeTextList(sValue.data(), sValue.size())) s += (s.empty() ? "" : ", ") + t;
      return s;
    }
    case TYPE_NUMBER:
      if (sValue.size() == sizeof(double)) {
        char aBuf[64];
        std::snprintf(aBuf, sizeof aBuf, "%g", readRaw<double>(sValue.data()));
        return aBuf;
      }
      return {};
    case TYPE_TIME:
      if (sValue.size() == sizeof(TIMEDATE)) {
        char aBuf[80];
        WORD n = 0;
        TIMEDATE td = readRaw<TIMEDATE>(sValue.data());
        api.ConvertTIMEDATEToText(&td, aBuf, sizeof aBuf, &n);
        return std::string(aBuf, n);
      }
      return {};
    default:
      return {};
  }
}

// --- time ---

void NotesRuntime::OSCurrentTIMEDATE(TIMEDATE* pTime) {
  if (pTime) *pTime = ticksToTimeDate(nowTicks());
}

int NotesRuntime::TimeDateCompare(const TIMEDATE* pT1, const TIMEDATE* pT2) {
  Ticks a = timeDateToTicks(*pT1), b = timeDateToTicks(*pT2);
  return a < b ? -1 : (a > b ? 1 : 0);
}

std::int32_t NotesRuntime::TimeDateDifference(const TIMEDATE* pT1, const TIMEDATE* pT2) {
  Ticks d = timeDateToTicks(*pT1) - timeDateToTicks(*pT2);
  return static_cast<std::int32_t>(d / 100);  // truncates towards zero
}

STATUS NotesRuntime::ConvertTIMEDATEToText(const TIMEDATE* pTime, char* pBuffer, WORD nBufLen, WORD* pRetLen) {
  if (!pTime || !pBuffer || nBufLen == 0) return ERR_BAD_ARGUMENT;
  Ticks t = timeDateToTicks(*pTime);
  std::int64_t nSec = unixFromTimeDate(*pTime);
  int nHund = static_cast<int>(t - nSec * 100);
  std::time_t tt = static_cast<std::time_t>(nSec);
  std::tm tm{};
  gmtime_r(&tt, &tm);
  char aBuf[80];
  int n = std::snprintf(aBuf, sizeof aBuf, "%04d-%02d-%02d %02d:%02d:%02d.%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                        tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, nHund);
  if (n < 0 || n >= nBufLen) return ERR_BUFFER_TOO_SMALL;
  std::memcpy(pBuffer, aBuf, static_cast<std::size_t>(n) + 1);
  if (pRetLen) *pRetLen = static_cast<WORD>(n);
  return NOERROR;
}

// --- memory and lists ---

DHANDLE NotesRuntime::newMem(std::string sBytes) {
  std::lock_guard lock(m_mutex);
  DHANDLE h = m_nNextHandle++;
  m_mMem.emplace(h, std::move(sBytes));
  return h;
}

STATUS NotesRuntime::OSMemAlloc(DWORD nSize, DHANDLE* phMem) {
  if (!phMem) return ERR_BAD_ARGUMENT;
  *phMem = newMem(std::string(nSize, '\0'));
  return NOERROR;
}

void* NotesRuntime::OSLockObject(DHANDLE hMem) {
  std::lock_guard lock(m_mutex);
  auto it = m_mMem.find(hMem);
  return it == m_mMem.end() ? nullptr : it->second.data();
}

void NotesRuntime::OSUnlockObject(DHANDLE) {}

STATUS NotesRuntime::OSMemFree(DHANDLE hMem) {
  std::lock_guard lock(m_mutex);
  return m_mMem.erase(hMem) ? NOERROR : ERR_INVALID_HANDLE;
}

DWORD NotesRuntime::OSMemGetSize(DHANDLE hMem) {
  std::lock_guard lock(m_mutex);
  auto it = m_mMem.find(hMem);
  return it == m_mMem.end() ? 0 : static_cast<DWORD>(it->second.size());
}

STATUS NotesRuntime::ListFromText(const char* pText, WORD nLen, DHANDLE* phList, WORD* pListSize) {
  if (!phList || (!pText && nLen)) return ERR_BAD_ARGUMENT;
  std::string s = encodeTextList({std::string(pText ? pText : "", nLen)});
  if (pListSize) *pListSize = static_cast<WORD>(s.size());
  *phList = newMem(std::move(s));
  return NOERROR;
}

STATUS NotesRuntime::ListCopy(const void* pList, DHANDLE* phList, WORD* pListSize) {
  if (!pList || !phList) return ERR_BAD_ARGUMENT;
  const char* p = static_cast<const char*>(pList);
  WORD n = readRaw<WORD>(p);
  std::size_t nSize = 2 + 2 * std::size_t{n};
  for (WORD i = 0; i < n; ++i) nSize += readRaw<WORD>(p + 2 + 2 * i);
  if (nSize > 0xFFFF) return ERR_BAD_ARGUMENT;
  if (pListSize) *pListSize = static_cast<WORD>(nSize);
  *phList = newMem(std::string(p, nSize));
  return NOERROR;
}

WORD NotesRuntime::ListGetNumEntries(const void* pList, bool bPrefixDataType) {
  if (!pList) return 0;
  return readRaw<WORD>(static_cast<const char*>(pList) + (bPrefixDataType ? 2 : 0));
}

STATUS NotesRuntime::ListGetText(const void* pList, bool bPrefixDataType, WORD nEntry, char** ppText, WORD* pLen) {
  if (!pList) return ERR_BAD_ARGUMENT;
  char* p = const_cast<char*>(static_cast<const char*>(pList)) + (bPrefixDataType ? 2 : 0);
  WORD n = readRaw<WORD>(p);
  if (nEntry >= n) return ERR_LIST_INDEX;
  std::size_t nOff = 2 + 2 * std::size_t{n};
  for (WORD i = 0; i < nEntry; ++i) nOff += readRaw<WORD>(p + 2 + 2 * i);
  if (ppText) *ppText = p + nOff;
  if (pLen) *pLen = readRaw<WORD>(p + 2 + 2 * nEntry);
  return NOERROR;
}

bool NotesRuntime::NSFLocateSummaryValue(const void* pSummary, const char* pName, const char** ppValue, WORD* pLen,
                                         WORD* pType) {
  if (!pSummary || !pName) return false;
  const char* p = static_cast<const char*>(pSummary);
  ITEM_TABLE table = readRaw<ITEM_TABLE>(p);
  const char* pData = p + sizeof(ITEM_TABLE) + table.Items * sizeof(ITEM);
  std::size_t nNameLen = std::strlen(pName);
  for (WORD i = 0; i < table.Items; ++i) {
    ITEM item = readRaw<ITEM>(p + sizeof(ITEM_TABLE) + i * sizeof(ITEM));
    if (item.NameLength == nNameLen && item.ValueLength >= 2 &&
        equalsNoCase(std::string(pData, item.NameLength), pName)) {
      const char* pValue = pData + item.NameLength;
      if (pType) *pType = readRaw<WORD>(pValue);
      if (ppValue) *ppValue = pValue + 2;
      if (pLen) *pLen = static_cast<WORD>(item.ValueLength - 2);
      return true;
    }
    pData += item.NameLength + item.ValueLength;
  }
  return false;
}

}  // namespace notes
