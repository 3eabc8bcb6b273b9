// reg: the administrator's command for the registry stand-in, used like the
// Windows one (query, add, delete, export) against HKEY_LOCAL_MACHINE in
// MACHINE_DIR/registry.reg.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "file_system.h"
#include "registry.h"

namespace {

using win::RegKey;
using win::RegStatus;
using win::RegValue;

constexpr const char* kDone = "The operation completed successfully.";
constexpr const char* kCancelled = "The operation was cancelled by the user.";
constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.";
constexpr const char* kRoot = "HKEY_LOCAL_MACHINE";

const char* const kUsageMain =
    "REG Operation [Parameter List]\n"
    "\n"
    "  Operation  [ QUERY | ADD | DELETE | EXPORT ]\n"
    "\n"
    "Works on HKEY_LOCAL_MACHINE of this machine (MACHINE_DIR/registry.reg).\n"
    "Return code: 0 - successful, 1 - failed or cancelled.\n"
    "\n"
    "For help on a specific operation type:\n"
    "  REG Operation /?\n";

const char* const kUsageQuery =
    "REG QUERY KeyName [/v ValueName | /ve] [/s]\n"
    "\n"
    "  KeyName  HKLM\\SubKey or HKEY_LOCAL_MACHINE\\SubKey\n"
    "  /v       query the value named ValueName\n"
    "  /ve      query the default value (empty value name)\n"
    "  /s       query all subkeys and values recursively\n";

const char* const kUsageAdd =
    "REG ADD KeyName [/v ValueName | /ve] [/t Type] [/d Data] [/f]\n"
    "\n"
    "  KeyName  HKLM\\SubKey or HKEY_LOCAL_MACHINE\\SubKey\n"
    "  /v       the value name to add under the key\n"
    "  /ve      adds the default value (empty value name)\n"
    "  /t       REG_SZ (default), REG_EXPAND_SZ, REG_DWORD, REG_QWORD,\n"
    "           REG_BINARY, REG_MULTI_SZ, REG_NONE\n"
    "  /d       the data: a decimal or 0x-hex number for REG_DWORD and REG_QWORD,\n"
    "           hex digits for REG_BINARY, texts separated by \\0 for REG_MULTI_SZ\n"
    "  /f       overwrite an existing value without asking\n"
    "\n"
    "Without /v and /ve only the key is created.\n";

const char* const kUsageDelete =
    "REG DELETE KeyName [/v ValueName | /ve | /va] [/f]\n"
    "\n"
    "  KeyName  HKLM\\SubKey or HKEY_LOCAL_MACHINE\\SubKey\n"
    "  /v       delete the value named ValueName\n"
    "  /ve      delete the default value (empty value name)\n"
    "  /va      delete all values of the key (its subkeys stay)\n"
    "  /f       delete without asking\n"
    "\n"
    "Without /v, /ve and /va the key is deleted with all its values and subkeys.\n";

const char* const kUsageExport =
    "REG EXPORT KeyName FileName [/y]\n"
    "\n"
    "  KeyName   HKLM\\SubKey or HKEY_LOCAL_MACHINE\\SubKey\n"
    "  FileName  the .reg file to write: the key and all its subkeys\n"
    "  /y        overwrite an existing file without asking\n";

bool sameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool isHelp(std::string_view s) { return s == "/?" || s == "-?" || s == "--help" || s == "-h"; }

int invalidSyntax(const std::string& sOp) {
  std::cerr << "ERROR: Invalid syntax.\nType \"REG " << sOp << " /?\" for usage.\n";
  return 1;
}

// The subkey of KEY below HKEY_LOCAL_MACHINE, or nullopt for any other root.
std::optional<std::string> parseKeyName(std::string_view sKey) {
  const std::size_t nSlash = sKey.find('\\');
  const std::string_view sRoot = sKey.substr(0, nSlash);
  if (!sameText(sRoot, "HKLM") && !sameText(sRoot, kRoot)) return std::nullopt;
  return nSlash == sKey.npos ? std::string() : std::string(sKey.substr(nSlash + 1));
}

std::string fullName(const std::string& sPath) { return sPath.empty() ? kRoot : std::string(kRoot) + "\\" + sPath; }

// Asks on stdout, answers from stdin; anything but yes (EOF included) is no.
bool confirm(const std::string& sQuestion) {
  std::cout << sQuestion << " " << std::flush;
  std::string sAnswer;
  if (!std::getline(std::cin, sAnswer)) {
    std::cout << "\n";
    return false;
  }
  while (!sAnswer.empty() && (sAnswer.back() == '\r' || sAnswer.back() == ' ')) sAnswer.pop_back();
  return sameText(sAnswer, "yes") || sameText(sAnswer, "y");
}

const char* typeName(std::uint32_t nType) {
  switch (nType) {
    case win::REG_NONE: return "REG_NONE";
    case win::REG_SZ: return "REG_SZ";
    case win::REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case win::REG_BINARY: return "REG_BINARY";
    case win::REG_DWORD: return "REG_DWORD";
    case win::REG_MULTI_SZ: return "REG_MULTI_SZ";
    case win::REG_QWORD: return "REG_QWORD";
    default: return nullptr;
  }
}

std::optional<std::uint32_t> typeByName(std::string_view s) {
  for (std::uint32_t n : {win::REG_NONE, win::REG_SZ, win::REG_EXPAND_SZ, win::REG_BINARY, win::REG_DWORD,
                          win::REG_MULTI_SZ, win::REG_QWORD})
    if (sameText(s, typeName(n))) return n;
  return std::nullopt;
}

std::uint64_t littleEndian(const std::vector<std::uint8_t>& v, std::size_t nBytes) {
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < nBytes && i < v.size(); ++i) n |= std::uint64_t{v[i]} << (8 * i);
  return n;
}

