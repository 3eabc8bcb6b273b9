// The file-transfer plug-in in-process: settings, the log document, the
// copy, the traces and the failure rows, over fake facilities.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "BuildInfo.h"
#include "FileTransferFixture.h"

namespace filewarden::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const std::string kKey = "Software\\Parlantis\\Server";
const std::string kGuid1 = "00000000-0000-4000-8000-000000000001";
const std::string kGuid2 = "00000000-0000-4000-8000-000000000002";

std::vector<std::string> initTraces(const std::string& sHostVersion, const std::vector<std::string>& vReaders) {
  std::vector<std::string> v = {"------------[Velkora Parlantis 5.6.5 File Logging startup]------------",
                                "+stDdaFtInit()", "->Sametime  SPI prVersion: " + sHostVersion,
                                "->Parlantis SPI prVersion: 12"};
  v.insert(v.end(), vReaders.begin(), vReaders.end());
  v.push_back("-stDdaFtInit()");
  return v;
}

// ---------------------------------------------------------------- settings

TEST_F(FileTransferFixture, InitReadsTheThreeSettingsInOrderAndTracesThem) {
  configureEnabled();
  ASSERT_EQ(init(), 0);
  EXPECT_THAT(traces(), ElementsAreArray(initTraces(
                            "14", {"..+getLogFileFolderPath()", "->" + kKey + "\\LogFileFolderPath = '" + (dir / "logs") + "'",
                                   "..-getLogFileFolderPath()", "..+getFileTransferFolderPath()",
                                   "->" + kKey + "\\FileTransferFolderPath = '" + (dir / "files") + "'",
                                   "..-getFileTransferFolderPath()", "..+getFileTransferEnabled()",
                                   "->" + kKey + "\\FileTransferEnabled = 1", "..-getFileTransferEnabled()"})));
}

TEST_F(FileTransferFixture, WithoutTheKeyEveryReaderTracesTheErrorAndLoggingIsOff) {
  ASSERT_EQ(init(), 0);
  const std::string sError = "->ERROR opening registry key '" + kKey + "'";
  EXPECT_THAT(traces(), ElementsAreArray(initTraces(
                            "14", {"..+getLogFileFolderPath()", sError, "..-getLogFileFolderPath()",
                                   "..+getFileTransferFolderPath()", sError, "..-getFileTransferFolderPath()",
                                   "..+getFileTransferEnabled()", sError, "..-getFileTransferEnabled()"})));
  EXPECT_FALSE(loadedPlugin()->settings().bEnabled);
}

TEST_F(FileTransferFixture, TheInterfaceVersionIsAnsweredWithTwelveWhateverTheHostOffered) {
  for (const std::uint32_t nOffered : {0u, 11u, 12u, 14u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(nOffered);
    machine.debug.clear();
    EXPECT_EQ(init(nOffered), 0);
    EXPECT_EQ(m_nVersion, 12u);
    ASSERT_GE(traces().size(), 3u);
    EXPECT_EQ(traces()[2], "->Sametime  SPI prVersion: " + std::to_string(nOffered));
  }
}

TEST_F(FileTransferFixture, FolderPathsEndWithExactlyOneSlash) {
  struct Case {
    const char* pName;
    bool bKey;
    const char* pLogValue;   // nullptr: value missing
    const char* pCopyValue;  // nullptr: value missing
    std::string sLogFolder;
    std::string sCopyFolder;
  };
  const std::string s255(255, 'x'), s256(256, 'x');
  const Case aCases[] = {
      {"without slash", true, "/srv/ft logs", "/srv/ft files", "/srv/ft logs/", "/srv/ft files/"},
      {"with slash", true, "/srv/ft logs/", "/srv/ft files/", "/srv/ft logs/", "/srv/ft files/"},
      {"root", true, "/", "", "/", "/"},
      {"values missing", true, nullptr, nullptr, "/", "/"},
      {"255 characters are read", true, s255.c_str(), "/f", s255 + "/", "/f/"},
      {"256 characters are unreadable", true, s256.c_str(), "/f", "/", "/f/"},
      {"key missing", false, nullptr, nullptr, "", ""},
  };
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pName);
    machine.registry.deleteKey(kSettingsKey);
    if (c.bKey) machine.registry.createKey(kSettingsKey);
    if (c.pLogValue) setText("LogFileFolderPath", c.pLogValue);
    if (c.pCopyValue) setText("FileTransferFolderPath", c.pCopyValue);
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(loadedPlugin()->settings().sLogFolderPath, c.sLogFolder);
    EXPECT_EQ(loadedPlugin()->settings().sFileTransferFolderPath, c.sCopyFolder);
  }
}

