#include "dominoobjects/domino_objects.h"

#include <cstdio>
#include <cstring>

namespace domino {

using namespace notes;

namespace {

[[noreturn]] void fail(INotesApi& api, STATUS s) {
  std::string sText = statusText(api, s);
  if (sText.empty()) {
    char aBuf[32];
    std::snprintf(aBuf, sizeof aBuf, "Notes error 0x%04X", s);
    sText = aBuf;
  }
  throw DominoError(s, sText);
}

void check(INotesApi& api, STATUS s) {
  if (s != NOERROR) fail(api, s);
}

// An open database handle shared by the objects that use it.
class DbRef {
 public:
  DbRef(INotesApi& api, DBHANDLE h) : m_rApi(api), m_hDb(h) {}
  ~DbRef() { m_rApi.NSFDbClose(m_hDb); }
  DbRef(const DbRef&) = delete;
  DbRef& operator=(const DbRef&) = delete;
  DBHANDLE handle() const { return m_hDb; }

 private:
  INotesApi& m_rApi;
  DBHANDLE m_hDb;
};

class Agent final : public IAgent {
 public:
  Agent(INotesApi& api, std::shared_ptr<DbRef> pDb, NOTEID id, AgentDesign design)
      : m_rApi(api), m_pDb(std::move(pDb)), m_id(id), m_design(std::move(design)) {}
  std::string name() override { return m_design.sTitle; }
  int trigger() override { return m_design.nTrigger; }
  bool isEnabled() override { return m_design.bEnabled; }
  void setEnabled(bool bEnabled) override { m_design.bEnabled = bEnabled; }
  void save() override {
    NOTEHANDLE h = 0;
    check(m_rApi, m_rApi.NSFNoteOpen(m_pDb->handle(), m_id, 0, &h));
    setNumber(m_rApi, h, "$Enabled", m_design.bEnabled ? 1 : 0);
    STATUS s = m_rApi.NSFNoteUpdate(h, 0);
    m_rApi.NSFNoteClose(h);
    check(m_rApi, s);
  }

 private:
  INotesApi& m_rApi;
  std::shared_ptr<DbRef> m_pDb;
  NOTEID m_id;
  AgentDesign m_design;
};

class Document final : public IDocument {
 public:
  Document(INotesApi& api, std::shared_ptr<DbRef> pDb, NOTEHANDLE h) : m_rApi(api), m_pDb(std::move(pDb)), m_hNote(h) {}
  ~Document() override { m_rApi.NSFNoteClose(m_hNote); }
  void replaceItemValue(const std::string& sName, const std::string& sValue) override {
    check(m_rApi, setText(m_rApi, m_hNote, sName, sValue));
  }
  std::string getItemValueString(const std::string& sName) override { return itemAsText(m_rApi, m_hNote, sName); }
  bool save(bool, bool, bool) override { return m_rApi.NSFNoteUpdate(m_hNote, 0) == NOERROR; }

 private:
  INotesApi& m_rApi;
  std::shared_ptr<DbRef> m_pDb;
  NOTEHANDLE m_hNote;
};

class View final : public IView {
 public:
  View(INotesApi& api, std::shared_ptr<DbRef> pDb, NOTEID id) : m_rApi(api), m_pDb(std::move(pDb)), m_id(id) {}