std::string hexDigits(const std::vector<std::uint8_t>& v) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (std::uint8_t b : v) {
    s += kHex[b >> 4];
    s += kHex[b & 0xF];
  }
  return s;
}

std::string dataText(const RegValue& v) {
  const auto& d = v.vData;
  char aBuf[32];
  switch (v.nType) {
    case win::REG_SZ:
    case win::REG_EXPAND_SZ:
      return std::string(d.begin(), std::find(d.begin(), d.end(), std::uint8_t{0}));
    case win::REG_DWORD:
      if (d.size() != 4) break;
      std::snprintf(aBuf, sizeof aBuf, "0x%x", static_cast<unsigned>(littleEndian(d, 4)));
      return aBuf;
    case win::REG_QWORD:
      if (d.size() != 8) break;
      std::snprintf(aBuf, sizeof aBuf, "0x%llx", static_cast<unsigned long long>(littleEndian(d, 8)));
      return aBuf;
    case win::REG_MULTI_SZ: {
      // The texts joined with a literal \0, as the Windows command shows them.
      std::string s;
      std::size_t i = 0;
      while (i < d.size() && d[i] != 0) {
        std::size_t j = i;
        while (j < d.size() && d[j] != 0) ++j;
        if (!s.empty()) s += "\\0";
        s.append(d.begin() + static_cast<std::ptrdiff_t>(i), d.begin() + static_cast<std::ptrdiff_t>(j));
        i = j + 1;
      }
      return s;
    }
    default:
      break;
  }
  return hexDigits(d);
}

void printValue(const RegValue& v) {
  const char* pType = typeName(v.nType);
  char aBuf[32];
  if (pType == nullptr) {
    std::snprintf(aBuf, sizeof aBuf, "REG_0x%x", v.nType);
    pType = aBuf;
  }
  std::cout << "    " << (v.sName.empty() ? "(Default)" : v.sName) << "    " << pType << "    " << dataText(v) << "\n";
}

struct Options {
  std::string sOp;
  std::vector<std::string> vPositional;
  std::optional<std::string> sValue;  // /v NAME, or "" for /ve
  bool bAllValues = false;            // /va
  bool bRecursive = false;            // /s
  bool bForce = false;                // /f (add, delete) or /y (export)
  std::optional<std::string> sType;
  std::optional<std::string> sData;
};