TEST_F(FileTransferFixture, AFolderStoredWithItsSlashGetsNoSecondOne) {
  configureEnabled();
  setText("LogFileFolderPath", dir / "logs/");
  setText("FileTransferFolderPath", dir / "files/");
  ASSERT_EQ(init(), 0);
  ASSERT_EQ(send("a.txt", "a"), ST_DDA_FT_SCAN_COPIED);
  EXPECT_THAT(filesIn("logs"), ElementsAre("prl5_" + kGuid1 + "_file.xml"));
  EXPECT_THAT(filesIn("files"), ElementsAre("prl5_" + kGuid1 + ".bin"));
  for (const auto& s : traces()) EXPECT_EQ(s.find("//"), std::string::npos) << s;
}

// ------------------------------------------------------------ disabled

TEST_F(FileTransferFixture, DisabledAnswersThreeWithoutTracingOrWriting) {
  struct Case {
    const char* pName;
    void (*setup)(FileTransferFixture&);
    bool bInit;
  };
  const Case aCases[] = {
      {"flag absent", [](FileTransferFixture& t) { t.configureEnabled(); t.machine.registry.deleteValue(kSettingsKey, "FileTransferEnabled"); }, true},
      {"flag 0", [](FileTransferFixture& t) { t.configureEnabled(); t.setDword("FileTransferEnabled", 0); }, true},
      {"flag 2", [](FileTransferFixture& t) { t.configureEnabled(); t.setDword("FileTransferEnabled", 2); }, true},
      {"flag as text", [](FileTransferFixture& t) { t.configureEnabled(); t.setText("FileTransferEnabled", "1"); }, true},
      {"scan before init", [](FileTransferFixture& t) { t.configureEnabled(); }, false},
  };
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pName);
    machine.registry.deleteKey(kSettingsKey);
    c.setup(*this);
    if (c.bInit) {
      ASSERT_EQ(init(), 0);
    } else {
      loadPlugin(machine.facilities());
    }
    const std::size_t nTraces = traces().size();
    EXPECT_EQ(send("report.pdf", "%PDF"), ST_DDA_FT_SCAN_DISABLED);
    EXPECT_EQ(traces().size(), nTraces);
    EXPECT_THAT(filesIn("logs"), IsEmpty());
    EXPECT_THAT(filesIn("files"), IsEmpty());
    EXPECT_EQ(machine.files.callCount(win::FileOp::Open), 0u);
    EXPECT_EQ(machine.files.callCount(win::FileOp::Copy), 0u);
  }
}

// ------------------------------------------------------------ the log

