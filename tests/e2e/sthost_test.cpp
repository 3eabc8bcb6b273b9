// sthost playing chats against the built chatwarden.so on a machine folder
// of the test's own, as in the demo.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>

#include "ScenarioPlayer.h"
#include "TestSupport.h"
#include "win/debug_output.h"
#include "win/registry.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

struct ProgramRun {
  int nExit = -1;
  std::string sOut;
};

class SthostTest : public ::testing::Test {
 protected:
  SthostTest() : m_registry(dir / "machine/registry.reg", m_diag) {
    fs::create_directories(dir / "logs");
    const char* pKey = "SOFTWARE\\Parlantis\\Server";
    m_registry.setValue(pKey, win::RegValue::dword("LogFileEnabled", 1));
    m_registry.setValue(pKey, win::RegValue::dword("LogFileFormat", 3));
    m_registry.setValue(pKey, win::RegValue::dword("LogFileInterval", 5));
    m_registry.setValue(pKey, win::RegValue::text("LogFileFolderPath", dir / "logs"));
  }

  // Runs sthost with ARGS in the folder SCWD (the test's own by default).
  ProgramRun sthost(const std::string& sArgs, const std::string& sCwd = ".") {
    const std::string sCmd = "cd '" + sCwd + "' && MACHINE_DIR='" + (dir / "machine") +
                             "' DEBUG_OUTPUT=/dev/null '" STHOST_EXE "' " + sArgs + " 2>&1";
    ProgramRun r;
    FILE* p = ::popen(sCmd.c_str(), "r");
    if (!p) return r;
    char aBuf[4096];
    std::size_t n;
    while ((n = std::fread(aBuf, 1, sizeof aBuf, p)) > 0) r.sOut.append(aBuf, n);
    const int nStatus = ::pclose(p);
    r.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    return r;
  }

  // Finished file names with the GUID replaced by "GUID", sorted.
  std::vector<std::string> finishedFiles() const {
    static const std::regex kGuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::vector<std::string> v;
    for (const auto& e : fs::directory_iterator(dir / "logs"))
      v.push_back(std::regex_replace(e.path().filename().string(), kGuid, "GUID"));
    std::sort(v.begin(), v.end());
    return v;
  }

  bool allXmlWellFormed() const {
    for (const auto& e : fs::directory_iterator(dir / "logs")) {
      if (e.path().extension() != ".xml") continue;
      const std::string s = testsupport::readFile(e.path().string());
      xmlDocPtr pDoc = xmlReadMemory(s.data(), static_cast<int>(s.size()), "x.xml", nullptr,
                                     XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
      if (!pDoc) return false;
      xmlFreeDoc(pDoc);
    }
    return true;
  }

  testsupport::TempDir dir;
  win::CapturingDebugOutput m_diag;
  win::FileRegistry m_registry;
};

TEST_F(SthostTest, SampleScenariosLeaveTheirTranscripts) {
  struct Case {
    const char* pFile;
    std::vector<std::string> vFiles;
    const char* pInTranscript;
  };
  const Case aCases[] = {
      {"two-party.scn", {"prl5_GUID.txt", "prl5_GUID_single.xml"}, "costs flat."},
      {"place-chat.scn", {"prl5_GUID.txt", "prl5_GUID_1.png", "prl5_GUID_single.xml"}, "Done here, thanks."},
      {"long-chat.scn",
       {"prl5_GUID.txt", "prl5_GUID_final.xml", "prl5_GUID_part001.xml", "prl5_GUID_part002.xml", "prl5_GUID_start.xml"},
       "All copied, checking indexes."},
  };
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pFile);
    fs::remove_all(dir / "logs");
    fs::create_directories(dir / "logs");
    // Scenarios name their files relative to the repository's top folder.
    const ProgramRun r = sthost(std::string("play '") + SCENARIO_DIR + "/" + c.pFile + "'", SCENARIO_DIR "/../../..");
    EXPECT_EQ(r.nExit, 0) << r.sOut;
    EXPECT_THAT(r.sOut, HasSubstr("0 call(s) answered with an error"));
    EXPECT_THAT(r.sOut, HasSubstr("loaded and initialized."));
    EXPECT_EQ(finishedFiles(), c.vFiles);
    EXPECT_TRUE(allXmlWellFormed());
    std::string sTxt;
    for (const auto& e : fs::directory_iterator(dir / "logs"))
      if (e.path().extension() == ".txt") sTxt = testsupport::readFile(e.path().string());
    EXPECT_THAT(sTxt, HasSubstr(c.pInTranscript));
  }
}

