// The real Notes runtime (internal to libnotesapi).
#pragma once

#include <sqlite3.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "notes/notes_api.h"

namespace notes {

// Hundredths of a second since the Unix epoch: the runtime's inner time.
using Ticks = std::int64_t;
Ticks nowTicks();
TIMEDATE ticksToTimeDate(Ticks t);
Ticks timeDateToTicks(const TIMEDATE& td);

std::string lowerAscii(std::string s);
bool equalsNoCase(const std::string& a, const std::string& b);

// One item of a note: raw value bytes without the type word.
struct Item {
  std::string sName;
  WORD nType = TYPE_TEXT;
  std::string sValue;
};
std::string encodeItems(const std::vector<Item>& vItems);
bool decodeItems(const void* pData, std::size_t nLen, std::vector<Item>* pItems);
// Text of a text item, or the entries of a text list, as a list.
std::vector<std::string> itemTexts(const Item& item);
const Item* findItem(const std::vector<Item>& vItems, const std::string& sName);

// A prepared statement that finalizes itself.
class Stmt {
 public:
  Stmt(sqlite3* pDb, const char* pSql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  int prepareResult() const { return m_nPrepare; }
  sqlite3_stmt* get() { return m_pStmt; }
  void bind(int n, std::int64_t v) { sqlite3_bind_int64(m_pStmt, n, v); }
  void bind(int n, const std::string& s) { sqlite3_bind_text(m_pStmt, n, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT); }
  void bindBlob(int n, const std::string& s) { sqlite3_bind_blob(m_pStmt, n, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT); }
  int step() { return m_pStmt ? sqlite3_step(m_pStmt) : m_nPrepare; }
  std::int64_t colInt(int n) { return sqlite3_column_int64(m_pStmt, n); }
  std::string colText(int n);

 private:
  sqlite3_stmt* m_pStmt = nullptr;
  int m_nPrepare = SQLITE_OK;
};

// SQLite result code -> Notes status.
STATUS sqliteStatus(int nRc);

struct DbState {
  sqlite3* pDb = nullptr;
  std::string sCanonical;
  std::string sExpanded;
};

struct ViewIndex {
  NOTEID viewId = 0;
  Ticks nBuiltAt = -1;  // the view time the index was built for
  // Entry i in view order: note vIds[i], its ITEM_TABLE at vStart[i] in
  // sSummaries (tables are kept in the order they were read).
  std::vector<NOTEID> vIds;
  std::vector<std::uint32_t> vStart;
  std::vector<std::uint16_t> vLen;
  std::string sSummaries;
};

struct CollectionState {
  DBHANDLE hDb = 0;
  NOTEID viewId = 0;
  ViewIndex index;
};

struct NoteState {
  DBHANDLE hDb = 0;
  NOTEID id = 0;
  WORD nClass = NOTE_CLASS_DOCUMENT;
  std::vector<Item> vItems;
  std::string sOldForm;  // the form it had when opened ("" for a new note)
};

struct QueueState {
  int nMq = -1;  // mqd_t
  std::string sName;
  bool bOwner = false;  // closing it removes the queue
};

struct AgentState {
  DBHANDLE hDb = 0;
  NOTEID noteId = 0;
  AgentDesign design;
};

class NotesRuntime final : public INotesApi {
 public:
  NotesRuntime();
  ~NotesRuntime() override;

  STATUS NotesInitExtended(int argc, char** argv) override;
  STATUS NotesInit() override { return NotesInitExtended(0, nullptr); }
  void NotesTerm() override;
  WORD OSLoadString(HMODULE hModule, STATUS status, char* pBuffer, WORD nLen) override;

  STATUS NSFDbOpen(const char* pPath, DBHANDLE* phDb) override;
  STATUS NSFDbClose(DBHANDLE hDb) override;
  STATUS NSFDbCreate(const char* pPath, const char* pTitle) override;
  STATUS NSFDbCreateFromTemplate(const char* pTemplatePath, const char* pPath, bool bInherit) override;
  STATUS NSFDbTitleGet(DBHANDLE hDb, std::string* pTitle) override;
  STATUS NSFDbTitleSet(DBHANDLE hDb, const char* pTitle) override;
  STATUS NSFDbPathGet(DBHANDLE hDb, std::string* pCanonical, std::string* pExpanded) override;
  STATUS NSFDbModifiedTime(DBHANDLE hDb, TIMEDATE* pDataModified, TIMEDATE* pNonDataModified) override;
  STATUS NSFDbReplicaInfoGet(DBHANDLE hDb, DBREPLICAINFO* pInfo) override;
  STATUS NSFDbReplicaInfoSet(DBHANDLE hDb, const DBREPLICAINFO* pInfo) override;
  STATUS NSFDbSign(DBHANDLE hDb, WORD nNoteClassMask) override;
  STATUS DesignReplace(DBHANDLE hTemplateDb, DBHANDLE hDb, DWORD dwFlags, DWORD dwFlags2, void* pReserved1,
                       void* pReserved2) override;
  STATUS NSFDbGetNoteIds(DBHANDLE hDb, WORD nNoteClassMask, std::vector<NOTEID>* pIds) override;

