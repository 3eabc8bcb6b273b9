#include "win/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "win/debug_output.h"
#include "win/file_system.h"

namespace win {
namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const fs::path& p, std::string_view sText) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(sText.data(), static_cast<std::streamsize>(sText.size()));
}

// Each test gets its own machine folder under the system's temporary folder.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string sTemplate = (fs::temp_directory_path() / "regtest.XXXXXX").string();
    ASSERT_NE(::mkdtemp(sTemplate.data()), nullptr);
    m_pathDir = sTemplate;
    m_pathFile = m_pathDir / "registry.reg";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_pathDir, ec);
  }
  FileRegistry registry() { return FileRegistry(m_pathFile.string(), m_diag); }

  fs::path m_pathDir;
  fs::path m_pathFile;
  CapturingDebugOutput m_diag;
};

// ---- file format -------------------------------------------------------------

struct RoundTripCase {
  const char* pLabel;
  RegValue value;
  const char* pLine;  // the line the writer must produce (first line for wrapped hex)
};

TEST_F(RegistryTest, EveryTypeRoundTripsThroughTheFileInItsOwnForm) {
  Bytes vLong(200);
  for (std::size_t i = 0; i < vLong.size(); ++i) vLong[i] = static_cast<std::uint8_t>(i * 7);
  const std::vector<RoundTripCase> vCases = {
      {"text", RegValue::text("Folder", "C:\\logs\\\"x\""), "\"Folder\"=\"C:\\\\logs\\\\\\\"x\\\"\""},
      {"empty text", RegValue::text("Empty", ""), "\"Empty\"=\"\""},
      {"utf-8 text", RegValue::text("Name", "Grüße"), "\"Name\"=\"Grüße\""},
      {"default value", RegValue::text("", "dflt"), "@=\"dflt\""},
      {"text with inner NUL", RegValue{"Nul", REG_SZ, bytesOf(std::string_view("a\0b\0", 4))},
       "\"Nul\"=hex(1):61,00,62,00"},
      {"text without NUL", RegValue{"NoNul", REG_SZ, bytesOf("ab")}, "\"NoNul\"=hex(1):61,62"},
      {"text with line break", RegValue::text("Lines", "a\r\nb"), "\"Lines\"=hex(1):61,0d,0a,62,00"},
      {"expand text", RegValue::text("Exp", "%TEMP%", REG_EXPAND_SZ), "\"Exp\"=hex(2):25,54,45,4d,50,25,00"},
      {"dword", RegValue::dword("Count", 0x1f), "\"Count\"=dword:0000001f"},
      {"dword max", RegValue::dword("Max", 0xFFFFFFFFu), "\"Max\"=dword:ffffffff"},
      {"short dword", RegValue{"Short", REG_DWORD, {1, 2, 3}}, "\"Short\"=hex(4):01,02,03"},
      {"binary", RegValue{"Bin", REG_BINARY, {0x00, 0xab, 0xff}}, "\"Bin\"=hex:00,ab,ff"},
      {"empty binary", RegValue{"NoBin", REG_BINARY, {}}, "\"NoBin\"=hex:"},
      {"long binary", RegValue{"Long", REG_BINARY, vLong}, "\"Long\"=hex:00,07,0e,15,1c,23,2a,31,38,3f,46,4d,54,"},
      {"multi text", RegValue{"Multi", REG_MULTI_SZ, bytesOf(std::string_view("a\0bc\0\0", 6))},
       "\"Multi\"=hex(7):61,00,62,63,00,00"},
      {"qword", RegValue{"Q", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}}, "\"Q\"=hex(b):01,02,03,04,05,06,07,08"},
      {"none", RegValue{"None", REG_NONE, {9}}, "\"None\"=hex(0):09"},
      {"unknown type", RegValue{"Odd", 0x12345, {1}}, "\"Odd\"=hex(12345):01"},
      {"quote in name", RegValue::dword("a\"b\\c", 1), "\"a\\\"b\\\\c\"=dword:00000001"},
  };
  {
    FileRegistry reg = registry();
    for (const auto& c : vCases) ASSERT_EQ(reg.setValue("Software\\Round", c.value), RegStatus::Ok) << c.pLabel;
  }
  const std::string sText = readFile(m_pathFile);
  EXPECT_EQ(sText.rfind("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Round]\n", 0), 0u);
  FileRegistry fresh = registry();
  const std::optional<RegKey> key = fresh.openKey("Software\\Round");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->values().size(), vCases.size());
  for (const auto& c : vCases) {
    EXPECT_NE(sText.find(std::string("\n") + c.pLine), std::string::npos) << c.pLabel << "\n" << sText;
    const RegValue* p = key->find(c.value.sName);
    ASSERT_NE(p, nullptr) << c.pLabel;
    EXPECT_EQ(p->sName, c.value.sName) << c.pLabel;
    EXPECT_EQ(p->nType, c.value.nType) << c.pLabel;
    EXPECT_EQ(p->vData, c.value.vData) << c.pLabel;
  }
  // Wrapped hex stays within regedit's line width.
  std::istringstream lines(sText);
  for (std::string sLine; std::getline(lines, sLine);) EXPECT_LE(sLine.size(), 80u) << sLine;
  EXPECT_TRUE(m_diag.lines().empty());
}

