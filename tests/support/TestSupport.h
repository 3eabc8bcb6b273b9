// Shared test helpers: temporary folders, file reading and fakes of the
// platform facilities that have no fake beside their interface.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "win/facilities.h"

namespace testsupport {

// A fresh folder below the system's temporary folder, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_sPath; }
  std::string operator/(const std::string& sName) const { return m_sPath + "/" + sName; }

 private:
  std::string m_sPath;
};

std::string readFile(const std::string& sPath);
void writeFile(const std::string& sPath, const std::string& sContent);
bool fileExists(const std::string& sPath);
// Runs BODY in a forked child process and returns its exit status (128 +
// signal when it was killed) and the text BODY returned. The child never
// returns into the test; settings that a library reads at load can differ
// per child.
struct ChildRun {
  int nExit = -1;
  std::string sReport;
};
ChildRun runInChild(const std::function<std::string()>& body);

// Splits on "\r\n" (the last, empty piece after a final CR LF is dropped).
std::vector<std::string> splitCrLf(const std::string& sText);

// HKEY_LOCAL_MACHINE in memory; key paths compared without case.
class MemoryRegistry final : public win::IRegistry {
 public:
  std::optional<win::RegKey> openKey(std::string_view sSubKey) override;
  std::vector<std::string> subKeyNames(std::string_view sSubKey) override;
  win::RegStatus createKey(std::string_view sSubKey) override;
  win::RegStatus setValue(std::string_view sSubKey, const win::RegValue& value) override;
  win::RegStatus deleteValue(std::string_view sSubKey, std::string_view sName) override;
  win::RegStatus deleteKey(std::string_view sSubKey) override;

  // Stores raw bytes under a type, as any writer could.
  void setRaw(std::string_view sSubKey, std::string_view sName, std::uint32_t nType,
              std::vector<std::uint8_t> vData);

 private:
  static std::string fold(std::string_view s);
  std::map<std::string, std::vector<win::RegValue>> m_mKeys;  // folded path -> values
};

class FakeProcess final : public win::IProcess {
 public:
  std::string executablePath() override { return m_sExePath; }
  std::uint32_t processId() override { return m_nPid; }
  std::uint32_t threadId() override { return m_nTid; }
  int openFileLimit() override { return m_nLimit; }
  int raiseOpenFileLimit(int n) override {
    if (m_nLimit < n) m_nLimit = n;
    return m_nLimit;
  }

  std::string m_sExePath = "/opt/sametime/stserver";
  std::uint32_t m_nPid = 0x1A2B;
  std::uint32_t m_nTid = 0x3C;
  int m_nLimit = 1024;
};

class FixedUuidSource final : public win::IUuidSource {
 public:
  std::string newUuid() override;
  unsigned m_nNext = 1;
};

// A full set of fakes over the real file system, with a key store of its
// own for the real crypto provider.
struct FakeMachine {
  MemoryRegistry registry;
  win::FakeClock clock;
  win::CapturingDebugOutput debug;
  FakeProcess process;
  FixedUuidSource uuid;
  win::FaultInjectingFileSystem files{win::posixFileSystem()};
  TempDir keys;
  win::OpenSslCryptoProvider crypto{keys.path()};
  win::ForwardingCryptoProvider* pCryptoOverride = nullptr;  // a test's breaking provider

  win::Facilities facilities() {
    win::ICryptoProvider* pCrypto = pCryptoOverride ? static_cast<win::ICryptoProvider*>(pCryptoOverride) : &crypto;
    return win::Facilities{&registry, &files, &clock, &debug, &process, &uuid, pCrypto};
  }
};

}  // namespace testsupport
