// The built chatwarden.so, loaded with dlopen in a child process per
// configuration, as the host loads it.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "TestSupport.h"
#include "stdda_cl.h"
#include "win/debug_output.h"
#include "win/registry.h"

namespace {

constexpr const char* kKey = "Software\\Parlantis\\Server";

using InitOutcome = testsupport::ChildRun;  // report: "result indicator version|message|indicator message"

// Loads the library in a child process with MACHINE_DIR and DEBUG_OUTPUT set,
// initialises it with NVERSION, terminates it, and reports what it answered.
InitOutcome loadAndInitInChild(const std::string& sMachineDir, const std::string& sDebugFile, std::int32_t nVersion) {
  return testsupport::runInChild([&]() -> std::string {
    ::setenv("MACHINE_DIR", sMachineDir.c_str(), 1);
    ::setenv("DEBUG_OUTPUT", sDebugFile.c_str(), 1);
    void* h = ::dlopen(CHATWARDEN_SO, RTLD_NOW | RTLD_LOCAL);
    if (!h) ::_exit(10);
    auto pInit = reinterpret_cast<PFN_stDdaClInit>(::dlsym(h, "stDdaClInit"));
    auto pTerm = reinterpret_cast<PFN_stDdaClTerminate>(::dlsym(h, "stDdaClTerminate"));
    if (!pInit || !pTerm) ::_exit(11);
    std::int32_t nVer = nVersion, nIndicator = 0;
    std::uint32_t nInitFlags = 0;
    char aDir[ST_DDA_DIR_TYPE_SIZE] = {}, aLib[ST_DDA_LIB_VERSION_SIZE] = {}, aMsg[ST_DDA_STATUS_MSG_SIZE] = {};
    const std::int32_t nResult = pInit(&nVer, 0, &nInitFlags, aDir, aLib, &nIndicator, aMsg);
    std::string sReport = std::to_string(nResult) + " " + std::to_string(nIndicator) + " " + std::to_string(nVer) +
                          "|" + aMsg + "|";
    pTerm();
    sReport += std::to_string(nIndicator) + " " + aMsg;
    ::dlclose(h);
    return sReport;
  });
}

class AbiTest : public ::testing::Test {
 public:
  AbiTest() : m_registry(dir / "machine/registry.reg", m_diag) {}
  void setDword(const char* p, std::uint32_t n) { m_registry.setValue(kKey, win::RegValue::dword(p, n)); }
  void setText(const char* p, const std::string& s) { m_registry.setValue(kKey, win::RegValue::text(p, s)); }
  InitOutcome run(std::int32_t nVersion = 14) { return loadAndInitInChild(dir / "machine", dir / "debug.txt", nVersion); }

  testsupport::TempDir dir;
  win::CapturingDebugOutput m_diag;
  win::FileRegistry m_registry;
};

TEST_F(AbiTest, ConfigurationsLeadToTheirStates) {
  struct Case {
    const char* pName;
    void (*setup)(AbiTest&);
    std::int32_t nVersion;
    std::string sStart;   // result, indicator, answered version
    std::string sEnding;  // end of the init message
  };
  const Case aCases[] = {
      {"active", [](AbiTest& t) { t.setDword("LogFileEnabled", 1); t.setText("LogFileFolderPath", t.dir / "logs"); },
       14, "0 1 14|", "loaded and initialized.|1 "},
      {"enabled 2 is inactive", [](AbiTest& t) { t.setDword("LogFileEnabled", 2); }, 15, "0 1 14|",
       "loaded but inactive.|1 "},
      {"no settings key", [](AbiTest&) {}, 14, "0 1 14|", "loaded but inactive.|1 "},
      {"no log folder", [](AbiTest& t) { t.setDword("LogFileEnabled", 1); }, 14, "3 4 14|",
       "Unable to get log folder path, terminating.|1 "},
      {"host too old", [](AbiTest& t) { t.setDword("LogFileEnabled", 1); }, 13, "1 4 13|",
       "requires SPI version 14 or higher, terminating.|1 "},
  };
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pName);
    m_registry.deleteKey(kKey);
    c.setup(*this);
    const InitOutcome out = run(c.nVersion);
    ASSERT_EQ(out.nExit, 0);
    EXPECT_TRUE(out.sReport.starts_with(c.sStart)) << out.sReport;
    EXPECT_NE(out.sReport.find(c.sEnding), std::string::npos) << out.sReport;
    EXPECT_TRUE(out.sReport.ends_with(") unloaded.")) << out.sReport;
  }
}

TEST_F(AbiTest, LoadingWritesTheBannerWithTheHostsExecutable) {
  const InitOutcome out = run();
  ASSERT_EQ(out.nExit, 0);
  const std::string sDebug = testsupport::readFile(dir / "debug.txt");
  const std::string sRule(70, '=');
  const std::string sExe = std::filesystem::read_symlink("/proc/self/exe").string();
  EXPECT_EQ(sDebug, sRule + "\nVelkora Parlantis 5.6.5 loaded from " + sExe + "\n" + sRule + "\n");
}

TEST_F(AbiTest, OnlyTheSixteenEntryPointsAreExported) {
  void* h = ::dlopen(CHATWARDEN_SO, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr) << ::dlerror();
  for (const char* p : {"stDdaClInit", "stDdaClTerminate", "stDdaClTimerEvent", "stDdaClSessionPolicycheckFunc",
                        "stDdaClSessionStartedByOrgName", "stDdaClSessionStarted", "stDdaClSessionEnded",
                        "stDdaClJoiningSessionWithSrvMsg", "stDdaClJoiningSession", "stDdaClLeavingSessionWithSrvMsg",
                        "stDdaClLeavingSession", "stDdaClSessionMsgWithSrvMsg", "stDdaClSessionMsg",
                        "stDdaClSessionDataMsgWithSrvMsg", "stDdaClSessionDataMsg", "stDdaClCleanSrvMsgs"})
    EXPECT_NE(::dlsym(h, p), nullptr) << p;
  EXPECT_EQ(::dlsym(h, "_ZN10chatwarden12loadedPluginEv"), nullptr) << "internals must stay hidden";
  ::dlclose(h);
}

}  // namespace
