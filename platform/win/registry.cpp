#include "registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <new>

#include "debug_output.h"
#include "file_system.h"
#include "machine.h"

namespace win {
namespace {

constexpr std::string_view kSignature = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Names compare without case. Only ASCII letters fold, so a folded name has
// the byte length of the original and prefixes line up with the stored case.
bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  return true;
}

bool startsWithNoCase(std::string_view s, std::string_view sPrefix) {
  return s.size() >= sPrefix.size() && sameName(s.substr(0, sPrefix.size()), sPrefix);
}

// True when PATH is ANCESTOR itself or lies below it.
bool isSelfOrBelow(std::string_view sPath, std::string_view sAncestor) {
  if (sAncestor.empty()) return true;
  if (!startsWithNoCase(sPath, sAncestor)) return false;
  return sPath.size() == sAncestor.size() || sPath[sAncestor.size()] == '\\';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// "a\\b\" and "\a\b" name the same key as "a\b": empty components are dropped.
std::string normalisePath(std::string_view s) {
  std::string sOut;
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t j = std::min(s.find('\\', i), s.size());
    if (j > i) {
      if (!sOut.empty()) sOut += '\\';
      sOut.append(s.substr(i, j - i));
    }
    i = j + 1;
  }
  return sOut;
}

// A name the file format can carry (one line, no NUL).
bool isStorableName(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) == s.npos; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Diagnostics quote the offending line; keep them printable and short.
std::string printable(std::string_view s) {
  std::string sOut;
  for (char c : s.substr(0, 120)) {
    const auto u = static_cast<unsigned char>(c);
    sOut += (u < 0x20 || u == 0x7f) ? '?' : c;
  }
  if (s.size() > 120) sOut += "...";
  return sOut;
}

// One key section of the file. A "foreign" section is one whose header could
// not be read (or names another root): it is kept verbatim and never matched.
struct KeySection {
  std::string sPath;
  std::vector<RegValue> vValues;
  std::vector<std::string> vKept;  // comments and lines not understood, verbatim
  bool bForeign = false;
  std::string sHeader;  // the raw header line of a foreign section
};

struct Hive {
  std::vector<std::string> vPreamble;  // kept lines before the first key
  std::vector<KeySection> vKeys;
};

// ---- parsing ---------------------------------------------------------------

// Reads a quoted text starting at s[nPos] == '"'; on success nPos is just past
// the closing quote. Only \\ and \" are escapes.
bool parseQuoted(std::string_view s, std::size_t& nPos, std::string& sOut) {
  if (nPos >= s.size() || s[nPos] != '"') return false;
  sOut.clear();
  for (std::size_t i = nPos + 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      nPos = i + 1;
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return false;
      sOut += s[++i];
    } else {
      sOut += c;
    }
  }
  return false;
}

bool parseHexBytes(std::string_view s, std::vector<std::uint8_t>& vOut) {
  vOut.clear();
  s = trim(s);
  if (s.empty()) return true;
  std::size_t i = 0;
  while (i <= s.size()) {
    const std::size_t j = std::min(s.find(',', i), s.size());
    const std::string_view sTok = trim(s.substr(i, j - i));
    if (sTok.empty()) return j == s.size() && i == s.size();  // only a trailing comma may leave nothing
    if (sTok.size() > 2) return false;
    int n = 0;
    for (char c : sTok) {
      const int d = hexDigit(c);
      if (d < 0) return false;
      n = n * 16 + d;
    }
    vOut.push_back(static_cast<std::uint8_t>(n));
    if (j == s.size()) return true;
    i = j + 1;
  }
  return true;
}

class Parser {
 public:
  Parser(std::string_view sText, const std::string& sSource, IDebugOutput* pDiag)
      : m_sSource(sSource), m_pDiag(pDiag) {
    if (sText.substr(0, 3) == "\xEF\xBB\xBF") sText.remove_prefix(3);
    std::size_t i = 0;
    while (i < sText.size()) {
      std::size_t j = sText.find('\n', i);
      if (j == sText.npos) j = sText.size();
      std::string_view sLine = sText.substr(i, j - i);
      if (!sLine.empty() && sLine.back() == '\r') sLine.remove_suffix(1);
      m_vLines.push_back(sLine);
      i = j + 1;
    }
  }