TEST_F(RegistryTest, ReadsHandWrittenFilesWithCrLfCommentsAndContinuations) {
  writeFile(m_pathFile,
            "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
            "\r\n"
            "; written by hand\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Parlantis\\Server]\r\n"
            "\"LogFileEnabled\"=dword:1\r\n"
            "\"Blob\"=hex:01,02,\\\r\n"
            "  03,04\r\n"
            "  \"Spaced\" = \"yes\"  \r\n"
            "@=hex(2):41,00\r\n"
            "\r\n"
            "[hkey_local_machine\\software\\parlantis\\server]\r\n"
            "\"LOGFILEENABLED\"=dword:00000002\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Deep\\Down\\Below]\r\n");
  FileRegistry reg = registry();
  const std::optional<RegKey> key = reg.openKey("Software\\Parlantis\\Server");
  ASSERT_TRUE(key);
  ASSERT_EQ(key->values().size(), 4u);
  // A key written twice is one key; the later value wins, the first spelling stays.
  EXPECT_EQ(key->values()[0].sName, "LogFileEnabled");
  EXPECT_EQ(key->values()[0].vData, (Bytes{2, 0, 0, 0}));
  EXPECT_EQ(key->find("blob")->vData, (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(key->find("Spaced")->vData, bytesOf(std::string_view("yes\0", 4)));
  EXPECT_EQ(key->find("")->nType, REG_EXPAND_SZ);
  // Deeper keys imply their parents.
  EXPECT_EQ(reg.subKeyNames(""), (std::vector<std::string>{"SOFTWARE"}));
  EXPECT_EQ(reg.subKeyNames("software"), (std::vector<std::string>{"Parlantis", "Deep"}));
  EXPECT_EQ(reg.subKeyNames("software\\deep"), (std::vector<std::string>{"Down"}));
  const std::optional<RegKey> implied = reg.openKey("software\\deep");
  ASSERT_TRUE(implied);
  EXPECT_EQ(implied->path(), "SOFTWARE\\Deep");
  EXPECT_TRUE(implied->values().empty());
  EXPECT_FALSE(reg.openKey("Software\\Dee"));
  EXPECT_TRUE(m_diag.lines().empty()) << m_diag.lines().front();
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheCaseTheyWereCreatedWith) {
  FileRegistry reg = registry();
  ASSERT_EQ(reg.setValue("Software\\Parlantis\\Server", RegValue::dword("LogFileEnabled", 1)), RegStatus::Ok);
  ASSERT_EQ(reg.setValue("SOFTWARE\\PARLANTIS\\SERVER", RegValue::dword("LOGFILEENABLED", 7)), RegStatus::Ok);
  ASSERT_EQ(reg.createKey("software\\parlantis\\Client\\Sub"), RegStatus::Ok);

  const std::optional<RegKey> key = reg.openKey("software\\PARLANTIS\\server");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->path(), "Software\\Parlantis\\Server");
  ASSERT_EQ(key->values().size(), 1u);
  EXPECT_EQ(key->values()[0].sName, "LogFileEnabled");
  EXPECT_EQ(key->find("logfileenabled")->vData, (Bytes{7, 0, 0, 0}));
  // A new key below existing ones takes their spelling for the shared part.
  EXPECT_EQ(reg.subKeyNames("SOFTWARE\\parlantis"), (std::vector<std::string>{"Server", "Client"}));
  EXPECT_EQ(reg.openKey("SOFTWARE\\PARLANTIS\\CLIENT\\SUB")->path(), "Software\\Parlantis\\Client\\Sub");
}

TEST_F(RegistryTest, DeletesValuesAndWholeSubtrees) {
  FileRegistry reg = registry();
  ASSERT_EQ(reg.setValue("A\\B", RegValue::dword("x", 1)), RegStatus::Ok);
  ASSERT_EQ(reg.setValue("A\\B\\C", RegValue::dword("y", 2)), RegStatus::Ok);
  ASSERT_EQ(reg.setValue("A\\BB", RegValue::dword("z", 3)), RegStatus::Ok);

  EXPECT_EQ(reg.deleteValue("a\\b", "X"), RegStatus::Ok);
  EXPECT_EQ(reg.deleteValue("a\\b", "X"), RegStatus::NotFound);
  EXPECT_EQ(reg.deleteValue("a\\missing", "x"), RegStatus::NotFound);
  ASSERT_TRUE(reg.openKey("A\\B"));  // a key outlives its last value

  EXPECT_EQ(reg.deleteKey("a\\b"), RegStatus::Ok);
  EXPECT_FALSE(reg.openKey("A\\B"));
  EXPECT_FALSE(reg.openKey("A\\B\\C"));
  // A sibling that merely shares a prefix of the name survives.
  ASSERT_TRUE(reg.openKey("A\\BB"));
  EXPECT_EQ(reg.subKeyNames("A"), (std::vector<std::string>{"BB"}));
  EXPECT_EQ(reg.deleteKey("A\\B"), RegStatus::NotFound);
  EXPECT_EQ(reg.deleteKey(""), RegStatus::Failed);
}

TEST_F(RegistryTest, MissingFileIsEmptyAndAWriteCreatesTheMachineFolder) {
  const fs::path pathDeep = m_pathDir / "not" / "yet" / "registry.reg";
  FileRegistry reg(pathDeep.string(), m_diag);
  EXPECT_FALSE(reg.openKey("Software"));
  EXPECT_TRUE(reg.subKeyNames("").empty());
  EXPECT_EQ(reg.deleteValue("Software", "x"), RegStatus::NotFound);
  EXPECT_FALSE(fs::exists(pathDeep));

  ASSERT_EQ(reg.setValue("Software", RegValue::dword("x", 1)), RegStatus::Ok);
  EXPECT_TRUE(fs::exists(pathDeep));
  EXPECT_TRUE(fs::exists(pathDeep.string() + ".lock"));
  EXPECT_FALSE(fs::exists(pathDeep.string() + ".tmp"));
  EXPECT_TRUE(m_diag.lines().empty());
}

TEST_F(RegistryTest, FailedWriteReportsFailedAndLeavesTheOldFileIntact) {
  {
    FileRegistry reg = registry();
    ASSERT_EQ(reg.setValue("Software", RegValue::dword("Old", 1)), RegStatus::Ok);
  }
  const std::string sBefore = readFile(m_pathFile);
  for (FileOp op : {FileOp::Open, FileOp::Write, FileOp::Close, FileOp::Rename}) {
    SCOPED_TRACE(static_cast<int>(op));
    FaultInjectingFileSystem faulty(posixFileSystem());
    faulty.failCall(op, 1, EIO);
    FileRegistry reg(m_pathFile.string(), m_diag, faulty);
    m_diag.clear();
    EXPECT_EQ(reg.setValue("Software", RegValue::dword("New", 2)), RegStatus::Failed);
    EXPECT_EQ(readFile(m_pathFile), sBefore);
    EXPECT_FALSE(fs::exists(m_pathFile.string() + ".tmp"));
    ASSERT_EQ(m_diag.lines().size(), 1u);
    EXPECT_NE(m_diag.lines()[0].find(systemErrorText(EIO)), std::string::npos) << m_diag.lines()[0];
  }
}

TEST_F(RegistryTest, UnreadableStoreOpensNothingAndIsNeverOverwritten) {
  fs::create_directory(m_pathFile);  // a folder where the file should be: read fails with EISDIR
  FileRegistry reg = registry();
  EXPECT_FALSE(reg.openKey(""));
  EXPECT_EQ(reg.setValue("Software", RegValue::dword("x", 1)), RegStatus::Failed);
  EXPECT_TRUE(fs::is_directory(m_pathFile));
  EXPECT_FALSE(m_diag.lines().empty());
}

// ---- raw queries -------------------------------------------------------------

struct QueryCase {
  const char* pLabel;
  RegValue value;
  std::uint32_t nBufferSize;
  RegStatus expected;
  Bytes vBufferAfter;  // the 4-byte buffer (initially zero) after the call
};

TEST(RegistryQuery, CopiesIntoTheCallersBufferWithoutCheckingTheType) {
  const std::vector<QueryCase> vCases = {
      {"dword exact", RegValue::dword("v", 0x04030201), 4, RegStatus::Ok, {1, 2, 3, 4}},
      {"short data leaves zeros", RegValue{"v", REG_BINARY, {7, 8}}, 4, RegStatus::Ok, {7, 8, 0, 0}},
      {"text read as number", RegValue::text("v", "1"), 4, RegStatus::Ok, {'1', 0, 0, 0}},
      {"one-character text fits two bytes", RegValue::text("v", "1"), 2, RegStatus::Ok, {'1', 0, 0, 0}},
      {"longer text does not fit", RegValue::text("v", "10"), 2, RegStatus::Failed, {0, 0, 0, 0}},
      {"dword does not fit two bytes", RegValue::dword("v", 1), 2, RegStatus::Failed, {0, 0, 0, 0}},
      {"empty data", RegValue{"v", REG_NONE, {}}, 4, RegStatus::Ok, {0, 0, 0, 0}},
  };
  for (const auto& c : vCases) {
    const RegKey key("K", {RegValue::dword("other", 9), c.value});
    std::uint8_t aBuf[4] = {};
    std::uint32_t nType = 99, nSize = 99;
    EXPECT_EQ(queryValue(key, "V", aBuf, c.nBufferSize, &nType, &nSize), c.expected) << c.pLabel;
    EXPECT_EQ(Bytes(aBuf, aBuf + 4), c.vBufferAfter) << c.pLabel;
    EXPECT_EQ(nType, c.value.nType) << c.pLabel;
    EXPECT_EQ(nSize, c.value.vData.size()) << c.pLabel;
  }
  const RegKey key("K", {RegValue::dword("v", 1)});
  std::uint8_t aBuf[4] = {5, 5, 5, 5};
  std::uint32_t nType = 99;
  EXPECT_EQ(queryValue(key, "missing", aBuf, 4, &nType), RegStatus::NotFound);
  EXPECT_EQ(Bytes(aBuf, aBuf + 4), (Bytes{5, 5, 5, 5}));
  EXPECT_EQ(nType, 99u);
}

// ---- the typed operations ------------------------------------------------------

TEST_F(RegistryTest, TypedReadsReturnTheDefaultForEveryOtherType) {
  FileRegistry reg = registry();
  const char* pKey = "SOFTWARE\\Parlantis\\Server";
  const std::vector<RegValue> vStored = {
      RegValue::text("Sz", "abc"),
      RegValue::text("Expand", "abc", REG_EXPAND_SZ),
      RegValue{"InnerNul", REG_SZ, bytesOf(std::string_view("ab\0cd\0", 6))},
      RegValue{"NoNul", REG_SZ, bytesOf("xy")},
      RegValue::dword("Dword", 42),
      RegValue::dword("Negative", 0xFFFFFFFEu),
      RegValue{"ShortDword", REG_DWORD, {5, 1}},
      RegValue{"LongDword", REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}},
      RegValue::text("DwordAsText", "1"),
      RegValue{"Bin", REG_BINARY, {1, 0, 0, 0}},
  };
  for (const auto& v : vStored) ASSERT_EQ(reg.setValue(pKey, v), RegStatus::Ok);

  struct StringCase {
    const char* pName;
    std::string sExpected;
  };
  for (const auto& c : std::vector<StringCase>{{"Sz", "abc"},
                                               {"sz", "abc"},
                                               {"Expand", "dflt"},
                                               {"InnerNul", "ab"},
                                               {"NoNul", "xy"},
                                               {"Dword", "dflt"},
                                               {"Bin", "dflt"},
                                               {"Missing", "dflt"}})
    EXPECT_EQ(Registry::ReadStringValue(reg, RegRoot::LocalMachine, "Software\\Parlantis\\Server", c.pName, "dflt"),
              c.sExpected)
        << c.pName;

  struct DWordCase {
    const char* pName;
    std::int32_t nExpected;
  };
  for (const auto& c : std::vector<DWordCase>{{"Dword", 42},
                                              {"Negative", -2},
                                              {"ShortDword", 0x105},
                                              {"LongDword", -7},
                                              {"DwordAsText", -7},
                                              {"Bin", -7},
                                              {"Missing", -7}})
    EXPECT_EQ(Registry::ReadDWordValue(reg, RegRoot::LocalMachine, pKey, c.pName, -7), c.nExpected) << c.pName;

  EXPECT_EQ(Registry::ReadStringValue(reg, RegRoot::LocalMachine, "Software\\Nothing", "Sz", "dflt"), "dflt");
  EXPECT_EQ(Registry::ReadDWordValue(reg, RegRoot::LocalMachine, "Software\\Nothing", "Dword", 3), 3);
  // Only HKEY_LOCAL_MACHINE exists: every other root is a key that cannot be opened.
  for (RegRoot root : {RegRoot::ClassesRoot, RegRoot::CurrentUser, RegRoot::Users}) {
    EXPECT_EQ(Registry::ReadStringValue(reg, root, pKey, "Sz", "dflt"), "dflt");
    EXPECT_EQ(Registry::ReadDWordValue(reg, root, pKey, "Dword", 3), 3);
  }
}

