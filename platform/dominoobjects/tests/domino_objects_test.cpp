// The Domino objects over a temporary stand-in server: what the installer
// does with the session, databases, views, documents and agents.
#include "dominoobjects/domino_objects.h"

#include "notes/notes_forwarding.h"
#include "notes_fixture.h"

namespace domino {
namespace {

using notes::testing::TempServer;
using namespace notes;

class DominoObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(api.NotesInit(), NOERROR);
    DBHANDLE h = 0;
    // names.nsf: a public directory.
    api.NSFDbCreate("names.nsf", "Acme's Directory");
    api.NSFDbOpen("names.nsf", &h);
    createView(api, h, {"($Users)", {"Person"}, {"FullName"}, {"FullName"}}, nullptr);
    api.NSFDbClose(h);
    // stconfig.nsf with its configuration documents.
    api.NSFDbCreate("stconfig.nsf", "Sametime Configuration");
    api.NSFDbOpen("stconfig.nsf", &h);
    createView(api, h, {"All_byForm_Uncategorized", {}, {"Form"}, {"Form"}}, nullptr);
    for (const char* pForm : {"CommunityServicesExtra", "CommunityClient", "CommunityServices"}) {
      NOTEHANDLE hNote = 0;
      api.NSFNoteCreate(h, &hNote);
      setText(api, hNote, "Form", pForm);
      setText(api, hNote, "ChatLoggingFlag", "0");
      api.NSFNoteUpdate(hNote, 0);
      api.NSFNoteClose(hNote);
    }
    api.NSFDbClose(h);
    // An old log database with three agents.
    api.NSFDbCreate("prlchatlog.nsf", "Old Logs");
    api.NSFDbOpen("prlchatlog.nsf", &h);
    createAgent(api, h, {"agScheduledOn", AGENT_TRIGGER_SCHEDULED, true, kRecordRunImplementation}, nullptr);
    createAgent(api, h, {"agScheduledOff", AGENT_TRIGGER_SCHEDULED, false, kRecordRunImplementation}, nullptr);
    createAgent(api, h, {"agManual", AGENT_TRIGGER_MANUAL, true, kRecordRunImplementation}, nullptr);
    api.NSFDbClose(h);
    session = createSession("Lotus.NotesSession");
    session->initialize("");
  }
  void TearDown() override {
    session.reset();
    api.NotesTerm();
  }

  TempServer server;
  INotesApi& api = notesApi();
  std::unique_ptr<ISession> session;
};

TEST_F(DominoObjectsTest, SessionNeedsTheRightProgIdAndInitialisation) {
  EXPECT_THROW(createSession("Lotus.Other"), DominoError);
  auto fresh = createSession("lotus.notessession");
  EXPECT_THROW(fresh->getDatabase("", "names.nsf", false), DominoError);
  fresh->initialize("");
  EXPECT_NE(fresh->getDatabase("", "names.nsf", false), nullptr);
}

TEST_F(DominoObjectsTest, NotesIniVariables) {
  EXPECT_EQ(session->getEnvironmentString("Servername", true), "CN=Test/O=Org");
  EXPECT_EQ(session->getEnvironmentString("ServerTasks", true), "");
  session->setEnvironmentVar("ServerTasks", "Replica,Router,parlantis", true);
  EXPECT_EQ(session->getEnvironmentString("servertasks", true), "Replica,Router,parlantis");
  session->setEnvironmentVar("Private", "x", false);  // stored as $Private
  EXPECT_EQ(session->getEnvironmentString("$Private", true), "x");
  EXPECT_NE(notes::testing::readFile(server.ini()).find("\r\nServerTasks=Replica,Router,parlantis\r\n"),
            std::string::npos);
}

TEST_F(DominoObjectsTest, DatabasesTitlesPathsReplicaIdsAndAddressBooks) {
  EXPECT_EQ(session->getDatabase("", "missing.nsf", false), nullptr);
  EXPECT_THROW(session->getDatabase("Other/Acme", "names.nsf", false), DominoError);
  auto pNames = session->getDatabase("", "names.nsf", false);
  ASSERT_NE(pNames, nullptr);
  EXPECT_TRUE(pNames->isPublicAddressBook());
  auto pConfig = session->getDatabase("", "stconfig.nsf", false);
  EXPECT_FALSE(pConfig->isPublicAddressBook());
  EXPECT_EQ(pConfig->title(), "Sametime Configuration");
  pConfig->setTitle("Renamed");
  EXPECT_EQ(session->getDatabase("", "stconfig.nsf", false)->title(), "Renamed");

  // The path opens with the C API and names the same replica.
  DBHANDLE h = 0;
  ASSERT_EQ(api.NSFDbOpen(pNames->filePath().c_str(), &h), NOERROR);
  DBREPLICAINFO info{};
  api.NSFDbReplicaInfoGet(h, &info);
  api.NSFDbClose(h);
  char aExpected[17];
  std::snprintf(aExpected, sizeof aExpected, "%08X%08X", info.ID.Innards[1], info.ID.Innards[0]);
  EXPECT_EQ(pNames->replicaId(), aExpected);
  EXPECT_EQ(pNames->replicaId().size(), 16u);

  auto vBooks = session->addressBooks();
  ASSERT_EQ(vBooks.size(), 1u);
  EXPECT_EQ(vBooks[0]->filePath(), "names.nsf");
  session->setEnvironmentVar("NAMES", "gone.nsf", true);
  EXPECT_TRUE(session->addressBooks().empty());
}

