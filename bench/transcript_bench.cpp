// Cost of logging a chat message, as ratios against the raw system calls
// the same bytes need, measured in the same run:
//  - XML on the real disk: per stDdaClSessionMsg vs open + write +
//    fdatasync + close of the record's bytes;
//  - XML and plain text on the disk: vs two such cycles;
//  - XML on a RAM-backed folder: vs open + write + close;
//  - inactive plug-in: vs an empty exported function called the same way;
//  - a 5 MB image: its data message vs writing and syncing the same bytes;
//  - encryption on vs off, per message on a RAM-backed folder.
// Each configuration runs in a child process, since the plug-in reads its
// settings when it is loaded. Baseline and plug-in batches alternate, and
// the median batch of each is compared.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "stdda_cl.h"
#include "win/debug_output.h"
#include "win/registry.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Config {
  const char* pName;
  std::uint32_t nFormat;  // 0: inactive plug-in
  bool bRamFolder;
  bool bSync;       // baseline syncs like the plug-in's durable close
  int nRounds;
  int nBatch;
  bool bImage = false;
  bool bEncrypt = false;
};

constexpr std::size_t kImageBytes = 5 * 1024 * 1024;

double medianOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

long fileSize(const std::string& s) {
  struct stat st {};
  return ::stat(s.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

// One raw record cycle: open for appending, one write, optional fdatasync, close.
void rawCycle(const std::string& sPath, const std::string& sData, bool bSync) {
  const int fd = ::open(sPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0) std::abort();
  if (::write(fd, sData.data(), sData.size()) != static_cast<ssize_t>(sData.size())) std::abort();
  if (bSync) ::fdatasync(fd);
  ::close(fd);
}

template <typename F>
double timeBatch(int n, F&& f) {
  const auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) f(i);
  return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / n;
}

// Runs in the child: loads the plug-in, measures, prints "plugin baseline"
// in nanoseconds per message to FD.
int measure(const Config& c, const std::string& sFolder, int nOut) {
  void* h = ::dlopen(CHATWARDEN_SO, RTLD_NOW | RTLD_LOCAL);
  void* hEmpty = ::dlopen(BENCH_EMPTY_SO, RTLD_NOW | RTLD_LOCAL);
  if (!h || !hEmpty) return 3;
  auto init = reinterpret_cast<PFN_stDdaClInit>(::dlsym(h, "stDdaClInit"));
  auto start = reinterpret_cast<PFN_stDdaClSessionStarted>(::dlsym(h, "stDdaClSessionStarted"));
  auto join = reinterpret_cast<PFN_stDdaClJoiningSession>(::dlsym(h, "stDdaClJoiningSession"));
  auto msg = reinterpret_cast<PFN_stDdaClSessionMsg>(::dlsym(h, "stDdaClSessionMsg"));
  auto data = reinterpret_cast<PFN_stDdaClSessionDataMsg>(::dlsym(h, "stDdaClSessionDataMsg"));
  auto term = reinterpret_cast<PFN_stDdaClTerminate>(::dlsym(h, "stDdaClTerminate"));
  auto empty = reinterpret_cast<PFN_stDdaClSessionMsg>(::dlsym(hEmpty, "emptySessionMsg"));
  std::int32_t nVer = 14, nInd = 0;
  std::uint32_t nFlags = 0;
  char aDir[ST_DDA_DIR_TYPE_SIZE], aLib[ST_DDA_LIB_VERSION_SIZE], aMsg[ST_DDA_STATUS_MSG_SIZE];
  if (init(&nVer, 0, &nFlags, aDir, aLib, &nInd, aMsg) != 0) return 4;
  ChatEntity a{}, b{};
  std::strcpy(a.id, "CN=Alice Meyer/OU=Sales/O=Acme");
  std::strcpy(b.id, "CN=Bob O'Hara/OU=Sales/O=Acme");
  a.type = b.type = ST_DDA_ENTITY_USER;
  start("bench-1");
  join("bench-1", &a, nullptr);
  join("bench-1", &b, nullptr);
  const std::string sText = "Quarterly numbers are in the shared folder, please review before Friday's call.";
  const auto nLen = static_cast<std::int32_t>(sText.size());

  // The bytes one message adds to each transcript file, for the baseline.
  std::string sXmlRecord, sTxtRecord;
  std::vector<std::string> vActive;
  for (const auto& e : fs::directory_iterator(sFolder)) vActive.push_back(e.path().string());
  std::vector<long> vBefore;
  for (const auto& s : vActive) vBefore.push_back(fileSize(s));
  for (int i = 0; i < 20; ++i) msg("bench-1", &a, nLen, sText.c_str(), &b);
  std::vector<std::string> vRecords;
  for (std::size_t i = 0; i < vActive.size(); ++i)
    vRecords.push_back(std::string(static_cast<std::size_t>((fileSize(vActive[i]) - vBefore[i]) / 20), 'r'));
  const std::string sBase = sFolder + "/baseline-";

  std::vector<double> vPlugin, vBaseline;
  // An image message: the 13-byte header, then a JPEG's worth of bytes.
  std::string sImage = "..data..image\xFF\xD8\xFF\xE0";
  sImage.resize(13 + kImageBytes, 'j');
  const auto* pImage = reinterpret_cast<const unsigned char*>(sImage.data());
  const std::string sImageBytes = sImage.substr(13);
  for (int r = 0; r < c.nRounds; ++r) {
    if (c.bImage) {
      // Each image is a new file; so is each baseline write (on this kind of
      // storage a new file costs several times a rewrite of an old one).
      vBaseline.push_back(timeBatch(c.nBatch, [&](int i) {
        const std::string sPath = sBase + "image-" + std::to_string(r) + "-" + std::to_string(i);
        const int fd = ::open(sPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
        if (fd < 0 || ::write(fd, sImageBytes.data(), sImageBytes.size()) != static_cast<ssize_t>(kImageBytes))
          std::abort();
        ::fsync(fd);
        ::close(fd);
      }));
      vPlugin.push_back(timeBatch(c.nBatch, [&](int) {
        if (data("bench-1", nullptr, 0x6A37, 0, static_cast<std::uint32_t>(sImage.size()), pImage, nullptr) != 0)
          std::abort();
      }));
    } else if (c.nFormat == 0) {
      vBaseline.push_back(timeBatch(c.nBatch, [&](int) { empty("bench-1", &a, nLen, sText.c_str(), &b); }));
      vPlugin.push_back(timeBatch(c.nBatch, [&](int) { msg("bench-1", &a, nLen, sText.c_str(), &b); }));
    } else {
      vBaseline.push_back(timeBatch(c.nBatch, [&](int) {
        for (std::size_t k = 0; k < vRecords.size(); ++k) rawCycle(sBase + std::to_string(k), vRecords[k], c.bSync);
      }));
      vPlugin.push_back(timeBatch(c.nBatch, [&](int) { msg("bench-1", &a, nLen, sText.c_str(), &b); }));
    }
  }
  term();
  char aOut[128];
  const int n = std::snprintf(aOut, sizeof aOut, "%.2f %.2f %zu", medianOf(vPlugin), medianOf(vBaseline),
                              vRecords.size());
  return ::write(nOut, aOut, static_cast<std::size_t>(n)) == n ? 0 : 5;
}

bool run(const Config& c, const fs::path& work, double& dPlugin, double& dBaseline, std::size_t& nFiles) {
  const fs::path machine = work / (std::string(c.pName) + "-machine");
  const fs::path folder = c.bRamFolder ? fs::path("/dev/shm") / ("prlbench-" + std::to_string(::getpid()))
                                       : work / (std::string(c.pName) + "-logs");
  fs::remove_all(folder);
  fs::create_directories(folder);
  fs::create_directories(machine);
  {
    win::CapturingDebugOutput diag;
    win::FileRegistry reg((machine / "registry.reg").string(), diag);
    const char* pKey = "SOFTWARE\\Parlantis\\Server";
    reg.setValue(pKey, win::RegValue::dword("LogFileEnabled", c.nFormat == 0 ? 0 : 1));
    reg.setValue(pKey, win::RegValue::dword("LogFileFormat", c.nFormat));
    reg.setValue(pKey, win::RegValue::text("LogFileFolderPath", folder.string()));
    reg.setValue(pKey, win::RegValue::text("LogFileEncrypt", c.bEncrypt ? "1" : "0"));
  }
  int aPipe[2];
  if (::pipe(aPipe) != 0) return false;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(aPipe[0]);
    ::setenv("MACHINE_DIR", machine.c_str(), 1);
    ::setenv("DEBUG_OUTPUT", "/dev/null", 1);
    ::_exit(measure(c, folder.string(), aPipe[1]));
  }
  ::close(aPipe[1]);
  char aBuf[128] = {};
  const ssize_t nRead = ::read(aPipe[0], aBuf, sizeof aBuf - 1);
  ::close(aPipe[0]);
  int nStatus = 0;
  ::waitpid(pid, &nStatus, 0);
  fs::remove_all(folder);
  return nRead > 0 && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0 &&
         std::sscanf(aBuf, "%lf %lf %zu", &dPlugin, &dBaseline, &nFiles) == 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::puts("Usage: transcript_bench [WORK-FOLDER]\n\nMeasures the cost of logging a chat message against the raw\n"
              "system calls for the same bytes, and prints the ratios. WORK-FOLDER (default: a new folder\n"
              "below /var/tmp) must be on a real disk.");
    return 0;
  }
  const fs::path work = argc > 1 ? fs::path(argv[1]) : fs::path("/var/tmp") / ("prlbench-" + std::to_string(::getpid()));
  fs::create_directories(work);
  const Config aConfigs[] = {
      {"xml-disk", 2, false, true, 15, 40},
      {"xml+txt-disk", 3, false, true, 15, 40},
      {"xml-ram", 2, true, false, 31, 2000},
      {"inactive", 0, false, false, 31, 2000000},
      {"image-disk", 2, false, true, 9, 1, true},
      {"xml-ram-encrypted", 2, true, false, 31, 2000, false, true},
  };
  const char* aLabels[] = {
      "XML on disk:        plug-in per message / (open+write+fdatasync+close)",
      "XML+text on disk:   plug-in per message / 2 x (open+write+fdatasync+close)",
      "XML on RAM folder:  plug-in per message / (open+write+close)",
      "Inactive plug-in:   session entry point / empty exported function",
      "5 MB image on disk: image data message / (open+write+fsync+close)",
      "XML on RAM folder, encrypted: plug-in per message / (open+write+close)",
  };
  double dClearRam = 0, dEncryptedRam = 0;
  int nFailed = 0;
  for (std::size_t i = 0; i < std::size(aConfigs); ++i) {
    double dPlugin = 0, dBaseline = 0;
    std::size_t nFiles = 0;
    std::printf("%s ... ", aConfigs[i].pName);
    std::fflush(stdout);
    if (!run(aConfigs[i], work, dPlugin, dBaseline, nFiles)) {
      std::printf("failed\n");
      ++nFailed;
      continue;
    }
    std::printf("done\n  %s\n    %.1f ns / %.1f ns = %.3fx\n", aLabels[i], dPlugin, dBaseline, dPlugin / dBaseline);
    // Each RAM run is compared with its own baseline first, so that drift
    // between the two runs does not enter the encryption ratio.
    if (std::strcmp(aConfigs[i].pName, "xml-ram") == 0) dClearRam = dPlugin / dBaseline;
    if (std::strcmp(aConfigs[i].pName, "xml-ram-encrypted") == 0) dEncryptedRam = dPlugin / dBaseline;
  }
  if (dClearRam > 0 && dEncryptedRam > 0)
    std::printf("encryption\n  Encryption on / off, per message on a RAM folder\n    %.3fx / %.3fx = %.3fx\n",
                dEncryptedRam, dClearRam, dEncryptedRam / dClearRam);
  fs::remove_all(work);
  return nFailed == 0 ? 0 : 1;
}
