// What a failing open, write, close, rename or removal does to a chat: the
// result and status the host sees, the trace line, and files that stay
// well-formed with nothing lost where the failure allows it.
#include <libxml/parser.h>

#include "PluginFixture.h"

namespace chatwarden::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kGuid = "00000000-0000-4000-8000-000000000001";

bool wellFormed(const std::string& sXml) {
  xmlDocPtr p = xmlReadMemory(sXml.data(), static_cast<int>(sXml.size()), "x.xml", nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!p) return false;
  xmlFreeDoc(p);
  return true;
}

int count(const std::string& s, const std::string& sPart) {
  int n = 0;
  for (auto i = s.find(sPart); i != std::string::npos; i = s.find(sPart, i + 1)) ++n;
  return n;
}

class TranscriptFaultTest : public PluginFixture {
 protected:
  std::string path(const std::string& sSuffix) const { return dir / ("logs/prl5_" + std::string(kGuid) + sSuffix); }
  std::string name(const std::string& sSuffix) const { return "prl5_" + std::string(kGuid) + sSuffix; }

  ChatEntity alice = entity("CN=Alice/O=Acme");
  ChatEntity bob = entity("CN=Bob/O=Acme");
};

// Every failure row, in a chat that starts, gets a joiner, a message, a
// leaver and ends. One call of the chosen kind on the chosen file fails.
TEST_F(TranscriptFaultTest, EachFailingCallIsTracedAndReported) {
  enum Step { kStart, kJoin, kMessage, kLeave, kEnd };
  struct Case {
    const char* pName;
    std::uint32_t nFormat;
    win::FileOp op;
    const char* pFile;  // ".active_xml" or ".active_txt"
    unsigned nNth;
    int nErrno;
    Step failingStep;
    std::string sTrace;
    std::string sStatus;
  };
  const std::string sA = path(".active_xml"), sT = path(".active_txt");
  const std::string sStartMsg = "Velkora Parlantis FATAL ERROR: Log file error(s) while starting session 's1', terminating.";
  const std::string sJoinMsg =
      "Velkora Parlantis FATAL ERROR: Log file error(s) while joining 'CN=Alice/O=Acme' into session 's1', terminating.";
  const std::string sMsgMsg =
      "Velkora Parlantis FATAL ERROR: Unable to log message from 'CN=Alice/O=Acme' to 'CN=Bob/O=Acme', terminating.";
  const std::string sLeaveMsg =
      "Velkora Parlantis FATAL ERROR: Log file error(s) while removing 'CN=Alice/O=Acme' from session 's1', "
      "terminating.";
  const std::string sEndMsg = "Velkora Parlantis FATAL ERROR: Log file error(s) while closing session 's1', terminating.";
  const std::uint32_t X = LOG_FORMAT_XML, T = LOG_FORMAT_TXT;
  const Case aCases[] = {
      {"xml head open", X, win::FileOp::Open, ".active_xml", 1, EACCES, kStart,
       "->ERROR: Unable to open '" + sA + "': Permission denied (s1)", sStartMsg},
      {"xml head write", X, win::FileOp::Write, ".active_xml", 1, EIO, kStart,
       "->ERROR: Unable to write file header to '" + sA + "': Input/output error (s1)", sStartMsg},
      {"xml head folder sync", X, win::FileOp::SyncFolder, ".active_xml", 1, EIO, kStart,
       "->ERROR: Unable to sync the folder of '" + sA + "': Input/output error (s1)", sStartMsg},
      {"joined write", X, win::FileOp::Write, ".active_xml", 2, EIO, kJoin,
       "->ERROR: Unable to write joining user info to '" + sA + "': Input/output error (s1)", sJoinMsg},
      {"message write", X, win::FileOp::Write, ".active_xml", 3, ENOSPC, kMessage,
       "->ERROR: Unable to write message to '" + sA + "': No space left on device (s1)", sMsgMsg},
      {"message close", X, win::FileOp::Close, ".active_xml", 3, EIO, kMessage,
       "->ERROR: Unable to close '" + sA + "': Input/output error (s1)", sMsgMsg},
      {"left write", X, win::FileOp::Write, ".active_xml", 4, EIO, kLeave,
       "->ERROR: Unable to write leaving user info to '" + sA + "': Input/output error (s1)", sLeaveMsg},
      {"completion write", X, win::FileOp::Write, ".active_xml", 5, EIO, kEnd,
       "->ERROR: Unable to complete chat log '" + sA + "': Input/output error (s1)", sEndMsg},
      {"final rename", X, win::FileOp::Rename, ".active_xml", 1, EXDEV, kEnd,
       "->ERROR: Unable to rename active file '" + sA + "' to '" + path("_single.xml") + "'.", sEndMsg},
      {"txt head write", T, win::FileOp::Write, ".active_txt", 1, EIO, kStart,
       "->ERROR: Unable to write file header to '" + sT + "': Input/output error (s1)", sStartMsg},
      {"txt message open", T, win::FileOp::Open, ".active_txt", 3, EMFILE, kMessage,
       "->ERROR: Unable to open '" + sT + "': Too many open files (s1)", sMsgMsg},
      {"txt footer write", T, win::FileOp::Write, ".active_txt", 5, EIO, kEnd,
       "->ERROR: Unable to write footer to '" + sT + "': Input/output error (s1)", sEndMsg},
      {"txt rename", T, win::FileOp::Rename, ".active_txt", 1, EIO, kEnd,
       "->ERROR: Unable to rename '" + sT + "' to '" + path(".txt") + "'", sEndMsg},
  };
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pName);
    std::filesystem::remove_all(dir / "logs");
    std::filesystem::create_directories(dir / "logs");
    machine.uuid.m_nNext = 1;
    machine.files.clearFaults();
    startActive(c.nFormat);
    machine.files.failCall(c.op, c.nNth, c.nErrno, c.pFile);
    machine.debug.clear();
    const std::int32_t aResults[] = {
        stDdaClSessionStarted("s1"),
        stDdaClJoiningSession("s1", &alice, nullptr),
        stDdaClSessionMsg("s1", &alice, 2, "hi", &bob),
        stDdaClLeavingSession("s1", &alice),
        stDdaClSessionEnded("s1"),
    };
    for (int i = kStart; i <= kEnd; ++i)
      EXPECT_EQ(aResults[i], i == c.failingStep ? ST_DDA_API_LOG_FILE_ERROR : ST_DDA_API_OK) << "step " << i;
    EXPECT_THAT(machine.debug.lines(), Contains(c.sTrace));
    EXPECT_THAT(machine.debug.lines(), Contains(c.sStatus));
    EXPECT_EQ(m_nIndicator, PLUGIN_STATUS_FATAL);
  }
}