  Hive run() {
    bool bSignatureSeen = false;
    for (m_nLine = 0; m_nLine < m_vLines.size(); ++m_nLine) {
      const std::string_view sRaw = m_vLines[m_nLine];
      const std::string_view sLine = trim(sRaw);
      if (sLine.empty()) continue;
      if (!bSignatureSeen && current() == nullptr && m_hive.vPreamble.empty()) {
        bSignatureSeen = true;
        if (sLine == kSignature) continue;
      }
      if (sLine.front() == ';') {
        keep(sRaw);
      } else if (sLine.front() == '[') {
        header(sRaw, sLine);
      } else if (current() != nullptr && current()->bForeign) {
        current()->vKept.emplace_back(sRaw);
      } else {
        value();
      }
    }
    return std::move(m_hive);
  }

 private:
  void report(std::size_t nLine, std::string_view sLine, std::string_view sWhat) {
    if (m_pDiag == nullptr) return;
    m_pDiag->output("registry: " + m_sSource + ":" + std::to_string(nLine + 1) + ": " + std::string(sWhat) +
                    " '" + printable(sLine) + "'; ignored");
  }

  // Sections are appended while parsing, so the current one is held by index.
  KeySection* current() { return m_nCurrent < m_hive.vKeys.size() ? &m_hive.vKeys[m_nCurrent] : nullptr; }

  void keep(std::string_view sRaw) {
    KeySection* p = current();
    (p ? p->vKept : m_hive.vPreamble).emplace_back(sRaw);
  }

  void header(std::string_view sRaw, std::string_view sLine) {
    std::optional<std::string> sPath;
    if (sLine.size() >= 2 && sLine.back() == ']') {
      const std::string_view sInner = sLine.substr(1, sLine.size() - 2);
      if (startsWithNoCase(sInner, kRootName) &&
          (sInner.size() == kRootName.size() || sInner[kRootName.size()] == '\\'))
        sPath = normalisePath(sInner.substr(kRootName.size()));
    }
    if (!sPath) {
      report(m_nLine, sRaw, "cannot parse key");
      KeySection& k = m_hive.vKeys.emplace_back();
      k.bForeign = true;
      k.sHeader = std::string(sRaw);
      m_nCurrent = m_hive.vKeys.size() - 1;
      return;
    }
    // A key written twice is one key: the later section adds to the first.
    for (std::size_t i = 0; i < m_hive.vKeys.size(); ++i) {
      if (!m_hive.vKeys[i].bForeign && sameName(m_hive.vKeys[i].sPath, *sPath)) {
        m_nCurrent = i;
        return;
      }
    }
    m_hive.vKeys.emplace_back().sPath = std::move(*sPath);
    m_nCurrent = m_hive.vKeys.size() - 1;
  }

  // One value, possibly continued over several lines (hex data only).
  void value() {
    const std::size_t nFirst = m_nLine;
    RegValue v;
    if (!parseValue(v)) {
      for (std::size_t i = nFirst; i <= m_nLine; ++i) keep(m_vLines[i]);
      report(nFirst, m_vLines[nFirst], "cannot parse");
      return;
    }
    if (current() == nullptr) {
      // A value before any key belongs to nothing.
      for (std::size_t i = nFirst; i <= m_nLine; ++i) keep(m_vLines[i]);
      report(nFirst, m_vLines[nFirst], "value outside a key");
      return;
    }
    auto& vValues = current()->vValues;
    auto it = std::find_if(vValues.begin(), vValues.end(), [&](const RegValue& o) { return sameName(o.sName, v.sName); });
    if (it != vValues.end()) {
      it->nType = v.nType;  // the later line wins, the first spelling stays
      it->vData = std::move(v.vData);
    } else {
      vValues.push_back(std::move(v));
    }
  }

