// Names lists from the Domino Directory stand-in, and name abbreviation.
//
// The directory (names.nsf, or the first file of notes.ini "names") is read
// once into memory and read again only when its data time moves, so a names
// list costs hash lookups, not a database scan.
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "notes/notes_runtime.h"

namespace notes {

namespace {

std::vector<std::string> splitSlash(const std::string& s) {
  std::vector<std::string> v;
  std::size_t nStart = 0;
  while (true) {
    std::size_t n = s.find('/', nStart);
    v.push_back(s.substr(nStart, n == std::string::npos ? std::string::npos : n - nStart));
    if (n == std::string::npos) break;
    nStart = n + 1;
  }
  return v;
}

bool hasPrefixNoCase(const std::string& s, const char* pPrefix) {
  std::size_t n = std::strlen(pPrefix);
  return s.size() >= n && equalsNoCase(s.substr(0, n), pPrefix);
}

// "A/B/C" -> "CN=A/OU=B/O=C"; canonical and flat names stay as they are.
std::string canonicalize(const std::string& sName) {
  if (sName.find('=') != std::string::npos || sName.find('/') == std::string::npos) return sName;
  std::vector<std::string> v = splitSlash(sName);
  std::string s = "CN=" + v[0];
  for (std::size_t i = 1; i + 1 < v.size(); ++i) s += "/OU=" + v[i];
  return s + "/O=" + v.back();
}

}  // namespace


STATUS NotesRuntime::loadDirectory(Directory** ppDir) {
  char aNames[256];
  std::string sPath = "names.nsf";
  if (OSGetEnvironmentString("NAMES", aNames, sizeof aNames) && *aNames) {
    sPath = aNames;
    sPath = sPath.substr(0, sPath.find(','));
  }
  DBHANDLE hDb = 0;
  STATUS s = NSFDbOpen(sPath.c_str(), &hDb);
  if (s != NOERROR) return s;
  TIMEDATE td{};
  s = NSFDbModifiedTime(hDb, &td, nullptr);
  Ticks t = timeDateToTicks(td);
  if (s == NOERROR && (!m_pDirectory || m_pDirectory->sPath != sPath || m_pDirectory->nDataTime != t)) {
    auto pDir = std::make_unique<Directory>();
    pDir->sPath = sPath;
    pDir->nDataTime = t;
    Stmt st(db(hDb)->pDb, "SELECT form, items FROM notes WHERE class=1 AND form IN ('Person','Group')");
    int nRc;
    std::vector<Item> vItems;
    while ((nRc = st.step()) == SQLITE_ROW) {
      std::string sItems = st.colText(1);
      if (!decodeItems(sItems.data(), sItems.size(), &vItems)) continue;
      if (equalsNoCase(st.colText(0), "Person")) {
        const Item* pFull = findItem(vItems, "FullName");
        std::vector<std::string> vFull = pFull ? itemTexts(*pFull) : std::vector<std::string>{};
        if (vFull.empty()) continue;
        std::string sCanonical = canonicalize(vFull[0]);
        for (const std::string& n : vFull) pDir->mPersonByName.emplace(lowerAscii(canonicalize(n)), sCanonical);
        if (const Item* pShort = findItem(vItems, "ShortName"))
          for (const std::string& n : itemTexts(*pShort)) pDir->mPersonByName.emplace(lowerAscii(n), sCanonical);
        pDir->mAlternates[sCanonical].assign(vFull.begin() + 1, vFull.end());
      } else {
        const Item* pName = findItem(vItems, "ListName");
        const Item* pMembers = findItem(vItems, "Members");
        std::vector<std::string> vName = pName ? itemTexts(*pName) : std::vector<std::string>{};
        if (vName.empty() || !pMembers) continue;
        for (const std::string& m : itemTexts(*pMembers))
          pDir->mGroupsByMember[lowerAscii(canonicalize(m))].push_back(vName[0]);
      }
    }
    if (nRc != SQLITE_DONE) s = sqliteStatus(nRc);
    else m_pDirectory = std::move(pDir);
  }
  NSFDbClose(hDb);
  *ppDir = m_pDirectory.get();
  return s;
}

STATUS NotesRuntime::NSFBuildNamesList(const char* pUserName, DWORD, DHANDLE* phNamesList) {
  if (!pUserName || !phNamesList) return ERR_BAD_ARGUMENT;
  std::lock_guard lock(m_mutex);
  if (m_nInitCount == 0) return ERR_NOT_INITIALIZED;
  Directory* pDir = nullptr;
  STATUS s = loadDirectory(&pDir);
  if (s != NOERROR) return s;

  std::string sCanonical = canonicalize(pUserName);
  auto itPerson = pDir->mPersonByName.find(lowerAscii(sCanonical));
  if (itPerson == pDir->mPersonByName.end()) itPerson = pDir->mPersonByName.find(lowerAscii(pUserName));
  std::vector<std::string> vNames;
  if (itPerson != pDir->mPersonByName.end()) {
    sCanonical = itPerson->second;
    vNames.push_back(sCanonical);
    for (const std::string& a : pDir->mAlternates[sCanonical]) vNames.push_back(a);
  } else {
    vNames.push_back(sCanonical);
  }
  // Hierarchical wildcards, most specific first, then "*".
  std::vector<std::string> vParts = splitSlash(sCanonical);
  if (vParts.size() > 1 && hasPrefixNoCase(vParts[0], "CN=")) {
    for (std::size_t i = 1; i < vParts.size(); ++i) {
      std::string w = "*";
      for (std::size_t j = i; j < vParts.size(); ++j) w += "/" + vParts[j];
      vNames.push_back(w);
    }
  }
  vNames.push_back("*");

  // Groups, level by level; a group already in the list is not followed
  // again, which ends cycles.
  std::unordered_set<std::string> seen;
  std::vector<std::string> vFrontier = vNames;
  for (int nDepth = 1; !vFrontier.empty(); ++nDepth) {
    std::vector<std::string> vNext;
    for (const std::string& n : vFrontier) {
      auto it = pDir->mGroupsByMember.find(lowerAscii(n));
      if (it == pDir->mGroupsByMember.end()) continue;
      for (const std::string& g : it->second)
        if (seen.insert(lowerAscii(g)).second) vNext.push_back(g);
    }
    if (!vNext.empty() && nDepth > kMaxGroupDepth) return ERR_NAMES_TOO_DEEP;
    vNames.insert(vNames.end(), vNext.begin(), vNext.end());
    vFrontier = std::move(vNext);
  }
  if (vNames.size() > 0xFFFF) return ERR_NAMES_TOO_MANY;

  std::string sOut(sizeof(NAMES_LIST), '\0');
  NAMES_LIST header{};
  header.NumNames = static_cast<WORD>(vNames.size());
  header.Authenticated = 1;
  std::memcpy(sOut.data(), &header, sizeof header);
  for (const std::string& n : vNames) {
    sOut += n;
    sOut += '\0';
  }
  *phNamesList = newMem(std::move(sOut));
  return NOERROR;
}

STATUS NotesRuntime::DNAbbreviate(DWORD, const char*, const char* pName, char* pBuffer, WORD nBufLen, WORD* pRetLen) {
  if (!pName || !pBuffer || nBufLen == 0) return ERR_BAD_ARGUMENT;
  std::string sName = pName, sOut;
  if (hasPrefixNoCase(sName, "CN=")) {
    for (const std::string& part : splitSlash(sName)) {
      std::size_t n = part.find('=');
      std::string sKey = n == std::string::npos ? "" : lowerAscii(part.substr(0, n));
      bool bKnown = sKey == "cn" || sKey == "ou" || sKey == "o" || sKey == "c";
      sOut += (sOut.empty() ? "" : "/") + (bKnown ? part.substr(n + 1) : part);
    }
  } else {
    sOut = sName;
  }
  if (sOut.size() >= nBufLen) return ERR_BUFFER_TOO_SMALL;
  std::memcpy(pBuffer, sOut.c_str(), sOut.size() + 1);
  if (pRetLen) *pRetLen = static_cast<WORD>(sOut.size());
  return NOERROR;
}

}  // namespace notes