TEST_F(RegistryTest, TypedWritesStoreTheDesignedTypesAndNeverFail) {
  FileRegistry reg = registry();
  const char* pKey = "SOFTWARE\\Parlantis\\Server";
  Registry::WriteStringValue(reg, RegRoot::LocalMachine, pKey, "LogFileEncrypt", "1");
  Registry::WriteDWordValue(reg, RegRoot::LocalMachine, pKey, "LogFileInterval", -1);
  Registry::WriteStringValue(reg, RegRoot::CurrentUser, pKey, "Elsewhere", "x");
  Registry::WriteDWordValue(reg, RegRoot::Users, pKey, "Elsewhere2", 1);

  std::optional<RegKey> key = reg.openKey(pKey);
  ASSERT_TRUE(key);
  ASSERT_EQ(key->values().size(), 2u);
  EXPECT_EQ(key->find("LogFileEncrypt")->nType, REG_SZ);
  EXPECT_EQ(key->find("LogFileEncrypt")->vData, (Bytes{'1', 0}));
  EXPECT_EQ(key->find("LogFileInterval")->nType, REG_DWORD);
  EXPECT_EQ(key->find("LogFileInterval")->vData, (Bytes{0xff, 0xff, 0xff, 0xff}));

  Registry::RemoveValue(reg, RegRoot::LocalMachine, pKey, "logfileencrypt");
  Registry::RemoveValue(reg, RegRoot::LocalMachine, pKey, "LogFileEncrypt");   // already gone
  Registry::RemoveValue(reg, RegRoot::LocalMachine, "No\\Such\\Key", "x");      // no key
  Registry::RemoveValue(reg, RegRoot::CurrentUser, pKey, "LogFileInterval");   // other root
  key = reg.openKey(pKey);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->values().size(), 1u);
  EXPECT_NE(key->find("LogFileInterval"), nullptr);

  // A store that cannot be written: silent, and reads give the defaults.
  FileRegistry broken((m_pathDir / "registry.reg" / "below-a-file.reg").string(), m_diag);
  Registry::WriteStringValue(broken, RegRoot::LocalMachine, pKey, "x", "y");
  EXPECT_EQ(Registry::ReadStringValue(broken, RegRoot::LocalMachine, pKey, "x", "dflt"), "dflt");
}

