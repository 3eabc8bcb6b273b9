// The Notes C API as the system uses it, and the stand-in Domino runtime
// behind it.
//
// One abstract interface (INotesApi) with one operation per call the plug-in,
// the server task and the installer make, Notes-shaped: 16-bit statuses (0 =
// success), handles, summary buffers led by their 16-bit length, text lists
// with 16-bit counts, names lists with a 14-byte header and 8-byte time
// stamps. Code under test takes an INotesApi& so a fake can stand in; the
// real, process-wide runtime is notesApi().
//
// The real runtime keeps each .nsf/.ntf database in one SQLite file (WAL),
// finds notes.ini through NOTES_INI or in the working directory at NotesInit,
// and resolves relative database paths in notes.ini's Directory= (the data
// folder). Everything the stand-in server shares between processes lives in
// the data folder: statistics, status lines and requests for the supervising
// server (server.db), the console log (console.log), the record of agent
// runs (agentruns.log), the queues' creator locks and quit marks (.mq/) and
// the supervisor's lock (.server.lock). The POSIX queue names carry a hash
// of the data folder, so two stand-in servers never share a queue; a queue
// left behind by a crashed creator is replaced by the next creator.
//
// Memory handed out in a handle (view entry batches, names lists, text
// lists) belongs to the caller, who locks it for a pointer and frees it with
// OSMemFree. Notes-shaped results are in host byte order.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace notes {

using STATUS = std::uint16_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using BYTE = std::uint8_t;
using DHANDLE = std::uint32_t;      // memory handle
using DBHANDLE = std::uint32_t;     // open database
using HCOLLECTION = std::uint16_t;  // open view
using NOTEID = std::uint32_t;
using NOTEHANDLE = std::uint32_t;  // open note
using MQHANDLE = std::uint32_t;
using HAGENT = std::uint32_t;
using HAGENTCTX = std::uint32_t;
using HMODULE = void*;
constexpr DHANDLE NULLHANDLE = 0;

// 8-byte time stamp: Innards[0] hundredths of a second since midnight UTC,
// Innards[1] the Julian day number. Ordered by (Innards[1], Innards[0]).
struct TIMEDATE {
  DWORD Innards[2];
};
static_assert(sizeof(TIMEDATE) == 8);

// Replica information, 20 bytes: the replica ID (two 32-bit words), flags,
// cut-off interval (days) and cut-off date.
struct DBREPLICAINFO {
  TIMEDATE ID;
  WORD Flags;
  WORD CutoffInterval;
  TIMEDATE Cutoff;
};
static_assert(sizeof(DBREPLICAINFO) == 20);

// Position in a view. Tumbler[0] is the 1-based index of the next entry to
// read (0 counts as the first); NIFReadEntries moves it past what it returned.
struct COLLECTIONPOSITION {
  WORD Level;
  BYTE MinLevel;
  BYTE MaxLevel;
  DWORD Tumbler[32];
};

#pragma pack(push, 1)
// Names list header (14 bytes), followed by NumNames NUL-terminated names.
struct NAMES_LIST {
  WORD NumNames;
  BYTE License[8];
  DWORD Authenticated;
};
// Text list: ListEntries, then ListEntries 16-bit lengths, then the texts
// (no NULs). A list "with data type prefix" is led by the type word 0x0501.
struct LIST {
  WORD ListEntries;
};
// Summary buffer of one view entry: Length is the size of the whole table in
// bytes (this header included); Items ITEM headers follow, then each item's
// name and value (the value led by its 16-bit type) in the same order.
struct ITEM_TABLE {
  WORD Length;
  WORD Items;
};
struct ITEM {
  WORD NameLength;
  WORD ValueLength;  // includes the 2-byte type word
};
#pragma pack(pop)
static_assert(sizeof(NAMES_LIST) == 14);

// Item types.
constexpr WORD TYPE_NUMBER = 0x0300;     // 8-byte double
constexpr WORD TYPE_TIME = 0x0400;       // TIMEDATE
constexpr WORD TYPE_TEXT = 0x0500;       // bytes, no NUL
constexpr WORD TYPE_TEXT_LIST = 0x0501;  // LIST