// File transfers go to the file-transfer plug-in, which leaves a one-record
// log beside the chat's transcripts and a copy in its own folder.
TEST_F(SthostTest, TheTransferSampleLeavesTwoLogsAndTwoCopies) {
  const char* pKey = "SOFTWARE\\Parlantis\\Server";
  fs::create_directories(dir / "files");
  m_registry.setValue(pKey, win::RegValue::text("FileTransferFolderPath", dir / "files"));
  m_registry.setValue(pKey, win::RegValue::dword("FileTransferEnabled", 1));
  const ProgramRun r = sthost(std::string("play '") + SCENARIO_DIR + "/file-transfer.scn'", SCENARIO_DIR "/../../..");
  EXPECT_EQ(r.nExit, 0) << r.sOut;
  EXPECT_THAT(r.sOut, HasSubstr("0 call(s) answered with an error"));
  EXPECT_THAT(r.sOut, HasSubstr("> ftinit spi=12\n  = 0\n  answered spi=12\n"));
  EXPECT_THAT(r.sOut, HasSubstr("\"platform/sametime/scenarios/README.md\" ("));
  EXPECT_THAT(r.sOut, HasSubstr(" bytes, session 1)\n  = 0 copied\n"));
  EXPECT_THAT(r.sOut, HasSubstr(" bytes, session 4711)\n  = 0 copied\n"));
  EXPECT_TRUE(r.sOut.ends_with("> ftterminate\n0 call(s) answered with an error\n")) << r.sOut;
  EXPECT_EQ(finishedFiles(),
            (std::vector<std::string>{"prl5_GUID.txt", "prl5_GUID_file.xml", "prl5_GUID_file.xml", "prl5_GUID_single.xml"}));
  EXPECT_TRUE(allXmlWellFormed());
  const std::string sSent = testsupport::readFile(std::string(SCENARIO_DIR) + "/README.md");
  int nCopies = 0;
  for (const auto& e : fs::directory_iterator(dir / "files")) {
    EXPECT_EQ(testsupport::readFile(e.path().string()), sSent) << e.path();
    ++nCopies;
  }
  EXPECT_EQ(nCopies, 2);
  // The plug-in took the name after the host's 15-character upload folder.
  for (const auto& e : fs::directory_iterator(dir / "logs")) {
    if (e.path().string().ends_with("_file.xml")) {
      EXPECT_THAT(testsupport::readFile(e.path().string()), HasSubstr("<filetransfer name=\"README.md\" file=\""));
    }
  }
}

TEST_F(SthostTest, TransfersNeedTheFileTransferPluginAndAReadableFile) {
  struct Case {
    const char* pName;
    std::string sArgs;
    std::string sScenario;
    int nExit;
    std::string sOutput;
  };
  const std::string sFile = dir / "sent.bin";
  testsupport::writeFile(sFile, "bytes");
  const Case aCases[] = {
      {"plug-in missing, no transfer", "--ft-plugin /nonexistent/filewarden.so", "start a\nend a\n", 0,
       "0 call(s) answered with an error"},
      {"plug-in missing", "--ft-plugin /nonexistent/filewarden.so", "transfer a b '" + sFile + "'\n", 2,
       "s.scn:1: transfer: no file-transfer plug-in: /nonexistent/filewarden.so"},
      {"file missing", "", "transfer a b '" + (dir / "nothing.bin") + "'\n", 2,
       "s.scn:1: transfer: cannot read '" + (dir / "nothing.bin") + "'"},
      {"bad session", "", "transfer a b '" + sFile + "' session x\n", 2,
       "s.scn:1: usage: transfer FROM TO PATH [session N]"},
      {"disabled", "", "transfer a b '" + sFile + "'\n", 0, "(5 bytes, session 1)\n  = 3 disabled\n"},
  };
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pName);
    std::string sScenario = c.sScenario;
    std::replace(sScenario.begin(), sScenario.end(), '\'', '"');
    testsupport::writeFile(dir / "s.scn", sScenario);
    const ProgramRun r = sthost(c.sArgs + " play '" + (dir / "s.scn") + "'");
    EXPECT_EQ(r.nExit, c.nExit) << r.sOut;
    EXPECT_THAT(r.sOut, HasSubstr(c.sOutput));
  }
}

TEST_F(SthostTest, ErrorsOfThePluginAreShownAndCounted) {
  testsupport::writeFile(dir / "s.scn", "start a\nstart a\nmsg nope x y \"hi\"\nend a\n");
  const ProgramRun r = sthost("play '" + (dir / "s.scn") + "'");
  EXPECT_EQ(r.nExit, 0) << r.sOut;
  EXPECT_THAT(r.sOut, HasSubstr("= 0x1002 ST_DDA_API_SESSION_EXISTS"));
  EXPECT_THAT(r.sOut, HasSubstr("status 3 (error): Velkora Parlantis ERROR: Unable to start new session 'a': "
                                "Session already exists."));
  EXPECT_THAT(r.sOut, HasSubstr("= 0x1003 ST_DDA_API_SESSION_NOT_FOUND"));
  EXPECT_THAT(r.sOut, HasSubstr("2 call(s) answered with an error"));
}

