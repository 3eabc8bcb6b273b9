// The life-cycle entry points: version negotiation, initialisation,
// termination, the inactive state and the release of server messages.
#include <cstdlib>
#include <cstring>
#include <regex>

#include "PluginFixture.h"

namespace chatwarden::test {
namespace {

class EntryPointTest : public PluginFixture {};

const std::regex kBuild(R"(\(Build (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d\d \d{4} \d\d:\d\d:\d\d\))");

TEST_F(EntryPointTest, InterfaceVersionIsNegotiated) {
  struct Case {
    std::int32_t nOffered, nResult, nIndicator, nAnswered;
  };
  for (const Case& c : {Case{13, ST_DDA_API_UNSUPPORTED_VERSION, PLUGIN_STATUS_FATAL, 13},
                        Case{14, ST_DDA_API_OK, PLUGIN_STATUS_RUNNING, 14},
                        Case{15, ST_DDA_API_OK, PLUGIN_STATUS_RUNNING, 14}}) {
    SCOPED_TRACE(c.nOffered);
    configureActive();
    load();
    EXPECT_EQ(init(c.nOffered), c.nResult);
    EXPECT_EQ(m_nIndicator, c.nIndicator);
    EXPECT_EQ(m_nVersion, c.nAnswered);
  }
  configureActive();
  load();
  init(13);
  EXPECT_STREQ(m_aMessage,
               "Velkora Parlantis FATAL ERROR: Chatlogging SPI version 13 not supported, Parlantis requires SPI "
               "version 14 or higher, terminating.");
}

TEST_F(EntryPointTest, ActiveInitialisationAnswersTheHost) {
  configureActive();
  load();
  m_nInitFlags = 0x10;
  ASSERT_EQ(init(14, 0x2), ST_DDA_API_OK);
  EXPECT_STREQ(m_aDirType, "Lotus Domino");
  EXPECT_STREQ(m_aLibVersion, "9.5.6.5");
  EXPECT_EQ(m_nInitFlags, 0x12u);
  EXPECT_EQ(m_nIndicator, PLUGIN_STATUS_RUNNING);
  const std::string sMessage = m_aMessage;
  EXPECT_TRUE(sMessage.starts_with("Velkora Parlantis Sametime plugin 5.6.5 (Build ")) << sMessage;
  EXPECT_TRUE(sMessage.ends_with(") loaded and initialized.")) << sMessage;
  EXPECT_TRUE(std::regex_search(sMessage, kBuild)) << sMessage;
  EXPECT_TRUE(traced("------------[Velkora Parlantis 5.6.5 Chat Logging startup]-------------------"));
  EXPECT_TRUE(traced("..->Sametime  SPI prVersion: 14"));
  EXPECT_TRUE(traced("..->Max open files before: 1024"));
  EXPECT_TRUE(traced("..->Max open files after : 2048"));
  EXPECT_TRUE(traced(sMessage));
  EXPECT_EQ(traceMessages().back(), "~stDdaClInit()");
}

TEST_F(EntryPointTest, TextsAreWrittenOnlyWhenTheHostGivesBothBuffers) {
  configureActive();
  load();
  std::int32_t nVersion = 14;
  char aDirType[ST_DDA_DIR_TYPE_SIZE] = "untouched";
  ASSERT_EQ(stDdaClInit(&nVersion, 0, nullptr, aDirType, nullptr, &m_nIndicator, m_aMessage), ST_DDA_API_OK);
  EXPECT_STREQ(aDirType, "untouched");
}

TEST_F(EntryPointTest, InactivePluginAnswersZeroAndWritesNothing) {
  configureActive();
  setDword("LogFileEnabled", 2);
  load();
  ASSERT_EQ(init(), ST_DDA_API_OK);
  EXPECT_EQ(m_nIndicator, PLUGIN_STATUS_RUNNING);
  const std::string sMessage = m_aMessage;
  EXPECT_TRUE(sMessage.ends_with(") loaded but inactive.")) << sMessage;
  EXPECT_TRUE(std::regex_search(sMessage, kBuild)) << sMessage;

  const auto nLinesBefore = traceLines().size();
  ChatEntity alice{};
  std::strcpy(alice.id, "CN=Alice/O=Acme");
  alice.type = ST_DDA_ENTITY_USER;
  SrvMsg* pMsgs = nullptr;
  std::int32_t nCount = 0;
  EXPECT_EQ(stDdaClSessionPolicycheckFunc("a", "b", &pMsgs, &nCount), ST_DDA_API_OK);
  EXPECT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_OK);
  EXPECT_EQ(stDdaClJoiningSession("s1", &alice, nullptr), ST_DDA_API_OK);
  EXPECT_EQ(stDdaClSessionMsg("s1", &alice, 2, "hi", nullptr), ST_DDA_API_OK);
  EXPECT_EQ(stDdaClLeavingSession("s1", &alice), ST_DDA_API_OK);
  EXPECT_EQ(stDdaClSessionEnded("s1"), ST_DDA_API_OK);
  stDdaClTimerEvent();
  EXPECT_EQ(traceLines().size(), nLinesBefore) << "session entry points must not trace while inactive";
  EXPECT_EQ(pMsgs, nullptr);
  EXPECT_TRUE(std::filesystem::is_empty(dir / "logs"));