// Note classes.
constexpr WORD NOTE_CLASS_DOCUMENT = 0x0001;
constexpr WORD NOTE_CLASS_VIEW = 0x0008;
constexpr WORD NOTE_CLASS_FILTER = 0x0200;  // agents
constexpr WORD NOTE_CLASS_ALL = 0x7FFF;
constexpr WORD NOTE_CLASS_ALLNONDATA = 0x7FFE;

// View reading.
constexpr WORD NAVIGATE_CURRENT = 0;
constexpr WORD NAVIGATE_NEXT = 1;
constexpr DWORD READ_MASK_NOTEID = 0x00000001;
constexpr DWORD READ_MASK_SUMMARY = 0x00000002;
constexpr DWORD MAXDWORD = 0xFFFFFFFF;
constexpr WORD SIGNAL_MORE_TO_DO = 0x0020;
constexpr WORD OPEN_NOUPDATE = 0;

// Statistics.
constexpr WORD ST_UPDATE_REPLACE = 1;
constexpr WORD ST_UPDATE_ADD = 2;
constexpr WORD VT_LONG = 0;
constexpr WORD VT_TEXT = 1;
constexpr WORD VT_TIMEDATE = 2;
constexpr WORD VT_NUMBER = 3;  // double

// Agent triggers as the Domino objects report them.
constexpr WORD AGENT_TRIGGER_NONE = 0;
constexpr WORD AGENT_TRIGGER_SCHEDULED = 1;
constexpr WORD AGENT_TRIGGER_MANUAL = 3;

// Statuses. The top two bits are flags; texts are looked up with them
// cleared (OSLoadString, statusText).
constexpr STATUS NOERROR = 0;
constexpr STATUS ERR_MASK = 0x3FFF;
constexpr STATUS ERR_NOT_INITIALIZED = 0x0101;
constexpr STATUS ERR_NO_NOTES_INI = 0x0102;
constexpr STATUS ERR_NOEXIST = 0x0103;
constexpr STATUS ERR_INVALID_HANDLE = 0x0106;
constexpr STATUS ERR_MEMORY = 0x0107;
constexpr STATUS ERR_EXISTS = 0x0108;
constexpr STATUS ERR_NOT_NSF = 0x0111;
constexpr STATUS ERR_LOCKED = 0x0112;
constexpr STATUS ERR_DB_IO = 0x0113;
constexpr STATUS ERR_BAD_ARGUMENT = 0x0114;
constexpr STATUS ERR_NOT_FOUND = 0x0115;         // design note, note or entry not found
constexpr STATUS ERR_ITEM_NOT_FOUND = 0x0207;    // also the rule store's missing or mistyped field
constexpr STATUS ERR_WRONG_TYPE = 0x0208;
constexpr STATUS ERR_LIST_INDEX = 0x0209;
constexpr STATUS ERR_AGENT_NO_WORK = 0x0227;     // an agent run with nothing to do: success
constexpr STATUS ERR_AGENT_NO_IMPL = 0x0228;
constexpr STATUS ERR_AGENT_FAILED = 0x0229;
constexpr STATUS ERR_NAMES_TOO_DEEP = 0x0301;
constexpr STATUS ERR_NAMES_TOO_MANY = 0x0302;
constexpr STATUS ERR_BUFFER_TOO_SMALL = 0x0303;
constexpr STATUS ERR_DUPLICATE_MQ = 0x0461;
constexpr STATUS ERR_NOSUCH_MQ = 0x0462;
constexpr STATUS ERR_MQ_QUIT = 0x0463;
constexpr STATUS ERR_MQ_EMPTY = 0x0464;
constexpr STATUS ERR_MQ_FULL = 0x0465;
constexpr STATUS ERR_MQ_TOO_BIG = 0x0466;
constexpr STATUS ERR_MQ_SYSTEM = 0x0467;
constexpr STATUS ERR_STATS = 0x0501;
constexpr STATUS ERR_INI_WRITE = 0x0502;
constexpr STATUS ERR_CONSOLE = 0x0503;
constexpr STATUS ERR_INVALID_ALLOW_DENY = 0x3D42;  // the rule store's own