TEST_F(FileTransferFixture, TheLogDocumentIsWrittenByteForByte) {
  configureEnabled();
  machine.clock.set(1772874302);  // 2026-03-07 09:05:02
  ASSERT_EQ(init(), 0);
  const FtScanRequest r = request(upload.put("Q3 numbers.xlsx", "sheet"), "CN=Alice Meyer/O=Acme",
                                  "CN=Bob O'Hara/O=Acme", 5, 4711);
  ASSERT_EQ(stDdaFtScanFile(&r), ST_DDA_FT_SCAN_COPIED);

  // The build stamp is the compiler's; its shape is what the import reads.
  EXPECT_TRUE(std::regex_match(buildDate(), std::regex("[A-Z][a-z]{2} [0-3][0-9] [0-9]{4}"))) << buildDate();
  EXPECT_TRUE(std::regex_match(buildTime(), std::regex("[0-2][0-9]:[0-5][0-9]:[0-5][0-9]"))) << buildTime();
  const std::string sCopy = dir / ("files/prl5_" + kGuid1 + ".bin");
  const std::string sStamp = "20260307T090502";
  const std::string sExpected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\r\n"
      "<!-- Log generated by Velkora Parlantis 5.6.5 (Build " + std::string(buildDate()) + " " + buildTime() +
      ") -->\r\n"
      "<log version=\"5\" xmlns=\"http://www.velkora.com/v5\" xmlns:ibm=\"http://www.velkora.com/v5/ibm\">\r\n"
      "<ibm:file guid=\"" + kGuid1 + "\" session=\"4711\" part=\"0\" />\r\n"
      "<ibm:state date=\"" + sStamp + "\" event=\"joined\" un=\"CN=Alice Meyer/O=Acme\" entity=\"User\" />\r\n"
      "<ibm:state date=\"" + sStamp + "\" event=\"joined\" un=\"CN=Bob O&apos;Hara/O=Acme\" entity=\"User\" />\r\n"
      "<ibm:im date=\"" + sStamp + "\">\r\n"
      "<from un=\"CN=Alice Meyer/O=Acme\" />\r\n"
      "<to un=\"CN=Bob O&apos;Hara/O=Acme\" />\r\n"
      "<filetransfer name=\"Q3 numbers.xlsx\" file=\"" + sCopy + "\" size=\"5\" />\r\n"
      "</ibm:im><ibm:state date=\"" + sStamp + "\" event=\"left\" un=\"CN=Bob O&apos;Hara/O=Acme\" entity=\"User\" />\r\n"
      "<ibm:state date=\"" + sStamp + "\" event=\"left\" un=\"CN=Alice Meyer/O=Acme\" entity=\"User\" />\r\n"
      "<ibm:log complete=\"true\" />\r\n"
      "</log>\r\n";
  EXPECT_EQ(testsupport::readFile(dir / ("logs/prl5_" + kGuid1 + "_file.xml")), sExpected);
  EXPECT_EQ(testsupport::readFile(sCopy), "sheet");
  const std::vector<std::string> vScan(traces().end() - 4, traces().end());
  EXPECT_THAT(vScan, ElementsAre("+stDdaFtScanFile()",
                                 "->Successfully wrote log file '" + (dir / ("logs/prl5_" + kGuid1 + "_file.xml")) + "'",
                                 "->Successfully copied '" + upload.prefix() + "Q3 numbers.xlsx' to '" + sCopy + "'",
                                 "-stDdaFtScanFile(0)"));
  // One open, one write, one durable close: the document is written in one go.
  EXPECT_EQ(machine.files.callCount(win::FileOp::Open), 1u);
  EXPECT_EQ(machine.files.callCount(win::FileOp::Write), 1u);
  EXPECT_EQ(machine.files.callCount(win::FileOp::Close), 1u);
}

// Every attribute holding a user id, in document order, and the file's name.
struct ParsedLog {
  bool bParsed = false;
  std::vector<std::string> vUsers;
  std::string sFileName;
};

ParsedLog parseLog(const std::string& sText) {
  ParsedLog out;
  xmlDocPtr pDoc = xmlReadMemory(sText.data(), static_cast<int>(sText.size()), "log.xml", nullptr,
                                 XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!pDoc) return out;
  out.bParsed = true;
  auto attr = [](xmlNodePtr p, const char* pName) {
    xmlChar* pValue = xmlGetProp(p, reinterpret_cast<const xmlChar*>(pName));
    std::string s = pValue ? reinterpret_cast<const char*>(pValue) : "";
    xmlFree(pValue);
    return s;
  };
  std::function<void(xmlNodePtr)> walk = [&](xmlNodePtr p) {
    for (; p; p = p->next) {
      if (p->type != XML_ELEMENT_NODE) continue;
      if (xmlHasProp(p, reinterpret_cast<const xmlChar*>("un"))) out.vUsers.push_back(attr(p, "un"));
      if (xmlStrcmp(p->name, reinterpret_cast<const xmlChar*>("filetransfer")) == 0) out.sFileName = attr(p, "name");
      walk(p->children);
    }
  };
  walk(xmlDocGetRootElement(pDoc));
  xmlFreeDoc(pDoc);
  return out;
}

