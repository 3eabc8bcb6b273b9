// Databases, notes and items, replica information, the installer's
// by-name operations, status texts, time stamps and notes.ini.
#include <dlfcn.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "notes/notes_c.h"
#include "notes_fixture.h"

namespace notes::testing {
namespace {

using DbTest = NotesTest;

TEST_F(DbTest, OpenFailuresGiveStatusesWithTexts) {
  std::ofstream(server.data() + "/garbage.nsf") << std::string(4096, 'x');
  {  // an SQLite file that is not one of ours
    sqlite3* p = nullptr;
    sqlite3_open((server.data() + "/other.nsf").c_str(), &p);
    sqlite3_exec(p, "CREATE TABLE t(x)", nullptr, nullptr, nullptr);
    sqlite3_close(p);
  }
  struct Case {
    const char* pPath;
    STATUS nExpected;
  } aCases[] = {{"missing.nsf", ERR_NOEXIST}, {"garbage.nsf", ERR_NOT_NSF}, {"other.nsf", ERR_NOT_NSF}};
  for (const Case& c : aCases) {
    DBHANDLE h = 0;
    EXPECT_EQ(api.NSFDbOpen(c.pPath, &h), c.nExpected) << c.pPath;
    EXPECT_FALSE(statusText(api, c.nExpected).empty());
  }
  DBHANDLE h = newDb("dup.nsf");
  EXPECT_EQ(api.NSFDbCreate("dup.nsf", "again"), ERR_EXISTS);
  EXPECT_EQ(api.NSFDbClose(h), NOERROR);
  EXPECT_EQ(api.NSFDbClose(h), ERR_INVALID_HANDLE);
}

TEST_F(DbTest, WriterBlockedTooLongGetsLockedStatus) {
  DBHANDLE h = newDb("busy.nsf");
  setLockTimeout(100);
  DBHANDLE h2 = 0;
  ASSERT_EQ(api.NSFDbOpen("busy.nsf", &h2), NOERROR);
  sqlite3* p = nullptr;
  sqlite3_open((server.data() + "/busy.nsf").c_str(), &p);
  ASSERT_EQ(sqlite3_exec(p, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  NOTEHANDLE hNote = 0;
  api.NSFNoteCreate(h2, &hNote);
  setText(api, hNote, "Form", "X");
  EXPECT_EQ(api.NSFNoteUpdate(hNote, 0), ERR_LOCKED);
  // Readers are not blocked by the writer (WAL).
  std::string sTitle;
  EXPECT_EQ(api.NSFDbTitleGet(h2, &sTitle), NOERROR);
  sqlite3_exec(p, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(p);
  EXPECT_EQ(api.NSFNoteUpdate(hNote, 0), NOERROR);
  api.NSFNoteClose(hNote);
  setLockTimeout(5000);
  api.NSFDbClose(h2);
  api.NSFDbClose(h);
}

TEST_F(DbTest, TypedItemsRoundTripThroughTheFile) {
  DBHANDLE h = newDb("items.nsf");
  TIMEDATE td = timeDateFromUnix(1765450800, 42);
  NOTEHANDLE hNote = 0;
  ASSERT_EQ(api.NSFNoteCreate(h, &hNote), NOERROR);
  setText(api, hNote, "Form", "Rule");
  setTextList(api, hNote, "rule.from", {"CN=A/O=Org", "", "*"});
  setNumber(api, hNote, "Count", 2.5);
  setTime(api, hNote, "When", td);
  ASSERT_EQ(api.NSFNoteUpdate(hNote, 0), NOERROR);
  NOTEID id = 0;
  api.NSFNoteGetInfo(hNote, &id, nullptr);
  api.NSFNoteClose(hNote);
  EXPECT_NE(id, 0u);
  api.NSFDbClose(h);

  ASSERT_EQ(api.NSFDbOpen("items.nsf", &h), NOERROR);
  ASSERT_EQ(api.NSFNoteOpen(h, id, 0, &hNote), NOERROR);
  WORD nType = 0;
  std::string sValue;
  ASSERT_EQ(api.NSFItemGetValue(hNote, "RULE.FROM", &nType, &sValue), NOERROR);
  EXPECT_EQ(nType, TYPE_TEXT_LIST);
  EXPECT_EQ(decodeTextList(sValue.data(), sValue.size()), (std::vector<std::string>{"CN=A/O=Org", "", "*"}));
  ASSERT_EQ(api.NSFItemGetValue(hNote, "Count", &nType, &sValue), NOERROR);
  EXPECT_EQ(nType, TYPE_NUMBER);
  EXPECT_EQ(itemAsText(api, hNote, "Count"), "2.5");
  ASSERT_EQ(api.NSFItemGetValue(hNote, "When", &nType, &sValue), NOERROR);
  EXPECT_EQ(nType, TYPE_TIME);
  TIMEDATE back;
  std::memcpy(&back, sValue.data(), sizeof back);
  EXPECT_EQ(api.TimeDateCompare(&back, &td), 0);
  EXPECT_EQ(api.NSFItemGetValue(hNote, "Absent", &nType, &sValue), ERR_ITEM_NOT_FOUND);
  EXPECT_EQ(api.NSFItemDelete(hNote, "count"), NOERROR);
  EXPECT_EQ(api.NSFItemGetValue(hNote, "Count", &nType, &sValue), ERR_ITEM_NOT_FOUND);
  api.NSFNoteClose(hNote);

  EXPECT_EQ(api.NSFNoteDelete(h, id, 0), NOERROR);
  EXPECT_EQ(api.NSFNoteOpen(h, id, 0, &hNote), ERR_NOT_FOUND);
  api.NSFDbClose(h);
}

TEST_F(DbTest, InstallerOperationsByNameRoundTripReplicaInfo) {
  using OpenFn = STATUS (*)(const char*, DBHANDLE*);
  using InfoFn = STATUS (*)(DBHANDLE, DBREPLICAINFO*);
  using LoadFn = WORD (*)(HMODULE, STATUS, char*, WORD);
  auto pOpen = reinterpret_cast<OpenFn>(::dlsym(RTLD_DEFAULT, "NSFDbOpen"));
  auto pGet = reinterpret_cast<InfoFn>(::dlsym(RTLD_DEFAULT, "NSFDbReplicaInfoGet"));
  auto pSet = reinterpret_cast<InfoFn>(::dlsym(RTLD_DEFAULT, "NSFDbReplicaInfoSet"));
  auto pLoad = reinterpret_cast<LoadFn>(::dlsym(RTLD_DEFAULT, "OSLoadString"));
  for (const char* pName : {"NotesInit", "NotesTerm", "NSFDbClose", "NSFDbSign", "DesignReplace"})
    EXPECT_NE(::dlsym(RTLD_DEFAULT, pName), nullptr) << pName;
  ASSERT_TRUE(pOpen && pGet && pSet && pLoad);

  api.NSFDbClose(newDb("a.nsf"));
  api.NSFDbClose(newDb("b.nsf"));
  DBHANDLE hA = 0, hB = 0;
  ASSERT_EQ(pOpen("a.nsf", &hA), NOERROR);
  ASSERT_EQ(pOpen((server.data() + "/b.nsf").c_str(), &hB), NOERROR);  // absolute paths too
  DBREPLICAINFO a{}, b{};
  ASSERT_EQ(pGet(hA, &a), NOERROR);
  ASSERT_EQ(pGet(hB, &b), NOERROR);
  EXPECT_FALSE(a.ID.Innards[0] == b.ID.Innards[0] && a.ID.Innards[1] == b.ID.Innards[1]);
  b.ID.Innards[0] = static_cast<DWORD>(static_cast<std::int32_t>(a.ID.Innards[0]) + 100100);
  b.ID.Innards[1] = a.ID.Innards[1];
  b.CutoffInterval = 90;
  ASSERT_EQ(pSet(hB, &b), NOERROR);
  NSFDbClose(hB);
  ASSERT_EQ(pOpen("b.nsf", &hB), NOERROR);
  DBREPLICAINFO c{};
  ASSERT_EQ(pGet(hB, &c), NOERROR);
  EXPECT_EQ(std::memcmp(&b, &c, sizeof c), 0);
  EXPECT_EQ(NSFDbSign(hB, NOTE_CLASS_ALL), NOERROR);

  char aText[256];
  EXPECT_GT(pLoad(nullptr, ERR_NOEXIST & ERR_MASK, aText, 255), 0);
  EXPECT_STREQ(aText, "File does not exist");
  NSFDbClose(hA);
  NSFDbClose(hB);
}

TEST_F(DbTest, DesignReplaceAndCreateFromTemplateCopyDesignOnly) {
  DBHANDLE hT = newDb("t.ntf", "Template Title");
  NOTEID viewId = 0, agentId = 0;
  ASSERT_EQ(createView(api, hT, {"Wall|$vwWall", {"Rule"}, {"rule.name"}, {"rule.name"}}, &viewId), NOERROR);
  ASSERT_EQ(createAgent(api, hT, {"agXMLImporter", AGENT_TRIGGER_SCHEDULED, true, kRecordRunImplementation}, &agentId),
            NOERROR);
  addDoc(hT, "Rule", {{"rule.name", "sample"}});
  api.NSFDbClose(hT);

  ASSERT_EQ(api.NSFDbCreateFromTemplate("t.ntf", "new.nsf", true), NOERROR);
  EXPECT_EQ(api.NSFDbCreateFromTemplate("t.ntf", "new.nsf", true), ERR_EXISTS);
  EXPECT_EQ(api.NSFDbCreateFromTemplate("none.ntf", "x.nsf", true), ERR_NOEXIST);
  DBHANDLE h = 0;
  ASSERT_EQ(api.NSFDbOpen("new.nsf", &h), NOERROR);
  std::string sTitle;
  api.NSFDbTitleGet(h, &sTitle);
  EXPECT_EQ(sTitle, "Template Title");
  std::vector<NOTEID> vDocs, vDesign;
  api.NSFDbGetNoteIds(h, NOTE_CLASS_DOCUMENT, &vDocs);
  api.NSFDbGetNoteIds(h, NOTE_CLASS_ALLNONDATA, &vDesign);
  EXPECT_TRUE(vDocs.empty());
  EXPECT_EQ(vDesign.size(), 2u);
  NOTEID found = 0;
  EXPECT_EQ(api.NIFFindDesignNoteExt(h, "$vwWall", NOTE_CLASS_VIEW, "-G40n^", &found), NOERROR);
  EXPECT_EQ(api.NIFFindDesignNoteExt(h, "agxmlimporter", NOTE_CLASS_FILTER, "", &found), NOERROR);
  EXPECT_EQ(api.NIFFindDesignNoteExt(h, "agXMLImporter", NOTE_CLASS_VIEW, "", &found), ERR_NOT_FOUND);

  // A second replace leaves one copy of each design note.
  ASSERT_EQ(api.NSFDbOpen("t.ntf", &hT), NOERROR);
  EXPECT_EQ(DesignReplace(hT, h, 1, 1, nullptr, nullptr), NOERROR);
  api.NSFDbGetNoteIds(h, NOTE_CLASS_ALLNONDATA, &vDesign);
  EXPECT_EQ(vDesign.size(), 2u);
  api.NSFDbClose(hT);
  api.NSFDbClose(h);
}

TEST_F(DbTest, StatusTextsCoverEveryStatusTheSystemReports) {
  for (STATUS s : {ERR_NOT_INITIALIZED, ERR_NO_NOTES_INI, ERR_NOEXIST, ERR_INVALID_HANDLE, ERR_MEMORY, ERR_EXISTS,
                   ERR_NOT_NSF, ERR_LOCKED, ERR_NOT_FOUND, ERR_ITEM_NOT_FOUND, ERR_LIST_INDEX, ERR_AGENT_NO_WORK,
                   ERR_AGENT_NO_IMPL, ERR_NAMES_TOO_DEEP, ERR_DUPLICATE_MQ, ERR_NOSUCH_MQ, ERR_MQ_EMPTY, ERR_MQ_FULL,
                   ERR_INVALID_ALLOW_DENY}) {
    EXPECT_FALSE(statusText(api, s).empty()) << std::hex << s;
    EXPECT_EQ(statusText(api, static_cast<STATUS>(s | 0x8000)), statusText(api, s));  // flag bits ignored
  }
  char aSmall[8];
  EXPECT_EQ(api.OSLoadString(nullptr, ERR_NOEXIST, aSmall, sizeof aSmall), 7);
  EXPECT_STREQ(aSmall, "File do");
  EXPECT_EQ(api.OSLoadString(nullptr, 0x3FFE, aSmall, sizeof aSmall), 0);
  EXPECT_STREQ(aSmall, "");
}

TEST_F(DbTest, TimeOperations) {
  TIMEDATE a = timeDateFromUnix(1765450800), b = timeDateFromUnix(1765450800 + 90, 50);
  EXPECT_EQ(api.TimeDateCompare(&a, &b), -1);
  EXPECT_EQ(api.TimeDateCompare(&b, &a), 1);
  EXPECT_EQ(api.TimeDateCompare(&a, &a), 0);
  EXPECT_EQ(api.TimeDateDifference(&b, &a), 90);
  EXPECT_EQ(api.TimeDateDifference(&a, &b), -90);
  char aBuf[80];
  WORD n = 0;
  ASSERT_EQ(api.ConvertTIMEDATEToText(&b, aBuf, sizeof aBuf, &n), NOERROR);
  EXPECT_STREQ(aBuf, "2025-12-11 11:01:30.50");
  EXPECT_EQ(n, std::strlen(aBuf));
  EXPECT_EQ(api.ConvertTIMEDATEToText(&b, aBuf, 10, &n), ERR_BUFFER_TOO_SMALL);
  TIMEDATE now1, now2;
  api.OSCurrentTIMEDATE(&now1);
  api.OSCurrentTIMEDATE(&now2);
  EXPECT_LE(api.TimeDateCompare(&now1, &now2), 0);
  EXPECT_EQ(unixFromTimeDate(a), 1765450800);
}

TEST_F(DbTest, NotesIniReadAndAtomicWrite) {
  char aBuf[256];
  EXPECT_TRUE(api.OSGetEnvironmentString("servername", aBuf, sizeof aBuf));
  EXPECT_STREQ(aBuf, "CN=Test/O=Org");
  EXPECT_FALSE(api.OSGetEnvironmentString("parlantis_chatlog", aBuf, sizeof aBuf));
  EXPECT_STREQ(aBuf, "");
  EXPECT_EQ(api.OSGetEnvironmentLong("parlantis_import_interval"), 0);
  EXPECT_EQ(dataDirectory(), std::filesystem::canonical(server.data()).string());
  api.OSSetEnvironmentVariable("Long", std::string(300, 'x').c_str());
  EXPECT_TRUE(api.OSGetEnvironmentString("Long", aBuf, 256));
  EXPECT_EQ(std::string(aBuf), std::string(255, 'x')) << "cut to the buffer";

  // Replaced by a rename: the new file existed beside the old one, so it is
  // another inode.
  struct stat before{}, after{};
  ::stat(server.ini().c_str(), &before);
  api.OSSetEnvironmentInt("parlantis_import_interval", 0);
  ::stat(server.ini().c_str(), &after);
  EXPECT_NE(before.st_ino, after.st_ino);
  // A reader running during the rewrites always sees a whole file.
  std::atomic<bool> bStop{false};
  std::atomic<int> nTorn{0};
  std::thread reader([&] {
    while (!bStop) {
      std::string s = readFile(server.ini());
      if (s.find("Servername=CN=Test/O=Org\r\n") == std::string::npos) ++nTorn;
    }
  });
  for (int i = 1; i <= 50; ++i) api.OSSetEnvironmentInt("parlantis_import_interval", i);
  api.OSSetEnvironmentVariable("ServerTasks", "Replica,Router,parlantis");
  bStop = true;
  reader.join();
  EXPECT_EQ(nTorn, 0);
  EXPECT_EQ(api.OSGetEnvironmentLong("PARLANTIS_IMPORT_INTERVAL"), 50);
  std::string sIni = readFile(server.ini());
  EXPECT_EQ(sIni, "[Notes]\r\nDirectory=" + server.data() +
                      "\r\nServername=CN=Test/O=Org\r\nLong=" + std::string(300, 'x') +
                      "\r\nparlantis_import_interval=50\r\nServerTasks=Replica,Router,parlantis\r\n");
  for (auto& e : std::filesystem::directory_iterator(server.root()))
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

TEST(NotesRuntimeStart, WithoutNotesIniFailsAndOperationsNeedTheRuntime) {
  TempServer server;
  ::setenv("NOTES_INI", (server.root() + "/absent.ini").c_str(), 1);
  INotesApi& api = notesApi();
  EXPECT_EQ(api.NotesInit(), ERR_NO_NOTES_INI);
  DBHANDLE h = 0;
  EXPECT_EQ(api.NSFDbOpen("names.nsf", &h), ERR_NOT_INITIALIZED);
  // "=path" on the command line names notes.ini, as the server passes it.
  std::string sArg = "=" + server.ini();
  char* argv[] = {const_cast<char*>("task"), sArg.data(), nullptr};
  ASSERT_EQ(api.NotesInitExtended(2, argv), NOERROR);
  EXPECT_EQ(notesIniPath(), server.ini());
  api.NotesTerm();
}

}  // namespace
}  // namespace notes::testing