// ---- damaged files -------------------------------------------------------------

TEST_F(RegistryTest, DamagedFileIsReportedReadAroundAndPreservedByWrites) {
  const std::string sJunk("\x01\x02\xff\xfe\x00zz", 7);
  const std::vector<std::string> vGarbage = {
      "this is not a registry line",
      "\"Truncated\"=hex:01,02,\\",  // continuation that never comes
      "\"BadHex\"=hex:01,0g",
      "\"BadDword\"=dword:123456789",
      "\"BadEscape\"=\"C:\\logs\"",
      "\"Unterminated=\"x\"",
      "[HKEY_LOCAL_MACHINE\\Software\\Broken",
      "\"UnderBroken\"=dword:00000005",
      "[HKEY_CURRENT_USER\\Software]",
      "\"OtherRoot\"=dword:00000006",
      sJunk,
  };
  const std::string sFile = "Windows Registry Editor Version 5.00\n\n"
                            "\"Orphan\"=dword:00000001\n"
                            "[HKEY_LOCAL_MACHINE\\Software\\Good]\n"
                            "\"Before\"=dword:00000001\n" +
                            vGarbage[0] + "\n" + vGarbage[1] + "\n\n" + vGarbage[2] + "\n" + vGarbage[3] + "\n" +
                            vGarbage[4] + "\n" + vGarbage[5] + "\n" + "\"After\"=\"ok\"\n\n" + vGarbage[6] + "\n" +
                            vGarbage[7] + "\n\n" + vGarbage[8] + "\n" + vGarbage[9] + "\n\n" +
                            "[HKEY_LOCAL_MACHINE\\Software\\Good2]\n" + vGarbage[10] + "\n" + "@=dword:00000002\n";
  writeFile(m_pathFile, sFile);

  FileRegistry reg = registry();
  std::optional<RegKey> key = reg.openKey("Software\\Good");
  const std::vector<std::string> vFirstRead = m_diag.lines();
  ASSERT_TRUE(key);
  // Values under a broken or foreign header must not leak into the key before it.
  ASSERT_EQ(key->values().size(), 2u);
  EXPECT_EQ(key->find("Before")->vData, (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(key->find("After")->vData, (Bytes{'o', 'k', 0}));
  ASSERT_TRUE(reg.openKey("Software\\Good2"));
  EXPECT_EQ(reg.openKey("Software\\Good2")->find("")->vData, (Bytes{2, 0, 0, 0}));
  EXPECT_EQ(reg.subKeyNames("Software"), (std::vector<std::string>{"Good", "Good2"}));

  // One report per line not understood and per read, naming the file and the line.
  EXPECT_EQ(m_diag.lines().size(), 4 * vFirstRead.size());
  ASSERT_EQ(vFirstRead.size(), 10u) << ::testing::PrintToString(vFirstRead);
  EXPECT_NE(vFirstRead[0].find(m_pathFile.string() + ":3:"), std::string::npos) << vFirstRead[0];  // the orphan
  EXPECT_NE(vFirstRead[1].find(":6: cannot parse 'this is not a registry line'"), std::string::npos) << vFirstRead[1];
  for (const auto& s : vFirstRead) {
    EXPECT_EQ(s.rfind("registry: ", 0), 0u) << s;
    EXPECT_EQ(s.find('\0'), std::string::npos);
  }

  // A write keeps every line it did not understand, and the file stays as readable.
  ASSERT_EQ(reg.setValue("Software\\Good", RegValue::dword("New", 3)), RegStatus::Ok);
  const std::string sAfter = readFile(m_pathFile);
  for (const auto& s : vGarbage) EXPECT_NE(sAfter.find(s + "\n"), std::string::npos) << ::testing::PrintToString(s);
  m_diag.clear();
  key = reg.openKey("Software\\Good");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->values().size(), 3u);
  EXPECT_EQ(m_diag.lines().size(), vFirstRead.size());
}

TEST_F(RegistryTest, RandomlyCorruptedFilesNeverBreakReadersOrWriters) {
  const std::string sValid =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"S\"=\"t\\\\x\"\r\n"
      "\"D\"=dword:0000001f\r\n\"H\"=hex(7):61,00,\\\r\n  62,00,00\r\n@=hex:01\r\n\r\n[HKEY_LOCAL_MACHINE\\B]\r\n";
  std::mt19937 rng(12345);
  for (int nRound = 0; nRound < 300; ++nRound) {
    std::string s = sValid;
    const int nEdits = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < nEdits && !s.empty(); ++i) {
      const std::size_t nPos = rng() % s.size();
      switch (rng() % 4) {
        case 0: s[nPos] = static_cast<char>(rng() % 256); break;
        case 1: s.erase(nPos, 1 + rng() % 8); break;
        case 2: s.insert(nPos, 1, "[]\"\\=@,:;\n\r\0x"[rng() % 14]); break;
        default: s.resize(nPos); break;
      }
    }
    writeFile(m_pathFile, s);
    FileRegistry reg = registry();
    (void)reg.openKey("Software\\A");
    (void)reg.subKeyNames("");
    const std::size_t nReports = m_diag.lines().size();
    ASSERT_EQ(reg.setValue("Software\\Added", RegValue::dword("N", static_cast<std::uint32_t>(nRound))), RegStatus::Ok)
        << ::testing::PrintToString(s);
    const std::optional<RegKey> added = reg.openKey("software\\added");
    ASSERT_TRUE(added) << ::testing::PrintToString(s);
    ASSERT_NE(added->find("N"), nullptr) << ::testing::PrintToString(s);
    EXPECT_EQ(added->find("N")->vData[0], static_cast<std::uint8_t>(nRound));
    m_diag.clear();
    // What the write kept reads back no worse than before.
    (void)reg.openKey("");
    EXPECT_LE(m_diag.lines().size(), nReports) << ::testing::PrintToString(s);
    m_diag.clear();
  }
}