  std::shared_ptr<IDocument> getDocumentByKey(const std::string& sKey, bool bExact) override {
    DBHANDLE hDb = m_pDb->handle();
    std::string sSortItem;
    {
      NOTEHANDLE h = 0;
      check(m_rApi, m_rApi.NSFNoteOpen(hDb, m_id, 0, &h));
      WORD nType = 0;
      std::string sValue;
      if (m_rApi.NSFItemGetValue(h, "$Sort", &nType, &sValue) == NOERROR && nType == TYPE_TEXT_LIST) {
        std::vector<std::string> v = decodeTextList(sValue.data(), sValue.size());
        if (!v.empty()) sSortItem = v[0][0] == '-' ? v[0].substr(1) : v[0];
      }
      m_rApi.NSFNoteClose(h);
    }
    if (sSortItem.empty()) return nullptr;  // a view without a sorted item has no keys
    HCOLLECTION hColl = 0;
    check(m_rApi, m_rApi.NIFOpenCollection(hDb, hDb, m_id, 0, &hColl));
    std::vector<NOTEID> vIds;
    COLLECTIONPOSITION pos{};
    WORD nSignal = 0;
    do {
      DHANDLE hBuf = 0;
      DWORD nReturned = 0;
      STATUS s = m_rApi.NIFReadEntries(hColl, &pos, NAVIGATE_NEXT, 0, NAVIGATE_NEXT, MAXDWORD, READ_MASK_NOTEID, &hBuf,
                                       nullptr, nullptr, &nReturned, &nSignal);
      if (s != NOERROR) {
        m_rApi.NIFCloseCollection(hColl);
        fail(m_rApi, s);
      }
      if (!hBuf) break;
      const char* p = static_cast<const char*>(m_rApi.OSLockObject(hBuf));
      for (DWORD i = 0; i < nReturned; ++i) {
        NOTEID id;
        std::memcpy(&id, p + 4 * i, 4);
        vIds.push_back(id);
      }
      m_rApi.OSMemFree(hBuf);
    } while (nSignal & SIGNAL_MORE_TO_DO);
    m_rApi.NIFCloseCollection(hColl);

    std::string sWanted = lower(sKey);
    for (NOTEID id : vIds) {
      NOTEHANDLE h = 0;
      if (m_rApi.NSFNoteOpen(hDb, id, 0, &h) != NOERROR) continue;
      std::string sValue = lower(itemAsText(m_rApi, h, sSortItem));
      if (bExact ? sValue == sWanted : sValue.compare(0, sWanted.size(), sWanted) == 0)
        return std::make_shared<Document>(m_rApi, m_pDb, h);
      m_rApi.NSFNoteClose(h);
    }
    return nullptr;
  }

 private:
  static std::string lower(std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
  }
  INotesApi& m_rApi;
  std::shared_ptr<DbRef> m_pDb;
  NOTEID m_id;
};

class Database final : public IDatabase {
 public:
  Database(INotesApi& api, std::shared_ptr<DbRef> pDb) : m_rApi(api), m_pDb(std::move(pDb)) {}

  bool isPublicAddressBook() override {
    NOTEID id = 0;
    return m_rApi.NIFFindDesignNoteExt(m_pDb->handle(), "($Users)", NOTE_CLASS_VIEW, "", &id) == NOERROR;
  }
  std::string title() override {
    std::string s;
    check(m_rApi, m_rApi.NSFDbTitleGet(m_pDb->handle(), &s));
    return s;
  }
  void setTitle(const std::string& sTitle) override { check(m_rApi, m_rApi.NSFDbTitleSet(m_pDb->handle(), sTitle.c_str())); }
  std::string filePath() override {
    std::string s;
    check(m_rApi, m_rApi.NSFDbPathGet(m_pDb->handle(), &s, nullptr));
    return s;
  }
  std::string replicaId() override {
    DBREPLICAINFO info{};
    check(m_rApi, m_rApi.NSFDbReplicaInfoGet(m_pDb->handle(), &info));
    char aBuf[17];
    std::snprintf(aBuf, sizeof aBuf, "%08X%08X", info.ID.Innards[1], info.ID.Innards[0]);
    return aBuf;
  }
  std::vector<std::shared_ptr<IAgent>> agents() override {
    std::vector<NOTEID> vIds;
    check(m_rApi, m_rApi.NSFDbGetNoteIds(m_pDb->handle(), NOTE_CLASS_FILTER, &vIds));
    std::vector<std::shared_ptr<IAgent>> v;
    for (NOTEID id : vIds) {
      AgentDesign d;
      check(m_rApi, readAgent(m_rApi, m_pDb->handle(), id, &d));
      v.push_back(std::make_shared<Agent>(m_rApi, m_pDb, id, d));
    }
    return v;
  }
  std::shared_ptr<IDatabase> createFromTemplate(const std::string& sServer, const std::string& sPath, bool bInherit,
                                                int) override {
    if (!sServer.empty()) return nullptr;
    if (m_rApi.NSFDbCreateFromTemplate(filePath().c_str(), sPath.c_str(), bInherit) != NOERROR) return nullptr;
    DBHANDLE h = 0;
    if (m_rApi.NSFDbOpen(sPath.c_str(), &h) != NOERROR) return nullptr;
    return std::make_shared<Database>(m_rApi, std::make_shared<DbRef>(m_rApi, h));
  }
  std::shared_ptr<IView> getView(const std::string& sName) override {
    NOTEID id = 0;
    STATUS s = m_rApi.NIFFindDesignNoteExt(m_pDb->handle(), sName.c_str(), NOTE_CLASS_VIEW, "-G40n^", &id);
    if (s == ERR_NOT_FOUND) return nullptr;
    check(m_rApi, s);
    return std::make_shared<View>(m_rApi, m_pDb, id);
  }