// Parses the switches that OP accepts (ALLOWED lists them, lower case, without
// the slash). False on anything unknown, repeated or missing its argument.
bool parseOptions(int argc, char** argv, std::string_view sAllowed, Options& o) {
  auto allowed = [&](std::string_view s) {
    for (std::size_t i = 0; i < sAllowed.size();) {
      const std::size_t j = std::min(sAllowed.find(' ', i), sAllowed.size());
      if (sameText(sAllowed.substr(i, j - i), s)) return true;
      i = j + 1;
    }
    return false;
  };
  // File paths start with '/' too: only the names of switches count as switches.
  auto isSwitchName = [](std::string_view s) {
    for (std::string_view sName : {"v", "ve", "va", "s", "f", "y", "t", "d"})
      if (sameText(s, sName)) return true;
    return false;
  };
  for (int i = 2; i < argc; ++i) {
    const std::string_view s = argv[i];
    if (s.size() < 2 || (s[0] != '/' && s[0] != '-') || (s[0] == '/' && !isSwitchName(s.substr(1)))) {
      o.vPositional.emplace_back(s);
      continue;
    }
    const std::string_view sSwitch = s.substr(1);
    if (!allowed(sSwitch)) return false;
    auto takeArgument = [&](std::optional<std::string>& sOut) {
      if (sOut || i + 1 >= argc) return false;
      sOut = argv[++i];
      return true;
    };
    if (sameText(sSwitch, "v")) {
      if (!takeArgument(o.sValue)) return false;
    } else if (sameText(sSwitch, "ve")) {
      if (o.sValue) return false;
      o.sValue = std::string();
    } else if (sameText(sSwitch, "va")) {
      o.bAllValues = true;
    } else if (sameText(sSwitch, "s")) {
      o.bRecursive = true;
    } else if (sameText(sSwitch, "f") || sameText(sSwitch, "y")) {
      o.bForce = true;
    } else if (sameText(sSwitch, "t")) {
      if (!takeArgument(o.sType)) return false;
    } else if (sameText(sSwitch, "d")) {
      if (!takeArgument(o.sData)) return false;
    } else {
      return false;
    }
  }
  return !(o.bAllValues && o.sValue);
}

int writeFailed() {
  std::cerr << "ERROR: The registry could not be written (see the debug output).\n";
  return 1;
}

int query(const Options& o, const std::string& sPath, win::IRegistry& reg) {
  const std::optional<RegKey> key = reg.openKey(sPath);
  if (!key) {
    std::cerr << kNotFound << "\n";
    return 1;
  }
  std::cout << "\n";
  if (o.sValue) {
    // One value, in this key or (with /s) anywhere below it.
    int nFound = 0;
    const std::vector<RegKey> vKeys = o.bRecursive ? win::keyTree(reg, sPath) : std::vector<RegKey>{*key};
    for (const RegKey& k : vKeys) {
      const RegValue* p = k.find(*o.sValue);
      if (p == nullptr && !(o.sValue->empty() && !o.bRecursive)) continue;
      std::cout << fullName(k.path()) << "\n";
      if (p != nullptr) {
        printValue(*p);
      } else {
        std::cout << "    (Default)    REG_SZ    (value not set)\n";
      }
      std::cout << "\n";
      if (p != nullptr) ++nFound;
    }
    if (o.bRecursive) std::cout << "End of search: " << nFound << " match(es) found.\n";
    if (nFound == 0 && !o.sValue->empty()) {
      std::cerr << kNotFound << "\n";
      return 1;
    }
    return 0;
  }
  if (o.bRecursive) {
    for (const RegKey& k : win::keyTree(reg, sPath)) {
      std::cout << fullName(k.path()) << "\n";
      for (const RegValue& v : k.values()) printValue(v);
      std::cout << "\n";
    }
    return 0;
  }
  std::cout << fullName(key->path()) << "\n";
  for (const RegValue& v : key->values()) printValue(v);
  std::cout << "\n";
  for (const std::string& sChild : reg.subKeyNames(key->path()))
    std::cout << fullName(key->path().empty() ? sChild : key->path() + "\\" + sChild) << "\n";
  return 0;
}

