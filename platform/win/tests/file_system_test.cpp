#include "win/file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace win {
namespace {

namespace fs = std::filesystem;

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string sTemplate = (fs::temp_directory_path() / "fstest.XXXXXX").string();
    ASSERT_NE(::mkdtemp(sTemplate.data()), nullptr);
    m_pathDir = sTemplate;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_pathDir, ec);
  }
  std::string path(const char* pName) const { return (m_pathDir / pName).string(); }
  static std::string contents(const std::string& sPath) {
    std::ifstream in(sPath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // Open, one write, durable close: the way every record is written.
  static int appendRecord(IFileSystem& fs, const std::string& sPath, const std::string& sText) {
    int nFd = -1;
    if (int nErr = fs.openAppend(sPath, kPrivateFileMode, &nFd)) return nErr;
    const int nErr = fs.write(nFd, sText.data(), sText.size());
    const int nClose = fs.close(nFd, true);
    return nErr ? nErr : nClose;
  }

  fs::path m_pathDir;
};

TEST_F(FileSystemTest, AppendsCreateOwnerOnlyFilesAndRenameRemoveReportErrno) {
  IFileSystem& real = posixFileSystem();
  const std::string sLog = path("a.log");
  ASSERT_EQ(appendRecord(real, sLog, "one\r\n"), 0);
  ASSERT_EQ(appendRecord(real, sLog, "two\r\n"), 0);
  EXPECT_EQ(contents(sLog), "one\r\ntwo\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(sLog.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, kPrivateFileMode & ~0022u);

  ASSERT_EQ(real.rename(sLog, path("b.log")), 0);
  EXPECT_EQ(contents(path("b.log")), "one\r\ntwo\r\n");
  EXPECT_EQ(real.rename(sLog, path("c.log")), ENOENT);
  EXPECT_EQ(real.remove(path("b.log")), 0);
  EXPECT_EQ(real.remove(path("b.log")), ENOENT);
  EXPECT_EQ(appendRecord(real, path("no/such/folder.log"), "x"), ENOENT);
  EXPECT_EQ(systemErrorText(ENOENT), "No such file or directory");
}

TEST_F(FileSystemTest, CopyReplacesTheTargetAndAFailedCopyLeavesNothingBehind) {
  IFileSystem& real = posixFileSystem();
  ASSERT_EQ(appendRecord(real, path("src"), std::string(100000, 'q')), 0);
  ASSERT_EQ(appendRecord(real, path("dst"), "old"), 0);
  ASSERT_EQ(real.copyFile(path("src"), path("dst"), kPrivateFileMode), 0);
  EXPECT_EQ(contents(path("dst")), std::string(100000, 'q'));

  EXPECT_EQ(real.copyFile(path("missing"), path("dst2"), kPrivateFileMode), ENOENT);
  EXPECT_EQ(real.copyFile(path("src"), path("no/such/dst"), kPrivateFileMode), ENOENT);
  EXPECT_FALSE(fs::exists(path("dst2")));
  EXPECT_FALSE(fs::exists(path("dst2.part")));
  EXPECT_FALSE(fs::exists(path("dst.part")));
}

TEST_F(FileSystemTest, FaultInjectionFailsExactlyTheChosenCallAndCloseStillCloses) {
  struct Case {
    FileOp op;
    unsigned nNth;
    std::vector<int> vExpected;  // result of three records in a row (write and close counted per kind)
  };
  const std::vector<Case> vCases = {
      {FileOp::Open, 2, {0, EACCES, 0}},
      {FileOp::Write, 1, {ENOSPC, 0, 0}},
      {FileOp::Close, 3, {0, 0, EIO}},
      {FileOp::Close, 0, {EIO, EIO, EIO}},
      {FileOp::Rename, 1, {0, 0, 0}},  // another kind: records are untouched
  };
  for (const auto& c : vCases) {
    SCOPED_TRACE(static_cast<int>(c.op));
    FaultInjectingFileSystem faulty(posixFileSystem());
    const int nErrno = c.op == FileOp::Open ? EACCES : c.op == FileOp::Write ? ENOSPC : EIO;
    faulty.failCall(c.op, c.nNth, nErrno);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(appendRecord(faulty, path("f.log"), "r"), c.vExpected[i]) << i;
    EXPECT_EQ(faulty.callCount(c.op), c.op == FileOp::Rename ? 0u : 3u);
    faulty.clearFaults();
    EXPECT_EQ(appendRecord(faulty, path("f.log"), "r"), 0);
    fs::remove(path("f.log"));
  }

  // A close that reports a failure has still released the descriptor.
  FaultInjectingFileSystem faulty(posixFileSystem());
  faulty.failCall(FileOp::Close, 1, EIO);
  int nFd = -1;
  ASSERT_EQ(faulty.openTruncate(path("g.log"), kPrivateFileMode, &nFd), 0);
  EXPECT_EQ(faulty.close(nFd, true), EIO);
  errno = 0;
  EXPECT_EQ(::fcntl(nFd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
  // A failed rename leaves both names as they were.
  faulty.failCall(FileOp::Rename, 1, EXDEV);
  EXPECT_EQ(faulty.rename(path("g.log"), path("h.log")), EXDEV);
  EXPECT_TRUE(fs::exists(path("g.log")));
  EXPECT_FALSE(fs::exists(path("h.log")));
}

}  // namespace
}  // namespace win
