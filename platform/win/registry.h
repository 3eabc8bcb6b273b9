// The registry stand-in: HKEY_LOCAL_MACHINE kept in one ".reg" text file
// (MACHINE_DIR/registry.reg, "Windows Registry Editor Version 5.00", UTF-8).
//
// Key and value names are compared without regard to case and keep the case
// they were created with. Every change is a read-modify-write of the whole
// file under an advisory lock, written to a temporary file, synced and
// renamed over the old one: a reader never sees half a file and two writers
// never lose each other's values. A reader takes no lock.
//
// Two views over the same store:
//  - the raw one the plug-ins use (open a key for reading, query a value into
//    a caller's buffer; the type is not checked);
//  - the five typed operations of the configuration tool (namespace
//    Registry), which never report failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace win {

class IDebugOutput;
class IFileSystem;

// Registry value types, with their Windows numbers.
enum : std::uint32_t {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
  REG_MULTI_SZ = 7,
  REG_QWORD = 11,
};

// One value. Texts (REG_SZ, REG_EXPAND_SZ) are stored as their UTF-8 bytes
// followed by one NUL, as the ANSI registry functions hand them out.
struct RegValue {
  std::string sName;  // "" is the key's default value ("@" in the file)
  std::uint32_t nType = REG_NONE;
  std::vector<std::uint8_t> vData;

  static RegValue text(std::string_view sName, std::string_view sText, std::uint32_t nType = REG_SZ);
  static RegValue dword(std::string_view sName, std::uint32_t nValue);
};

// A key opened for reading: a snapshot of its values at the time of opening.
class RegKey {
 public:
  RegKey() = default;
  RegKey(std::string sPath, std::vector<RegValue> vValues) : m_sPath(std::move(sPath)), m_vValues(std::move(vValues)) {}
  const std::string& path() const { return m_sPath; }
  const std::vector<RegValue>& values() const { return m_vValues; }
  // The value of that name (any case), or nullptr.
  const RegValue* find(std::string_view sName) const;

 private:
  std::string m_sPath;
  std::vector<RegValue> m_vValues;
};

enum class RegStatus { Ok, NotFound, Failed };

// Raw query into a caller's buffer. Ok: the value's bytes were copied to the
// start of the buffer (bytes past them are left as they were, so a zeroed
// buffer reads missing bytes as 0). NotFound: no such value. Failed: the data
// is larger than nSize (nothing copied). pType and pDataSize, when given,
// receive the value's type and size whenever the value exists. A null
// pBuffer only asks for type and size (Ok, nothing copied).
RegStatus queryValue(const RegKey& key, std::string_view sName, void* pBuffer, std::uint32_t nSize,
                     std::uint32_t* pType = nullptr, std::uint32_t* pDataSize = nullptr);

class IRegistry {
 public:
  virtual ~IRegistry() = default;
  // Opens HKEY_LOCAL_MACHINE\SUBKEY for reading. nullopt when the key does
  // not exist (or the store cannot be read at all).
  virtual std::optional<RegKey> openKey(std::string_view sSubKey) = 0;
  // Names of the direct subkeys of SUBKEY ("" for the root), in file order.
  virtual std::vector<std::string> subKeyNames(std::string_view sSubKey) = 0;
  // Creates SUBKEY and its missing parents. Ok, or Failed (I/O).
  virtual RegStatus createKey(std::string_view sSubKey) = 0;
  // Stores VALUE under SUBKEY, creating the key; replaces a value of the
  // same name (any case). Ok, or Failed (I/O).
  virtual RegStatus setValue(std::string_view sSubKey, const RegValue& value) = 0;
  // Ok, NotFound (no such key or value), or Failed (I/O).
  virtual RegStatus deleteValue(std::string_view sSubKey, std::string_view sName) = 0;
  // Deletes SUBKEY with all its values and subkeys. Ok, NotFound or Failed.
  virtual RegStatus deleteKey(std::string_view sSubKey) = 0;
};

// The file-backed store. Lines it cannot parse are reported on DIAG (one
// string each, naming the file and line) and treated as missing; a writer
// keeps them in the file as they were, so a change never destroys what it
// did not understand.
class FileRegistry final : public IRegistry {
 public:
  FileRegistry(std::string sFilePath, IDebugOutput& diag);
  // Writes the new file through FS (tests inject faults there); reads and
  // locking use the system directly.
  FileRegistry(std::string sFilePath, IDebugOutput& diag, IFileSystem& fs);
  const std::string& filePath() const { return m_sFilePath; }

  std::optional<RegKey> openKey(std::string_view sSubKey) override;
  std::vector<std::string> subKeyNames(std::string_view sSubKey) override;
  RegStatus createKey(std::string_view sSubKey) override;
  RegStatus setValue(std::string_view sSubKey, const RegValue& value) override;
  RegStatus deleteValue(std::string_view sSubKey, std::string_view sName) override;
  RegStatus deleteKey(std::string_view sSubKey) override;

 private:
  std::string m_sFilePath;
  IDebugOutput& m_rDiag;
  IFileSystem& m_rFs;
};

// SUBKEY and every key below it, parents before children, in file order;
// empty when SUBKEY does not exist. What "reg export" and "reg query /s" show.
std::vector<RegKey> keyTree(IRegistry& reg, std::string_view sSubKey);

// The ".reg" text of KEYS (paths below HKEY_LOCAL_MACHINE), as the store
// writes it: signature line, then each key with its values ("" when out of
// memory).
std::string formatRegText(const std::vector<RegKey>& vKeys);

// The machine's HKEY_LOCAL_MACHINE (registryFilePath(), diagnostics to
// debugOutput()), created on first use.
IRegistry& machineRegistry();

// Predefined root keys. The stand-in holds HKEY_LOCAL_MACHINE only; the
// typed operations treat every other root as a key that cannot be opened.
enum class RegRoot { ClassesRoot, CurrentUser, LocalMachine, Users };

// The configuration tool's typed operations. Each opens or creates the key,
// does one thing and closes it again; none reports failure.
namespace Registry {
// The text of a REG_SZ value up to its first NUL; DEFAULT in every other
// case (key or value missing, another type, REG_EXPAND_SZ included).
std::string ReadStringValue(IRegistry& reg, RegRoot root, std::string_view sSubKey, std::string_view sName,
                            std::string_view sDefault);
// Stores TEXT as REG_SZ (with its terminating NUL), creating the key.
void WriteStringValue(IRegistry& reg, RegRoot root, std::string_view sSubKey, std::string_view sName,
                      std::string_view sText);
// Deletes the value; a missing key or value is ignored.
void RemoveValue(IRegistry& reg, RegRoot root, std::string_view sSubKey, std::string_view sName);
// A REG_DWORD value as a signed number; DEFAULT otherwise.
std::int32_t ReadDWordValue(IRegistry& reg, RegRoot root, std::string_view sSubKey, std::string_view sName,
                            std::int32_t nDefault);
// Stores NUMBER as a four-byte REG_DWORD, creating the key.
void WriteDWordValue(IRegistry& reg, RegRoot root, std::string_view sSubKey, std::string_view sName,
                     std::int32_t nNumber);
}  // namespace Registry

}  // namespace win