TEST_F(TranscriptFaultTest, MissingHeadIsWrittenBeforeTheNextRecord) {
  startActive(LOG_FORMAT_XML);
  machine.files.failCall(win::FileOp::Open, 1, EACCES, ".active_xml");
  ASSERT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_LOG_FILE_ERROR);
  ASSERT_EQ(stDdaClSessionMsg("s1", &alice, 2, "hi", &bob), ST_DDA_API_OK);
  ASSERT_EQ(stDdaClSessionEnded("s1"), ST_DDA_API_OK);
  const std::string sXml = logFile(name("_single.xml"));
  EXPECT_TRUE(wellFormed(sXml)) << sXml;
  EXPECT_EQ(count(sXml, "<ibm:file "), 1);
  EXPECT_THAT(sXml, HasSubstr("<txt><![CDATA[hi]]></txt>"));
}

TEST_F(TranscriptFaultTest, PlainTextFailureDoesNotCostTheXmlRecord) {
  startActive(LOG_FORMAT_TXT | LOG_FORMAT_XML);
  ASSERT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_OK);
  machine.files.failCall(win::FileOp::Open, 1, EIO, ".active_txt");
  EXPECT_EQ(stDdaClSessionMsg("s1", &alice, 2, "hi", &bob), ST_DDA_API_LOG_FILE_ERROR);
  machine.files.failCall(win::FileOp::Write, 0, EIO, ".active_txt");
  EXPECT_EQ(stDdaClSessionEnded("s1"), ST_DDA_API_LOG_FILE_ERROR);
  const std::string sXml = logFile(name("_single.xml"));
  EXPECT_TRUE(wellFormed(sXml));
  EXPECT_THAT(sXml, HasSubstr("<txt><![CDATA[hi]]></txt>"));
}