  STATUS NSFNoteCreate(DBHANDLE hDb, NOTEHANDLE* phNote) override;
  STATUS NSFNoteOpen(DBHANDLE hDb, NOTEID noteId, WORD nFlags, NOTEHANDLE* phNote) override;
  STATUS NSFNoteUpdate(NOTEHANDLE hNote, WORD nFlags) override;
  STATUS NSFNoteClose(NOTEHANDLE hNote) override;
  STATUS NSFNoteDelete(DBHANDLE hDb, NOTEID noteId, WORD nFlags) override;
  STATUS NSFNoteGetInfo(NOTEHANDLE hNote, NOTEID* pNoteId, WORD* pNoteClass) override;
  STATUS NSFNoteSetClass(NOTEHANDLE hNote, WORD nNoteClass) override;
  STATUS NSFItemSetValue(NOTEHANDLE hNote, const char* pName, WORD nType, const void* pValue, DWORD nLen) override;
  STATUS NSFItemGetValue(NOTEHANDLE hNote, const char* pName, WORD* pType, std::string* pValue) override;
  STATUS NSFItemDelete(NOTEHANDLE hNote, const char* pName) override;
  STATUS NSFItemNames(NOTEHANDLE hNote, std::vector<std::string>* pNames) override;

  STATUS NIFFindDesignNoteExt(DBHANDLE hDb, const char* pName, WORD nNoteClass, const char* pFlagsPattern,
                              NOTEID* pNoteId) override;
  STATUS NIFOpenCollection(DBHANDLE hViewDb, DBHANDLE hDataDb, NOTEID viewNoteId, WORD nFlags,
                           HCOLLECTION* phCollection) override;
  STATUS NIFUpdateCollection(HCOLLECTION hCollection) override;
  STATUS NIFCloseCollection(HCOLLECTION hCollection) override;
  STATUS NIFReadEntries(HCOLLECTION hCollection, COLLECTIONPOSITION* pPos, WORD nSkipNavigator, DWORD nSkipCount,
                        WORD nReturnNavigator, DWORD nReturnCount, DWORD nReturnMask, DHANDLE* phBuffer,
                        WORD* pBufferLength, DWORD* pSkipped, DWORD* pReturned, WORD* pSignalFlags) override;
  STATUS NIFGetLastModifiedTime(HCOLLECTION hCollection, TIMEDATE* pTime) override;
  bool NSFLocateSummaryValue(const void* pSummary, const char* pName, const char** ppValue, WORD* pLen,
                             WORD* pType) override;

  STATUS OSMemAlloc(DWORD nSize, DHANDLE* phMem) override;
  void* OSLockObject(DHANDLE hMem) override;
  void OSUnlockObject(DHANDLE hMem) override;
  STATUS OSMemFree(DHANDLE hMem) override;
  DWORD OSMemGetSize(DHANDLE hMem) override;

  STATUS ListFromText(const char* pText, WORD nLen, DHANDLE* phList, WORD* pListSize) override;
  STATUS ListCopy(const void* pList, DHANDLE* phList, WORD* pListSize) override;
  WORD ListGetNumEntries(const void* pList, bool bPrefixDataType) override;
  STATUS ListGetText(const void* pList, bool bPrefixDataType, WORD nEntry, char** ppText, WORD* pLen) override;

  STATUS NSFBuildNamesList(const char* pUserName, DWORD nFlags, DHANDLE* phNamesList) override;
  STATUS DNAbbreviate(DWORD nFlags, const char* pTemplate, const char* pName, char* pBuffer, WORD nBufLen,
                      WORD* pRetLen) override;

  void OSCurrentTIMEDATE(TIMEDATE* pTime) override;
  int TimeDateCompare(const TIMEDATE* pT1, const TIMEDATE* pT2) override;
  std::int32_t TimeDateDifference(const TIMEDATE* pT1, const TIMEDATE* pT2) override;
  STATUS ConvertTIMEDATEToText(const TIMEDATE* pTime, char* pBuffer, WORD nBufLen, WORD* pRetLen) override;

  void AddInQueryDefaults(HMODULE* phModule, DHANDLE* phStatusLine) override;
  DHANDLE AddInCreateStatusLine(const char* pTaskName) override;
  void AddInDeleteStatusLine(DHANDLE hStatusLine) override;
  void AddInSetDefaults(HMODULE hModule, DHANDLE hStatusLine) override;
  void AddInSetStatusText(const char* pText) override;
  void AddInLogMessageTextV(const char* pPattern, STATUS status, va_list args) override;
  void AddInLogErrorTextV(const char* pPattern, STATUS status, va_list args) override;
  bool AddInShouldTerminate() override;
  bool AddInSecondsHaveElapsed(DWORD nSeconds) override;

