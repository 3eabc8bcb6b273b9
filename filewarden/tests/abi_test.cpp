// The built filewarden.so, loaded with dlopen in a child process per
// configuration, as the host loads it; the settings come from the
// registry file of the test's own machine folder.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "TestSupport.h"
#include "UploadFolder.h"
#include "stdda_ft.h"
#include "win/debug_output.h"
#include "win/registry.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace fs = std::filesystem;

constexpr const char* kKey = "Software\\Parlantis\\Server";

using HostRun = testsupport::ChildRun;  // report: "init-result version scan-result"

// Loads the library in a child process with MACHINE_DIR and DEBUG_OUTPUT set,
// initialises it, scans REQUEST, terminates it, and reports the results.
HostRun scanInChild(const std::string& sMachineDir, const std::string& sDebugFile, const FtScanRequest& request) {
  return testsupport::runInChild([&]() -> std::string {
    ::setenv("MACHINE_DIR", sMachineDir.c_str(), 1);
    ::setenv("DEBUG_OUTPUT", sDebugFile.c_str(), 1);
    void* h = ::dlopen(FILEWARDEN_SO, RTLD_NOW | RTLD_LOCAL);
    if (!h) ::_exit(10);
    auto pInit = reinterpret_cast<PFN_stDdaFtInit>(::dlsym(h, "stDdaFtInit"));
    auto pScan = reinterpret_cast<PFN_stDdaFtScanFile>(::dlsym(h, "stDdaFtScanFile"));
    auto pTerm = reinterpret_cast<PFN_stDdaFtTerminate>(::dlsym(h, "stDdaFtTerminate"));
    if (!pInit || !pScan || !pTerm) ::_exit(11);
    std::uint32_t nVersion = 14;
    const std::int32_t nInit = pInit(&nVersion);
    const std::int32_t nScan = pScan(&request);
    pTerm();
    ::dlclose(h);
    return std::to_string(nInit) + " " + std::to_string(nVersion) + " " + std::to_string(nScan);
  });
}

class FilewardenAbiTest : public ::testing::Test {
 public:
  FilewardenAbiTest() : m_registry(dir / "machine/registry.reg", m_diag) {
    fs::create_directories(dir / "logs");
    fs::create_directories(dir / "files");
  }
  void setDword(const char* p, std::uint32_t n) { m_registry.setValue(kKey, win::RegValue::dword(p, n)); }
  void setText(const char* p, const std::string& s) { m_registry.setValue(kKey, win::RegValue::text(p, s)); }
  void configureEnabled() {
    setText("LogFileFolderPath", dir / "logs");
    setText("FileTransferFolderPath", dir / "files");
    setDword("FileTransferEnabled", 1);
  }
  HostRun scan(const std::string& sPath) {
    FtScanRequest r{};
    std::snprintf(r.path, sizeof r.path, "%s", sPath.c_str());
    std::snprintf(r.sender, sizeof r.sender, "%s", "CN=Alice Meyer/O=Acme");
    std::snprintf(r.receiver, sizeof r.receiver, "%s", "CN=Bob O'Hara/O=Acme");
    r.size = 11;
    r.session = 77;
    return scanInChild(dir / "machine", dir / "debug.txt", r);
  }
  std::vector<std::string> filesIn(const std::string& sFolder) const {
    std::vector<std::string> v;
    for (const auto& e : fs::directory_iterator(dir / sFolder)) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
  }
  // The debugger output, one string per line, with every GUID as "GUID".
  std::vector<std::string> debugLines() const {
    static const std::regex kGuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::vector<std::string> v;
    std::string sText = testsupport::readFile(dir / "debug.txt");
    std::size_t nFrom = 0;
    for (std::size_t n = sText.find('\n'); n != std::string::npos; n = sText.find('\n', nFrom)) {
      v.push_back(std::regex_replace(sText.substr(nFrom, n - nFrom), kGuid, "GUID"));
      nFrom = n + 1;
    }
    return v;
  }

  testsupport::TempDir dir;
  filewarden::test::UploadFolder upload;
  win::CapturingDebugOutput m_diag;
  win::FileRegistry m_registry;
};