// Largest message a task queue carries.
constexpr WORD MQ_MAX_MSGSIZE = 256;

// The Notes C API operations. Every operation is safe to call from several
// threads; handles are process-wide.
class INotesApi {
 public:
  virtual ~INotesApi() = default;

  // --- runtime ---
  // Starts the runtime (counted: every successful call needs one NotesTerm).
  // Finds notes.ini through NOTES_INI or in the working directory and reads
  // Directory= from it. ERR_NO_NOTES_INI when there is none.
  virtual STATUS NotesInitExtended(int argc, char** argv) = 0;
  virtual STATUS NotesInit() = 0;
  // Stops the runtime when the last start is undone; open handles of this
  // process are closed then.
  virtual void NotesTerm() = 0;
  // The text of STATUS (flag bits ignored) into BUFFER, NUL-terminated and
  // cut to LEN-1 characters. Returns the text's length, 0 for a status
  // without a text.
  virtual WORD OSLoadString(HMODULE hModule, STATUS status, char* pBuffer, WORD nLen) = 0;

  // --- databases ---
  // Opens a database file; a relative PATH resolves in the data folder.
  // ERR_NOEXIST (no file), ERR_NOT_NSF (not a database), ERR_LOCKED.
  virtual STATUS NSFDbOpen(const char* pPath, DBHANDLE* phDb) = 0;
  virtual STATUS NSFDbClose(DBHANDLE hDb) = 0;
  // Creates an empty database file with a new replica ID. ERR_EXISTS when the
  // file is there already.
  virtual STATUS NSFDbCreate(const char* pPath, const char* pTitle) = 0;
  // Creates PATH from the template TEMPLATE: its design notes are copied and,
  // with bInherit, the new database remembers the template's name.
  virtual STATUS NSFDbCreateFromTemplate(const char* pTemplatePath, const char* pPath, bool bInherit) = 0;
  // The database's title.
  virtual STATUS NSFDbTitleGet(DBHANDLE hDb, std::string* pTitle) = 0;
  virtual STATUS NSFDbTitleSet(DBHANDLE hDb, const char* pTitle) = 0;
  // The path as given to NSFDbOpen (canonical) and the absolute file path.
  virtual STATUS NSFDbPathGet(DBHANDLE hDb, std::string* pCanonical, std::string* pExpanded) = 0;
  // Data-modified time (moves with every note change) and the time of the
  // last design change.
  virtual STATUS NSFDbModifiedTime(DBHANDLE hDb, TIMEDATE* pDataModified, TIMEDATE* pNonDataModified) = 0;
  virtual STATUS NSFDbReplicaInfoGet(DBHANDLE hDb, DBREPLICAINFO* pInfo) = 0;
  virtual STATUS NSFDbReplicaInfoSet(DBHANDLE hDb, const DBREPLICAINFO* pInfo) = 0;
  // Signs the notes of the classes in nNoteClassMask with the server's ID.
  virtual STATUS NSFDbSign(DBHANDLE hDb, WORD nNoteClassMask) = 0;
  // Replaces the design notes of hDb by copies of hTemplateDb's.
  virtual STATUS DesignReplace(DBHANDLE hTemplateDb, DBHANDLE hDb, DWORD dwFlags, DWORD dwFlags2, void* pReserved1,
                               void* pReserved2) = 0;
  // Note ids of the notes of the given classes, in note id order.
  virtual STATUS NSFDbGetNoteIds(DBHANDLE hDb, WORD nNoteClassMask, std::vector<NOTEID>* pIds) = 0;