// ---- several processes -----------------------------------------------------------

// Runs BODY in a child process; the child's exit code says whether it did all it should.
pid_t spawn(const std::function<bool()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    bool bOk = false;
    try {
      bOk = body();
    } catch (...) {
    }
    ::_exit(bOk ? 0 : 1);
  }
  return pid;
}

bool exitedCleanly(pid_t pid) {
  int nStatus = 0;
  return ::waitpid(pid, &nStatus, 0) == pid && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

TEST_F(RegistryTest, ConcurrentWritersLoseNoUpdate) {
  constexpr int kWriters = 4;
  constexpr int kValuesEach = 40;
  std::vector<pid_t> vPids;
  for (int w = 0; w < kWriters; ++w) {
    vPids.push_back(spawn([&, w] {
      CapturingDebugOutput diag;
      FileRegistry reg(m_pathFile.string(), diag);
      for (int i = 0; i < kValuesEach; ++i) {
        const std::string sName = "w" + std::to_string(w) + "v" + std::to_string(i);
        // Half the writers spell the key differently: still one key.
        const char* pKey = (w % 2) ? "SOFTWARE\\LOAD" : "Software\\Load";
        if (reg.setValue(pKey, RegValue::dword(sName, static_cast<std::uint32_t>(w * 1000 + i))) != RegStatus::Ok)
          return false;
      }
      return diag.lines().empty();
    }));
    ASSERT_GT(vPids.back(), 0);
  }
  for (pid_t pid : vPids) EXPECT_TRUE(exitedCleanly(pid));

  FileRegistry reg = registry();
  const std::optional<RegKey> key = reg.openKey("software\\load");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->values().size(), static_cast<std::size_t>(kWriters * kValuesEach));
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kValuesEach; ++i) {
      const RegValue* p = key->find("W" + std::to_string(w) + "V" + std::to_string(i));
      ASSERT_NE(p, nullptr) << w << "/" << i;
      EXPECT_EQ(p->vData, RegValue::dword("", static_cast<std::uint32_t>(w * 1000 + i)).vData);
    }
  }
  // One key, spelt as whichever writer came first spelt it.
  const std::vector<std::string> vTop = reg.subKeyNames("");
  ASSERT_EQ(vTop.size(), 1u);
  EXPECT_TRUE(vTop[0] == "Software" || vTop[0] == "SOFTWARE") << vTop[0];
  EXPECT_FALSE(fs::exists(m_pathFile.string() + ".tmp"));
  EXPECT_TRUE(m_diag.lines().empty());
}