TEST_F(FilewardenAbiTest, AnEnabledPluginLogsAndCopiesTheTransfer) {
  configureEnabled();
  const std::string sSource = upload.put("budget 2027.ods", "spreadsheet");
  const HostRun run = scan(sSource);
  ASSERT_EQ(run.nExit, 0);
  EXPECT_EQ(run.sReport, "0 12 0");

  const std::vector<std::string> vLogs = filesIn("logs");
  const std::vector<std::string> vCopies = filesIn("files");
  ASSERT_EQ(vLogs.size(), 1u);
  ASSERT_EQ(vCopies.size(), 1u);
  // Real GUIDs: the log and the copy carry the same one.
  const std::string sGuid = vCopies[0].substr(5, 36);
  EXPECT_TRUE(std::regex_match(vCopies[0], std::regex("prl5_[0-9a-f-]{36}\\.bin")));
  EXPECT_EQ(vLogs[0], "prl5_" + sGuid + "_file.xml");
  EXPECT_EQ(testsupport::readFile(dir / ("files/" + vCopies[0])), "spreadsheet");

  const std::string sLog = testsupport::readFile(dir / ("logs/" + vLogs[0]));
  xmlDocPtr pDoc = xmlReadMemory(sLog.data(), static_cast<int>(sLog.size()), "log.xml", nullptr,
                                 XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  EXPECT_NE(pDoc, nullptr) << sLog;
  xmlFreeDoc(pDoc);
  EXPECT_NE(sLog.find("<ibm:file guid=\"" + sGuid + "\" session=\"77\" part=\"0\" />\r\n"), std::string::npos);
  EXPECT_NE(sLog.find("<filetransfer name=\"budget 2027.ods\" file=\"" + (dir / ("files/" + vCopies[0])) +
                      "\" size=\"11\" />\r\n"),
            std::string::npos)
      << sLog;

  const std::string sK = std::string("->") + kKey + "\\";
  EXPECT_THAT(debugLines(),
              ElementsAre("------------[Velkora Parlantis 5.6.5 File Logging startup]------------", "+stDdaFtInit()",
                          "->Sametime  SPI prVersion: 14", "->Parlantis SPI prVersion: 12",
                          "..+getLogFileFolderPath()", sK + "LogFileFolderPath = '" + (dir / "logs") + "'",
                          "..-getLogFileFolderPath()", "..+getFileTransferFolderPath()",
                          sK + "FileTransferFolderPath = '" + (dir / "files") + "'", "..-getFileTransferFolderPath()",
                          "..+getFileTransferEnabled()", sK + "FileTransferEnabled = 1", "..-getFileTransferEnabled()",
                          "-stDdaFtInit()", "+stDdaFtScanFile()",
                          "->Successfully wrote log file '" + (dir / "logs/prl5_GUID_file.xml") + "'",
                          "->Successfully copied '" + sSource + "' to '" + (dir / "files/prl5_GUID.bin") + "'",
                          "-stDdaFtScanFile(0)", "..+stDdaFtTerminate()",
                          "------------[Velkora Parlantis File Logging shutdown]------------", "..-stDdaFtTerminate()"));
}

TEST_F(FilewardenAbiTest, ConfigurationsLeadToTheirResults) {
  struct Case {
    const char* pName;
    void (*setup)(FilewardenAbiTest&);
    std::string sReport;
    std::size_t nLogs;
    std::size_t nCopies;
  };
  const Case aCases[] = {
      {"enabled", [](FilewardenAbiTest& t) { t.configureEnabled(); }, "0 12 0", 1, 1},
      {"flag 0", [](FilewardenAbiTest& t) { t.configureEnabled(); t.setDword("FileTransferEnabled", 0); }, "0 12 3", 0, 0},
      {"no settings key", [](FilewardenAbiTest&) {}, "0 12 3", 0, 0},
      {"file-transfer folder missing",
       [](FilewardenAbiTest& t) { t.configureEnabled(); t.setText("FileTransferFolderPath", t.dir / "nowhere"); },
       "0 12 1", 1, 0},
  };
  const std::string sSource = upload.put("notes.txt", "hello world");
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pName);
    m_registry.deleteKey(kKey);
    fs::remove_all(dir / "logs");
    fs::remove_all(dir / "files");
    fs::create_directories(dir / "logs");
    fs::create_directories(dir / "files");
    c.setup(*this);
    const HostRun run = scan(sSource);
    ASSERT_EQ(run.nExit, 0);
    EXPECT_EQ(run.sReport, c.sReport);
    EXPECT_EQ(filesIn("logs").size(), c.nLogs);
    EXPECT_EQ(filesIn("files").size(), c.nCopies);
  }
}

// Everything but the three entry points stays inside the library.
TEST(FilewardenExports, OnlyTheThreeEntryPointsAreExported) {
  FILE* p = ::popen("nm -D --defined-only '" FILEWARDEN_SO "'", "r");
  ASSERT_NE(p, nullptr);
  std::vector<std::string> vNames;
  char aLine[1024];
  while (std::fgets(aLine, sizeof aLine, p)) {
    std::string s(aLine);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    const auto nBlank = s.find_last_of(' ');
    if (nBlank != std::string::npos) vNames.push_back(s.substr(nBlank + 1));
  }
  ASSERT_EQ(::pclose(p), 0);
  std::sort(vNames.begin(), vNames.end());
  EXPECT_THAT(vNames, ElementsAre("stDdaFtInit", "stDdaFtScanFile", "stDdaFtTerminate"));
}

}  // namespace