TEST_F(FileTransferFixture, NamesAreEscapedInEveryLineAndReadBackUnchanged) {
  struct Case {
    const char* pName;
    std::string sSender, sReceiver, sFile;
    std::string sSenderXml, sReceiverXml, sFileXml;
  };
  const Case aCases[] = {
      {"ampersand and less-than", "CN=R&D <lab>/O=Acme", "CN=Tom & Jerry/O=Acme", "R&D <v2>.txt",
       "CN=R&amp;D &lt;lab&gt;/O=Acme", "CN=Tom &amp; Jerry/O=Acme", "R&amp;D &lt;v2&gt;.txt"},
      {"quotes", "CN=\"Q\"/O=Acme", "CN=O'Neil/O=Acme", "it's \"final\".doc", "CN=&quot;Q&quot;/O=Acme",
       "CN=O&apos;Neil/O=Acme", "it&apos;s &quot;final&quot;.doc"},
  };
  configureEnabled();
  ASSERT_EQ(init(), 0);
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pName);
    const std::string sGuid = nextGuid();
    ASSERT_EQ(send(c.sFile, "x", c.sSender, c.sReceiver), ST_DDA_FT_SCAN_COPIED);
    const std::string sLog = testsupport::readFile(dir / ("logs/prl5_" + sGuid + "_file.xml"));
    const std::vector<std::string> vLines = testsupport::splitCrLf(sLog);
    ASSERT_EQ(vLines.size(), 14u) << sLog;
    // Lines 5, 6, 8, 9, 11 (after "</ibm:im>") and 12 each name one user.
    const std::pair<int, const std::string*> aUserLines[] = {{4, &c.sSenderXml},    {5, &c.sReceiverXml},
                                                             {7, &c.sSenderXml},    {8, &c.sReceiverXml},
                                                             {10, &c.sReceiverXml}, {11, &c.sSenderXml}};
    for (const auto& [nLine, pUser] : aUserLines)
      EXPECT_NE(vLines[static_cast<std::size_t>(nLine)].find("un=\"" + *pUser + "\""), std::string::npos)
          << vLines[static_cast<std::size_t>(nLine)];
    EXPECT_NE(vLines[9].find("name=\"" + c.sFileXml + "\""), std::string::npos) << vLines[9];
    const ParsedLog parsed = parseLog(sLog);
    ASSERT_TRUE(parsed.bParsed) << sLog;
    EXPECT_THAT(parsed.vUsers, ElementsAre(c.sSender, c.sReceiver, c.sSender, c.sReceiver, c.sReceiver, c.sSender));
    EXPECT_EQ(parsed.sFileName, c.sFile);
  }
}

TEST_F(FileTransferFixture, TheNameIsThePathAfterTheHostsFifteenCharacterPrefix) {
  struct Case {
    const char* pName;
    std::string sPath;
    std::string sFileName;
  };
  const Case aCases[] = {
      {"name after the upload folder", "/tmp/st.abcdef/plan.txt", "plan.txt"},
      {"sixteen characters", "/tmp/st.abcdef/x", "x"},
      {"exactly fifteen", "/tmp/st.abcdef/", ""},
      {"shorter", "plan.txt", ""},
      {"empty", "", ""},
  };
  configureEnabled();
  ASSERT_EQ(init(), 0);
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pName);
    const std::string sGuid = nextGuid();
    const FtScanRequest r = request(c.sPath, "CN=A/O=X", "CN=B/O=X", 0, 1);
    EXPECT_EQ(stDdaFtScanFile(&r), ST_DDA_FT_SCAN_FAILED);  // none of these files exists
    EXPECT_EQ(parseLog(testsupport::readFile(dir / ("logs/prl5_" + sGuid + "_file.xml"))).sFileName, c.sFileName);
  }
}

