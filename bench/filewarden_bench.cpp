// Cost of one file transfer through the loaded filewarden.so against the
// raw cost of the same bytes, measured in the same run on the real disk:
//  - plug-in: stDdaFtScanFile of a 200 MB file (its one-record log written
//    and synced, the file copied with copy_file_range and synced);
//  - baseline: copy_file_range of the same file into a new file + fsync.
// The two alternate, each round on fresh target files; the medians are
// compared. Work folder below /var/tmp, removed at the end.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "stdda_ft.h"
#include "win/debug_output.h"
#include "win/registry.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* kKey = "Software\\Parlantis\\Server";

double medianOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// SIZE bytes that no file system can shortcut (not zeros, not repeated
// blocks), synced, so neither side pays for the source's write-back.
bool makeSource(const std::string& sPath, std::size_t nSize) {
  const int fd = ::open(sPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) return false;
  std::mt19937_64 rng(20261211);
  std::vector<std::uint64_t> vBlock(1 << 17);  // 1 MiB
  bool bOk = true;
  for (std::size_t nDone = 0; bOk && nDone < nSize;) {
    for (auto& n : vBlock) n = rng();
    const std::size_t nChunk = std::min(nSize - nDone, vBlock.size() * sizeof(std::uint64_t));
    bOk = ::write(fd, vBlock.data(), nChunk) == static_cast<ssize_t>(nChunk);
    nDone += nChunk;
  }
  bOk = ::fsync(fd) == 0 && bOk;
  return ::close(fd) == 0 && bOk;
}

