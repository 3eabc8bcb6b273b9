#include "file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace win {
namespace {

std::string folderOf(const std::string& sPath) {
  const auto nSlash = sPath.find_last_of('/');
  if (nSlash == std::string::npos) return ".";
  if (nSlash == 0) return "/";
  return sPath.substr(0, nSlash);
}

int syncFolder(const std::string& sFolder) {
  const int nFd = ::open(sFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (nFd < 0) return errno;
  int nErr = ::fsync(nFd) == 0 ? 0 : errno;
  ::close(nFd);
  // Some file systems (tmpfs, overlay) cannot sync a folder; that is not a
  // failure of the rename or removal that was asked for.
  if (nErr == EINVAL || nErr == EROFS) nErr = 0;
  return nErr;
}

int openWith(const std::string& sPath, int nFlags, unsigned nMode, int* pFd) {
  int nFd;
  do {
    nFd = ::open(sPath.c_str(), nFlags | O_CLOEXEC, static_cast<mode_t>(nMode));
  } while (nFd < 0 && errno == EINTR);
  if (nFd < 0) return errno;
  *pFd = nFd;
  return 0;
}

class PosixFileSystem final : public IFileSystem {
 public:
  int openAppend(const std::string& sPath, unsigned nMode, int* pFd) override {
    return openWith(sPath, O_WRONLY | O_CREAT | O_APPEND, nMode, pFd);
  }
  int openTruncate(const std::string& sPath, unsigned nMode, int* pFd) override {
    return openWith(sPath, O_WRONLY | O_CREAT | O_TRUNC, nMode, pFd);
  }
  int write(int nFd, const void* pData, std::size_t nSize) override {
    const char* p = static_cast<const char*>(pData);
    while (nSize > 0) {
      const ssize_t n = ::write(nFd, p, nSize);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      p += n;
      nSize -= static_cast<std::size_t>(n);
    }
    return 0;
  }
  int close(int nFd, bool bCommit) override {
    int nErr = 0;
    if (bCommit && ::fdatasync(nFd) != 0) nErr = errno;
    if (::close(nFd) != 0 && nErr == 0 && errno != EINTR) nErr = errno;
    return nErr;
  }
  int rename(const std::string& sFrom, const std::string& sTo) override {
    if (::rename(sFrom.c_str(), sTo.c_str()) != 0) return errno;
    return syncFolder(folderOf(sTo));
  }
  int remove(const std::string& sPath) override {
    if (::unlink(sPath.c_str()) != 0) return errno;
    return syncFolder(folderOf(sPath));
  }
  int copyFile(const std::string& sFrom, const std::string& sTo, unsigned nMode) override;
  int syncFolderOf(const std::string& sPath) override { return syncFolder(folderOf(sPath)); }
};

int PosixFileSystem::copyFile(const std::string& sFrom, const std::string& sTo, unsigned nMode) {
  int nIn = -1;
  if (int nErr = openWith(sFrom, O_RDONLY, 0, &nIn)) return nErr;
  struct stat st {};
  if (::fstat(nIn, &st) != 0) {
    const int nErr = errno;
    ::close(nIn);
    return nErr;
  }
  // Copy into a temporary name beside the target and rename it over, so a
  // failed copy never leaves a partial file under the final name.
  const std::string sTemp = sTo + ".part";
  int nOut = -1;
  if (int nErr = openWith(sTemp, O_WRONLY | O_CREAT | O_TRUNC, nMode, &nOut)) {
    ::close(nIn);
    return nErr;
  }
  int nErr = 0;
  off_t nLeft = st.st_size;
  while (nLeft > 0) {
    const ssize_t n = ::copy_file_range(nIn, nullptr, nOut, nullptr, static_cast<size_t>(nLeft), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      nErr = errno;
      break;
    }
    if (n == 0) break;  // source shrank underneath us
    nLeft -= n;
  }
  ::close(nIn);
  if (nErr == 0 && ::fsync(nOut) != 0) nErr = errno;
  if (::close(nOut) != 0 && nErr == 0) nErr = errno;
  if (nErr == 0 && ::rename(sTemp.c_str(), sTo.c_str()) != 0) nErr = errno;
  if (nErr != 0) {
    ::unlink(sTemp.c_str());
    return nErr;
  }
  return syncFolder(folderOf(sTo));
}

}  // namespace

IFileSystem& posixFileSystem() {
  static PosixFileSystem* const s_pFs = new PosixFileSystem;  // never destroyed, see debugOutput()
  return *s_pFs;
}

void FaultInjectingFileSystem::failCall(FileOp op, unsigned nNth, int nErrno, std::string sPathPart) {
  m_aFaults[static_cast<int>(op)] = Fault{nNth, nErrno, true, std::move(sPathPart), 0};
}

void FaultInjectingFileSystem::clearFaults() {
  for (auto& f : m_aFaults) f = Fault{};
}

int FaultInjectingFileSystem::nextFault(FileOp op, const std::string& sPath) {
  const int i = static_cast<int>(op);
  ++m_aCalls[i];
  Fault& f = m_aFaults[i];
  if (!f.bArmed || sPath.find(f.sPathPart) == std::string::npos) return 0;
  const unsigned nMatch = ++f.nMatched;
  return (f.nNth == 0 || f.nNth == nMatch) ? f.nErrno : 0;
}

const std::string& FaultInjectingFileSystem::pathOf(int nFd) const {
  static const std::string s_sUnknown;
  const auto it = m_mOpenPaths.find(nFd);
  return it == m_mOpenPaths.end() ? s_sUnknown : it->second;
}

int FaultInjectingFileSystem::openWith(bool bTruncate, const std::string& sPath, unsigned nMode, int* pFd) {
  if (int nErr = nextFault(FileOp::Open, sPath)) return nErr;
  const int nErr = bTruncate ? ForwardingFileSystem::openTruncate(sPath, nMode, pFd)
                             : ForwardingFileSystem::openAppend(sPath, nMode, pFd);
  if (nErr == 0) m_mOpenPaths[*pFd] = sPath;
  return nErr;
}

int FaultInjectingFileSystem::openAppend(const std::string& sPath, unsigned nMode, int* pFd) {
  return openWith(false, sPath, nMode, pFd);
}
int FaultInjectingFileSystem::openTruncate(const std::string& sPath, unsigned nMode, int* pFd) {
  return openWith(true, sPath, nMode, pFd);
}
int FaultInjectingFileSystem::write(int nFd, const void* pData, std::size_t nSize) {
  if (int nErr = nextFault(FileOp::Write, pathOf(nFd))) return nErr;
  return ForwardingFileSystem::write(nFd, pData, nSize);
}
int FaultInjectingFileSystem::close(int nFd, bool bCommit) {
  const int nErr = nextFault(FileOp::Close, pathOf(nFd));
  m_mOpenPaths.erase(nFd);
  const int nReal = ForwardingFileSystem::close(nFd, bCommit);
  return nErr != 0 ? nErr : nReal;
}
int FaultInjectingFileSystem::rename(const std::string& sFrom, const std::string& sTo) {
  if (int nErr = nextFault(FileOp::Rename, sFrom)) return nErr;
  return ForwardingFileSystem::rename(sFrom, sTo);
}
int FaultInjectingFileSystem::remove(const std::string& sPath) {
  if (int nErr = nextFault(FileOp::Remove, sPath)) return nErr;
  return ForwardingFileSystem::remove(sPath);
}
int FaultInjectingFileSystem::copyFile(const std::string& sFrom, const std::string& sTo, unsigned nMode) {
  if (int nErr = nextFault(FileOp::Copy, sFrom)) return nErr;
  return ForwardingFileSystem::copyFile(sFrom, sTo, nMode);
}

int FaultInjectingFileSystem::syncFolderOf(const std::string& sPath) {
  if (int nErr = nextFault(FileOp::SyncFolder, sPath)) return nErr;
  return ForwardingFileSystem::syncFolderOf(sPath);
}

std::string systemErrorText(int nErrno) {
  char aBuf[256];
  // GNU strerror_r returns the text, which may or may not live in aBuf.
  return std::string(::strerror_r(nErrno, aBuf, sizeof aBuf));
}

}  // namespace win
