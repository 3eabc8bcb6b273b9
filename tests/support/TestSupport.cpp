#include "TestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir() {
  std::string sTemplate = (std::filesystem::temp_directory_path() / "prltest-XXXXXX").string();
  if (!::mkdtemp(sTemplate.data())) throw std::runtime_error("mkdtemp failed");
  m_sPath = sTemplate;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_sPath, ec);
}

std::string readFile(const std::string& sPath) {
  std::ifstream in(sPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& sPath, const std::string& sContent) {
  std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
  out << sContent;
}

bool fileExists(const std::string& sPath) { return std::filesystem::exists(sPath); }

ChildRun runInChild(const std::function<std::string()>& body) {
  ChildRun out;
  int aPipe[2];
  if (::pipe(aPipe) != 0) return out;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(aPipe[0]);
    std::string sReport;
    int nExit = 0;
    try {
      sReport = body();
    } catch (...) {
      nExit = 99;
    }
    const char* p = sReport.data();
    std::size_t nLeft = sReport.size();
    while (nLeft > 0) {
      const ssize_t n = ::write(aPipe[1], p, nLeft);
      if (n <= 0) break;
      p += n;
      nLeft -= static_cast<std::size_t>(n);
    }
    ::_exit(nExit);
  }
  ::close(aPipe[1]);
  char aBuf[4096];
  ssize_t n;
  while ((n = ::read(aPipe[0], aBuf, sizeof aBuf)) > 0) out.sReport.append(aBuf, static_cast<std::size_t>(n));
  ::close(aPipe[0]);
  int nStatus = 0;
  ::waitpid(pid, &nStatus, 0);
  out.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
  return out;
}

std::vector<std::string> splitCrLf(const std::string& sText) {
  std::vector<std::string> v;
  std::size_t nStart = 0;
  while (nStart < sText.size()) {
    const auto nEnd = sText.find("\r\n", nStart);
    if (nEnd == std::string::npos) {
      v.push_back(sText.substr(nStart));
      break;
    }
    v.push_back(sText.substr(nStart, nEnd - nStart));
    nStart = nEnd + 2;
  }
  return v;
}

std::string MemoryRegistry::fold(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

std::optional<win::RegKey> MemoryRegistry::openKey(std::string_view sSubKey) {
  const auto it = m_mKeys.find(fold(sSubKey));
  if (it == m_mKeys.end()) return std::nullopt;
  return win::RegKey(std::string(sSubKey), it->second);
}

std::vector<std::string> MemoryRegistry::subKeyNames(std::string_view) { return {}; }

win::RegStatus MemoryRegistry::createKey(std::string_view sSubKey) {
  m_mKeys[fold(sSubKey)];
  return win::RegStatus::Ok;
}

win::RegStatus MemoryRegistry::setValue(std::string_view sSubKey, const win::RegValue& value) {
  auto& v = m_mKeys[fold(sSubKey)];
  for (auto& existing : v) {
    if (fold(existing.sName) == fold(value.sName)) {
      existing = value;
      return win::RegStatus::Ok;
    }
  }
  v.push_back(value);
  return win::RegStatus::Ok;
}

win::RegStatus MemoryRegistry::deleteValue(std::string_view sSubKey, std::string_view sName) {
  auto it = m_mKeys.find(fold(sSubKey));
  if (it == m_mKeys.end()) return win::RegStatus::NotFound;
  auto& v = it->second;
  for (auto i = v.begin(); i != v.end(); ++i) {
    if (fold(i->sName) == fold(sName)) {
      v.erase(i);
      return win::RegStatus::Ok;
    }
  }
  return win::RegStatus::NotFound;
}

win::RegStatus MemoryRegistry::deleteKey(std::string_view sSubKey) {
  return m_mKeys.erase(fold(sSubKey)) ? win::RegStatus::Ok : win::RegStatus::NotFound;
}

void MemoryRegistry::setRaw(std::string_view sSubKey, std::string_view sName, std::uint32_t nType,
                            std::vector<std::uint8_t> vData) {
  win::RegValue value;
  value.sName = std::string(sName);
  value.nType = nType;
  value.vData = std::move(vData);
  setValue(sSubKey, value);
}

std::string FixedUuidSource::newUuid() {
  char a[40];
  std::snprintf(a, sizeof a, "00000000-0000-4000-8000-%012x", m_nNext++);
  return a;
}

}  // namespace testsupport
