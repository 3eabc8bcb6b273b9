// The diagnostic trace: line format, truncation, hex dump, banner and the
// places the trace file goes.
#include <regex>

#include "PluginFixture.h"

namespace chatwarden::test {
namespace {

using ::testing::ElementsAre;

class TraceTest : public PluginFixture {};

TEST_F(TraceTest, LinesCarryPidTidTimeAndEndWithCrLf) {
  configureActive();
  load();
  const std::string sFile = testsupport::readFile(traceFile());
  const auto vLines = traceLines();
  ASSERT_FALSE(vLines.empty());
  // The fake process is 0x1A2B/0x3C, the fake clock 2025-12-11 11:00:00.
  EXPECT_EQ(vLines.front(), "[1A2B:003C] 12/11/25 11:00:00 AM ..+ChatResource::isLogFileEnabled()");
  EXPECT_EQ(sFile.substr(sFile.size() - 2), "\r\n");
  EXPECT_EQ(std::count(sFile.begin(), sFile.end(), '\n'), std::count(sFile.begin(), sFile.end(), '\r'));

  // Afternoon hours stay 24-hour and are marked PM.
  machine.clock.set(1765450800 + 3 * 3600 + 5 * 60 + 9);
  plugin().resource().traceMessage("late %d", 7);
  EXPECT_EQ(traceLines().back(), "[1A2B:003C] 12/11/25 14:05:09 PM late 7");
  // The debugger receives the bare message.
  EXPECT_EQ(machine.debug.lines().back(), "late 7");
}

TEST_F(TraceTest, MessageInsideTextBecomesCrLfLines) {
  configureActive();
  load();
  plugin().resource().traceMessage("msg 'one\ntwo'");
  const auto v = traceLines();
  ASSERT_GE(v.size(), 2u);
  EXPECT_EQ(v[v.size() - 2], "[1A2B:003C] 12/11/25 11:00:00 AM msg 'one");
  EXPECT_EQ(v.back(), "two'");
}

TEST_F(TraceTest, LongMessageIsCutAt1023CharactersAndMarked) {
  configureActive();
  load();
  machine.debug.clear();
  const std::string sLong(1100, 'x');
  plugin().resource().traceMessage("%s", sLong.c_str());
  const auto v = traceLines();
  ASSERT_GE(v.size(), 2u);
  EXPECT_EQ(v[v.size() - 2], "[1A2B:003C] 12/11/25 11:00:00 AM " + std::string(1023, 'x'));
  EXPECT_EQ(v.back(), "{Output truncated}");
  EXPECT_THAT(machine.debug.lines(), ElementsAre(std::string(1023, 'x'), "{Output truncated}"));

  // Exactly 1023 characters fit and are not marked.
  plugin().resource().traceMessage("%s", std::string(1023, 'y').c_str());
  EXPECT_EQ(traceMessages().back(), std::string(1023, 'y'));
}

TEST_F(TraceTest, HexDumpRowsAreOffsetColumnsAndCharacters) {
  configureActive();
  load();
  const unsigned char aFive[] = {'a', 'b', '%', 0x00, 0x7F};
  plugin().resource().traceHexDump(aFive, sizeof aFive);
  const std::string sFiveRow = "000000: 61 62 25 00 7f " + std::string(33, ' ') + " ab%..";
  EXPECT_EQ(sFiveRow.size(), 62u);
  EXPECT_EQ(traceMessages().back(), sFiveRow);

  unsigned char aBytes[32];
  for (int i = 0; i < 32; ++i) aBytes[i] = static_cast<unsigned char>(0x30 + i);
  plugin().resource().traceHexDump(aBytes, sizeof aBytes);
  const auto v = traceMessages();
  ASSERT_GE(v.size(), 2u);
  EXPECT_EQ(v[v.size() - 2], "000000: 30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f  0123456789:;<=>?");
  EXPECT_EQ(v.back(), "000010: 40 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f  @ABCDEFGHIJKLMNO");
  EXPECT_EQ(v.back().size(), 73u);
}

TEST_F(TraceTest, MissingTraceFolderLeavesOnlyTheDebuggerOutput) {
  std::filesystem::remove_all(dir / "bin/trace");
  configureActive();
  load();
  EXPECT_EQ(init(), ST_DDA_API_OK);
  EXPECT_FALSE(testsupport::fileExists(traceFile()));
  const auto& v = machine.debug.lines();
  const std::string sError = "->ERROR opening '" + traceFile() + "': No such file or directory";
  EXPECT_NE(std::find(v.begin(), v.end(), sError), v.end());
  EXPECT_NE(std::find(v.begin(), v.end(), "+stDdaClInit()"), v.end());
}

TEST_F(TraceTest, TraceOffSendsOnlyTheBanner) {
  setDword("TraceSametime", 0);
  setDword("LogFileEnabled", 1);
  setText("LogFileFolderPath", dir / "logs");
  load();
  EXPECT_EQ(init(), ST_DDA_API_OK);
  stDdaClTerminate();
  const std::string sRule(70, '=');
  EXPECT_THAT(machine.debug.lines(),
              ElementsAre(sRule, "Velkora Parlantis 5.6.5 loaded from " + (dir / "bin/stserver"), sRule));
  EXPECT_FALSE(testsupport::fileExists(traceFile()));
}

TEST_F(TraceTest, TraceFileSitsBelowTheExecutablesFolder) {
  struct Case {
    std::string sExe, sFolder, sTraceFile, sBannerPlace;
  };
  const Case aCases[] = {
      {"/opt/st/stserver", "/opt/st/", "/opt/st/trace/parlantis.txt", "/opt/st/stserver"},
      {"/stserver", "/", "/trace/parlantis.txt", "/stserver"},
      {"stserver", "./", "./trace/parlantis.txt", "stserver"},
      {"", "", "", "???"},
  };
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.sExe);
    machine.debug.clear();
    machine.process.m_sExePath = c.sExe;
    load();
    EXPECT_EQ(plugin().resource().currentFolderPath(), c.sFolder);
    EXPECT_EQ(plugin().resource().traceFilePath(), c.sTraceFile);
    ASSERT_GE(machine.debug.lines().size(), 2u);
    EXPECT_EQ(machine.debug.lines()[1], "Velkora Parlantis 5.6.5 loaded from " + c.sBannerPlace);
  }
}

TEST_F(TraceTest, FailedWriteAndCloseAreReportedToTheDebugger) {
  configureActive();
  load();
  machine.files.failCall(win::FileOp::Write, 0, EIO);
  machine.files.failCall(win::FileOp::Close, 0, ENOSPC);
  machine.debug.clear();
  plugin().resource().traceMessage("x");
  EXPECT_THAT(machine.debug.lines(), ElementsAre("x", "->ERROR: Unable to write to '" + traceFile() + "': Input/output error",
                                                 "->ERROR: Unable to close '" + traceFile() + "': No space left on device"));
}

}  // namespace
}  // namespace chatwarden::test
