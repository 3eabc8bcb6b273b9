// Encrypted transcripts: the key container, the key line in every part,
// encrypted ids and texts that decrypt to exactly the clear transcript, and
// nothing written in clear when encryption fails.
#include <sys/stat.h>

#include "PluginFixture.h"
#include "xmllog/TranscriptDecrypt.h"

namespace chatwarden::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kStem = "prl5_00000000-0000-4000-8000-000000000001";

// Breaks one provider call, as a failing provider would.
class BrokenProvider : public win::ForwardingCryptoProvider {
 public:
  using ForwardingCryptoProvider::ForwardingCryptoProvider;
  bool bFailEncrypt = false;
  bool bFailSessionKey = false;
  bool CryptEncrypt(win::HCRYPTKEY hKey, win::HCRYPTHASH hHash, bool bFinal, win::DWORD nFlags, win::BYTE* pData,
                    win::DWORD* pLen, win::DWORD nBufLen) override {
    if (bFailEncrypt) return failWith(win::NTE_BAD_KEY, "encryption broken for the test");
    return ForwardingCryptoProvider::CryptEncrypt(hKey, hHash, bFinal, nFlags, pData, pLen, nBufLen);
  }
  bool CryptGenKey(win::HCRYPTPROV hProv, win::ALG_ID nAlg, win::DWORD nFlags, win::HCRYPTKEY* phKey) override {
    if (bFailSessionKey && nAlg == win::CALG_RC4) return failWith(win::NTE_FAIL, "no session key for the test");
    return ForwardingCryptoProvider::CryptGenKey(hProv, nAlg, nFlags, phKey);
  }
};

class EncryptionTest : public PluginFixture {
 protected:
  // Loaded, not yet initialised: some tests expect initialisation to fail.
  void loadEncrypting(bool bEncrypt, std::uint32_t nFormat = LOG_FORMAT_XML, std::uint32_t nInterval = 0) {
    setText("LogFileEncrypt", bEncrypt ? "1" : "0");
    loadActive(nFormat, nInterval);
  }
  // One chat with every kind of value: ids with markup and quotes, a scope,
  // a message to all, a text with "]]>" and a line break, an image.
  void playChat() {
    ChatEntity alice = entity("CN=Alice \"A\" O'Neil/O=Acme & Co");
    ChatEntity bob = entity("CN=Bob <b>/O=Acme");
    ChatEntity scope = entity("PLACE", ST_DDA_ENTITY_SESSION);
    ASSERT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_OK);
    ASSERT_EQ(stDdaClJoiningSession("s1", &alice, &scope), ST_DDA_API_OK);
    ASSERT_EQ(stDdaClJoiningSession("s1", &bob, nullptr), ST_DDA_API_OK);
    ASSERT_EQ(stDdaClSessionMsg("s1", &alice, 9, "a]]>b\nend", &bob), ST_DDA_API_OK);
    ASSERT_EQ(stDdaClSessionMsg("s1", &bob, 0, "", nullptr), ST_DDA_API_OK);
    const std::string sImage = "..data..imageGIF89a..";
    ASSERT_EQ(stDdaClSessionDataMsg("s1", nullptr, kImageDataType, 0, static_cast<std::uint32_t>(sImage.size()),
                                    reinterpret_cast<const unsigned char*>(sImage.data()), nullptr),
              ST_DDA_API_OK);
    machine.clock.advance(61);
    ASSERT_EQ(stDdaClSessionMsg("s1", &bob, 5, "later", &alice), ST_DDA_API_OK);
    ASSERT_EQ(stDdaClLeavingSession("s1", &bob), ST_DDA_API_OK);
    ASSERT_EQ(stDdaClSessionEnded("s1"), ST_DDA_API_OK);
  }
  // Every finished XML file of the log folder, by name.
  std::map<std::string, std::string> xmlFiles() const {
    std::map<std::string, std::string> m;
    for (const auto& s : logFiles())
      if (s.ends_with(".xml")) m[s] = logFile(s);
    return m;
  }
  std::string keyLine(const std::string& sXml) const {
    const auto n = sXml.find("<ibm:crypto key=\"");
    return n == std::string::npos ? std::string() : sXml.substr(n, sXml.find("\r\n", n) - n);
  }
};