TEST_F(DominoObjectsTest, DocumentByKeyChangedAndSaved) {
  auto pDb = session->getDatabase("", "stconfig.nsf", false);
  EXPECT_EQ(pDb->getView("NoSuchView"), nullptr);
  auto pView = pDb->getView("All_byForm_Uncategorized");
  ASSERT_NE(pView, nullptr);
  EXPECT_EQ(pView->getDocumentByKey("Community", true), nullptr);
  auto pDoc = pView->getDocumentByKey("communityservices", true);  // exact, case ignored
  ASSERT_NE(pDoc, nullptr);
  EXPECT_EQ(pDoc->getItemValueString("Form"), "CommunityServices");
  auto pPartial = pView->getDocumentByKey("CommunityS", false);
  ASSERT_NE(pPartial, nullptr);
  EXPECT_EQ(pPartial->getItemValueString("Form"), "CommunityServices");  // first in view order

  pDoc->replaceItemValue("ChatLoggingFlag", "2");
  pDoc->replaceItemValue("CaptureServiceType", "0x1000");
  EXPECT_TRUE(pDoc->save(true, false, false));
  pDoc.reset();
  auto pAgain = session->getDatabase("", "stconfig.nsf", false)
                    ->getView("All_byForm_Uncategorized")
                    ->getDocumentByKey("CommunityServices", true);
  EXPECT_EQ(pAgain->getItemValueString("ChatLoggingFlag"), "2");
  EXPECT_EQ(pAgain->getItemValueString("CaptureServiceType"), "0x1000");
}

TEST_F(DominoObjectsTest, AgentsListedAndDisabled) {
  auto pDb = session->getDatabase("", "prlchatlog.nsf", false);
  auto vAgents = pDb->agents();
  ASSERT_EQ(vAgents.size(), 3u);
  struct Expected {
    const char* pName;
    int nTrigger;
    bool bEnabled;
  } aExpected[] = {{"agScheduledOn", 1, true}, {"agScheduledOff", 1, false}, {"agManual", 3, true}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(vAgents[i]->name(), aExpected[i].pName);
    EXPECT_EQ(vAgents[i]->trigger(), aExpected[i].nTrigger);
    EXPECT_EQ(vAgents[i]->isEnabled(), aExpected[i].bEnabled);
  }
  vAgents[0]->setEnabled(false);
  vAgents[0]->save();
  auto vAfter = session->getDatabase("", "prlchatlog.nsf", false)->agents();
  EXPECT_FALSE(vAfter[0]->isEnabled());
  EXPECT_TRUE(vAfter[2]->isEnabled());
  EXPECT_TRUE(session->getDatabase("", "names.nsf", false)->agents().empty());
}

TEST_F(DominoObjectsTest, CreateFromTemplateInheritsDesign) {
  auto pTemplate = session->getDatabase("", "prlchatlog.nsf", false);
  auto pNew = pTemplate->createFromTemplate("", "prlchatlog5.nsf", true, 0);
  ASSERT_NE(pNew, nullptr);
  EXPECT_EQ(pNew->agents().size(), 3u);
  EXPECT_NE(pNew->replicaId(), pTemplate->replicaId());
  EXPECT_EQ(pTemplate->createFromTemplate("", "prlchatlog5.nsf", true, 0), nullptr) << "exists already";
}

TEST_F(DominoObjectsTest, ConsoleCommandsReachTheServer) {
  ASSERT_EQ(api.MQCreate("MQ$PARLANTIS", 0, 0), NOERROR);
  MQHANDLE hQueue = 0;
  api.MQOpen("MQ$PARLANTIS", 0, &hQueue);
  session->sendConsoleCommand("CN=Test/O=Org", "!tell parlantis quit");
  EXPECT_TRUE(api.MQIsQuitPending(hQueue));
  api.MQClose(hQueue, 0);
  EXPECT_THROW(session->sendConsoleCommand("", "tell parlantis pause"), DominoError) << "the task is gone";
}

// The runtime failing underneath: a save that the store refuses reports
// false, other failures raise the platform's text.
class FailingStore final : public ForwardingNotesApi {
 public:
  using ForwardingNotesApi::ForwardingNotesApi;
  STATUS NSFNoteUpdate(NOTEHANDLE, WORD) override { return ERR_LOCKED; }
  STATUS NSFDbTitleGet(DBHANDLE, std::string*) override { return ERR_NOT_NSF; }
};

TEST_F(DominoObjectsTest, PlatformFailuresSurface) {
  FailingStore failing(api);
  auto pSession = createSession("Lotus.NotesSession", failing);
  pSession->initialize("");
  auto pDb = pSession->getDatabase("", "stconfig.nsf", false);
  auto pDoc = pDb->getView("All_byForm_Uncategorized")->getDocumentByKey("CommunityClient", true);
  ASSERT_NE(pDoc, nullptr);
  pDoc->replaceItemValue("Virus_Scan_Schedule", "0");
  EXPECT_FALSE(pDoc->save(true, false, false));
  try {
    pDb->title();
    ADD_FAILURE() << "no error raised";
  } catch (const DominoError& e) {
    EXPECT_EQ(e.code(), ERR_NOT_NSF);
    EXPECT_STREQ(e.what(), "File is not a database");
  }
}

}  // namespace
}  // namespace domino
