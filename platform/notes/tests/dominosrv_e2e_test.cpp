// A stand-in server laid out by "dominosrv init", inspected and changed with
// the administrator commands, and supervised by "dominosrv run".
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;

struct Result {
  std::string sOut;
  int nRc;
};

std::string readFile(const std::string& sPath) {
  std::ifstream in(sPath, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class DominoServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char aTemplate[] = "/tmp/prl-dominosrv-XXXXXX";
    m_sRoot = ::mkdtemp(aTemplate);
    m_sEnv = "MACHINE_DIR=" + m_sRoot + "/machine NOTES_INI=" + m_sRoot + "/sametime/notes.ini";
  }
  void TearDown() override {
    if (m_nServerPid > 0) {
      ::kill(m_nServerPid, SIGKILL);
      ::waitpid(m_nServerPid, nullptr, 0);
    }
    std::error_code ec;
    fs::remove_all(m_sRoot, ec);
  }

  // Runs a shell command line with the server's environment; stdout and
  // stderr together.
  Result run(const std::string& sCommand, bool bWithEnv = true) {
    std::string sLine = (bWithEnv ? m_sEnv + " " : std::string()) + sCommand + " 2>&1";
    FILE* p = ::popen(sLine.c_str(), "r");
    Result r{{}, -1};
    std::array<char, 4096> aBuf;
    std::size_t n;
    while ((n = std::fread(aBuf.data(), 1, aBuf.size(), p)) > 0) r.sOut.append(aBuf.data(), n);
    int nStatus = ::pclose(p);
    r.nRc = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    return r;
  }
  std::string dominosrv() const { return DOMINOSRV; }
  std::string nsfdb() const { return NSFDB; }
  std::string data() const { return m_sRoot + "/sametime/data"; }

  bool waitForLog(const std::string& sText, int nCount = 1) {
    for (int i = 0; i < 200; ++i) {
      std::string sLog = readFile(data() + "/console.log");
      int nFound = 0;
      for (std::size_t n = sLog.find(sText); n != std::string::npos; n = sLog.find(sText, n + 1)) ++nFound;
      if (nFound >= nCount) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::string m_sRoot, m_sEnv;
  pid_t m_nServerPid = 0;
};

TEST_F(DominoServerTest, HelpAndClearErrors) {
  for (const std::string& sProgram : {dominosrv(), nsfdb()}) {
    Result r = run(sProgram + " --help");
    EXPECT_EQ(r.nRc, 0);
    EXPECT_NE(r.sOut.find("Usage:"), std::string::npos);
    r = run(sProgram + " frobnicate x");
    EXPECT_EQ(r.nRc, 2);
    EXPECT_NE(r.sOut.find("unknown command frobnicate"), std::string::npos) << r.sOut;
  }
  Result r = run(dominosrv() + " console 'show tasks'");  // nothing laid out yet
  EXPECT_EQ(r.nRc, 1);
  EXPECT_NE(r.sOut.find("notes.ini"), std::string::npos) << r.sOut;
}

TEST_F(DominoServerTest, InitLaysOutAServerThatTheCommandsInspectAndChange) {
  Result r = run(dominosrv() + " init " + m_sRoot + " --version 8.5.2", false);
  ASSERT_EQ(r.nRc, 0) << r.sOut;
  EXPECT_EQ(r.sOut, "export MACHINE_DIR=" + m_sRoot + "/machine\nexport NOTES_INI=" + m_sRoot + "/sametime/notes.ini\n");
  EXPECT_EQ(run(dominosrv() + " init " + m_sRoot, false).nRc, 1) << "a second init refuses to overwrite";

  std::string sIni = readFile(m_sRoot + "/sametime/notes.ini");
  EXPECT_NE(sIni.find("Directory=" + data() + "\r\n"), std::string::npos) << sIni;
  EXPECT_NE(sIni.find("ServerTasks="), std::string::npos);
  EXPECT_NE(readFile(m_sRoot + "/sametime/sametime.ini").find("[Config]\r\n"), std::string::npos);
  std::string sReg = readFile(m_sRoot + "/machine/registry.reg");
  EXPECT_NE(sReg.find("\"Version\"=\"8.5.2\""), std::string::npos) << sReg;
  EXPECT_NE(sReg.find("\"Path\"=\"" + m_sRoot + "/sametime/\""), std::string::npos) << sReg;
  // The provider registration stand-in checks that its argument exists.
  EXPECT_EQ(run(m_sRoot + "/sametime/regsvr32 /s \"" + m_sRoot + "/sametime/nlsxbe.so\"").nRc, 0);
  EXPECT_NE(run(m_sRoot + "/sametime/regsvr32 /s \"" + m_sRoot + "/sametime/nlsxbe.dll\"").nRc, 0);

  // The templates and the Sametime configuration.
  r = run(nsfdb() + " views prlconfig.ntf");
  EXPECT_NE(r.sOut.find("Rules|$vwWall\n  forms: Rule\n  sort: rule.name\n  summary: rule.name, rule.from, rule.to, "
                        "rule.message, rule.access"),
            std::string::npos)
      << r.sOut;
  EXPECT_NE(r.sOut.find("Disclaimers|$vwDisclaimer"), std::string::npos);
  r = run(nsfdb() + " agents prlchatlog5.ntf");
  EXPECT_EQ(r.sOut, "agXMLImporter  trigger=scheduled enabled=yes implementation=prl.recordrun\n");
  r = run(nsfdb() + " entries stconfig.nsf All_byForm_Uncategorized");
  EXPECT_LT(r.sOut.find("Form: CommunityClient"), r.sOut.find("Form: CommunityServices")) << r.sOut;

  // Create the configuration database and maintain a rule in it.
  r = run(nsfdb() + " create prlconfig.ntf prlconfig.nsf --title 'Velkora Parlantis 5 Configuration'");
  ASSERT_EQ(r.nRc, 0) << r.sOut;
  EXPECT_EQ(run(nsfdb() + " title prlconfig.nsf").sOut, "Velkora Parlantis 5 Configuration\n");
  r = run(nsfdb() + " add prlconfig.nsf --form Rule rule.name='No partners' 'rule.from@=*/O=Partner|CN=Dan Dorn/O=Partner' "
                    "rule.to='*' rule.access=0");
  ASSERT_EQ(r.nRc, 0) << r.sOut;
  std::string sId = r.sOut.substr(0, r.sOut.size() - 1);
  r = run(nsfdb() + " entries prlconfig.nsf '$vwWall'");
  EXPECT_EQ(r.sOut, sId + "\n  rule.name: No partners\n  rule.from: */O=Partner, CN=Dan Dorn/O=Partner\n  rule.to: *\n"
                          "  rule.access: 0\n");
  EXPECT_EQ(run(nsfdb() + " set prlconfig.nsf " + sId + " rule.access=1 'rule.message=Not with %s'").nRc, 0);
  r = run(nsfdb() + " docs prlconfig.nsf --form Rule");
  EXPECT_NE(r.sOut.find("rule.access (text): 1\n"), std::string::npos) << r.sOut;
  EXPECT_NE(r.sOut.find("rule.from (text list): */O=Partner | CN=Dan Dorn/O=Partner\n"), std::string::npos) << r.sOut;
  EXPECT_NE(r.sOut.find("rule.message (text): Not with %s\n"), std::string::npos);
  EXPECT_EQ(run(nsfdb() + " remove prlconfig.nsf " + sId).nRc, 0);
  EXPECT_EQ(run(nsfdb() + " entries prlconfig.nsf '$vwWall'").sOut, "");
  r = run(nsfdb() + " remove prlconfig.nsf " + sId);
  EXPECT_EQ(r.nRc, 1);
  EXPECT_NE(r.sOut.find("Entry not found"), std::string::npos) << r.sOut;
  r = run(nsfdb() + " views missing.nsf");
  EXPECT_EQ(r.nRc, 1);
  EXPECT_NE(r.sOut.find("cannot open missing.nsf: File does not exist"), std::string::npos) << r.sOut;
  EXPECT_EQ(run(nsfdb() + " add prlconfig.nsf --form Rule badarg").nRc, 2);

  EXPECT_EQ(run(nsfdb() + " replica names.nsf").sOut.size(), 18u);  // XXXXXXXX:XXXXXXXX
  // A console command on a server with no task running.
  r = run(dominosrv() + " console tell parlantis pause");
  EXPECT_EQ(r.nRc, 1);
  EXPECT_NE(r.sOut.find("Task parlantis is not running"), std::string::npos) << r.sOut;
}

TEST_F(DominoServerTest, RunSupervisesTasksThatTheConsoleTellsAndRestarts) {
  ASSERT_EQ(run(dominosrv() + " init " + m_sRoot, false).nRc, 0);
  fs::copy_file(NOTES_PROBE, m_sRoot + "/sametime/nprobe");
  ASSERT_EQ(run(nsfdb() + " title names.nsf").nRc, 0);
  {  // ServerTasks=Replica,probe
    std::string sIni = readFile(m_sRoot + "/sametime/notes.ini");
    std::size_t n = sIni.find("ServerTasks=");
    sIni.replace(n, sIni.find("\r\n", n) - n, "ServerTasks=Replica,probe");
    std::ofstream(m_sRoot + "/sametime/notes.ini", std::ios::binary) << sIni;
  }
  m_nServerPid = ::fork();
  if (m_nServerPid == 0) {
    ::setenv("NOTES_INI", (m_sRoot + "/sametime/notes.ini").c_str(), 1);
    ::setenv("MACHINE_DIR", (m_sRoot + "/machine").c_str(), 1);
    ::freopen("/dev/null", "w", stdout);
    ::execl(DOMINOSRV, DOMINOSRV, "run", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_TRUE(waitForLog("Probe: started"));
  EXPECT_TRUE(waitForLog("Server: no program for task replica"));
  Result r = run(dominosrv() + " run");
  EXPECT_EQ(r.nRc, 1);
  EXPECT_NE(r.sOut.find("a server is already running"), std::string::npos) << r.sOut;

  EXPECT_EQ(run(dominosrv() + " console tell probe hello there").nRc, 0);
  EXPECT_TRUE(waitForLog("Probe: received hello there"));
  r = run(dominosrv() + " console show tasks");
  EXPECT_NE(r.sOut.find("probe"), std::string::npos) << r.sOut;

  r = run(dominosrv() + " console '!restart task probe'");
  EXPECT_EQ(r.nRc, 0) << r.sOut;
  EXPECT_TRUE(waitForLog("Probe: stopped"));
  EXPECT_TRUE(waitForLog("Probe: started", 2));

  ::kill(m_nServerPid, SIGTERM);
  int nStatus = 0;
  ASSERT_EQ(::waitpid(m_nServerPid, &nStatus, 0), m_nServerPid);
  m_nServerPid = 0;
  EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
  EXPECT_TRUE(waitForLog("Probe: stopped", 2)) << "the task was asked to quit, not killed";
  EXPECT_TRUE(waitForLog("Server: stopped"));
}

}  // namespace