  STATUS MQCreate(const char* pName, WORD nQuota, DWORD nOptions) override;
  STATUS MQOpen(const char* pName, DWORD nOptions, MQHANDLE* phQueue) override;
  STATUS MQClose(MQHANDLE hQueue, DWORD nOptions) override;
  bool MQIsQuitPending(MQHANDLE hQueue) override;
  STATUS MQPutQuitMsg(MQHANDLE hQueue) override;
  STATUS MQPut(MQHANDLE hQueue, WORD nPriority, const char* pBuffer, WORD nLen, DWORD nOptions) override;
  STATUS MQGet(MQHANDLE hQueue, char* pBuffer, WORD nBufLen, DWORD nOptions, DWORD nTimeout, WORD* pRetLen) override;

  long OSGetEnvironmentLong(const char* pName) override;
  bool OSGetEnvironmentString(const char* pName, char* pBuffer, WORD nBufLen) override;
  void OSSetEnvironmentInt(const char* pName, int nValue) override;
  void OSSetEnvironmentVariable(const char* pName, const char* pValue) override;

  STATUS StatUpdate(const char* pFacility, const char* pStatName, WORD nFlags, WORD nValueType,
                    const void* pValue) override;
  void StatDelete(const char* pFacility, const char* pStatName) override;

  STATUS AgentOpen(DBHANDLE hDb, NOTEID agentNoteId, HAGENT* phAgent) override;
  STATUS AgentCreateRunContext(HAGENT hAgent, void* pSelection, DWORD nFlags, HAGENTCTX* phContext) override;
  STATUS AgentRun(HAGENT hAgent, HAGENTCTX hContext, DHANDLE hSelection, DWORD nFlags) override;
  void AgentDestroyRunContext(HAGENTCTX hContext) override;
  void AgentClose(HAGENT hAgent) override;

  STATUS NSFRemoteConsole(const char* pServer, const char* pCommand, std::string* pReply) override;

  // Hooks (notes_api.h).
  void setReadEntriesLimit(DWORD n) { m_nReadLimit = n; }
  void setLockTimeout(int nMs) { m_nBusyMs = nMs; }
  std::string dataDir();
  std::string iniPath();
  std::vector<std::string> listStatistics(const std::string& sPattern);
  std::vector<std::pair<std::string, std::string>> takeServerRequests();
  void setDefaultTaskName(const std::string& sName);

 private:
  // Everything below runs under m_mutex.
  DbState* db(DBHANDLE h);
  std::string resolvePath(const std::string& sPath);
  STATUS openDb(const std::string& sPath, DbState* pState);
  STATUS buildIndex(DbState& rDb, NOTEID viewId, ViewIndex* pIndex);
  STATUS viewTime(DbState& rDb, NOTEID viewId, Ticks* pTicks);
  STATUS writeNote(DbState& rDb, NoteState& rNote);
  DHANDLE newMem(std::string sBytes);
  STATUS resolveIni(int argc, char** argv);
  std::string readIni(const std::string& sName, bool* pFound);
  void writeIni(const std::string& sName, const std::string& sValue);
  sqlite3* serverDb();
  void logLine(const char* pPattern, STATUS status, va_list args);
  void setStatusRow(DHANDLE h);

  std::recursive_mutex m_mutex;
  int m_nInitCount = 0;
  std::string m_sIniPath;
  std::string m_sDataDir;
  DWORD m_nReadLimit = 64000;
  int m_nBusyMs = 5000;
  std::uint32_t m_nNextHandle = 1;
  std::unordered_map<DHANDLE, std::string> m_mMem;
  std::unordered_map<DBHANDLE, DbState> m_mDb;
  std::unordered_map<HCOLLECTION, CollectionState> m_mColl;
  std::unordered_map<NOTEHANDLE, NoteState> m_mNotes;
  std::unordered_map<MQHANDLE, QueueState> m_mQueues;
  std::map<std::string, int> m_mCreatedQueues;  // upper-case name -> lock fd
  std::unordered_map<HAGENT, AgentState> m_mAgents;
  std::unordered_map<HAGENTCTX, HAGENT> m_mAgentCtx;
  std::unordered_map<DHANDLE, std::pair<std::string, std::string>> m_mStatusLines;  // task, text
  DHANDLE m_hDefaultStatus = 0;
  std::string m_sDefaultTask;
  std::map<DWORD, std::int64_t> m_mElapsed;
  sqlite3* m_pServerDb = nullptr;
  HCOLLECTION m_nNextCollection = 1;

  // The directory cache for names lists.
  struct Directory {
    std::string sPath;
    Ticks nDataTime = -1;
    // lower-case name -> canonical name of the person it names
    std::unordered_map<std::string, std::string> mPersonByName;
    // canonical person name -> its other full names
    std::unordered_map<std::string, std::vector<std::string>> mAlternates;
    // lower-case member -> groups that list it
    std::unordered_map<std::string, std::vector<std::string>> mGroupsByMember;
  };
  std::unique_ptr<Directory> m_pDirectory;
  STATUS loadDirectory(Directory** ppDir);
};

}  // namespace notes
