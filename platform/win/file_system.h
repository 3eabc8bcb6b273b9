// File layer: every transcript, trace, image and copy write goes through here.
//
// The calls mirror what the plug-ins do with a C run-time stream in commit
// mode: open for appending (or truncating), one write, a durable close, and
// rename/remove with the folder synced afterwards. Every call returns 0 on
// success or the errno of the failing system call, so callers can trace the
// system error text of the exact step that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace win {

enum class FileOp : std::uint8_t { Open, Write, Close, Rename, Remove, SyncFolder, Copy, Count };

// File modes for new files. Chat content is confidential: owner read/write,
// group read (the importing server reads through the folder's group).
constexpr unsigned kPrivateFileMode = 0640;

class IFileSystem {
 public:
  virtual ~IFileSystem() = default;

  // Opens PATH for appending, creating it with MODE when missing. On success
  // stores the descriptor in *pFd and returns 0; on failure returns errno and
  // leaves *pFd untouched. The caller owns the descriptor and must close() it.
  virtual int openAppend(const std::string& sPath, unsigned nMode, int* pFd) = 0;
  // Opens PATH for writing, truncating an existing file (same contract).
  virtual int openTruncate(const std::string& sPath, unsigned nMode, int* pFd) = 0;
  // Writes all N bytes (retrying short writes). 0 or errno.
  virtual int write(int nFd, const void* pData, std::size_t nSize) = 0;
  // With bCommit the data reaches the disk (fdatasync) before the descriptor
  // is closed. The descriptor is closed in every case. 0 or the first errno.
  virtual int close(int nFd, bool bCommit) = 0;
  // Renames FROM to TO (replacing TO) and syncs the folder of TO. 0 or errno.
  virtual int rename(const std::string& sFrom, const std::string& sTo) = 0;
  // Removes PATH and syncs its folder. 0 or errno.
  virtual int remove(const std::string& sPath) = 0;
  // Copies FROM to TO with the kernel's file copy, replacing TO, and syncs
  // the copy. 0 or errno; a failed copy leaves no partial TO behind.
  virtual int copyFile(const std::string& sFrom, const std::string& sTo, unsigned nMode) = 0;
  // Syncs the folder of PATH, so that a file created there survives a power
  // cut under its name. 0 or errno.
  virtual int syncFolderOf(const std::string& sPath) = 0;
};

// The real file system. Process-wide, stateless.
IFileSystem& posixFileSystem();

// Passes every call to another file system; derive from it to override only
// the calls a test needs to break.
class ForwardingFileSystem : public IFileSystem {
 public:
  explicit ForwardingFileSystem(IFileSystem& inner) : m_rInner(inner) {}
  int openAppend(const std::string& sPath, unsigned nMode, int* pFd) override {
    return m_rInner.openAppend(sPath, nMode, pFd);
  }
  int openTruncate(const std::string& sPath, unsigned nMode, int* pFd) override {
    return m_rInner.openTruncate(sPath, nMode, pFd);
  }
  int write(int nFd, const void* pData, std::size_t nSize) override { return m_rInner.write(nFd, pData, nSize); }
  int close(int nFd, bool bCommit) override { return m_rInner.close(nFd, bCommit); }
  int rename(const std::string& sFrom, const std::string& sTo) override { return m_rInner.rename(sFrom, sTo); }
  int remove(const std::string& sPath) override { return m_rInner.remove(sPath); }
  int copyFile(const std::string& sFrom, const std::string& sTo, unsigned nMode) override {
    return m_rInner.copyFile(sFrom, sTo, nMode);
  }
  int syncFolderOf(const std::string& sPath) override { return m_rInner.syncFolderOf(sPath); }

 protected:
  IFileSystem& m_rInner;
};

// Fails the Nth call (1-based, counted per kind) of a chosen kind with a
// chosen errno; every other call goes through. A fault may be limited to
// paths that contain a given text (writes and closes count by the path
// their descriptor was opened with), so that unrelated files, such as the
// trace, do not shift the count. Close still closes the descriptor when it
// reports a failure, so nothing leaks.
class FaultInjectingFileSystem : public ForwardingFileSystem {
 public:
  explicit FaultInjectingFileSystem(IFileSystem& inner) : ForwardingFileSystem(inner) {}

  // Fail call number nNth of kind op (nNth 0: every such call) among the
  // calls whose path contains sPathPart (empty: every path).
  void failCall(FileOp op, unsigned nNth, int nErrno, std::string sPathPart = {});
  void clearFaults();
  unsigned callCount(FileOp op) const { return m_aCalls[static_cast<int>(op)]; }

  int openAppend(const std::string& sPath, unsigned nMode, int* pFd) override;
  int openTruncate(const std::string& sPath, unsigned nMode, int* pFd) override;
  int write(int nFd, const void* pData, std::size_t nSize) override;
  int close(int nFd, bool bCommit) override;
  int rename(const std::string& sFrom, const std::string& sTo) override;
  int remove(const std::string& sPath) override;
  int copyFile(const std::string& sFrom, const std::string& sTo, unsigned nMode) override;
  int syncFolderOf(const std::string& sPath) override;

 private:
  struct Fault {
    unsigned nNth = 0;
    int nErrno = 0;
    bool bArmed = false;
    std::string sPathPart;
    unsigned nMatched = 0;
  };
  // Counts the call and returns the errno to fail it with, or 0.
  int nextFault(FileOp op, const std::string& sPath);
  int openWith(bool bTruncate, const std::string& sPath, unsigned nMode, int* pFd);
  const std::string& pathOf(int nFd) const;

  static constexpr int kOps = static_cast<int>(FileOp::Count);
  Fault m_aFaults[kOps];
  unsigned m_aCalls[kOps] = {};
  std::map<int, std::string> m_mOpenPaths;
};

// "No such file or directory" and friends, as the C run time words them.
std::string systemErrorText(int nErrno);

}  // namespace win