TEST_F(EncryptionTest, EncryptedPartsDecryptToTheClearTranscript) {
  loadEncrypting(false, LOG_FORMAT_XML, 1);
  ASSERT_EQ(init(), ST_DDA_API_OK);
  playChat();
  const auto mClear = xmlFiles();
  ASSERT_EQ(mClear.size(), 2u);  // start and final

  std::filesystem::remove_all(dir / "logs");
  std::filesystem::create_directories(dir / "logs");
  machine.uuid.m_nNext = 1;
  machine.clock.set(win::FakeClock().now());
  loadEncrypting(true, LOG_FORMAT_XML, 1);
  ASSERT_EQ(init(), ST_DDA_API_OK);
  playChat();
  const auto mEncrypted = xmlFiles();
  ASSERT_EQ(mEncrypted.size(), 2u);

  EXPECT_THAT(mEncrypted.at(std::string(kStem) + "_start.xml"),
              HasSubstr("<ibm:image file=\"" + std::string(kStem) + "_1.gif\" size=\"8\"/>"));
  std::string sKeyLine;
  for (const auto& [sName, sXml] : mEncrypted) {
    SCOPED_TRACE(sName);
    EXPECT_THAT(sXml, Not(HasSubstr("Alice")));
    EXPECT_THAT(sXml, Not(HasSubstr("later")));
    // Every part of the chat carries the same key.
    if (sKeyLine.empty()) sKeyLine = keyLine(sXml);
    EXPECT_EQ(keyLine(sXml), sKeyLine);
    std::string sClear, sError;
    ASSERT_TRUE(decryptTranscript(sXml, machine.crypto, sClear, sError)) << sError;
    EXPECT_EQ(sClear, mClear.at(sName));
  }
  // 268 bytes of SIMPLEBLOB, two characters each.
  EXPECT_EQ(sKeyLine.size(), std::string("<ibm:crypto key=\"\"/>").size() + 2 * 268);
}

TEST_F(EncryptionTest, ValuesAreTwiceTheirLengthPlusTerminatorInHex) {
  loadEncrypting(true);
  ASSERT_EQ(init(), ST_DDA_API_OK);
  ASSERT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_OK);
  ChatEntity a = entity("abc");
  ASSERT_EQ(stDdaClSessionMsg("s1", &a, 0, "", nullptr), ST_DDA_API_OK);
  const std::string sXml = logFile(std::string(kStem) + ".active_xml");
  // "abc" + NUL: 8 characters; the empty text + NUL: 2; "All" + NUL: 8.
  EXPECT_THAT(sXml, testing::ContainsRegex(" <from un=\"[0-9A-F]{8}\"/>"));
  EXPECT_THAT(sXml, testing::ContainsRegex(" <to un=\"[0-9A-F]{8}\"/>"));
  EXPECT_THAT(sXml, testing::ContainsRegex(" <txt><!\\[CDATA\\[[0-9A-F]{2}\\]\\]></txt>"));

  std::string s;
  const unsigned char aBytes[] = {0x00, 0xAB, 0x7F};
  ASSERT_TRUE(plugin().resource().Bin2ASCII(aBytes, 3, s));
  EXPECT_EQ(s, "00AB7F");
}

TEST_F(EncryptionTest, ContainerIsCreatedOnceAndTheSessionKeyIsNewPerLoad) {
  loadEncrypting(true);
  ASSERT_EQ(init(), ST_DDA_API_OK);
  for (const char* p : {"->Created new 'Parlantis' key container", "->Created new signature key pair",
                        "->New exchange key pair created"})
    EXPECT_TRUE(traced(p)) << p;
  ASSERT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_OK);
  const std::string sFirstKey = keyLine(logFile(std::string(kStem) + ".active_xml"));
  stDdaClTerminate();

  std::filesystem::remove(traceFile());
  loadEncrypting(true);
  ASSERT_EQ(init(), ST_DDA_API_OK);
  for (const char* p : {"->Key container 'Parlantis' available", "->Signature key available", "->Exchange key available"})
    EXPECT_TRUE(traced(p)) << p;
  EXPECT_FALSE(traced("->Created new signature key pair"));
  ASSERT_EQ(stDdaClSessionStarted("s2"), ST_DDA_API_OK);
  const std::string sSecondKey = keyLine(logFile("prl5_00000000-0000-4000-8000-000000000002.active_xml"));
  EXPECT_FALSE(sFirstKey.empty());
  EXPECT_NE(sFirstKey, sSecondKey);
}