 private:
  INotesApi& m_rApi;
  std::shared_ptr<DbRef> m_pDb;
};

class Session final : public ISession {
 public:
  explicit Session(INotesApi& api) : m_rApi(api) {}
  ~Session() override {
    if (m_bInitialized) m_rApi.NotesTerm();
  }

  void initialize(const std::string&) override {
    if (m_bInitialized) return;
    check(m_rApi, m_rApi.NotesInit());
    m_bInitialized = true;
  }
  std::string getEnvironmentString(const std::string& sName, bool bSystem) override {
    requireInit();
    std::string sBuf(4096, '\0');
    std::string sVar = bSystem ? sName : "$" + sName;
    m_rApi.OSGetEnvironmentString(sVar.c_str(), sBuf.data(), static_cast<WORD>(sBuf.size()));
    sBuf.resize(std::strlen(sBuf.c_str()));
    return sBuf;
  }
  void setEnvironmentVar(const std::string& sName, const std::string& sValue, bool bSystem) override {
    requireInit();
    std::string sVar = bSystem ? sName : "$" + sName;
    m_rApi.OSSetEnvironmentVariable(sVar.c_str(), sValue.c_str());
  }
  std::string sendConsoleCommand(const std::string& sServer, const std::string& sCommand) override {
    requireInit();
    std::string sReply;
    STATUS s = m_rApi.NSFRemoteConsole(sServer.c_str(), sCommand.c_str(), &sReply);
    if (s != NOERROR) throw DominoError(s, sReply.empty() ? statusText(m_rApi, s) : sReply);
    return sReply;
  }
  std::shared_ptr<IDatabase> getDatabase(const std::string& sServer, const std::string& sPath,
                                         bool bCreateOnFail) override {
    requireInit();
    if (!sServer.empty()) throw DominoError(ERR_BAD_ARGUMENT, "Only the local server is available: " + sServer);
    DBHANDLE h = 0;
    STATUS s = m_rApi.NSFDbOpen(sPath.c_str(), &h);
    if (s == ERR_NOEXIST && bCreateOnFail) {
      check(m_rApi, m_rApi.NSFDbCreate(sPath.c_str(), ""));
      s = m_rApi.NSFDbOpen(sPath.c_str(), &h);
    }
    if (s == ERR_NOEXIST) return nullptr;
    check(m_rApi, s);
    return std::make_shared<Database>(m_rApi, std::make_shared<DbRef>(m_rApi, h));
  }
  std::vector<std::shared_ptr<IDatabase>> addressBooks() override {
    std::string sNames = getEnvironmentString("NAMES", true);
    if (sNames.empty()) sNames = "names.nsf";
    std::vector<std::shared_ptr<IDatabase>> v;
    std::size_t nStart = 0;
    while (nStart <= sNames.size()) {
      std::size_t nEnd = sNames.find(',', nStart);
      if (nEnd == std::string::npos) nEnd = sNames.size();
      std::string sPath = sNames.substr(nStart, nEnd - nStart);
      if (!sPath.empty())
        if (auto p = getDatabase("", sPath, false)) v.push_back(p);
      nStart = nEnd + 1;
    }
    return v;
  }

 private:
  void requireInit() {
    if (!m_bInitialized) fail(m_rApi, ERR_NOT_INITIALIZED);
  }
  INotesApi& m_rApi;
  bool m_bInitialized = false;
};

}  // namespace

std::unique_ptr<ISession> createSession(const std::string& sProgId, INotesApi& api) {
  std::string sLower = sProgId;
  for (char& c : sLower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (sLower != "lotus.notessession") throw DominoError(ERR_BAD_ARGUMENT, "Invalid class string: " + sProgId);
  return std::make_unique<Session>(api);
}

}  // namespace domino