  bool parseValue(RegValue& v) {
    const std::string_view sLine = trim(m_vLines[m_nLine]);
    std::size_t p = 0;
    if (sLine[0] == '@') {
      p = 1;
    } else if (!parseQuoted(sLine, p, v.sName)) {
      return false;
    }
    const std::string_view sRest = trim(sLine.substr(p));
    if (sRest.empty() || sRest[0] != '=') return false;
    const std::string_view sData = trim(sRest.substr(1));
    if (!sData.empty() && sData[0] == '"') {
      std::string sText;
      std::size_t q = 0;
      if (!parseQuoted(sData, q, sText) || !trim(sData.substr(q)).empty()) return false;
      v.nType = REG_SZ;
      v.vData.assign(sText.begin(), sText.end());
      v.vData.push_back(0);
      return true;
    }
    if (startsWithNoCase(sData, "dword:")) {
      const std::string_view sDigits = sData.substr(6);
      if (sDigits.empty() || sDigits.size() > 8) return false;
      std::uint32_t n = 0;
      for (char c : sDigits) {
        const int d = hexDigit(c);
        if (d < 0) return false;
        n = n * 16 + static_cast<std::uint32_t>(d);
      }
      v.nType = REG_DWORD;
      v.vData = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n >> 16),
                 static_cast<std::uint8_t>(n >> 24)};
      return true;
    }
    if (!startsWithNoCase(sData, "hex")) return false;
    std::size_t q = 3;
    v.nType = REG_BINARY;
    if (q < sData.size() && sData[q] == '(') {
      const std::size_t nClose = sData.find(')', q);
      if (nClose == sData.npos || nClose == q + 1 || nClose - q - 1 > 8) return false;
      std::uint32_t n = 0;
      for (char c : sData.substr(q + 1, nClose - q - 1)) {
        const int d = hexDigit(c);
        if (d < 0) return false;
        n = n * 16 + static_cast<std::uint32_t>(d);
      }
      v.nType = n;
      q = nClose + 1;
    }
    if (q >= sData.size() || sData[q] != ':') return false;
    // Gather the continuation lines: each but the last ends with a backslash.
    std::string sBytes(sData.substr(q + 1));
    while (!sBytes.empty() && sBytes.back() == '\\') {
      sBytes.pop_back();
      const std::size_t nNext = m_nLine + 1;
      if (nNext >= m_vLines.size()) return false;
      const std::string_view sNext = trim(m_vLines[nNext]);
      // A blank line or a new key or value means the data was cut short.
      if (sNext.empty() || sNext[0] == '[' || sNext[0] == '"' || sNext[0] == '@' || sNext[0] == ';') return false;
      m_nLine = nNext;
      sBytes.append(sNext);
      while (!sBytes.empty() && (sBytes.back() == ' ' || sBytes.back() == '\t')) sBytes.pop_back();
    }
    return parseHexBytes(sBytes, v.vData);
  }

  const std::string& m_sSource;
  IDebugOutput* m_pDiag;
  std::vector<std::string_view> m_vLines;
  std::size_t m_nLine = 0;
  Hive m_hive;
  std::size_t m_nCurrent = static_cast<std::size_t>(-1);  // no key yet
};

// ---- writing ---------------------------------------------------------------

void appendQuoted(std::string& sOut, std::string_view s) {
  sOut += '"';
  for (char c : s) {
    if (c == '\\' || c == '"') sOut += '\\';
    sOut += c;
  }
  sOut += '"';
}

// Data that reads back as REG_SZ through the "text" form: one NUL at the
// end, none inside, and no line breaks.
bool isPlainText(const std::vector<std::uint8_t>& v) {
  if (v.empty() || v.back() != 0) return false;
  return std::none_of(v.begin(), v.end() - 1, [](std::uint8_t b) { return b == 0 || b == '\r' || b == '\n'; });
}