TEST_F(TranscriptFaultTest, FailedRollOverRenameIsRetriedWithoutASecondCompletion) {
  startActive(LOG_FORMAT_XML, 1);
  ASSERT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_OK);
  ASSERT_EQ(stDdaClSessionMsg("s1", &alice, 3, "one", &bob), ST_DDA_API_OK);
  machine.clock.advance(61);
  machine.files.failCall(win::FileOp::Rename, 1, EIO, ".active_xml");
  // The message is written, the part completed, but its rename fails.
  EXPECT_EQ(stDdaClSessionMsg("s1", &alice, 3, "two", &bob), ST_DDA_API_LOG_FILE_ERROR);
  EXPECT_TRUE(traced("->ERROR: Unable to rename active file '" + path(".active_xml") + "' to '" +
                     path("_start.xml") + "'."));
  const std::string sPending = logFile(name(".active_xml"));
  EXPECT_TRUE(wellFormed(sPending));
  EXPECT_EQ(count(sPending, "<ibm:log complete="), 1);

  // The next record first finishes that part, then goes into a new one.
  ASSERT_EQ(stDdaClSessionMsg("s1", &alice, 5, "three", &bob), ST_DDA_API_OK);
  ASSERT_EQ(stDdaClSessionEnded("s1"), ST_DDA_API_OK);
  EXPECT_THAT(logFiles(), ElementsAre(name("_final.xml"), name("_start.xml")));
  const std::string sStart = logFile(name("_start.xml"));
  const std::string sFinal = logFile(name("_final.xml"));
  EXPECT_TRUE(wellFormed(sStart)) << sStart;
  EXPECT_TRUE(wellFormed(sFinal)) << sFinal;
  EXPECT_EQ(count(sStart, "<ibm:log complete=\"false\"/>"), 1);
  EXPECT_THAT(sStart, HasSubstr("CDATA[one]"));
  EXPECT_THAT(sStart, HasSubstr("CDATA[two]"));
  EXPECT_THAT(sFinal, HasSubstr("part=\"1\""));
  EXPECT_THAT(sFinal, HasSubstr("CDATA[three]"));
}

TEST_F(TranscriptFaultTest, PendingPartIsFinishedAtSessionEnd) {
  startActive(LOG_FORMAT_XML, 1);
  ASSERT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_OK);
  machine.clock.advance(61);
  machine.files.failCall(win::FileOp::Rename, 1, EIO, ".active_xml");
  EXPECT_EQ(stDdaClSessionMsg("s1", &alice, 3, "one", &bob), ST_DDA_API_LOG_FILE_ERROR);
  ASSERT_EQ(stDdaClSessionEnded("s1"), ST_DDA_API_OK);
  EXPECT_THAT(logFiles(), ElementsAre(name("_final.xml"), name("_start.xml")));
  EXPECT_TRUE(wellFormed(logFile(name("_start.xml"))));
  EXPECT_TRUE(wellFormed(logFile(name("_final.xml"))));
  EXPECT_THAT(logFile(name("_start.xml")), HasSubstr("CDATA[one]"));
  EXPECT_THAT(logFile(name("_final.xml")), HasSubstr("<ibm:log complete=\"true\"/>"));
}

TEST_F(TranscriptFaultTest, FailedRemovalOfAnEmptyChatIsTraced) {
  startActive(LOG_FORMAT_XML);
  ASSERT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_OK);
  machine.files.failCall(win::FileOp::Remove, 1, EBUSY, ".active_xml");
  EXPECT_EQ(stDdaClSessionEnded("s1"), ST_DDA_API_LOG_FILE_ERROR);
  EXPECT_TRUE(traced("->ERROR: Unable to remove inactive '" + path(".active_xml") + "'"));
  // What stays behind is a complete, well-formed document.
  EXPECT_TRUE(wellFormed(logFile(name(".active_xml"))));
}

TEST_F(TranscriptFaultTest, AFailedStartStillLogsLaterEvents) {
  startActive(LOG_FORMAT_XML);
  machine.files.failCall(win::FileOp::Close, 1, EIO, ".active_xml");
  ASSERT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_LOG_FILE_ERROR);
  ASSERT_NE(plugin().sessionTable().findChatSession("s1"), nullptr);
  EXPECT_EQ(stDdaClSessionMsg("s1", &alice, 2, "hi", &bob), ST_DDA_API_OK);
  EXPECT_EQ(stDdaClSessionEnded("s1"), ST_DDA_API_OK);
  EXPECT_THAT(logFiles(), ElementsAre(name("_single.xml")));
}

}  // namespace
}  // namespace chatwarden::test