  // --- notes and items ---
  virtual STATUS NSFNoteCreate(DBHANDLE hDb, NOTEHANDLE* phNote) = 0;
  // ERR_NOT_FOUND for an unknown or deleted note.
  virtual STATUS NSFNoteOpen(DBHANDLE hDb, NOTEID noteId, WORD nFlags, NOTEHANDLE* phNote) = 0;
  // Stores the note (a new note gets its id here) and moves the database's
  // data time and the last-modified time of every view that shows or showed
  // it.
  virtual STATUS NSFNoteUpdate(NOTEHANDLE hNote, WORD nFlags) = 0;
  virtual STATUS NSFNoteClose(NOTEHANDLE hNote) = 0;
  virtual STATUS NSFNoteDelete(DBHANDLE hDb, NOTEID noteId, WORD nFlags) = 0;
  // Note id (0 before the first update) and class of an open note.
  virtual STATUS NSFNoteGetInfo(NOTEHANDLE hNote, NOTEID* pNoteId, WORD* pNoteClass) = 0;
  virtual STATUS NSFNoteSetClass(NOTEHANDLE hNote, WORD nNoteClass) = 0;
  // Sets an item to a raw value of TYPE (value bytes without the type word),
  // replacing an item of the same name (case ignored).
  virtual STATUS NSFItemSetValue(NOTEHANDLE hNote, const char* pName, WORD nType, const void* pValue,
                                 DWORD nLen) = 0;
  // The raw value and type of an item. ERR_ITEM_NOT_FOUND when absent.
  virtual STATUS NSFItemGetValue(NOTEHANDLE hNote, const char* pName, WORD* pType, std::string* pValue) = 0;
  virtual STATUS NSFItemDelete(NOTEHANDLE hNote, const char* pName) = 0;
  virtual STATUS NSFItemNames(NOTEHANDLE hNote, std::vector<std::string>* pNames) = 0;

  // --- design and views ---
  // Finds a design note by title or alias ("Title|alias"), case ignored, of
  // class 8 (views) or 0x200 (agents). The flags pattern ("-G40n^" for
  // views) is accepted and needs no further check here. ERR_NOT_FOUND.
  virtual STATUS NIFFindDesignNoteExt(DBHANDLE hDb, const char* pName, WORD nNoteClass, const char* pFlagsPattern,
                                      NOTEID* pNoteId) = 0;
  // Opens a view; the index is built at once. hViewDb and hDataDb name the
  // same database here.
  virtual STATUS NIFOpenCollection(DBHANDLE hViewDb, DBHANDLE hDataDb, NOTEID viewNoteId, WORD nFlags,
                                   HCOLLECTION* phCollection) = 0;
  // Brings the index up to date with the documents.
  virtual STATUS NIFUpdateCollection(HCOLLECTION hCollection) = 0;
  virtual STATUS NIFCloseCollection(HCOLLECTION hCollection) = 0;
  // Reads entries from pPos after skipping nSkipCount of them (navigators:
  // NAVIGATE_NEXT or NAVIGATE_CURRENT, both read forward), at most
  // nReturnCount and as many as fit the batch limit (at least one);
  // *phBuffer receives, per entry, the 4-byte note id (READ_MASK_NOTEID)
  // followed by its ITEM_TABLE (READ_MASK_SUMMARY). pPos moves past the
  // last entry returned; *pSignalFlags has SIGNAL_MORE_TO_DO when the limit
  // stopped the batch before the end. No entries: *phBuffer is NULLHANDLE.
  // The caller frees the buffer.
  virtual STATUS NIFReadEntries(HCOLLECTION hCollection, COLLECTIONPOSITION* pPos, WORD nSkipNavigator,
                                DWORD nSkipCount, WORD nReturnNavigator, DWORD nReturnCount, DWORD nReturnMask,
                                DHANDLE* phBuffer, WORD* pBufferLength, DWORD* pSkipped, DWORD* pReturned,
                                WORD* pSignalFlags) = 0;
  // Last time a note shown (or formerly shown) by the view changed, or the
  // view's design did.
  virtual STATUS NIFGetLastModifiedTime(HCOLLECTION hCollection, TIMEDATE* pTime) = 0;
  // Finds ITEMNAME in an ITEM_TABLE (pSummary points at its Length word).
  // *ppValue points past the type word; *pLen excludes it.
  virtual bool NSFLocateSummaryValue(const void* pSummary, const char* pName, const char** ppValue, WORD* pLen,
                                     WORD* pType) = 0;