void appendValue(std::string& sOut, const RegValue& v) {
  static const char kHex[] = "0123456789abcdef";
  const std::size_t nStart = sOut.size();
  if (v.sName.empty()) {
    sOut += '@';
  } else {
    appendQuoted(sOut, v.sName);
  }
  sOut += '=';
  if (v.nType == REG_SZ && isPlainText(v.vData)) {
    appendQuoted(sOut, std::string_view(reinterpret_cast<const char*>(v.vData.data()), v.vData.size() - 1));
  } else if (v.nType == REG_DWORD && v.vData.size() == 4) {
    const std::uint32_t n = v.vData[0] | (v.vData[1] << 8) | (v.vData[2] << 16) | (std::uint32_t{v.vData[3]} << 24);
    sOut += "dword:";
    for (int nShift = 28; nShift >= 0; nShift -= 4) sOut += kHex[(n >> nShift) & 0xF];
  } else {
    if (v.nType == REG_BINARY) {
      sOut += "hex:";
    } else {
      char aBuf[16];
      std::snprintf(aBuf, sizeof aBuf, "hex(%x):", v.nType);
      sOut += aBuf;
    }
    // Wrap like regedit: lines of at most 80 characters, continued with a
    // backslash and indented by two spaces.
    std::size_t nLineStart = nStart;
    for (std::size_t i = 0; i < v.vData.size(); ++i) {
      if (sOut.size() - nLineStart + 3 > 79) {
        sOut += "\\\n  ";
        nLineStart = sOut.size() - 2;
      }
      sOut += kHex[v.vData[i] >> 4];
      sOut += kHex[v.vData[i] & 0xF];
      if (i + 1 < v.vData.size()) sOut += ',';
    }
  }
  sOut += '\n';
}

void appendKeyHeader(std::string& sOut, std::string_view sPath) {
  sOut += '[';
  sOut += kRootName;
  if (!sPath.empty()) {
    sOut += '\\';
    sOut += sPath;
  }
  sOut += "]\n";
}

// Kept lines go back byte for byte. The reader drops one CR before each line
// feed, so a kept line that itself ends in CR needs a CR LF to keep it.
void appendKept(std::string& sOut, const std::string& sLine) {
  sOut += sLine;
  sOut += (!sLine.empty() && sLine.back() == '\r') ? "\r\n" : "\n";
}

std::string formatHive(const Hive& hive) {
  std::string sOut(kSignature);
  sOut += '\n';
  for (const auto& s : hive.vPreamble) appendKept(sOut, s);
  sOut += '\n';
  for (const KeySection& k : hive.vKeys) {
    if (k.bForeign) {
      appendKept(sOut, k.sHeader);
    } else {
      appendKeyHeader(sOut, k.sPath);
      for (const RegValue& v : k.vValues) appendValue(sOut, v);
    }
    for (const auto& s : k.vKept) appendKept(sOut, s);
    sOut += '\n';
  }
  return sOut;
}

// ---- queries over a parsed hive --------------------------------------------

KeySection* findKey(Hive& hive, std::string_view sPath) {
  for (KeySection& k : hive.vKeys)
    if (!k.bForeign && sameName(k.sPath, sPath)) return &k;
  return nullptr;
}

// Length of the longest prefix of PATH (whole components) that names an
// existing key, and the section that spells it.
std::pair<std::size_t, const KeySection*> longestExisting(const Hive& hive, std::string_view sPath) {
  std::pair<std::size_t, const KeySection*> best{0, nullptr};
  for (const KeySection& k : hive.vKeys) {
    if (k.bForeign) continue;
    std::size_t n = std::min(k.sPath.size(), sPath.size());
    while (n > best.first) {
      const bool bBoundary = (n == sPath.size() || sPath[n] == '\\') && (n == k.sPath.size() || k.sPath[n] == '\\');
      if (bBoundary && sameName(std::string_view(k.sPath).substr(0, n), sPath.substr(0, n))) {
        best = {n, &k};
        break;
      }
      --n;
    }
  }
  return best;
}

bool keyExists(const Hive& hive, std::string_view sPath) {
  if (sPath.empty()) return true;
  return longestExisting(hive, sPath).first == sPath.size();
}

// PATH spelt with the case of the keys that already exist along it.
std::string spelt(const Hive& hive, std::string_view sPath) {
  const auto [n, pKey] = longestExisting(hive, sPath);
  if (pKey == nullptr) return std::string(sPath);
  return pKey->sPath.substr(0, n) + std::string(sPath.substr(n));
}