// The value of /t and /d as stored bytes, or nullopt when the data does not
// fit the type.
std::optional<RegValue> valueFromOptions(const Options& o) {
  RegValue v;
  v.sName = *o.sValue;
  v.nType = win::REG_SZ;
  if (o.sType) {
    const auto nType = typeByName(*o.sType);
    if (!nType) return std::nullopt;
    v.nType = *nType;
  }
  const std::string sData = o.sData.value_or("");
  switch (v.nType) {
    case win::REG_DWORD:
    case win::REG_QWORD: {
      const std::size_t nBytes = v.nType == win::REG_DWORD ? 4 : 8;
      std::uint64_t n = 0;
      if (!sData.empty()) {
        const bool bHex = sData.size() > 2 && sData[0] == '0' && (sData[1] == 'x' || sData[1] == 'X');
        const std::string_view sDigits = std::string_view(sData).substr(bHex ? 2 : 0);
        const unsigned nBase = bHex ? 16 : 10;
        for (char c : sDigits) {
          int d = -1;
          if (c >= '0' && c <= '9') d = c - '0';
          else if (bHex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
          else if (bHex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
          if (d < 0) return std::nullopt;
          const std::uint64_t nLimit = nBytes == 4 ? 0xFFFFFFFFull : ~0ull;
          if (n > (nLimit - static_cast<unsigned>(d)) / nBase) return std::nullopt;  // out of range
          n = n * nBase + static_cast<unsigned>(d);
        }
        if (sDigits.empty()) return std::nullopt;
      }
      for (std::size_t i = 0; i < nBytes; ++i) v.vData.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
      return v;
    }
    case win::REG_BINARY: {
      if (sData.size() % 2 != 0) return std::nullopt;
      for (std::size_t i = 0; i < sData.size(); i += 2) {
        const std::string sByte = sData.substr(i, 2);
        if (sByte.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return std::nullopt;
        v.vData.push_back(static_cast<std::uint8_t>(std::stoul(sByte, nullptr, 16)));
      }
      return v;
    }
    case win::REG_MULTI_SZ: {
      // Texts separated by a literal \0; each stored with its NUL, then one more.
      std::size_t i = 0;
      while (!sData.empty()) {
        const std::size_t j = std::min(sData.find("\\0", i), sData.size());
        if (j == i) return std::nullopt;  // an empty text inside the list
        v.vData.insert(v.vData.end(), sData.begin() + static_cast<std::ptrdiff_t>(i),
                       sData.begin() + static_cast<std::ptrdiff_t>(j));
        v.vData.push_back(0);
        if (j >= sData.size()) break;
        i = j + 2;
      }
      v.vData.push_back(0);
      return v;
    }
    default:
      return RegValue::text(v.sName, sData, v.nType);
  }
}

int add(const Options& o, const std::string& sPath, win::IRegistry& reg) {
  if (!o.sValue) {
    if (o.sType || o.sData) return invalidSyntax("ADD");
    return reg.createKey(sPath) == RegStatus::Ok ? (std::cout << kDone << "\n", 0) : writeFailed();
  }
  const std::optional<RegValue> value = valueFromOptions(o);
  if (!value) return invalidSyntax("ADD");
  if (!o.bForce) {
    const std::optional<RegKey> key = reg.openKey(sPath);
    if (key && key->find(value->sName) != nullptr &&
        !confirm("Value " + (value->sName.empty() ? std::string("(Default)") : value->sName) +
                 " exists, overwrite(Yes/No)?")) {
      std::cout << kCancelled << "\n";
      return 1;
    }
  }
  if (reg.setValue(sPath, *value) != RegStatus::Ok) return writeFailed();
  std::cout << kDone << "\n";
  return 0;
}

int remove(const Options& o, const std::string& sPath, win::IRegistry& reg) {
  const std::optional<RegKey> key = reg.openKey(sPath);
  if (!key || (o.sValue && key->find(*o.sValue) == nullptr)) {
    std::cerr << kNotFound << "\n";
    return 1;
  }
  std::string sQuestion;
  if (o.sValue) {
    sQuestion = "Delete the registry value " + (o.sValue->empty() ? std::string("(Default)") : *o.sValue) + " (Yes/No)?";
  } else if (o.bAllValues) {
    sQuestion = "Delete all values under the registry key " + fullName(key->path()) + " (Yes/No)?";
  } else {
    sQuestion = "Permanently delete the registry key " + fullName(key->path()) + " (Yes/No)?";
  }
  if (!o.bForce && !confirm(sQuestion)) {
    std::cout << kCancelled << "\n";
    return 1;
  }
  RegStatus status = RegStatus::Ok;
  if (o.sValue) {
    status = reg.deleteValue(sPath, *o.sValue);
  } else if (o.bAllValues) {
    for (const RegValue& v : key->values()) {
      const RegStatus s = reg.deleteValue(sPath, v.sName);
      if (s == RegStatus::Failed) status = s;  // one removed meanwhile is not an error
    }
  } else {
    status = reg.deleteKey(sPath);
  }
  if (status == RegStatus::NotFound) {
    std::cerr << kNotFound << "\n";
    return 1;
  }
  if (status != RegStatus::Ok) return writeFailed();
  std::cout << kDone << "\n";
  return 0;
}

int exportKey(const Options& o, const std::string& sPath, win::IRegistry& reg) {
  const std::string& sFile = o.vPositional[1];
  const std::vector<RegKey> vKeys = win::keyTree(reg, sPath);
  if (vKeys.empty()) {
    std::cerr << kNotFound << "\n";
    return 1;
  }
  if (!o.bForce && ::access(sFile.c_str(), F_OK) == 0 && !confirm("File " + sFile + " already exists. Overwrite (Yes/No)?")) {
    std::cout << kCancelled << "\n";
    return 1;
  }
  const std::string sText = win::formatRegText(vKeys);
  win::IFileSystem& fs = win::posixFileSystem();
  int nFd = -1;
  int nErr = fs.openTruncate(sFile, 0644, &nFd);
  if (nErr == 0) {
    nErr = fs.write(nFd, sText.data(), sText.size());
    const int nClose = fs.close(nFd, true);
    if (nErr == 0) nErr = nClose;
  }
  if (nErr != 0) {
    std::cerr << "ERROR: " << win::systemErrorText(nErr) << ": " << sFile << "\n";
    return 1;
  }
  std::cout << kDone << "\n";
  return 0;
}

int run(int argc, char** argv) {
  if (argc < 2 || isHelp(argv[1])) {
    if (argc < 2) {
      std::cerr << "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n";
      return 1;
    }
    std::cout << kUsageMain;
    return 0;
  }
  struct Op {
    const char* pName;
    const char* pUsage;
    const char* pSwitches;
    std::size_t nPositional;
    int (*pRun)(const Options&, const std::string&, win::IRegistry&);
  };
  static const Op kOps[] = {
      {"QUERY", kUsageQuery, "v ve s", 1, query},
      {"ADD", kUsageAdd, "v ve t d f", 1, add},
      {"DELETE", kUsageDelete, "v ve va f", 1, remove},
      {"EXPORT", kUsageExport, "y", 2, exportKey},
  };
  const Op* pOp = nullptr;
  for (const Op& op : kOps)
    if (sameText(argv[1], op.pName)) pOp = &op;
  if (pOp == nullptr) {
    std::cerr << "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n";
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    if (isHelp(argv[i])) {
      std::cout << pOp->pUsage;
      return 0;
    }
  }
  Options o;
  o.sOp = pOp->pName;
  if (!parseOptions(argc, argv, pOp->pSwitches, o) || o.vPositional.size() != pOp->nPositional)
    return invalidSyntax(pOp->pName);
  const std::optional<std::string> sPath = parseKeyName(o.vPositional[0]);
  if (!sPath) {
    std::cerr << "ERROR: Invalid key name.\nType \"REG " << pOp->pName << " /?\" for usage.\n";
    return 1;
  }
  return pOp->pRun(o, *sPath, win::machineRegistry());
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "ERROR: " << e.what() << "\n";
    return 1;
  }
}