  // --- memory ---
  virtual STATUS OSMemAlloc(DWORD nSize, DHANDLE* phMem) = 0;
  // nullptr for an unknown handle.
  virtual void* OSLockObject(DHANDLE hMem) = 0;
  virtual void OSUnlockObject(DHANDLE hMem) = 0;
  virtual STATUS OSMemFree(DHANDLE hMem) = 0;
  virtual DWORD OSMemGetSize(DHANDLE hMem) = 0;

  // --- text lists ---
  // A one-entry list (no type prefix) holding TEXT, in a new handle.
  virtual STATUS ListFromText(const char* pText, WORD nLen, DHANDLE* phList, WORD* pListSize) = 0;
  // A copy of LIST (no type prefix) in a new handle.
  virtual STATUS ListCopy(const void* pList, DHANDLE* phList, WORD* pListSize) = 0;
  virtual WORD ListGetNumEntries(const void* pList, bool bPrefixDataType) = 0;
  // Entry nEntry (0-based): pointer into the list and its length, no NUL.
  // ERR_LIST_INDEX past the end.
  virtual STATUS ListGetText(const void* pList, bool bPrefixDataType, WORD nEntry, char** ppText, WORD* pLen) = 0;

  // --- names ---
  // The names under which the directory (names.nsf, or notes.ini names=)
  // knows USER ("/"-separated, canonical or abbreviated): its canonical
  // name, its other full names, the hierarchical wildcards (*/OU=../O=..,
  // */O=.., *) and every group containing it directly or through nested
  // groups (each once; cycles end there). ERR_NAMES_TOO_DEEP when nesting
  // goes beyond kMaxGroupDepth. The handle holds a NAMES_LIST.
  virtual STATUS NSFBuildNamesList(const char* pUserName, DWORD nFlags, DHANDLE* phNamesList) = 0;
  // CN=A/OU=B/O=C -> A/B/C; other names unchanged. ERR_BUFFER_TOO_SMALL.
  virtual STATUS DNAbbreviate(DWORD nFlags, const char* pTemplate, const char* pName, char* pBuffer, WORD nBufLen,
                              WORD* pRetLen) = 0;

  // --- time ---
  virtual void OSCurrentTIMEDATE(TIMEDATE* pTime) = 0;
  // -1, 0 or 1.
  virtual int TimeDateCompare(const TIMEDATE* pT1, const TIMEDATE* pT2) = 0;
  // T1 - T2 in whole seconds.
  virtual std::int32_t TimeDateDifference(const TIMEDATE* pT1, const TIMEDATE* pT2) = 0;
  // "YYYY-MM-DD HH:MM:SS.hh" (UTC) into BUFFER (80 is enough).
  virtual STATUS ConvertTIMEDATEToText(const TIMEDATE* pTime, char* pBuffer, WORD nBufLen, WORD* pRetLen) = 0;

  // --- server task ---
  // The task's module and the default status line the server made for it.
  virtual void AddInQueryDefaults(HMODULE* phModule, DHANDLE* phStatusLine) = 0;
  virtual DHANDLE AddInCreateStatusLine(const char* pTaskName) = 0;
  virtual void AddInDeleteStatusLine(DHANDLE hStatusLine) = 0;
  virtual void AddInSetDefaults(HMODULE hModule, DHANDLE hStatusLine) = 0;
  // Shows TEXT on the default status line (visible to "show tasks").
  virtual void AddInSetStatusText(const char* pText) = 0;
  // One time-stamped line on the console and in the log file: the formatted
  // pattern, followed by the text of STATUS when it is not 0.
  virtual void AddInLogMessageTextV(const char* pPattern, STATUS status, va_list args) = 0;
  virtual void AddInLogErrorTextV(const char* pPattern, STATUS status, va_list args) = 0;
  // Non-zero once a termination signal came or a quit is pending on a queue
  // this process created.
  virtual bool AddInShouldTerminate() = 0;
  // True when N seconds have passed since the last true answer for N (the
  // first call for N starts its timer).
  virtual bool AddInSecondsHaveElapsed(DWORD nSeconds) = 0;