TEST_F(FileTransferFixture, FieldsWithoutTheirTerminatorAreReadUpToTheirEnd) {
  configureEnabled();
  ASSERT_EQ(init(), 0);
  FtScanRequest r{};
  std::memset(r.sender, 'S', sizeof r.sender);
  std::memset(r.receiver, 'R', sizeof r.receiver);
  r.session = 7;  // right after the sender field
  EXPECT_EQ(stDdaFtScanFile(&r), ST_DDA_FT_SCAN_FAILED);
  const ParsedLog parsed = parseLog(testsupport::readFile(dir / ("logs/prl5_" + kGuid1 + "_file.xml")));
  const std::string sSender(256, 'S'), sReceiver(256, 'R');
  EXPECT_THAT(parsed.vUsers, ElementsAre(sSender, sReceiver, sSender, sReceiver, sReceiver, sSender));
}

// ------------------------------------------------------- failure rows

TEST_F(FileTransferFixture, AnUnwritableLogFolderLosesTheLogButNotTheCopy) {
  configureEnabled();
  ASSERT_EQ(init(), 0);
  machine.files.failCall(win::FileOp::Open, 1, EACCES, "_file.xml");
  EXPECT_EQ(send("report.pdf", "%PDF-1.7"), ST_DDA_FT_SCAN_COPIED);
  EXPECT_THAT(filesIn("logs"), IsEmpty());
  EXPECT_THAT(filesIn("files"), ElementsAre("prl5_" + kGuid1 + ".bin"));
  EXPECT_EQ(testsupport::readFile(dir / ("files/prl5_" + kGuid1 + ".bin")), "%PDF-1.7");
  const std::vector<std::string> vScan(traces().end() - 4, traces().end());
  EXPECT_EQ(vScan[1], "->ERROR: Unable to write log file '" + (dir / ("logs/prl5_" + kGuid1 + "_file.xml")) + "'");
  EXPECT_EQ(vScan[3], "-stDdaFtScanFile(0)");
}

TEST_F(FileTransferFixture, ALogThatCannotBeWrittenWholeIsRemoved) {
  struct Case {
    const char* pName;
    win::FileOp op;
  };
  const Case aCases[] = {{"write fails", win::FileOp::Write}, {"durable close fails", win::FileOp::Close}};
  configureEnabled();
  ASSERT_EQ(init(), 0);
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pName);
    machine.files.clearFaults();
    machine.files.failCall(c.op, 1, ENOSPC, "_file.xml");
    const std::string sGuid = nextGuid();
    EXPECT_EQ(send("report.pdf", "%PDF"), ST_DDA_FT_SCAN_COPIED);
    EXPECT_FALSE(testsupport::fileExists(dir / ("logs/prl5_" + sGuid + "_file.xml")));
    EXPECT_TRUE(testsupport::fileExists(dir / ("files/prl5_" + sGuid + ".bin")));
    EXPECT_EQ(traces()[traces().size() - 3],
              "->ERROR: Unable to write log file '" + (dir / ("logs/prl5_" + sGuid + "_file.xml")) + "'");
  }
}

TEST_F(FileTransferFixture, AFolderThatCannotBeSyncedKeepsTheCompleteLog) {
  configureEnabled();
  ASSERT_EQ(init(), 0);
  machine.files.failCall(win::FileOp::SyncFolder, 1, EIO, "_file.xml");
  const std::string sGuid = nextGuid();
  EXPECT_EQ(send("report.pdf", "%PDF"), ST_DDA_FT_SCAN_COPIED);
  const std::string sLog = dir / ("logs/prl5_" + sGuid + "_file.xml");
  EXPECT_EQ(testsupport::splitCrLf(testsupport::readFile(sLog)).size(), 14u);
  EXPECT_THAT(traces(), testing::Contains("->ERROR: Unable to sync the folder of '" + sLog + "'"));
}

