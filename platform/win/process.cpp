#include "process.h"

#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <system_error>

namespace win {
namespace {

int clampLimit(rlim_t n) { return n == RLIM_INFINITY || n > static_cast<rlim_t>(INT_MAX) ? INT_MAX : static_cast<int>(n); }

class CurrentProcess final : public IProcess {
 public:
  std::string executablePath() override {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
  }
  std::uint32_t processId() override { return static_cast<std::uint32_t>(::getpid()); }
  std::uint32_t threadId() override { return static_cast<std::uint32_t>(::gettid()); }
  int openFileLimit() override {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
    return clampLimit(rl.rlim_cur);
  }
  int raiseOpenFileLimit(int n) override {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
    const rlim_t nWanted = static_cast<rlim_t>(n);
    if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur >= nWanted) return clampLimit(rl.rlim_cur);
    rl.rlim_cur = (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < nWanted) ? rl.rlim_max : nWanted;
    ::setrlimit(RLIMIT_NOFILE, &rl);
    return openFileLimit();
  }
};

}  // namespace

IProcess& currentProcess() {
  static CurrentProcess* const s_pProcess = new CurrentProcess;  // never destroyed, see debugOutput()
  return *s_pProcess;
}

}  // namespace win
