// Message queues, statistics, log lines, the task start-up, agents and the
// console.
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <thread>

#include "notes_fixture.h"

namespace notes::testing {
namespace {

// Runs the probe (a second process) and returns its output and exit code.
std::pair<std::string, int> probe(const std::string& sArgs, const std::string& sEnv = "") {
  std::string sCmd = sEnv + " " + NOTES_PROBE + " " + sArgs;
  FILE* p = ::popen(sCmd.c_str(), "r");
  std::string sOut;
  std::array<char, 512> aBuf;
  std::size_t n;
  while ((n = std::fread(aBuf.data(), 1, aBuf.size(), p)) > 0) sOut.append(aBuf.data(), n);
  int nStatus = ::pclose(p);
  return {sOut, WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1};
}

using QueueTest = NotesTest;

TEST_F(QueueTest, ExistsEmptyAndQuit) {
  ASSERT_EQ(api.MQCreate("MQ$PARLANTIS", 0, 0), NOERROR);
  EXPECT_EQ(api.MQCreate("MQ$PARLANTIS", 0, 0), ERR_DUPLICATE_MQ);
  EXPECT_EQ(probe("mqcreate 'MQ$PARLANTIS'").first, "0x0461\n") << "a second creator in another process";
  MQHANDLE hOwner = 0, hSender = 0;
  ASSERT_EQ(api.MQOpen("MQ$PARLANTIS", 0, &hOwner), NOERROR);
  ASSERT_EQ(api.MQOpen("mq$parlantis", 0, &hSender), NOERROR);  // names ignore case

  char aBuf[256];
  WORD nLen = 0;
  EXPECT_EQ(api.MQGet(hOwner, aBuf, sizeof aBuf, 0, 0, &nLen), ERR_MQ_EMPTY);
  ASSERT_EQ(api.MQPut(hSender, 1, "pause", 5, 0), NOERROR);
  ASSERT_EQ(api.MQPut(hSender, 1, "interval 30", 11, 0), NOERROR);
  ASSERT_EQ(api.MQGet(hOwner, aBuf, sizeof aBuf, 0, 0, &nLen), NOERROR);
  EXPECT_EQ(std::string(aBuf, nLen), "pause");
  ASSERT_EQ(api.MQGet(hOwner, aBuf, sizeof aBuf, 0, 0, &nLen), NOERROR);
  EXPECT_EQ(std::string(aBuf, nLen), "interval 30");
  EXPECT_EQ(api.MQGet(hOwner, aBuf, sizeof aBuf, 0, 0, &nLen), ERR_MQ_EMPTY);
  EXPECT_EQ(api.MQPut(hSender, 1, aBuf, 257, 0), ERR_MQ_TOO_BIG);

  EXPECT_FALSE(api.MQIsQuitPending(hOwner));
  EXPECT_FALSE(api.AddInShouldTerminate());
  ASSERT_EQ(api.MQPutQuitMsg(hSender), NOERROR);
  EXPECT_TRUE(api.MQIsQuitPending(hOwner));
  EXPECT_TRUE(api.AddInShouldTerminate());

  api.MQClose(hSender, 0);
  api.MQClose(hOwner, 0);  // the creator's close removes the queue
  MQHANDLE h = 0;
  EXPECT_EQ(api.MQOpen("MQ$PARLANTIS", 0, &h), ERR_NOSUCH_MQ);
  EXPECT_EQ(probe("mqcreate 'MQ$PARLANTIS'").first, "0x0000\n") << "free again once the creator closed it";
  EXPECT_FALSE(api.AddInShouldTerminate());
}

TEST_F(QueueTest, StoppingTheRuntimeRemovesItsQueues) {
  ASSERT_EQ(api.MQCreate("MQ$ONE", 0, 0), NOERROR);
  ASSERT_EQ(api.MQCreate("MQ$TWO", 0, 0), NOERROR);
  MQHANDLE h = 0;
  ASSERT_EQ(api.MQOpen("MQ$TWO", 0, &h), NOERROR);
  api.NotesTerm();
  ASSERT_EQ(api.NotesInit(), NOERROR);
  EXPECT_EQ(api.MQOpen("MQ$ONE", 0, &h), ERR_NOSUCH_MQ);
  EXPECT_EQ(api.MQOpen("MQ$TWO", 0, &h), ERR_NOSUCH_MQ);
}

TEST_F(QueueTest, QueueNamesDifferPerDataFolder) {
  std::string sMine = posixQueueName("MQ$PARLANTIS");
  api.NotesTerm();
  TempServer other;
  ASSERT_EQ(api.NotesInit(), NOERROR);
  EXPECT_NE(posixQueueName("MQ$PARLANTIS"), sMine);
  EXPECT_EQ(posixQueueName("mq$parlantis"), posixQueueName("MQ$PARLANTIS"));
  api.NotesTerm();
  ::setenv("NOTES_INI", server.ini().c_str(), 1);
  ASSERT_EQ(api.NotesInit(), NOERROR);
}

TEST_F(NotesTest, StatisticsSetAddDeleteSeenFromAnotherProcess) {
  std::int32_t nOne = 1;
  TIMEDATE td = timeDateFromUnix(1765450800);
  ASSERT_EQ(api.StatUpdate("Velkora", "Parlantis.Task.Running", ST_UPDATE_REPLACE, VT_TEXT, "TRUE"), NOERROR);
  ASSERT_EQ(api.StatUpdate("Velkora", "Parlantis.Task.Start", ST_UPDATE_REPLACE, VT_TIMEDATE, &td), NOERROR);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(api.StatUpdate("Velkora", "Parlantis.Import.Runs", ST_UPDATE_ADD, VT_LONG, &nOne), NOERROR);
  ASSERT_EQ(api.StatUpdate("Other", "Thing", ST_UPDATE_REPLACE, VT_TEXT, "x"), NOERROR);
  EXPECT_EQ(probe("stat 'Velkora.Parlantis.*'").first,
            "Velkora.Parlantis.Import.Runs = 3\n"
            "Velkora.Parlantis.Task.Running = TRUE\n"
            "Velkora.Parlantis.Task.Start = 2025-12-11 11:00:00.00\n");
  api.StatDelete("Velkora", "Parlantis.Import.Runs");
  api.StatDelete("Velkora", "Parlantis.Never.Set");
  ASSERT_EQ(api.StatUpdate("Velkora", "Parlantis.Task.Running", ST_UPDATE_REPLACE, VT_TEXT, "FALSE"), NOERROR);
  EXPECT_EQ(probe("stat 'velkora.parlantis.task.r*'").first, "Velkora.Parlantis.Task.Running = FALSE\n");
  EXPECT_EQ(probe("stat '*Runs'").first, "");
}

TEST_F(NotesTest, LogLinesGoToConsoleAndLogFile) {
  AddInLogMessageText(api, "%s Import interval is %u seconds", 0, "Parlantis:", 60u);
  AddInLogErrorText(api, "%s Importer error: ", ERR_AGENT_FAILED, "Parlantis:");
  AddInLogErrorText(api, "%s Unable to load", ERR_DUPLICATE_MQ, "Parlantis:");
  AddInLogMessageText(api, "%s\n", 0, "help line");
  std::string sLog = readFile(server.data() + "/console.log");
  std::vector<std::string> vLines;
  std::stringstream ss(sLog);
  for (std::string s; std::getline(ss, s);) vLines.push_back(s);
  ASSERT_EQ(vLines.size(), 4u);
  const char* aExpected[] = {"Parlantis: Import interval is 60 seconds", "Parlantis: Importer error: Agent failed",
                             "Parlantis: Unable to load: Message queue already exists", "help line"};
  for (int i = 0; i < 4; ++i) {
    // "MM/DD/YYYY HH:MM:SS  text"
    ASSERT_GT(vLines[i].size(), 21u);
    EXPECT_EQ(vLines[i][2], '/');
    EXPECT_EQ(vLines[i].substr(19, 2), "  ");
    EXPECT_EQ(vLines[i].substr(21), aExpected[i]);
  }
}

TEST_F(NotesTest, StatusLinesAndSecondsElapsed) {
  HMODULE hModule = nullptr;
  DHANDLE hDefault = 0;
  api.AddInQueryDefaults(&hModule, &hDefault);
  EXPECT_NE(hModule, nullptr);
  api.AddInDeleteStatusLine(hDefault);
  DHANDLE hLine = api.AddInCreateStatusLine("Parlantis Importer");
  api.AddInSetDefaults(hModule, hLine);
  api.AddInSetStatusText("Idle, importing every 60 seconds");
  std::string sReply;
  ASSERT_EQ(api.NSFRemoteConsole("", "show tasks", &sReply), NOERROR);
  EXPECT_NE(sReply.find("Parlantis Importer"), std::string::npos) << sReply;
  EXPECT_NE(sReply.find("Idle, importing every 60 seconds"), std::string::npos) << sReply;

  EXPECT_FALSE(api.AddInSecondsHaveElapsed(1));  // starts the timer
  EXPECT_FALSE(api.AddInSecondsHaveElapsed(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(1050));
  EXPECT_TRUE(api.AddInSecondsHaveElapsed(1));
  EXPECT_FALSE(api.AddInSecondsHaveElapsed(1));
  EXPECT_FALSE(api.AddInSecondsHaveElapsed(60));
}

TEST_F(NotesTest, ServerTaskStartUp) {
  auto [sOut, nRc] = probe("task");
  EXPECT_EQ(nRc, 7) << "the main procedure's status";
  EXPECT_NE(sOut.find("Probe: task ran"), std::string::npos);
  EXPECT_NE(readFile(server.data() + "/console.log").find("Probe: task ran"), std::string::npos);

  auto [sFail, nFailRc] = probe("task", "NOTES_INI=" + server.root() + "/absent.ini");
  EXPECT_EQ(nFailRc, 1);
  EXPECT_EQ(sFail, "\r\n" + statusText(api, ERR_NO_NOTES_INI) + "\r\n\r\n");
}

TEST_F(NotesTest, AgentsRunTheirRegisteredImplementation) {
  int nRuns = 0;
  registerAgentImplementation("test.count", [&](const AgentRunInfo& r) {
    ++nRuns;
    EXPECT_EQ(r.sAgentName, "agCount");
    return ERR_AGENT_NO_WORK;
  });
  DBHANDLE hDb = newDb("prlchatlog5.nsf");
  NOTEID idCount = 0, idRecord = 0, idNone = 0;
  createAgent(api, hDb, {"agCount", AGENT_TRIGGER_SCHEDULED, true, "test.count"}, &idCount);
  createAgent(api, hDb, {"agXMLImporter", AGENT_TRIGGER_SCHEDULED, true, kRecordRunImplementation}, &idRecord);
  createAgent(api, hDb, {"agNone", AGENT_TRIGGER_MANUAL, false, "not.registered"}, &idNone);
  struct Case {
    NOTEID id;
    STATUS nExpected;
  } aCases[] = {{idCount, ERR_AGENT_NO_WORK}, {idRecord, NOERROR}, {idNone, ERR_AGENT_NO_IMPL}};
  for (const Case& c : aCases) {
    HAGENT hAgent = 0;
    HAGENTCTX hCtx = 0;
    ASSERT_EQ(api.AgentOpen(hDb, c.id, &hAgent), NOERROR);
    ASSERT_EQ(api.AgentCreateRunContext(hAgent, nullptr, 0, &hCtx), NOERROR);
    EXPECT_EQ(api.AgentRun(hAgent, hCtx, 0, 0), c.nExpected);
    api.AgentDestroyRunContext(hCtx);
    EXPECT_EQ(api.AgentRun(hAgent, hCtx, 0, 0), ERR_INVALID_HANDLE);
    api.AgentClose(hAgent);
  }
  EXPECT_EQ(nRuns, 1);
  std::string sRuns = readFile(server.data() + "/agentruns.log");
  EXPECT_NE(sRuns.find("agXMLImporter prlchatlog5.nsf"), std::string::npos) << sRuns;
  HAGENT hAgent = 0;
  NOTEID idDoc = addDoc(hDb, "Log", {});
  EXPECT_EQ(api.AgentOpen(hDb, idDoc, &hAgent), ERR_NOT_FOUND) << "a note that is not an agent";
  api.NSFDbClose(hDb);
}

TEST_F(NotesTest, ConsoleCommandsReachTheTaskQueue) {
  ASSERT_EQ(api.MQCreate("MQ$PARLANTIS", 0, 0), NOERROR);
  MQHANDLE hQueue = 0;
  ASSERT_EQ(api.MQOpen("MQ$PARLANTIS", 0, &hQueue), NOERROR);
  std::string sReply;
  EXPECT_EQ(api.NSFRemoteConsole("CN=Test/O=Org", "tell parlantis interval 30", &sReply), NOERROR);
  char aBuf[256];
  WORD nLen = 0;
  ASSERT_EQ(api.MQGet(hQueue, aBuf, sizeof aBuf, 0, 0, &nLen), NOERROR);
  EXPECT_EQ(std::string(aBuf, nLen), "interval 30");
  EXPECT_FALSE(api.MQIsQuitPending(hQueue));
  EXPECT_EQ(api.NSFRemoteConsole("", "!tell parlantis quit", &sReply), NOERROR);
  EXPECT_TRUE(api.MQIsQuitPending(hQueue));
  EXPECT_EQ(api.MQGet(hQueue, aBuf, sizeof aBuf, 0, 0, &nLen), ERR_MQ_EMPTY);
  api.MQClose(hQueue, 0);

  EXPECT_EQ(api.NSFRemoteConsole("", "tell nosuch pause", &sReply), ERR_NOSUCH_MQ);
  EXPECT_EQ(sReply, "Task nosuch is not running");
  EXPECT_EQ(api.NSFRemoteConsole("", "frobnicate", &sReply), ERR_CONSOLE);
  EXPECT_EQ(api.NSFRemoteConsole("", "!restart task parlantis", &sReply), ERR_CONSOLE)
      << "neither the task nor a supervising server is running";

  std::int32_t n = 5;
  api.StatUpdate("Velkora", "Parlantis.Import.Runs", ST_UPDATE_REPLACE, VT_LONG, &n);
  api.StatUpdate("Server", "Users", ST_UPDATE_REPLACE, VT_LONG, &n);
  EXPECT_EQ(api.NSFRemoteConsole("", "show stat Velkora.Parlantis.*", &sReply), NOERROR);
  EXPECT_EQ(sReply, "Velkora.Parlantis.Import.Runs = 5\n");
}

}  // namespace
}  // namespace notes::testing