TEST_F(FileTransferFixture, AFailedCopyAnswersOneAfterTheLogWasWritten) {
  struct Case {
    const char* pName;
    bool bSourceExists;
    bool bInjectFault;
  };
  const Case aCases[] = {{"source missing", false, false}, {"copy fails", true, true}};
  configureEnabled();
  ASSERT_EQ(init(), 0);
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pName);
    machine.files.clearFaults();
    if (c.bInjectFault) machine.files.failCall(win::FileOp::Copy, 1, EIO);
    const std::string sGuid = nextGuid();
    const std::string sSource = c.bSourceExists ? upload.put("gone.zip", "zip") : upload.prefix() + "missing.zip";
    const FtScanRequest r = request(sSource, "CN=A/O=X", "CN=B/O=X", 3, 9);
    EXPECT_EQ(stDdaFtScanFile(&r), ST_DDA_FT_SCAN_FAILED);
    const std::string sCopy = dir / ("files/prl5_" + sGuid + ".bin");
    // The log points at the copy that was not made.
    const std::string sLog = testsupport::readFile(dir / ("logs/prl5_" + sGuid + "_file.xml"));
    EXPECT_NE(sLog.find("file=\"" + sCopy + "\""), std::string::npos) << sLog;
    EXPECT_THAT(filesIn("files"), IsEmpty());  // no partial copy either
    const std::vector<std::string> vScan(traces().end() - 3, traces().end());
    EXPECT_THAT(vScan, ElementsAre("->Successfully wrote log file '" + (dir / ("logs/prl5_" + sGuid + "_file.xml")) + "'",
                                   "->ERROR: Unable to copy '" + sSource + "' to '" + sCopy + "'",
                                   "-stDdaFtScanFile(1)"));
  }
}

class NoUuidSource final : public win::IUuidSource {
 public:
  std::string newUuid() override { return {}; }
};

TEST_F(FileTransferFixture, WithoutAGuidNothingIsWrittenOverAnotherTransfer) {
  configureEnabled();
  NoUuidSource noUuid;
  win::Facilities facilities = machine.facilities();
  facilities.pUuid = &noUuid;
  ASSERT_EQ(initWith(facilities), 0);
  EXPECT_EQ(send("a.txt", "a"), ST_DDA_FT_SCAN_FAILED);
  EXPECT_THAT(filesIn("logs"), IsEmpty());
  EXPECT_THAT(filesIn("files"), IsEmpty());
  const std::vector<std::string> vScan(traces().end() - 3, traces().end());
  EXPECT_THAT(vScan, ElementsAre("+stDdaFtScanFile()", "->ERROR: Unable to create GUID", "-stDdaFtScanFile(1)"));
}

TEST_F(FileTransferFixture, ANullRequestAnswersOne) {
  configureEnabled();
  ASSERT_EQ(init(), 0);
  EXPECT_EQ(stDdaFtScanFile(nullptr), ST_DDA_FT_SCAN_FAILED);
  EXPECT_THAT(filesIn("logs"), IsEmpty());
}

// ----------------------------------------------------- repeated scans

TEST_F(FileTransferFixture, TwoScansOfOneFileGiveTwoGuidsTwoLogsAndTwoCopies) {
  configureEnabled();
  ASSERT_EQ(init(), 0);
  const FtScanRequest r = request(upload.put("deck.pptx", "slides"), "CN=A/O=X", "CN=B/O=X", 6, 3);
  ASSERT_EQ(stDdaFtScanFile(&r), ST_DDA_FT_SCAN_COPIED);
  ASSERT_EQ(stDdaFtScanFile(&r), ST_DDA_FT_SCAN_COPIED);
  EXPECT_THAT(filesIn("logs"), ElementsAre("prl5_" + kGuid1 + "_file.xml", "prl5_" + kGuid2 + "_file.xml"));
  EXPECT_THAT(filesIn("files"), ElementsAre("prl5_" + kGuid1 + ".bin", "prl5_" + kGuid2 + ".bin"));
  for (const auto& sGuid : {kGuid1, kGuid2}) {
    SCOPED_TRACE(sGuid);
    EXPECT_EQ(testsupport::readFile(dir / ("files/prl5_" + sGuid + ".bin")), "slides");
    const std::string sLog = testsupport::readFile(dir / ("logs/prl5_" + sGuid + "_file.xml"));
    EXPECT_NE(sLog.find("<ibm:file guid=\"" + sGuid + "\" session=\"3\""), std::string::npos);
    EXPECT_NE(sLog.find("file=\"" + (dir / ("files/prl5_" + sGuid + ".bin")) + "\""), std::string::npos);
  }
}