TEST_F(EncryptionTest, PlainTextTranscriptStaysClear) {
  loadEncrypting(true, LOG_FORMAT_TXT | LOG_FORMAT_XML);
  ASSERT_EQ(init(), ST_DDA_API_OK);
  ChatEntity a = entity("CN=Alice/O=Acme");
  ASSERT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_OK);
  ASSERT_EQ(stDdaClSessionMsg("s1", &a, 5, "hello", nullptr), ST_DDA_API_OK);
  ASSERT_EQ(stDdaClSessionEnded("s1"), ST_DDA_API_OK);
  EXPECT_THAT(logFile(std::string(kStem) + ".txt"), HasSubstr("User 'CN=Alice/O=Acme' to all: hello"));
  EXPECT_THAT(logFile(std::string(kStem) + "_single.xml"), Not(HasSubstr("hello")));
}

TEST_F(EncryptionTest, AValueThatCannotBeEncryptedIsNotWrittenAtAll) {
  BrokenProvider broken(machine.crypto);
  machine.pCryptoOverride = &broken;
  loadEncrypting(true);
  ASSERT_EQ(init(), ST_DDA_API_OK);
  ASSERT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_OK);
  const std::string sBefore = logFile(std::string(kStem) + ".active_xml");
  broken.bFailEncrypt = true;
  ChatEntity a = entity("CN=Alice/O=Acme");
  EXPECT_EQ(stDdaClSessionMsg("s1", &a, 6, "secret", nullptr), ST_DDA_API_LOG_FILE_ERROR);
  EXPECT_EQ(stDdaClJoiningSession("s1", &a, nullptr), ST_DDA_API_LOG_FILE_ERROR);
  EXPECT_TRUE(traced("->ERROR: Unable to encrypt text"));
  EXPECT_EQ(logFile(std::string(kStem) + ".active_xml"), sBefore);
  machine.pCryptoOverride = nullptr;
  unloadPlugin();
}

TEST_F(EncryptionTest, FailedStartOfEncryptionWritesNoXmlAtAll) {
  BrokenProvider broken(machine.crypto);
  broken.bFailSessionKey = true;
  machine.pCryptoOverride = &broken;
  loadEncrypting(true);
  EXPECT_EQ(init(), ST_DDA_API_INIT_FAILED);
  EXPECT_STREQ(m_aMessage, "Velkora Parlantis FATAL ERROR: Unable to initialize Crypto API, terminating.");
  // The plug-in stays active; its sessions must not write names in clear.
  ChatEntity a = entity("CN=Alice/O=Acme");
  EXPECT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_LOG_FILE_ERROR);
  EXPECT_EQ(stDdaClSessionMsg("s1", &a, 6, "secret", nullptr), ST_DDA_API_LOG_FILE_ERROR);
  EXPECT_EQ(stDdaClSessionEnded("s1"), ST_DDA_API_LOG_FILE_ERROR);
  EXPECT_THAT(logFiles(), ElementsAre());
  machine.pCryptoOverride = nullptr;
  unloadPlugin();
}

TEST_F(EncryptionTest, ContainerWithKeysReadableByOthersIsRefused) {
  loadEncrypting(true);
  ASSERT_EQ(init(), ST_DDA_API_OK);
  stDdaClTerminate();
  const std::string sKeyFile = machine.keys / "Parlantis/exchange.pem";
  ASSERT_TRUE(testsupport::fileExists(sKeyFile));
  ASSERT_EQ(::chmod(sKeyFile.c_str(), 0644), 0);
  loadEncrypting(true);
  EXPECT_EQ(init(), ST_DDA_API_INIT_FAILED);
  EXPECT_TRUE(traced("->ERROR: Unable to use 'Parlantis' key container: Key file " + sKeyFile +
                     " is readable by group or others (mode 0644); refusing to use it until it is restricted to its "
                     "owner (chmod 600)"));
  // The refused key is left as it was, not replaced.
  struct stat st {};
  ASSERT_EQ(::stat(sKeyFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

}  // namespace
}  // namespace chatwarden::test