KeySection& ensureKey(Hive& hive, std::string_view sPath) {
  if (KeySection* p = findKey(hive, sPath)) return *p;
  const auto [n, pAncestor] = longestExisting(hive, sPath);
  KeySection k;
  k.sPath = spelt(hive, sPath);
  // Keep a subtree together: insert after the last key below the nearest
  // existing ancestor.
  auto itPos = hive.vKeys.end();
  if (pAncestor != nullptr) {
    const std::string_view sAncestor = std::string_view(sPath).substr(0, n);
    for (auto it = hive.vKeys.begin(); it != hive.vKeys.end(); ++it)
      if (!it->bForeign && isSelfOrBelow(it->sPath, sAncestor)) itPos = it + 1;
  }
  return *hive.vKeys.insert(itPos, std::move(k));
}

std::vector<std::string> childNames(const Hive& hive, std::string_view sPath) {
  std::vector<std::string> vOut;
  for (const KeySection& k : hive.vKeys) {
    if (k.bForeign || k.sPath.size() <= sPath.size() || !isSelfOrBelow(k.sPath, sPath)) continue;
    const std::size_t nStart = sPath.empty() ? 0 : sPath.size() + 1;
    const std::size_t nEnd = std::min(k.sPath.find('\\', nStart), k.sPath.size());
    std::string sChild = k.sPath.substr(nStart, nEnd - nStart);
    if (std::none_of(vOut.begin(), vOut.end(), [&](const std::string& s) { return sameName(s, sChild); }))
      vOut.push_back(std::move(sChild));
  }
  return vOut;
}

// ---- the file --------------------------------------------------------------

// The whole file, or "" when it does not exist; nullopt (with errno kept in
// nErr) when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& sPath, int& nErr) {
  nErr = 0;
  int nFd;
  do {
    nFd = ::open(sPath.c_str(), O_RDONLY | O_CLOEXEC);
  } while (nFd < 0 && errno == EINTR);
  if (nFd < 0) {
    if (errno == ENOENT) return std::string();
    nErr = errno;
    return std::nullopt;
  }
  std::string sData;
  char aBuf[65536];
  for (;;) {
    const ssize_t n = ::read(nFd, aBuf, sizeof aBuf);
    if (n < 0) {
      if (errno == EINTR) continue;
      nErr = errno;
      ::close(nFd);
      return std::nullopt;
    }
    if (n == 0) break;
    sData.append(aBuf, static_cast<std::size_t>(n));
  }
  ::close(nFd);
  return sData;
}

std::string folderOf(const std::string& sPath) {
  const auto nSlash = sPath.find_last_of('/');
  if (nSlash == std::string::npos) return ".";
  if (nSlash == 0) return "/";
  return sPath.substr(0, nSlash);
}