  // Data messages still trace their entry and dump, once per variant.
  const unsigned char aData[] = {1, 2, 3};
  EXPECT_EQ(stDdaClSessionDataMsg("s1", nullptr, 1, 0, 3, aData, nullptr), ST_DDA_API_OK);
  const auto v = traceMessages();
  ASSERT_EQ(v.size(), nLinesBefore + 5);
  EXPECT_EQ(v[nLinesBefore], "+stDdaClSessionDataMsg(s1, dataType = 1, subType = 0, len = 3)");
  EXPECT_EQ(v[nLinesBefore + 2], "+stDdaClSessionDataMsgWithSrvMsg(s1, dataType = 1, subType = 0, len = 3)");
  EXPECT_EQ(v[nLinesBefore + 1], v[nLinesBefore + 3]);
  EXPECT_EQ(v.back(), "~stDdaClSessionDataMsgWithSrvMsg(s1)");
}

TEST_F(EntryPointTest, TerminationReportsUnloadedAndRunning) {
  configureActive();
  load();
  init(13);
  ASSERT_EQ(m_nIndicator, PLUGIN_STATUS_FATAL);
  stDdaClTerminate();
  EXPECT_EQ(m_nIndicator, PLUGIN_STATUS_RUNNING);
  const std::string sMessage = m_aMessage;
  EXPECT_TRUE(sMessage.starts_with("Velkora Parlantis Sametime plugin 5.6.5 (Build ")) << sMessage;
  EXPECT_TRUE(sMessage.ends_with(") unloaded.")) << sMessage;
  EXPECT_TRUE(traced("------------[Velkora Parlantis 5.6.5 Chat Logging shutdown]------------------"));
  EXPECT_EQ(traceMessages().back(), "~stDdaClTerminate()");
}

TEST_F(EntryPointTest, JoinTraceNamesEntityAndScope) {
  configureActive();
  load();
  ASSERT_EQ(init(), ST_DDA_API_OK);
  ChatEntity alice{};
  std::strcpy(alice.id, "CN=Alice/O=Acme");
  alice.type = ST_DDA_ENTITY_USER;
  ChatEntity scope{};
  std::strcpy(scope.id, "place-1");
  scope.type = 9;
  ASSERT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_OK);
  EXPECT_EQ(stDdaClJoiningSession("s1", &alice, &scope), ST_DDA_API_OK);
  EXPECT_TRUE(traced("+stDdaClJoiningSessionWithSrvMsg(SessID='s1', entID='CN=Alice/O=Acme', entType='User', "
                     "scopeID='place-1', scopeType='Unknown')"));
  EXPECT_EQ(stDdaClJoiningSession("s1", nullptr, nullptr), ST_DDA_API_OK);
  EXPECT_TRUE(traced("+stDdaClJoiningSessionWithSrvMsg(SessID='s1', entID='NULL', entType='', scopeID='NULL', "
                     "scopeType='')"));
  EXPECT_TRUE(traced("+stDdaClSessionStartedByOrgName(sessID=s1, org='')"));
  EXPECT_TRUE(traced("~stDdaClJoiningSessionWithSrvMsg(s1, CN=Alice/O=Acme, 0)"));
}

TEST_F(EntryPointTest, EntityIdWithoutTerminatorIsReadWithinItsField) {
  configureActive();
  load();
  ASSERT_EQ(init(), ST_DDA_API_OK);
  // The id field is followed by the type; an id filling all 256 bytes must
  // not run into it.
  ChatEntity full;
  std::memset(full.id, 'z', sizeof full.id);
  full.type = ST_DDA_ENTITY_USER;
  ASSERT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_OK);
  EXPECT_EQ(stDdaClLeavingSession("s1", &full), ST_DDA_API_OK);
  EXPECT_TRUE(traced("+stDdaClLeavingSessionWithSrvMsg(s1, " + std::string(256, 'z') + ")"));
}

TEST_F(EntryPointTest, CleanSrvMsgsReleasesOwnedTextsAndTheArray) {
  configureActive();
  load();
  // Releasing the static text or the array twice would abort the process
  // (and is reported by the address sanitizer build).
  static char aStatic[] = "static text";
  auto* pArray = static_cast<SrvMsg*>(std::malloc(3 * sizeof(SrvMsg)));
  pArray[0] = SrvMsg{0, 0, 5, static_cast<char*>(std::malloc(6))};
  std::strcpy(pArray[0].text, "hello");
  pArray[1] = SrvMsg{1, 1, 11, aStatic};
  pArray[2] = SrvMsg{0, 1, 0, nullptr};
  EXPECT_EQ(stDdaClCleanSrvMsgs(pArray, 3), ST_DDA_API_OK);
  EXPECT_STREQ(aStatic, "static text");
  EXPECT_TRUE(traced("+stDdaClCleanSrvMsgs(): Processing 3 server messages"));
  EXPECT_EQ(traceMessages().back(), "~stDdaClCleanSrvMsgs()");

  // Nothing is released for an empty list or a zero count.
  auto* pKept = static_cast<SrvMsg*>(std::malloc(sizeof(SrvMsg)));
  EXPECT_EQ(stDdaClCleanSrvMsgs(pKept, 0), ST_DDA_API_OK);
  EXPECT_EQ(traceMessages().back(), "~stDdaClCleanSrvMsgs(): Message list is NULL or indicator is 0");
  std::free(pKept);
  EXPECT_EQ(stDdaClCleanSrvMsgs(nullptr, 4), ST_DDA_API_OK);
}

TEST_F(EntryPointTest, EveryEntryPointIsSafeBeforeTheLibraryIsLoaded) {
  unloadPlugin();
  std::int32_t nVersion = 14;
  EXPECT_EQ(stDdaClInit(&nVersion, 0, nullptr, nullptr, nullptr, nullptr, nullptr), ST_DDA_API_INIT_FAILED);
  EXPECT_EQ(stDdaClSessionPolicycheckFunc("a", "b", nullptr, nullptr), ST_DDA_API_CHAT_DENIED);
  EXPECT_EQ(stDdaClSessionStarted("s"), ST_DDA_API_LOG_FILE_ERROR);
  stDdaClTimerEvent();
  stDdaClTerminate();
}

}  // namespace
}  // namespace chatwarden::test