// The baseline: the kernel's copy into a new file, synced.
bool rawCopy(const std::string& sFrom, const std::string& sTo) {
  const int nIn = ::open(sFrom.c_str(), O_RDONLY | O_CLOEXEC);
  const int nOut = ::open(sTo.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
  bool bOk = nIn >= 0 && nOut >= 0;
  struct stat st {};
  bOk = bOk && ::fstat(nIn, &st) == 0;
  for (off_t nLeft = st.st_size; bOk && nLeft > 0;) {
    const ssize_t n = ::copy_file_range(nIn, nullptr, nOut, nullptr, static_cast<std::size_t>(nLeft), 0);
    bOk = n > 0;
    nLeft -= n;
  }
  bOk = bOk && ::fsync(nOut) == 0;
  if (nIn >= 0) ::close(nIn);
  if (nOut >= 0) bOk = ::close(nOut) == 0 && bOk;
  return bOk;
}

// Removes every file in FOLDER and lets the file system settle, so the
// freeing of one round's blocks is not paid by the next.
void clearFolder(const std::string& sFolder) {
  for (const auto& e : fs::directory_iterator(sFolder)) fs::remove(e.path());
  const int fd = ::open(sFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::syncfs(fd);
    ::close(fd);
  }
}

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

int run(const std::string& sWork, std::size_t nSize, int nRounds) {
  const std::string sUpload = sWork + "/upload", sLogs = sWork + "/logs", sFiles = sWork + "/files",
                    sRaw = sWork + "/raw", sMachine = sWork + "/machine";
  for (const auto& s : {sUpload, sLogs, sFiles, sRaw, sMachine}) fs::create_directories(s);
  const std::string sSource = sUpload + "/transfer.bin";
  std::printf("writing a %zu MB source file in %s ...\n", nSize >> 20, sWork.c_str());
  if (!makeSource(sSource, nSize)) {
    std::fprintf(stderr, "filewarden_bench: cannot write %s: %s\n", sSource.c_str(), std::strerror(errno));
    return 1;
  }

  win::CapturingDebugOutput diag;
  win::FileRegistry registry(sMachine + "/registry.reg", diag);
  registry.setValue(kKey, win::RegValue::text("LogFileFolderPath", sLogs));
  registry.setValue(kKey, win::RegValue::text("FileTransferFolderPath", sFiles));
  registry.setValue(kKey, win::RegValue::dword("FileTransferEnabled", 1));
  ::setenv("MACHINE_DIR", sMachine.c_str(), 1);
  ::setenv("DEBUG_OUTPUT", (sWork + "/debug.txt").c_str(), 1);

  void* h = ::dlopen(FILEWARDEN_SO, RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    std::fprintf(stderr, "filewarden_bench: %s\n", ::dlerror());
    return 1;
  }
  auto pInit = reinterpret_cast<PFN_stDdaFtInit>(::dlsym(h, "stDdaFtInit"));
  auto pScan = reinterpret_cast<PFN_stDdaFtScanFile>(::dlsym(h, "stDdaFtScanFile"));
  auto pTerm = reinterpret_cast<PFN_stDdaFtTerminate>(::dlsym(h, "stDdaFtTerminate"));
  std::uint32_t nVersion = ST_DDA_FT_SPI_VERSION;
  if (!pInit || !pScan || !pTerm || pInit(&nVersion) != 0) {
    std::fprintf(stderr, "filewarden_bench: cannot initialise the plug-in\n");
    return 1;
  }
  FtScanRequest request{};
  std::snprintf(request.path, sizeof request.path, "%s", sSource.c_str());
  std::snprintf(request.sender, sizeof request.sender, "%s", "CN=Alice Meyer/O=Acme");
  std::snprintf(request.receiver, sizeof request.receiver, "%s", "CN=Bob O'Hara/O=Acme");
  request.size = static_cast<std::uint32_t>(nSize);
  request.session = 1;

  // Warm the source into the page cache for both sides alike.
  if (!rawCopy(sSource, sRaw + "/warm")) return 1;
  clearFolder(sRaw);

  std::vector<double> vPlugin, vRaw;
  int nFailed = 0;
  for (int nRound = 0; nRound < nRounds; ++nRound) {
    for (int nSide = 0; nSide < 2; ++nSide) {
      // Alternate which side goes first.
      const bool bPlugin = (nSide == 0) == (nRound % 2 == 0);
      const auto t0 = Clock::now();
      const bool bOk = bPlugin ? pScan(&request) == ST_DDA_FT_SCAN_COPIED
                               : rawCopy(sSource, sRaw + "/copy" + std::to_string(nRound));
      const double dSeconds = secondsSince(t0);
      if (!bOk) ++nFailed;
      (bPlugin ? vPlugin : vRaw).push_back(dSeconds);
      std::printf("round %d %-8s %.3f s\n", nRound + 1, bPlugin ? "plug-in" : "raw", dSeconds);
      std::fflush(stdout);
      if (bPlugin) {
        clearFolder(sLogs);
        clearFolder(sFiles);
      } else {
        clearFolder(sRaw);
      }
    }
  }
  pTerm();
  ::dlclose(h);
  if (nFailed) {
    std::fprintf(stderr, "filewarden_bench: %d copies failed\n", nFailed);
    return 1;
  }
  const double dPlugin = medianOf(vPlugin), dRaw = medianOf(vRaw), dRatio = dPlugin / dRaw;
  std::printf("copy of %zu MB: plug-in %.3f s / copy_file_range + fsync %.3f s = %.3fx (target <= 1.20x: %s)\n",
              nSize >> 20, dPlugin, dRaw, dRatio, dRatio <= 1.2 ? "met" : "missed");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int nRounds = 5;
  std::size_t nMegabytes = 200;
  for (int i = 1; i < argc; ++i) {
    const std::string s = argv[i];
    if (s == "-h" || s == "--help") {
      std::printf("Usage: filewarden_bench [--rounds N] [--megabytes M]\n"
                  "Scans an M MB file (default 200) through filewarden.so and copies it with\n"
                  "copy_file_range + fsync, alternating N times (default 5), and prints the\n"
                  "ratio of the medians. Works in a folder below /var/tmp.\n");
      return 0;
    }
    if ((s == "--rounds" || s == "--megabytes") && i + 1 < argc) {
      const long n = std::strtol(argv[++i], nullptr, 10);
      if (n <= 0 || (s == "--megabytes" && n >= 4096)) {
        std::fprintf(stderr, "filewarden_bench: bad value for %s\n", s.c_str());
        return 2;
      }
      if (s == "--rounds") nRounds = static_cast<int>(n);
      else nMegabytes = static_cast<std::size_t>(n);
      continue;
    }
    std::fprintf(stderr, "filewarden_bench: unknown option '%s'\n", s.c_str());
    return 2;
  }
  char aWork[] = "/var/tmp/filewarden-bench.XXXXXX";
  if (!::mkdtemp(aWork)) {
    std::perror("filewarden_bench: mkdtemp");
    return 1;
  }
  int nResult = 1;
  try {
    nResult = run(aWork, nMegabytes << 20, nRounds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "filewarden_bench: %s\n", e.what());
  }
  std::error_code ec;
  fs::remove_all(aWork, ec);
  return nResult;
}