TEST_F(SthostTest, BadScenarioLinesStopThePlayWithTheirPlace) {
  struct Case {
    const char* pText;
    const char* pError;
  };
  const Case aCases[] = {
      {"start a\nbogus a\n", "s.scn:2: unknown command 'bogus'"},
      {"join a\n", "s.scn:1: usage: join SESSION ENTITY [TYPE] [scope SCOPE SCOPE-TYPE]"},
      {"msg a \"x\" \"y\" \"unterminated\n", "s.scn:1: unterminated quote"},
      {"advance soon\n", "s.scn:1: advance: not a number: 'soon'"},
      {"terminate\nstart a\n", "s.scn:2: 'start' after terminate"},
  };
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pText);
    testsupport::writeFile(dir / "s.scn", c.pText);
    const ProgramRun r = sthost("play '" + (dir / "s.scn") + "'");
    EXPECT_EQ(r.nExit, 2);
    EXPECT_THAT(r.sOut, HasSubstr(c.pError));
  }
  EXPECT_EQ(sthost("play").nExit, 2);
  EXPECT_EQ(sthost("frobnicate").nExit, 2);
  const ProgramRun help = sthost("--help");
  EXPECT_EQ(help.nExit, 0);
  EXPECT_THAT(help.sOut, HasSubstr("load [--chats N]"));
}

TEST_F(SthostTest, LoadModeLogsEveryMessageOfEveryChat) {
  const ProgramRun r = sthost("load --chats 30 --messages 4 --size 40");
  EXPECT_EQ(r.nExit, 0) << r.sOut;
  EXPECT_THAT(r.sOut, HasSubstr("messages logged: 120 in "));
  EXPECT_THAT(r.sOut, HasSubstr("calls answered with an error: 0"));
  EXPECT_EQ(finishedFiles().size(), 60u);  // a .txt and a _single.xml per chat
  EXPECT_TRUE(allXmlWellFormed());
}

TEST_F(SthostTest, EncryptedTranscriptIsCheckedAndDecryptedByXmllog) {
  m_registry.setValue("SOFTWARE\\Parlantis\\Server", win::RegValue::text("LogFileEncrypt", "1"));
  const ProgramRun r = sthost(std::string("play '") + SCENARIO_DIR + "/two-party.scn'");
  ASSERT_EQ(r.nExit, 0) << r.sOut;
  std::string sXml;
  for (const auto& e : fs::directory_iterator(dir / "logs"))
    if (e.path().extension() == ".xml") sXml = e.path().string();
  ASSERT_FALSE(sXml.empty());
  EXPECT_THAT(testsupport::readFile(sXml), ::testing::Not(HasSubstr("Hi Bob")));

  const std::string sEnv = "MACHINE_DIR='" + (dir / "machine") + "' ";
  auto run = [&](const std::string& sCmd) {
    ProgramRun out;
    FILE* p = ::popen((sEnv + sCmd + " 2>&1").c_str(), "r");
    char aBuf[4096];
    std::size_t n;
    while ((n = std::fread(aBuf, 1, sizeof aBuf, p)) > 0) out.sOut.append(aBuf, n);
    const int nStatus = ::pclose(p);
    out.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    return out;
  };
  const ProgramRun check = run(std::string("'") + XMLLOG_EXE + "' check '" + sXml + "'");
  EXPECT_EQ(check.nExit, 0) << check.sOut;
  EXPECT_THAT(check.sOut, HasSubstr(": ok: chat "));
  EXPECT_THAT(check.sOut, HasSubstr("3 message(s), 0 image(s), encrypted"));

  const ProgramRun clear = run(std::string("'") + XMLLOG_EXE + "' decrypt '" + sXml + "'");
  EXPECT_EQ(clear.nExit, 0) << clear.sOut;
  EXPECT_THAT(clear.sOut, HasSubstr(" <from un=\"CN=Bob O&apos;Hara/O=Acme\"/>"));
  EXPECT_THAT(clear.sOut, HasSubstr("<txt><![CDATA[Hi Bob, did you get the Q3 numbers?]]></txt>"));
  EXPECT_THAT(clear.sOut, ::testing::Not(HasSubstr("ibm:crypto")));

  // Without the machine's key container the part cannot be read.
  fs::remove_all(dir / "machine/keys");
  const ProgramRun denied = run(std::string("'") + XMLLOG_EXE + "' decrypt '" + sXml + "'");
  EXPECT_EQ(denied.nExit, 1);
  EXPECT_THAT(denied.sOut, HasSubstr("cannot read the session key with the 'Parlantis' key container"));
}

TEST(ScenarioLineTest, WordsQuotesEscapesAndComments) {
  struct Case {
    const char* pLine;
    bool bOk;
    std::vector<std::string> vWords;
  };
  const Case aCases[] = {
      {"msg s1 a b hello", true, {"msg", "s1", "a", "b", "hello"}},
      {"  join s1 \"CN=A B/O=X\"  user  # comment", true, {"join", "s1", "CN=A B/O=X", "user"}},
      {"msg s \"a\\\"b\\\\c\\nd\" # x", true, {"msg", "s", "a\"b\\c\nd"}},
      {"msg s \"# not a comment\"", true, {"msg", "s", "# not a comment"}},
      {"msg s \"\"", true, {"msg", "s", ""}},
      {"# only a comment", true, {}},
      {"msg \"open", false, {}},
  };
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pLine);
    std::vector<std::string> v;
    EXPECT_EQ(sametime::splitScenarioLine(c.pLine, v), c.bOk);
    if (c.bOk) {
      EXPECT_EQ(v, c.vWords);
    }
  }
}

}  // namespace