  // --- message queues ---
  // ERR_DUPLICATE_MQ when a live process already created NAME.
  virtual STATUS MQCreate(const char* pName, WORD nQuota, DWORD nOptions) = 0;
  // ERR_NOSUCH_MQ when nobody created NAME.
  virtual STATUS MQOpen(const char* pName, DWORD nOptions, MQHANDLE* phQueue) = 0;
  // Closing the creator's handle removes the queue.
  virtual STATUS MQClose(MQHANDLE hQueue, DWORD nOptions) = 0;
  virtual bool MQIsQuitPending(MQHANDLE hQueue) = 0;
  virtual STATUS MQPutQuitMsg(MQHANDLE hQueue) = 0;
  // ERR_MQ_FULL, ERR_MQ_TOO_BIG (more than MQ_MAX_MSGSIZE).
  virtual STATUS MQPut(MQHANDLE hQueue, WORD nPriority, const char* pBuffer, WORD nLen, DWORD nOptions) = 0;
  // Takes the next message. ERR_MQ_EMPTY when there is none (no waiting).
  virtual STATUS MQGet(MQHANDLE hQueue, char* pBuffer, WORD nBufLen, DWORD nOptions, DWORD nTimeout,
                       WORD* pRetLen) = 0;

  // --- notes.ini ---
  // 0 when unset or not a number.
  virtual long OSGetEnvironmentLong(const char* pName) = 0;
  // False and an empty buffer when unset; the value is cut to nBufLen-1.
  virtual bool OSGetEnvironmentString(const char* pName, char* pBuffer, WORD nBufLen) = 0;
  // Rewrites notes.ini atomically (temporary file, rename), CR LF lines.
  virtual void OSSetEnvironmentInt(const char* pName, int nValue) = 0;
  virtual void OSSetEnvironmentVariable(const char* pName, const char* pValue) = 0;

  // --- statistics (shared by every process of the data folder) ---
  // nFlags ST_UPDATE_REPLACE or ST_UPDATE_ADD (VT_LONG only); pValue points
  // at a 32-bit number, a NUL-terminated text or a TIMEDATE.
  virtual STATUS StatUpdate(const char* pFacility, const char* pStatName, WORD nFlags, WORD nValueType,
                            const void* pValue) = 0;
  virtual void StatDelete(const char* pFacility, const char* pStatName) = 0;

  // --- agents ---
  virtual STATUS AgentOpen(DBHANDLE hDb, NOTEID agentNoteId, HAGENT* phAgent) = 0;
  virtual STATUS AgentCreateRunContext(HAGENT hAgent, void* pSelection, DWORD nFlags, HAGENTCTX* phContext) = 0;
  // Runs the registered implementation the agent names; its status is
  // returned (ERR_AGENT_NO_WORK counts as success for callers).
  virtual STATUS AgentRun(HAGENT hAgent, HAGENTCTX hContext, DHANDLE hSelection, DWORD nFlags) = 0;
  virtual void AgentDestroyRunContext(HAGENTCTX hContext) = 0;
  virtual void AgentClose(HAGENT hAgent) = 0;

  // --- console of the stand-in server ---
  // Carries out one console command ("tell TASK TEXT", "restart task TASK",
  // "show stat PATTERN", "show tasks"; a leading "!" is accepted) and returns
  // the reply. ERR_CONSOLE with the reply text for a command it rejects.
  virtual STATUS NSFRemoteConsole(const char* pServer, const char* pCommand, std::string* pReply) = 0;
};

// Group nesting beyond this depth fails a names list.
constexpr int kMaxGroupDepth = 8;

// The process-wide real runtime.
INotesApi& notesApi();

// --- helpers over any INotesApi ---

// The status text (empty for none).
std::string statusText(INotesApi& api, STATUS status);
// printf-style wrappers of the V operations.
void AddInLogMessageText(INotesApi& api, const char* pPattern, STATUS status, ...);
void AddInLogErrorText(INotesApi& api, const char* pPattern, STATUS status, ...);