int makeFolders(const std::string& sFolder) {
  struct stat st {};
  if (::stat(sFolder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  for (std::size_t i = 1; i <= sFolder.size(); ++i) {
    if (i < sFolder.size() && sFolder[i] != '/') continue;
    const std::string sPart = sFolder.substr(0, i);
    if (::mkdir(sPart.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

// Holds the writers' advisory lock for its lifetime.
class WriterLock {
 public:
  explicit WriterLock(const std::string& sPath) {
    do {
      m_nFd = ::open(sPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    } while (m_nFd < 0 && errno == EINTR);
    if (m_nFd < 0) {
      m_nErr = errno;
      return;
    }
    while (::flock(m_nFd, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      m_nErr = errno;
      return;
    }
    m_bLocked = true;
  }
  ~WriterLock() {
    if (m_nFd >= 0) ::close(m_nFd);  // closing drops the lock
  }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;
  bool locked() const { return m_bLocked; }
  int error() const { return m_nErr; }

 private:
  int m_nFd = -1;
  int m_nErr = 0;
  bool m_bLocked = false;
};

}  // namespace

// ---- public API ------------------------------------------------------------

RegValue RegValue::text(std::string_view sName, std::string_view sText, std::uint32_t nType) {
  RegValue v;
  v.sName = std::string(sName);
  v.nType = nType;
  v.vData.assign(sText.begin(), sText.end());
  v.vData.push_back(0);
  return v;
}

RegValue RegValue::dword(std::string_view sName, std::uint32_t nValue) {
  RegValue v;
  v.sName = std::string(sName);
  v.nType = REG_DWORD;
  v.vData = {static_cast<std::uint8_t>(nValue), static_cast<std::uint8_t>(nValue >> 8),
             static_cast<std::uint8_t>(nValue >> 16), static_cast<std::uint8_t>(nValue >> 24)};
  return v;
}

const RegValue* RegKey::find(std::string_view sName) const {
  for (const RegValue& v : m_vValues)
    if (sameName(v.sName, sName)) return &v;
  return nullptr;
}

RegStatus queryValue(const RegKey& key, std::string_view sName, void* pBuffer, std::uint32_t nSize,
                     std::uint32_t* pType, std::uint32_t* pDataSize) {
  const RegValue* pValue = key.find(sName);
  if (pValue == nullptr) return RegStatus::NotFound;
  const std::size_t nData = pValue->vData.size();
  if (pType) *pType = pValue->nType;
  if (pDataSize) *pDataSize = static_cast<std::uint32_t>(nData);
  if (pBuffer == nullptr) return RegStatus::Ok;
  if (nData > nSize) return RegStatus::Failed;
  if (nData > 0) std::memcpy(pBuffer, pValue->vData.data(), nData);
  return RegStatus::Ok;
}

FileRegistry::FileRegistry(std::string sFilePath, IDebugOutput& diag)
    : FileRegistry(std::move(sFilePath), diag, posixFileSystem()) {}

FileRegistry::FileRegistry(std::string sFilePath, IDebugOutput& diag, IFileSystem& fs)
    : m_sFilePath(std::move(sFilePath)), m_rDiag(diag), m_rFs(fs) {}

namespace {

// A snapshot of the file; nullopt when it cannot be read at all.
std::optional<Hive> loadHive(const std::string& sPath, IDebugOutput& diag) {
  int nErr = 0;
  const std::optional<std::string> sText = readWholeFile(sPath, nErr);
  if (!sText) {
    diag.output("registry: cannot read " + sPath + ": " + systemErrorText(nErr));
    return std::nullopt;
  }
  return Parser(*sText, sPath, &diag).run();
}

// Read-modify-write under the writers' lock. CHANGE edits the hive and says
// whether anything changed; the file is rewritten only then.
RegStatus modifyFile(const std::string& sPath, IDebugOutput& diag, IFileSystem& fs,
                     const std::function<RegStatus(Hive&, bool&)>& change) {
  if (int nErr = makeFolders(folderOf(sPath))) {
    diag.output("registry: cannot create the folder of " + sPath + ": " + systemErrorText(nErr));
    return RegStatus::Failed;
  }
  WriterLock lock(sPath + ".lock");
  if (!lock.locked()) {
    diag.output("registry: cannot lock " + sPath + ".lock: " + systemErrorText(lock.error()));
    return RegStatus::Failed;
  }
  std::optional<Hive> hive = loadHive(sPath, diag);
  if (!hive) return RegStatus::Failed;  // never overwrite what could not be read
  bool bChanged = false;
  const RegStatus status = change(*hive, bChanged);
  if (status != RegStatus::Ok || !bChanged) return status;

  const std::string sText = formatHive(*hive);
  const std::string sTemp = sPath + ".tmp";
  int nFd = -1;
  int nErr = fs.openTruncate(sTemp, 0644, &nFd);
  const char* pStep = "create";
  if (nErr == 0) {
    nErr = fs.write(nFd, sText.data(), sText.size());
    pStep = "write";
    const int nCloseErr = fs.close(nFd, true);
    if (nErr == 0 && nCloseErr != 0) {
      nErr = nCloseErr;
      pStep = "sync";
    }
    if (nErr == 0) {
      nErr = fs.rename(sTemp, sPath);
      pStep = "rename";
    }
    if (nErr != 0) ::unlink(sTemp.c_str());
  }
  if (nErr != 0) {
    diag.output("registry: cannot " + std::string(pStep) + " " + sTemp + ": " + systemErrorText(nErr));
    return RegStatus::Failed;
  }
  return RegStatus::Ok;
}

}  // namespace

std::optional<RegKey> FileRegistry::openKey(std::string_view sSubKey) {
  try {
    const std::optional<Hive> hive = loadHive(m_sFilePath, m_rDiag);
    if (!hive) return std::nullopt;
    const std::string sPath = normalisePath(sSubKey);
    if (!keyExists(*hive, sPath)) return std::nullopt;
    for (const KeySection& k : hive->vKeys)
      if (!k.bForeign && sameName(k.sPath, sPath)) return RegKey(k.sPath, k.vValues);
    return RegKey(spelt(*hive, sPath), {});  // implied by a deeper key
  } catch (...) {
    return std::nullopt;
  }
}

std::vector<std::string> FileRegistry::subKeyNames(std::string_view sSubKey) {
  try {
    const std::optional<Hive> hive = loadHive(m_sFilePath, m_rDiag);
    if (!hive) return {};
    return childNames(*hive, normalisePath(sSubKey));
  } catch (...) {
    return {};
  }
}

RegStatus FileRegistry::createKey(std::string_view sSubKey) {
  try {
    const std::string sPath = normalisePath(sSubKey);
    if (!isStorableName(sPath)) return RegStatus::Failed;
    return modifyFile(m_sFilePath, m_rDiag, m_rFs, [&](Hive& hive, bool& bChanged) {
      if (!keyExists(hive, sPath)) {
        ensureKey(hive, sPath);
        bChanged = true;
      }
      return RegStatus::Ok;
    });
  } catch (...) {
    return RegStatus::Failed;
  }
}

RegStatus FileRegistry::setValue(std::string_view sSubKey, const RegValue& value) {
  try {
    const std::string sPath = normalisePath(sSubKey);
    if (!isStorableName(sPath) || !isStorableName(value.sName)) return RegStatus::Failed;
    return modifyFile(m_sFilePath, m_rDiag, m_rFs, [&](Hive& hive, bool& bChanged) {
      KeySection& k = ensureKey(hive, sPath);
      auto it = std::find_if(k.vValues.begin(), k.vValues.end(),
                             [&](const RegValue& v) { return sameName(v.sName, value.sName); });
      if (it == k.vValues.end()) {
        k.vValues.push_back(value);
      } else {
        it->nType = value.nType;  // the name keeps the case it was created with
        it->vData = value.vData;
      }
      bChanged = true;
      return RegStatus::Ok;
    });
  } catch (...) {
    return RegStatus::Failed;
  }
}

RegStatus FileRegistry::deleteValue(std::string_view sSubKey, std::string_view sName) {
  try {
    const std::string sPath = normalisePath(sSubKey);
    return modifyFile(m_sFilePath, m_rDiag, m_rFs, [&](Hive& hive, bool& bChanged) {
      KeySection* pKey = findKey(hive, sPath);
      if (pKey == nullptr) return RegStatus::NotFound;
      auto it = std::find_if(pKey->vValues.begin(), pKey->vValues.end(),
                             [&](const RegValue& v) { return sameName(v.sName, sName); });
      if (it == pKey->vValues.end()) return RegStatus::NotFound;
      pKey->vValues.erase(it);
      bChanged = true;
      return RegStatus::Ok;
    });
  } catch (...) {
    return RegStatus::Failed;
  }
}

RegStatus FileRegistry::deleteKey(std::string_view sSubKey) {
  try {
    const std::string sPath = normalisePath(sSubKey);
    if (sPath.empty()) return RegStatus::Failed;  // the root cannot be deleted
    return modifyFile(m_sFilePath, m_rDiag, m_rFs, [&](Hive& hive, bool& bChanged) {
      const auto nBefore = hive.vKeys.size();
      std::erase_if(hive.vKeys, [&](const KeySection& k) { return !k.bForeign && isSelfOrBelow(k.sPath, sPath); });
      bChanged = hive.vKeys.size() != nBefore;
      return bChanged ? RegStatus::Ok : RegStatus::NotFound;
    });
  } catch (...) {
    return RegStatus::Failed;
  }
}

IRegistry& machineRegistry() {
  // Never destroyed, see debugOutput().
  static FileRegistry* const s_pRegistry = new FileRegistry(registryFilePath(), debugOutput());
  return *s_pRegistry;
}

std::vector<RegKey> keyTree(IRegistry& reg, std::string_view sSubKey) {
  try {
    std::vector<RegKey> vOut;
    std::optional<RegKey> key = reg.openKey(sSubKey);
    if (!key) return vOut;
    const std::string sPath = key->path();
    vOut.push_back(std::move(*key));
    for (const std::string& sChild : reg.subKeyNames(sPath)) {
      std::vector<RegKey> vSub = keyTree(reg, sPath.empty() ? sChild : sPath + '\\' + sChild);
      std::move(vSub.begin(), vSub.end(), std::back_inserter(vOut));
    }
    return vOut;
  } catch (...) {
    return {};
  }
}

std::string formatRegText(const std::vector<RegKey>& vKeys) {
  try {
    std::string sOut(kSignature);
    sOut += "\n\n";
    for (const RegKey& k : vKeys) {
      appendKeyHeader(sOut, k.path());
      for (const RegValue& v : k.values()) appendValue(sOut, v);
      sOut += '\n';
    }
    return sOut;
  } catch (...) {
    return {};  // out of memory: nothing rather than half a file
  }
}

// ---- the configuration tool's typed operations -------------------------------

namespace Registry {

std::string ReadStringValue(IRegistry& reg, RegRoot root, std::string_view sSubKey, std::string_view sName,
                            std::string_view sDefault) {
  try {
    if (root == RegRoot::LocalMachine) {
      if (const std::optional<RegKey> key = reg.openKey(sSubKey)) {
        const RegValue* pValue = key->find(sName);
        if (pValue != nullptr && pValue->nType == REG_SZ) {
          const auto& v = pValue->vData;
          return std::string(v.begin(), std::find(v.begin(), v.end(), std::uint8_t{0}));
        }
      }
    }
    return std::string(sDefault);
  } catch (...) {
    try {
      return std::string(sDefault);
    } catch (...) {
      return {};
    }
  }
}

void WriteStringValue(IRegistry& reg, RegRoot root, std::string_view sSubKey, std::string_view sName,
                      std::string_view sText) {
  try {
    if (root == RegRoot::LocalMachine) reg.setValue(sSubKey, RegValue::text(sName, sText));
  } catch (...) {
  }
}

void RemoveValue(IRegistry& reg, RegRoot root, std::string_view sSubKey, std::string_view sName) {
  try {
    if (root == RegRoot::LocalMachine) reg.deleteValue(sSubKey, sName);
  } catch (...) {
  }
}

std::int32_t ReadDWordValue(IRegistry& reg, RegRoot root, std::string_view sSubKey, std::string_view sName,
                            std::int32_t nDefault) {
  try {
    if (root != RegRoot::LocalMachine) return nDefault;
    const std::optional<RegKey> key = reg.openKey(sSubKey);
    if (!key) return nDefault;
    const RegValue* pValue = key->find(sName);
    if (pValue == nullptr || pValue->nType != REG_DWORD) return nDefault;
    // Read like a query into a zeroed four-byte number: shorter data leaves
    // the missing high bytes 0, longer data does not fit.
    std::uint32_t n = 0;
    std::uint8_t a[4] = {};
    if (queryValue(*key, sName, a, sizeof a) != RegStatus::Ok) return nDefault;
    n = a[0] | (a[1] << 8) | (a[2] << 16) | (std::uint32_t{a[3]} << 24);
    return static_cast<std::int32_t>(n);
  } catch (...) {
    return nDefault;
  }
}

void WriteDWordValue(IRegistry& reg, RegRoot root, std::string_view sSubKey, std::string_view sName,
                     std::int32_t nNumber) {
  try {
    if (root == RegRoot::LocalMachine) reg.setValue(sSubKey, RegValue::dword(sName, static_cast<std::uint32_t>(nNumber)));
  } catch (...) {
  }
}

}  // namespace Registry

}  // namespace win