TEST_F(FileTransferFixture, TheLogAndTheCopyAreCreatedPrivate) {
  const mode_t nOldMask = ::umask(022);
  configureEnabled();
  ASSERT_EQ(init(), 0);
  ASSERT_EQ(send("a.txt", "a"), ST_DDA_FT_SCAN_COPIED);
  ::umask(nOldMask);
  for (const std::string& sPath :
       {dir / ("logs/prl5_" + kGuid1 + "_file.xml"), dir / ("files/prl5_" + kGuid1 + ".bin")}) {
    struct stat st {};
    ASSERT_EQ(::stat(sPath.c_str(), &st), 0) << sPath;
    EXPECT_EQ(st.st_mode & 0777, 0640u) << sPath;
  }
}

// Scans share nothing but the settings: side by side, each keeps its own
// GUID, log and copy. Real files, real GUIDs.
class LockedDebugOutput final : public win::IDebugOutput {
 public:
  void output(const std::string& sText) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_vLines.push_back(sText);
  }
  std::mutex m_mutex;
  std::vector<std::string> m_vLines;
};

TEST_F(FileTransferFixture, ScansRunSideBySide) {
  configureEnabled();
  LockedDebugOutput debug;
  win::Facilities facilities = machine.facilities();
  facilities.pFiles = &win::posixFileSystem();
  facilities.pUuid = &win::systemUuidSource();
  facilities.pDebug = &debug;
  ASSERT_EQ(initWith(facilities), 0);
  constexpr int kThreads = 4, kScans = 5;
  std::vector<std::string> vSources;
  for (int i = 0; i < kThreads; ++i) vSources.push_back(upload.put("f" + std::to_string(i), std::string(static_cast<std::size_t>(1000 + i), static_cast<char>('a' + i))));
  std::vector<std::thread> vThreads;
  for (int i = 0; i < kThreads; ++i) {
    vThreads.emplace_back([&, i] {
      const FtScanRequest r = request(vSources[static_cast<std::size_t>(i)], "CN=A/O=X", "CN=B/O=X", 0, 1);
      for (int n = 0; n < kScans; ++n) EXPECT_EQ(stDdaFtScanFile(&r), ST_DDA_FT_SCAN_COPIED);
    });
  }
  for (auto& t : vThreads) t.join();
  EXPECT_EQ(filesIn("logs").size(), static_cast<std::size_t>(kThreads * kScans));
  EXPECT_EQ(filesIn("files").size(), static_cast<std::size_t>(kThreads * kScans));
  // Each copy holds the bytes of the file its log names.
  for (const auto& sName : filesIn("logs")) {
    const std::string sLog = testsupport::readFile(dir / ("logs/" + sName));
    const ParsedLog parsed = parseLog(sLog);
    ASSERT_TRUE(parsed.bParsed);
    const std::size_t nFile = sLog.find("file=\"") + 6;
    const std::string sCopy = sLog.substr(nFile, sLog.find('"', nFile) - nFile);
    const int i = parsed.sFileName.back() - '0';
    EXPECT_EQ(testsupport::readFile(sCopy), std::string(static_cast<std::size_t>(1000 + i), static_cast<char>('a' + i))) << sName;
  }
}

// -------------------------------------------------------------- terminate

TEST_F(FileTransferFixture, TerminateTracesTheShutdown) {
  configureEnabled();
  ASSERT_EQ(init(), 0);
  machine.debug.clear();
  stDdaFtTerminate();
  EXPECT_THAT(traces(), ElementsAre("..+stDdaFtTerminate()",
                                    "------------[Velkora Parlantis File Logging shutdown]------------",
                                    "..-stDdaFtTerminate()"));
}

}  // namespace
}  // namespace filewarden::test