// Encoders for item values (bytes without the type word).
std::string encodeTextList(const std::vector<std::string>& vTexts);
std::vector<std::string> decodeTextList(const void* pList, std::size_t nLen);
STATUS setText(INotesApi& api, NOTEHANDLE hNote, const std::string& sName, const std::string& sText);
STATUS setTextList(INotesApi& api, NOTEHANDLE hNote, const std::string& sName, const std::vector<std::string>& vTexts);
STATUS setNumber(INotesApi& api, NOTEHANDLE hNote, const std::string& sName, double dNumber);
STATUS setTime(INotesApi& api, NOTEHANDLE hNote, const std::string& sName, const TIMEDATE& td);
// Item as text: a text, the entries of a text list joined with ", ", a
// number ("%g"), a time (ConvertTIMEDATEToText). Empty when absent.
std::string itemAsText(INotesApi& api, NOTEHANDLE hNote, const std::string& sName);
TIMEDATE timeDateFromUnix(std::int64_t nSeconds, int nHundredths = 0);
std::int64_t unixFromTimeDate(const TIMEDATE& td);

// Design notes. A view selects documents whose Form item is one of vForms
// (empty: every document), sorts them by vSort (item names; a leading "-"
// sorts that item descending; ties by note id) and carries vSummary as the
// summary items of its entries.
struct ViewDesign {
  std::string sTitle;  // "Title" or "Title|alias"
  std::vector<std::string> vForms;
  std::vector<std::string> vSort;
  std::vector<std::string> vSummary;
};
struct AgentDesign {
  std::string sTitle;
  WORD nTrigger = AGENT_TRIGGER_SCHEDULED;
  bool bEnabled = true;
  std::string sImplementation;  // the registered implementation it runs
};
STATUS createView(INotesApi& api, DBHANDLE hDb, const ViewDesign& design, NOTEID* pNoteId);
STATUS createAgent(INotesApi& api, DBHANDLE hDb, const AgentDesign& design, NOTEID* pNoteId);
// Reads an agent's design note.
STATUS readAgent(INotesApi& api, DBHANDLE hDb, NOTEID noteId, AgentDesign* pDesign);

// Agent implementations, registered by name (process-wide).
struct AgentRunInfo {
  INotesApi* pApi;
  DBHANDLE hDb;
  NOTEID agentNoteId;
  std::string sAgentName;
};
using AgentImplementation = std::function<STATUS(const AgentRunInfo&)>;
void registerAgentImplementation(const std::string& sName, AgentImplementation impl);
// Built in: "prl.recordrun" appends "<time> <agent> <database>" to
// agentruns.log in the data folder and returns 0.
constexpr const char* kRecordRunImplementation = "prl.recordrun";

// The server task start-up: starts the runtime from notes.ini, calls MAIN
// with the module handle and the command line, stops the runtime. A failing
// start prints "\r\n%s\r\n\r\n" with the status text and returns 1;
// otherwise MAIN's status is returned. SIGTERM and SIGINT make
// AddInShouldTerminate true.
using AddInMainProc = STATUS (*)(HMODULE hModule, int argc, char** argv);
int runServerTask(int argc, char** argv, const char* pTaskName, AddInMainProc pMain);

// The real runtime's test and tool hooks.
// Largest entry batch NIFReadEntries returns, in bytes (default 64000).
void setReadEntriesLimit(DWORD nBytes);
// How long an operation waits for another process's lock on a database
// before it gives ERR_LOCKED (default 5000 ms; applies to databases opened
// afterwards).
void setLockTimeout(int nMs);
// The data folder the runtime uses ("" before NotesInit).
std::string dataDirectory();
// The notes.ini path the runtime uses.
std::string notesIniPath();
// The POSIX queue name behind NAME for the current data folder.
std::string posixQueueName(const std::string& sName);

// Statistics as the console lists them: "Facility.Name = value" lines,
// sorted, for names matching PATTERN (case ignored; "*" any run).
std::vector<std::string> listStatistics(const std::string& sPattern);

// Requests the console left for the supervising server ("restart" or
// "load", with the task name), oldest first; taking them removes them.
std::vector<std::pair<std::string, std::string>> takeServerRequests();

// Case-insensitive wildcard match ("*" matches any run).
bool wildcardMatch(const std::string& sName, const std::string& sPattern);

}  // namespace notes