TEST_F(RegistryTest, ReaderRacingAWriterAlwaysSeesACompleteFile) {
  constexpr int kRewrites = 150;
  // A large value makes a half-written file likely to be seen if writes were not atomic.
  const RegValue padding{"Padding", REG_BINARY, Bytes(30000, 0x5a)};
  {
    FileRegistry reg = registry();
    ASSERT_EQ(reg.setValue("Race", RegValue::text("Sentinel", "present")), RegStatus::Ok);
    ASSERT_EQ(reg.setValue("Race", padding), RegStatus::Ok);
    ASSERT_EQ(reg.setValue("Race", RegValue::dword("Counter", 0)), RegStatus::Ok);
    ASSERT_EQ(reg.setValue("Race\\Tail", RegValue::text("End", "last key")), RegStatus::Ok);
  }
  const pid_t pid = spawn([&] {
    CapturingDebugOutput diag;
    FileRegistry reg(m_pathFile.string(), diag);
    for (int i = 1; i <= kRewrites; ++i)
      if (reg.setValue("Race", RegValue::dword("Counter", static_cast<std::uint32_t>(i))) != RegStatus::Ok) return false;
    return true;
  });
  ASSERT_GT(pid, 0);
  // A failed assertion leaves the loop early: stop the writer before the
  // folder is removed, or it would create it again.
  struct ChildGuard {
    pid_t pid;
    bool bReaped = false;
    ~ChildGuard() {
      if (bReaped) return;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  } guard{pid};

  FileRegistry reg = registry();
  std::uint32_t nLast = 0;
  int nReads = 0;
  int nStatus = 0;
  bool bChildDone = false;
  while (!bChildDone) {
    bChildDone = guard.bReaped = ::waitpid(pid, &nStatus, WNOHANG) == pid;
    const std::optional<RegKey> key = reg.openKey("race");
    ++nReads;
    ASSERT_TRUE(key) << "read " << nReads;
    const RegValue* pSentinel = key->find("Sentinel");
    const RegValue* pCounter = key->find("Counter");
    const RegValue* pPadding = key->find("Padding");
    ASSERT_TRUE(pSentinel && pCounter && pPadding) << "read " << nReads;
    EXPECT_EQ(pPadding->vData, padding.vData);
    std::uint32_t n = 0;
    ASSERT_EQ(queryValue(*key, "Counter", &n, sizeof n), RegStatus::Ok);
    ASSERT_GE(n, nLast) << "the counter went back";
    ASSERT_LE(n, static_cast<std::uint32_t>(kRewrites));
    nLast = n;
    ASSERT_EQ(reg.subKeyNames("Race"), (std::vector<std::string>{"Tail"})) << "read " << nReads;
  }
  EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
  EXPECT_EQ(nLast, static_cast<std::uint32_t>(kRewrites));
  EXPECT_GT(nReads, 10);
  EXPECT_TRUE(m_diag.lines().empty()) << m_diag.lines().front();
}

// ---- the reg command -------------------------------------------------------------

struct RunResult {
  int nExit = -1;
  std::string sOut;
  std::string sErr;
};

class RegCommandTest : public RegistryTest {
 protected:
  static std::string quoted(const std::string& s) {
    std::string sOut = "'";
    for (char c : s) sOut += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return sOut + "'";
  }
  // Runs reg with ARGS against this test's machine folder, feeding INPUT on stdin.
  RunResult run(const std::vector<std::string>& vArgs, const std::string& sInput = "") {
    const fs::path pathIn = m_pathDir / "stdin", pathOut = m_pathDir / "stdout", pathErr = m_pathDir / "stderr";
    writeFile(pathIn, sInput);
    std::string sCmd = "MACHINE_DIR=" + quoted(m_pathDir.string()) + " DEBUG_OUTPUT=" +
                       quoted((m_pathDir / "debug.log").string()) + " " + quoted(REG_EXE);
    for (const auto& s : vArgs) sCmd += " " + quoted(s);
    sCmd += " <" + quoted(pathIn.string()) + " >" + quoted(pathOut.string()) + " 2>" + quoted(pathErr.string());
    RunResult r;
    const int nStatus = std::system(sCmd.c_str());
    r.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    r.sOut = readFile(pathOut);
    r.sErr = readFile(pathErr);
    return r;
  }
};

constexpr const char* kDone = "The operation completed successfully.\n";
constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.\n";

TEST_F(RegCommandTest, AddQueryDeleteAndExport) {
  const std::string sKey = "HKLM\\SOFTWARE\\Parlantis\\Server";
  struct AddCase {
    std::vector<std::string> vArgs;
    RegValue expected;
  };
  const std::vector<AddCase> vAdds = {
      {{"/v", "LogFileEnabled", "/t", "REG_DWORD", "/d", "1"}, RegValue::dword("LogFileEnabled", 1)},
      {{"/v", "LogFileFormat", "/t", "reg_dword", "/d", "0xFFFFFFFF"}, RegValue::dword("LogFileFormat", 0xFFFFFFFFu)},
      {{"/v", "LogFileFolderPath", "/d", "C:\\logs\\"}, RegValue::text("LogFileFolderPath", "C:\\logs\\")},
      {{"/v", "Exp", "/t", "REG_EXPAND_SZ", "/d", "%TEMP%"}, RegValue::text("Exp", "%TEMP%", REG_EXPAND_SZ)},
      {{"/v", "Bin", "/t", "REG_BINARY", "/d", "00aBfF"}, RegValue{"Bin", REG_BINARY, {0x00, 0xab, 0xff}}},
      {{"/v", "Multi", "/t", "REG_MULTI_SZ", "/d", "a\\0bc"},
       RegValue{"Multi", REG_MULTI_SZ, bytesOf(std::string_view("a\0bc\0\0", 6))}},
      {{"/v", "Q", "/t", "REG_QWORD", "/d", "0x0102030405060708"}, RegValue{"Q", REG_QWORD, {8, 7, 6, 5, 4, 3, 2, 1}}},
      {{"/ve", "/d", "dflt"}, RegValue::text("", "dflt")},
  };
  for (const auto& c : vAdds) {
    std::vector<std::string> vArgs = {"add", sKey};
    vArgs.insert(vArgs.end(), c.vArgs.begin(), c.vArgs.end());
    const RunResult r = run(vArgs);
    EXPECT_EQ(r.nExit, 0) << c.expected.sName << r.sErr;
    EXPECT_EQ(r.sOut, kDone);
  }
  ASSERT_EQ(run({"add", "hkey_local_machine\\software\\parlantis\\server\\Sub"}).nExit, 0);
  {
    FileRegistry reg = registry();
    const std::optional<RegKey> key = reg.openKey("Software\\Parlantis\\Server");
    ASSERT_TRUE(key);
    for (const auto& c : vAdds) {
      const RegValue* p = key->find(c.expected.sName);
      ASSERT_NE(p, nullptr) << c.expected.sName;
      EXPECT_EQ(p->nType, c.expected.nType) << c.expected.sName;
      EXPECT_EQ(p->vData, c.expected.vData) << c.expected.sName;
    }
  }

  RunResult r = run({"query", "hklm\\software\\parlantis\\server"});
  EXPECT_EQ(r.nExit, 0);
  EXPECT_EQ(r.sOut,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Parlantis\\Server\n"
            "    LogFileEnabled    REG_DWORD    0x1\n"
            "    LogFileFormat    REG_DWORD    0xffffffff\n"
            "    LogFileFolderPath    REG_SZ    C:\\logs\\\n"
            "    Exp    REG_EXPAND_SZ    %TEMP%\n"
            "    Bin    REG_BINARY    00ABFF\n"
            "    Multi    REG_MULTI_SZ    a\\0bc\n"
            "    Q    REG_QWORD    0x102030405060708\n"
            "    (Default)    REG_SZ    dflt\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Parlantis\\Server\\Sub\n");
  r = run({"query", sKey, "/v", "logfileenabled"});
  EXPECT_EQ(r.nExit, 0);
  EXPECT_EQ(r.sOut, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Parlantis\\Server\n    LogFileEnabled    REG_DWORD    0x1\n\n");
  r = run({"query", "HKLM\\Software", "/s"});
  EXPECT_EQ(r.nExit, 0);
  EXPECT_NE(r.sOut.find("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Parlantis\\Server\\Sub\n"), std::string::npos) << r.sOut;
  EXPECT_NE(r.sOut.find("    Bin    REG_BINARY    00ABFF\n"), std::string::npos) << r.sOut;

  // Overwriting asks unless /f; only "yes" goes ahead, end of input cancels.
  const std::vector<std::string> vOverwrite = {"add", sKey, "/v", "LogFileEnabled", "/t", "REG_DWORD", "/d", "2"};
  for (const char* pAnswer : {"", "no\n", "n\n"}) {
    r = run(vOverwrite, pAnswer);
    EXPECT_EQ(r.nExit, 1) << pAnswer;
    EXPECT_EQ(r.sOut.rfind("Value LogFileEnabled exists, overwrite(Yes/No)?", 0), 0u) << r.sOut;
    EXPECT_NE(r.sOut.find("The operation was cancelled by the user.\n"), std::string::npos) << r.sOut;
    EXPECT_EQ(r.sOut.find("completed successfully"), std::string::npos) << r.sOut;
  }
  EXPECT_EQ(run({"query", sKey, "/v", "LogFileEnabled"}).sOut.find("0x1\n") != std::string::npos, true);
  r = run(vOverwrite, "Yes\n");
  EXPECT_EQ(r.nExit, 0);
  EXPECT_NE(r.sOut.find(kDone), std::string::npos);
  EXPECT_NE(run({"query", sKey, "/v", "LogFileEnabled"}).sOut.find("REG_DWORD    0x2\n"), std::string::npos);

  // Export writes a file this store reads back whole.
  const fs::path pathExport = m_pathDir / "export.reg";
  r = run({"export", "HKLM\\Software\\Parlantis", pathExport.string()});
  ASSERT_EQ(r.nExit, 0) << r.sErr;
  {
    CapturingDebugOutput diag;
    FileRegistry exported(pathExport.string(), diag);
    FileRegistry reg = registry();
    EXPECT_EQ(exported.openKey("Software\\Parlantis\\Server")->values().size(), vAdds.size());
    EXPECT_EQ(exported.openKey("Software\\Parlantis\\Server")->find("Bin")->vData,
              reg.openKey("Software\\Parlantis\\Server")->find("Bin")->vData);
    EXPECT_TRUE(exported.openKey("Software\\Parlantis\\Server\\Sub"));
    EXPECT_TRUE(diag.lines().empty());
  }
  const std::string sExported = readFile(pathExport);
  EXPECT_EQ(sExported.rfind("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Parlantis]\n", 0), 0u);
  r = run({"export", "HKLM\\Software\\Parlantis\\Server\\Sub", pathExport.string()}, "no\n");
  EXPECT_EQ(r.nExit, 1);
  EXPECT_EQ(readFile(pathExport), sExported);
  EXPECT_EQ(run({"export", "HKLM\\Software\\Parlantis\\Server\\Sub", pathExport.string(), "/y"}).nExit, 0);
  EXPECT_EQ(readFile(pathExport).find("Bin"), std::string::npos);

  // Deletes.
  r = run({"delete", sKey, "/v", "Bin"}, "");
  EXPECT_EQ(r.nExit, 1);
  EXPECT_NE(r.sOut.find("The operation was cancelled by the user."), std::string::npos);
  EXPECT_EQ(run({"delete", sKey, "/v", "BIN", "/f"}).sOut, kDone);
  EXPECT_EQ(run({"delete", sKey, "/ve"}, "yes\n").nExit, 0);
  EXPECT_EQ(run({"delete", sKey, "/va", "/f"}).nExit, 0);
  {
    FileRegistry reg = registry();
    ASSERT_TRUE(reg.openKey("Software\\Parlantis\\Server"));
    EXPECT_TRUE(reg.openKey("Software\\Parlantis\\Server")->values().empty());
    EXPECT_TRUE(reg.openKey("Software\\Parlantis\\Server\\Sub"));
  }
  EXPECT_EQ(run({"delete", "HKLM\\Software\\Parlantis", "/f"}).nExit, 0);
  r = run({"query", sKey});
  EXPECT_EQ(r.nExit, 1);
  EXPECT_EQ(r.sErr, kNotFound);
}

TEST_F(RegCommandTest, RejectsBadArgumentsAndMissingKeysWithTheWindowsMessages) {
  ASSERT_EQ(run({"add", "HKLM\\Software\\X", "/v", "Present", "/d", "1"}).nExit, 0);
  const std::string sBefore = readFile(m_pathFile);
  struct ErrorCase {
    std::vector<std::string> vArgs;
    std::string sErr;
  };
  const std::string sBadAdd = "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n";
  const std::vector<ErrorCase> vCases = {
      {{}, "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n"},
      {{"frobnicate", "HKLM\\Software"}, "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n"},
      {{"query"}, "ERROR: Invalid syntax.\nType \"REG QUERY /?\" for usage.\n"},
      {{"query", "HKLM\\Software", "/f"}, "ERROR: Invalid syntax.\nType \"REG QUERY /?\" for usage.\n"},
      {{"query", "HKLM\\Software", "/v"}, "ERROR: Invalid syntax.\nType \"REG QUERY /?\" for usage.\n"},
      {{"add", "HKLM\\Software\\X", "/v", "a", "/ve"}, sBadAdd},
      {{"add", "HKLM\\Software\\X", "/v", "a", "/t", "REG_DWORD", "/d", "4294967296"}, sBadAdd},
      {{"add", "HKLM\\Software\\X", "/v", "a", "/t", "REG_DWORD", "/d", "0x100000000"}, sBadAdd},
      {{"add", "HKLM\\Software\\X", "/v", "a", "/t", "REG_DWORD", "/d", "-1"}, sBadAdd},
      {{"add", "HKLM\\Software\\X", "/v", "a", "/t", "REG_DWORD", "/d", "12abc"}, sBadAdd},
      {{"add", "HKLM\\Software\\X", "/v", "a", "/t", "REG_BINARY", "/d", "abc"}, sBadAdd},
      {{"add", "HKLM\\Software\\X", "/v", "a", "/t", "REG_BINARY", "/d", "zz"}, sBadAdd},
      {{"add", "HKLM\\Software\\X", "/v", "a", "/t", "REG_WHATEVER", "/d", "1"}, sBadAdd},
      {{"delete", "HKLM\\Software\\X", "/v", "a", "/va"},
       "ERROR: Invalid syntax.\nType \"REG DELETE /?\" for usage.\n"},
      {{"export", "HKLM\\Software\\X"}, "ERROR: Invalid syntax.\nType \"REG EXPORT /?\" for usage.\n"},
      {{"query", "HKCU\\Software"}, "ERROR: Invalid key name.\nType \"REG QUERY /?\" for usage.\n"},
      {{"add", "HKEY_CURRENT_USER\\Software", "/v", "a", "/d", "1", "/f"},
       "ERROR: Invalid key name.\nType \"REG ADD /?\" for usage.\n"},
      {{"query", "Software\\X"}, "ERROR: Invalid key name.\nType \"REG QUERY /?\" for usage.\n"},
      {{"query", "HKLM\\Software\\Missing"}, kNotFound},
      {{"query", "HKLM\\Software\\X", "/v", "Absent"}, kNotFound},
      {{"delete", "HKLM\\Software\\Missing", "/f"}, kNotFound},
      {{"delete", "HKLM\\Software\\X", "/v", "Absent", "/f"}, kNotFound},
      {{"export", "HKLM\\Software\\Missing", (m_pathDir / "x.reg").string()}, kNotFound},
  };
  for (const auto& c : vCases) {
    const RunResult r = run(c.vArgs);
    const std::string sLabel = ::testing::PrintToString(c.vArgs);
    EXPECT_EQ(r.nExit, 1) << sLabel;
    EXPECT_EQ(r.sErr, c.sErr) << sLabel;
    EXPECT_EQ(r.sOut.find("completed successfully"), std::string::npos) << sLabel;
  }
  EXPECT_EQ(readFile(m_pathFile), sBefore);
  EXPECT_FALSE(fs::exists(m_pathDir / "x.reg"));

  // The largest number that fits is accepted.
  EXPECT_EQ(run({"add", "HKLM\\Software\\X", "/v", "a", "/t", "REG_DWORD", "/d", "4294967295"}).nExit, 0);
  // Usage is help, not an error.
  for (const std::vector<std::string>& vArgs : std::vector<std::vector<std::string>>{
           {"/?"}, {"--help"}, {"query", "/?"}, {"add", "--help"}, {"delete", "/?"}, {"export", "/?"}}) {
    const RunResult r = run(vArgs);
    EXPECT_EQ(r.nExit, 0) << vArgs[0];
    EXPECT_NE(r.sOut.find("REG "), std::string::npos) << vArgs[0];
    EXPECT_TRUE(r.sErr.empty()) << vArgs[0];
  }
}

}  // namespace
}  // namespace win
