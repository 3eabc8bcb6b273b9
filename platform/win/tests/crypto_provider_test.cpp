#include "win/crypto_provider.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace win {
namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<BYTE>;

constexpr DWORD kMachineFlags = CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
constexpr DWORD kSessionKeyFlags = 0x800000 | CRYPT_EXPORTABLE;  // 128 bits, exportable

Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

// The text with its terminating NUL, as the plug-in encrypts a value.
Bytes valueOf(std::string_view s) {
  Bytes v = bytesOf(s);
  v.push_back(0);
  return v;
}

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

unsigned modeOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

// OpenSSL used directly, independently of the provider, to check what it
// produced: a library context of the test's own with RC4 available.
class Ssl {
 public:
  static Ssl& get() {
    static Ssl* const s_p = new Ssl;
    return *s_p;
  }

  Bytes rc4(const Bytes& vKey, const Bytes& vData) {
    EVP_CIPHER* pCipher = EVP_CIPHER_fetch(m_pLib, "RC4", nullptr);
    EVP_CIPHER_CTX* pCtx = EVP_CIPHER_CTX_new();
    Bytes vOut(vData.size());
    int nOut = 0;
    const bool bOk = pCipher && pCtx && EVP_EncryptInit_ex2(pCtx, pCipher, vKey.data(), nullptr, nullptr) &&
                     EVP_EncryptUpdate(pCtx, vOut.data(), &nOut, vData.data(), static_cast<int>(vData.size()));
    EVP_CIPHER_CTX_free(pCtx);
    EVP_CIPHER_free(pCipher);
    EXPECT_TRUE(bOk);
    return vOut;
  }

  std::shared_ptr<EVP_PKEY> readPrivateKey(const fs::path& p) {
    BIO* pBio = BIO_new_file(p.c_str(), "r");
    EVP_PKEY* pKey = pBio ? PEM_read_bio_PrivateKey_ex(pBio, nullptr, nullptr, nullptr, m_pLib, nullptr) : nullptr;
    BIO_free(pBio);
    EXPECT_NE(pKey, nullptr) << p;
    return std::shared_ptr<EVP_PKEY>(pKey, EVP_PKEY_free);
  }

  // PKCS#1 v1.5, big-endian ciphertext as OpenSSL writes it.
  Bytes rsa(EVP_PKEY* pKey, const Bytes& vIn, bool bEncrypt) {
    EVP_PKEY_CTX* pCtx = EVP_PKEY_CTX_new_from_pkey(m_pLib, pKey, nullptr);
    Bytes vOut(512);
    size_t nOut = vOut.size();
    bool bOk = pCtx && (bEncrypt ? EVP_PKEY_encrypt_init(pCtx) : EVP_PKEY_decrypt_init(pCtx)) > 0 &&
               EVP_PKEY_CTX_set_rsa_padding(pCtx, RSA_PKCS1_PADDING) > 0;
    bOk = bOk && (bEncrypt ? EVP_PKEY_encrypt(pCtx, vOut.data(), &nOut, vIn.data(), vIn.size())
                           : EVP_PKEY_decrypt(pCtx, vOut.data(), &nOut, vIn.data(), vIn.size())) > 0;
    EVP_PKEY_CTX_free(pCtx);
    EXPECT_TRUE(bOk);
    vOut.resize(bOk ? nOut : 0);
    return vOut;
  }

  Bytes modulus(EVP_PKEY* pKey) {
    BIGNUM* pN = nullptr;
    EXPECT_TRUE(EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_RSA_N, &pN));
    Bytes v(static_cast<size_t>(BN_num_bytes(pN)));
    BN_bn2bin(pN, v.data());
    BN_free(pN);
    return v;
  }

 private:
  Ssl() {
    m_pLib = OSSL_LIB_CTX_new();
    OSSL_PROVIDER_load(m_pLib, "default");
    OSSL_PROVIDER_load(m_pLib, "legacy");
  }
  OSSL_LIB_CTX* m_pLib;
};

// Each test has its own machine folder; the key store is KEYS below it.
class CryptProvider : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string sTemplate = (fs::temp_directory_path() / "cryptXXXXXX").string();
    ASSERT_NE(::mkdtemp(sTemplate.data()), nullptr);
    m_pathDir = sTemplate;
    m_pathStore = m_pathDir / "keys";
    m_pProvider = std::make_unique<OpenSslCryptoProvider>(m_pathStore.string());
  }
  void TearDown() override {
    m_pProvider.reset();
    fs::remove_all(m_pathDir);
  }

  fs::path containerDir() const { return m_pathStore / "Parlantis"; }
  fs::path keyFile(DWORD nSpec) const {
    return containerDir() / (nSpec == AT_SIGNATURE ? "signature.pem" : "exchange.pem");
  }

  // The chat logging plug-in's sequence: open the container, create it
  // when missing.
  static HCRYPTPROV openOrCreate(ICryptoProvider& prov) {
    HCRYPTPROV h = 0;
    if (prov.CryptAcquireContext(&h, "Parlantis", MS_ENHANCED_PROV, PROV_RSA_FULL, kMachineFlags)) return h;
    EXPECT_EQ(ICryptoProvider::lastError(), NTE_BAD_KEYSET);
    EXPECT_TRUE(prov.CryptAcquireContext(&h, "Parlantis", MS_ENHANCED_PROV, PROV_RSA_FULL,
                                         kMachineFlags | CRYPT_NEWKEYSET))
        << ICryptoProvider::lastErrorText();
    return h;
  }
  // Gets pair NSPEC, generating it when missing.
  static HCRYPTKEY userKey(ICryptoProvider& prov, HCRYPTPROV hProv, DWORD nSpec) {
    HCRYPTKEY hKey = 0;
    if (prov.CryptGetUserKey(hProv, nSpec, &hKey)) return hKey;
    EXPECT_EQ(ICryptoProvider::lastError(), NTE_NO_KEY);
    EXPECT_TRUE(prov.CryptGenKey(hProv, nSpec, 0, &hKey)) << ICryptoProvider::lastErrorText();
    return hKey;
  }
  static Bytes exportBlob(ICryptoProvider& prov, HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD nType) {
    DWORD nLen = 0;
    EXPECT_TRUE(prov.CryptExportKey(hKey, hExpKey, nType, 0, nullptr, &nLen)) << ICryptoProvider::lastErrorText();
    Bytes v(nLen);
    EXPECT_TRUE(prov.CryptExportKey(hKey, hExpKey, nType, 0, v.data(), &nLen)) << ICryptoProvider::lastErrorText();
    v.resize(nLen);
    return v;
  }
  static Bytes encryptValue(ICryptoProvider& prov, HCRYPTKEY hKey, Bytes v, bool bFinal = true) {
    DWORD nLen = static_cast<DWORD>(v.size());
    EXPECT_TRUE(prov.CryptEncrypt(hKey, 0, bFinal, 0, v.data(), &nLen, nLen)) << ICryptoProvider::lastErrorText();
    EXPECT_EQ(nLen, v.size());
    return v;
  }
  static Bytes decryptValue(ICryptoProvider& prov, HCRYPTKEY hKey, Bytes v) {
    DWORD nLen = static_cast<DWORD>(v.size());
    EXPECT_TRUE(prov.CryptDecrypt(hKey, 0, true, 0, v.data(), &nLen)) << ICryptoProvider::lastErrorText();
    return v;
  }

  // A SIMPLEBLOB built with OpenSSL alone around chosen key bytes.
  Bytes simpleBlobOf(const Bytes& vKey) {
    auto pPair = Ssl::get().readPrivateKey(keyFile(AT_KEYEXCHANGE));
    const Bytes vCipher = Ssl::get().rsa(pPair.get(), vKey, true);
    Bytes vBlob = {0x01, 0x02, 0x00, 0x00, 0x01, 0x68, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00};
    vBlob.insert(vBlob.end(), vCipher.rbegin(), vCipher.rend());
    return vBlob;
  }

  fs::path m_pathDir;
  fs::path m_pathStore;
  std::unique_ptr<OpenSslCryptoProvider> m_pProvider;
};

TEST_F(CryptProvider, ContainerIsMissingUntilCreatedOnceThenFound) {
  HCRYPTPROV h = 0;
  EXPECT_FALSE(m_pProvider->CryptAcquireContext(&h, "Parlantis", MS_ENHANCED_PROV, PROV_RSA_FULL, kMachineFlags));
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_BAD_KEYSET);
  EXPECT_NE(ICryptoProvider::lastErrorText().find("'Parlantis' does not exist"), std::string::npos)
      << ICryptoProvider::lastErrorText();
  EXPECT_FALSE(fs::exists(containerDir()));

  ASSERT_TRUE(m_pProvider->CryptAcquireContext(&h, "Parlantis", MS_ENHANCED_PROV, PROV_RSA_FULL,
                                               kMachineFlags | CRYPT_NEWKEYSET))
      << ICryptoProvider::lastErrorText();
  EXPECT_NE(h, 0u);
  EXPECT_EQ(modeOf(containerDir()), 0700u);

  HCRYPTPROV hAgain = 0;
  EXPECT_FALSE(m_pProvider->CryptAcquireContext(&hAgain, "Parlantis", MS_ENHANCED_PROV, PROV_RSA_FULL,
                                                kMachineFlags | CRYPT_NEWKEYSET));
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_EXISTS);

  // Another instance (another process's view) finds it; the provider name may be left out.
  OpenSslCryptoProvider other(m_pathStore.string());
  EXPECT_TRUE(other.CryptAcquireContext(&hAgain, "Parlantis", nullptr, PROV_RSA_FULL, kMachineFlags))
      << ICryptoProvider::lastErrorText();
  EXPECT_TRUE(other.CryptReleaseContext(hAgain, 0));
  EXPECT_TRUE(m_pProvider->CryptReleaseContext(h, 0));
  EXPECT_FALSE(m_pProvider->CryptReleaseContext(h, 0));
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_BAD_UID);
}

TEST_F(CryptProvider, AcquireRejectsWhatItCannotServe) {
  struct Row {
    const char* szContainer;
    const char* szProvider;
    DWORD nType;
    DWORD nFlags;
    DWORD nError;
  };
  const Row aRows[] = {
      {"Parlantis", "Microsoft Base Cryptographic Provider v1.0", PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_KEYSET_NOT_DEF},
      {"Parlantis", MS_ENHANCED_PROV, 24, CRYPT_NEWKEYSET, NTE_PROV_TYPE_NO_MATCH},
      {"Parlantis", MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_NEWKEYSET | 0x10, NTE_BAD_FLAGS},
      {"../escaped", MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
      {"a/b", MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
      {"..", MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
      {"", MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
      {nullptr, MS_ENHANCED_PROV, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
  };
  for (const Row& row : aRows) {
    SCOPED_TRACE(row.szContainer ? row.szContainer : "(null)");
    HCRYPTPROV h = 0;
    EXPECT_FALSE(m_pProvider->CryptAcquireContext(&h, row.szContainer, row.szProvider, row.nType, row.nFlags));
    EXPECT_EQ(ICryptoProvider::lastError(), row.nError) << ICryptoProvider::lastErrorText();
    EXPECT_EQ(h, 0u);
  }
  EXPECT_FALSE(fs::exists(m_pathDir / "escaped"));
  EXPECT_FALSE(fs::exists(containerDir()));
}

TEST_F(CryptProvider, KeyPairsAreMissingUntilGeneratedThenReusedByLaterInstances) {
  const HCRYPTPROV hProv = openOrCreate(*m_pProvider);
  Bytes aBlobs[2];
  for (const DWORD nSpec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
    SCOPED_TRACE(nSpec);
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(m_pProvider->CryptGetUserKey(hProv, nSpec, &hKey));
    EXPECT_EQ(ICryptoProvider::lastError(), NTE_NO_KEY);

    HCRYPTKEY hNew = 0;
    ASSERT_TRUE(m_pProvider->CryptGenKey(hProv, nSpec, 0, &hNew)) << ICryptoProvider::lastErrorText();
    ASSERT_TRUE(m_pProvider->CryptGetUserKey(hProv, nSpec, &hKey)) << ICryptoProvider::lastErrorText();
    EXPECT_EQ(modeOf(keyFile(nSpec)), 0600u);

    // PUBLICKEYBLOB: BLOBHEADER, RSAPUBKEY ("RSA1", 2048 bits, 65537), the
    // modulus little-endian; the same pair through both handles and in the file.
    const Bytes vBlob = exportBlob(*m_pProvider, hKey, 0, PUBLICKEYBLOB);
    EXPECT_EQ(exportBlob(*m_pProvider, hNew, 0, PUBLICKEYBLOB), vBlob);
    ASSERT_EQ(vBlob.size(), 20u + 256u);
    const BYTE nAlgHigh = nSpec == AT_SIGNATURE ? 0x24 : 0xA4;
    const Bytes vHead = {0x06, 0x02, 0x00, 0x00, 0x00, nAlgHigh, 0x00, 0x00, 'R', 'S', 'A', '1',
                         0x00, 0x08, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
    EXPECT_EQ(Bytes(vBlob.begin(), vBlob.begin() + 20), vHead);
    const Bytes vModulus = Ssl::get().modulus(Ssl::get().readPrivateKey(keyFile(nSpec)).get());
    EXPECT_EQ(Bytes(vBlob.rbegin(), vBlob.rend() - 20), vModulus);
    aBlobs[nSpec == AT_SIGNATURE ? 0 : 1] = vBlob;
    EXPECT_TRUE(m_pProvider->CryptDestroyKey(hKey));
    EXPECT_TRUE(m_pProvider->CryptDestroyKey(hNew));
  }
  EXPECT_NE(aBlobs[0], aBlobs[1]);
  EXPECT_TRUE(m_pProvider->CryptReleaseContext(hProv, 0));

  // A later load: finds both pairs; generating again keeps the stored pair.
  const std::string sExchangeFile = readFile(keyFile(AT_KEYEXCHANGE));
  OpenSslCryptoProvider later(m_pathStore.string());
  const HCRYPTPROV hLater = openOrCreate(later);
  for (const DWORD nSpec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
    HCRYPTKEY hKey = 0;
    ASSERT_TRUE(later.CryptGetUserKey(hLater, nSpec, &hKey)) << ICryptoProvider::lastErrorText();
    EXPECT_EQ(exportBlob(later, hKey, 0, PUBLICKEYBLOB), aBlobs[nSpec == AT_SIGNATURE ? 0 : 1]);
    HCRYPTKEY hGen = 0;
    ASSERT_TRUE(later.CryptGenKey(hLater, nSpec, 0, &hGen)) << ICryptoProvider::lastErrorText();
    EXPECT_EQ(exportBlob(later, hGen, 0, PUBLICKEYBLOB), aBlobs[nSpec == AT_SIGNATURE ? 0 : 1]);
  }
  EXPECT_EQ(readFile(keyFile(AT_KEYEXCHANGE)), sExchangeFile);
}

TEST_F(CryptProvider, SimpleBlobHasTheWindowsLayoutAndCarriesTheSessionKey) {
  const HCRYPTPROV hProv = openOrCreate(*m_pProvider);
  const HCRYPTKEY hExchange = userKey(*m_pProvider, hProv, AT_KEYEXCHANGE);
  HCRYPTKEY hSession = 0;
  ASSERT_TRUE(m_pProvider->CryptGenKey(hProv, CALG_RC4, kSessionKeyFlags, &hSession))
      << ICryptoProvider::lastErrorText();

  DWORD nLen = 0;
  ASSERT_TRUE(m_pProvider->CryptExportKey(hSession, hExchange, SIMPLEBLOB, 0, nullptr, &nLen));
  EXPECT_EQ(nLen, 268u);
  Bytes vShort(nLen - 1);
  DWORD nShort = static_cast<DWORD>(vShort.size());
  EXPECT_FALSE(m_pProvider->CryptExportKey(hSession, hExchange, SIMPLEBLOB, 0, vShort.data(), &nShort));
  EXPECT_EQ(ICryptoProvider::lastError(), ERROR_MORE_DATA);
  EXPECT_EQ(nShort, 268u);

  const Bytes vBlob = exportBlob(*m_pProvider, hSession, hExchange, SIMPLEBLOB);
  ASSERT_EQ(vBlob.size(), 268u);
  const Bytes vHead = {0x01, 0x02, 0x00, 0x00, 0x01, 0x68, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00};
  EXPECT_EQ(Bytes(vBlob.begin(), vBlob.begin() + 12), vHead);

  // The tail, reversed to OpenSSL's big-endian order, opens with the
  // exchange private key to the 16 key bytes, and those bytes are the key
  // the provider encrypts with.
  auto pPair = Ssl::get().readPrivateKey(keyFile(AT_KEYEXCHANGE));
  const Bytes vKey = Ssl::get().rsa(pPair.get(), Bytes(vBlob.rbegin(), vBlob.rend() - 12), false);
  ASSERT_EQ(vKey.size(), 16u);
  const Bytes vValue = valueOf("Alice joined the chat");
  EXPECT_EQ(encryptValue(*m_pProvider, hSession, vValue), Ssl::get().rc4(vKey, vValue));

  // Random padding: a second export of the same key differs but opens to the same key.
  const Bytes vBlob2 = exportBlob(*m_pProvider, hSession, hExchange, SIMPLEBLOB);
  EXPECT_NE(vBlob2, vBlob);
  EXPECT_EQ(Ssl::get().rsa(pPair.get(), Bytes(vBlob2.rbegin(), vBlob2.rend() - 12), false), vKey);
}

TEST_F(CryptProvider, EncryptIsOpenSslRc4AndFinalRestartsTheStream) {
  const HCRYPTPROV hProv = openOrCreate(*m_pProvider);
  userKey(*m_pProvider, hProv, AT_KEYEXCHANGE);
  // RFC 6229's 128-bit key 0x0102..10: its first keystream bytes are known.
  Bytes vKey(16);
  for (int i = 0; i < 16; ++i) vKey[static_cast<size_t>(i)] = static_cast<BYTE>(i + 1);
  HCRYPTKEY hKey = 0;
  const Bytes vBlob = simpleBlobOf(vKey);
  ASSERT_TRUE(m_pProvider->CryptImportKey(hProv, vBlob.data(), static_cast<DWORD>(vBlob.size()), 0, 0, &hKey))
      << ICryptoProvider::lastErrorText();

  const Bytes vZeros(16, 0);
  const Bytes vKnown = {0x9a, 0xc7, 0xcc, 0x9a, 0x60, 0x9d, 0x1e, 0xf7,
                        0xb2, 0x93, 0x28, 0x99, 0xcd, 0xe4, 0x1b, 0x97};
  EXPECT_EQ(Ssl::get().rc4(vKey, vZeros), vKnown);
  EXPECT_EQ(encryptValue(*m_pProvider, hKey, vZeros), vKnown);
  EXPECT_EQ(encryptValue(*m_pProvider, hKey, vZeros), vKnown);  // afresh after Final

  // Without Final the stream carries on into the next call, until a Final.
  const Bytes vFirst = bytesOf("abc"), vSecond = bytesOf("defg");
  Bytes vJoined = encryptValue(*m_pProvider, hKey, vFirst, false);
  const Bytes vTail = encryptValue(*m_pProvider, hKey, vSecond, true);
  vJoined.insert(vJoined.end(), vTail.begin(), vTail.end());
  EXPECT_EQ(vJoined, Ssl::get().rc4(vKey, bytesOf("abcdefg")));
  EXPECT_EQ(encryptValue(*m_pProvider, hKey, vFirst), Ssl::get().rc4(vKey, vFirst));

  // Size query leaves the length; a buffer shorter than the data is refused untouched.
  DWORD nLen = 5;
  EXPECT_TRUE(m_pProvider->CryptEncrypt(hKey, 0, true, 0, nullptr, &nLen, 0));
  EXPECT_EQ(nLen, 5u);
  Bytes vData = bytesOf("hello");
  EXPECT_FALSE(m_pProvider->CryptEncrypt(hKey, 0, true, 0, vData.data(), &nLen, 4));
  EXPECT_EQ(ICryptoProvider::lastError(), ERROR_MORE_DATA);
  EXPECT_EQ(vData, bytesOf("hello"));
}

TEST_F(CryptProvider, ValuesEncryptedOneByOneDecryptOnTheirOwnAfterImport) {
  const std::vector<std::string> vTexts = {"", "A", "Alice/Velkora", "Hällo <wörld> & \"you\"", std::string(3000, 'x')};

  // Writing side: the plug-in's sequence, one call with Final per value.
  const HCRYPTPROV hProv = openOrCreate(*m_pProvider);
  userKey(*m_pProvider, hProv, AT_SIGNATURE);
  const HCRYPTKEY hExchange = userKey(*m_pProvider, hProv, AT_KEYEXCHANGE);
  HCRYPTKEY hSession = 0;
  ASSERT_TRUE(m_pProvider->CryptGenKey(hProv, CALG_RC4, kSessionKeyFlags, &hSession));
  const Bytes vBlob = exportBlob(*m_pProvider, hSession, hExchange, SIMPLEBLOB);
  std::vector<Bytes> vCipher;
  for (const std::string& s : vTexts) vCipher.push_back(encryptValue(*m_pProvider, hSession, valueOf(s)));
  EXPECT_EQ(vCipher[0].size(), 1u);  // the empty text: its NUL alone
  EXPECT_TRUE(m_pProvider->CryptDestroyKey(hSession));
  EXPECT_TRUE(m_pProvider->CryptDestroyKey(hExchange));
  EXPECT_TRUE(m_pProvider->CryptReleaseContext(hProv, 0));

  // Reading side, another instance: import with the exchange pair, decrypt
  // the values in another order, each on its own.
  OpenSslCryptoProvider reader(m_pathStore.string());
  HCRYPTPROV hRead = 0;
  ASSERT_TRUE(reader.CryptAcquireContext(&hRead, "Parlantis", MS_ENHANCED_PROV, PROV_RSA_FULL, kMachineFlags));
  HCRYPTKEY hReadExchange = 0, hImported = 0;
  ASSERT_TRUE(reader.CryptGetUserKey(hRead, AT_KEYEXCHANGE, &hReadExchange));
  ASSERT_TRUE(reader.CryptImportKey(hRead, vBlob.data(), static_cast<DWORD>(vBlob.size()), hReadExchange, 0,
                                    &hImported))
      << ICryptoProvider::lastErrorText();
  for (size_t i = vTexts.size(); i-- > 0;) {
    SCOPED_TRACE(i);
    if (!vTexts[i].empty()) {
      EXPECT_NE(vCipher[i], valueOf(vTexts[i]));
    }
    EXPECT_EQ(decryptValue(reader, hImported, vCipher[i]), valueOf(vTexts[i]));
  }
  // Imported without CRYPT_EXPORTABLE: it cannot be exported again.
  DWORD nLen = 0;
  EXPECT_FALSE(reader.CryptExportKey(hImported, hReadExchange, SIMPLEBLOB, 0, nullptr, &nLen));
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_BAD_KEY_STATE);
}

TEST_F(CryptProvider, EverySessionKeyIsNew) {
  const HCRYPTPROV hProv = openOrCreate(*m_pProvider);
  const Bytes vValue(32, 0);
  HCRYPTKEY hFirst = 0, hSecond = 0;
  ASSERT_TRUE(m_pProvider->CryptGenKey(hProv, CALG_RC4, kSessionKeyFlags, &hFirst));
  ASSERT_TRUE(m_pProvider->CryptGenKey(hProv, CALG_RC4, kSessionKeyFlags, &hSecond));
  EXPECT_NE(encryptValue(*m_pProvider, hFirst, vValue), encryptValue(*m_pProvider, hSecond, vValue));
  OpenSslCryptoProvider other(m_pathStore.string());
  HCRYPTPROV hOther = 0;
  HCRYPTKEY hThird = 0;
  ASSERT_TRUE(other.CryptAcquireContext(&hOther, "Parlantis", nullptr, PROV_RSA_FULL, kMachineFlags));
  ASSERT_TRUE(other.CryptGenKey(hOther, CALG_RC4, kSessionKeyFlags, &hThird));
  EXPECT_NE(encryptValue(other, hThird, vValue), encryptValue(*m_pProvider, hFirst, vValue));
}

TEST_F(CryptProvider, ImportRefusesDamagedBlobs) {
  const HCRYPTPROV hProv = openOrCreate(*m_pProvider);
  const HCRYPTKEY hExchange = userKey(*m_pProvider, hProv, AT_KEYEXCHANGE);
  HCRYPTKEY hSession = 0;
  ASSERT_TRUE(m_pProvider->CryptGenKey(hProv, CALG_RC4, kSessionKeyFlags, &hSession));
  const Bytes vGood = exportBlob(*m_pProvider, hSession, hExchange, SIMPLEBLOB);

  struct Row {
    const char* szWhat;
    void (*damage)(Bytes&);
    DWORD nError;
  };
  const Row aRows[] = {
      {"public key blob type", [](Bytes& v) { v[0] = 0x06; }, NTE_BAD_TYPE},
      {"version 3", [](Bytes& v) { v[1] = 0x03; }, NTE_BAD_VER},
      {"3DES key", [](Bytes& v) { v[4] = 0x03; v[5] = 0x66; }, NTE_BAD_ALGID},
      {"signature algorithm", [](Bytes& v) { v[9] = 0x24; }, NTE_BAD_ALGID},
      {"truncated", [](Bytes& v) { v.pop_back(); }, NTE_BAD_LEN},
      {"header only", [](Bytes& v) { v.resize(12); }, NTE_BAD_LEN},
      {"big-endian ciphertext", [](Bytes& v) { std::reverse(v.begin() + 12, v.end()); }, NTE_BAD_DATA},
      {"flipped bit", [](Bytes& v) { v[100] ^= 0x01; }, NTE_BAD_DATA},
  };
  for (const Row& row : aRows) {
    SCOPED_TRACE(row.szWhat);
    Bytes v = vGood;
    row.damage(v);
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(m_pProvider->CryptImportKey(hProv, v.data(), static_cast<DWORD>(v.size()), hExchange, 0, &hKey));
    EXPECT_EQ(ICryptoProvider::lastError(), row.nError) << ICryptoProvider::lastErrorText();
    EXPECT_EQ(hKey, 0u);
  }
  HCRYPTKEY hKey = 0;
  EXPECT_TRUE(m_pProvider->CryptImportKey(hProv, vGood.data(), static_cast<DWORD>(vGood.size()), 0, 0, &hKey))
      << ICryptoProvider::lastErrorText();
}

TEST_F(CryptProvider, CallsOnTheWrongKeyOrHandleFail) {
  const HCRYPTPROV hProv = openOrCreate(*m_pProvider);
  const HCRYPTKEY hSignature = userKey(*m_pProvider, hProv, AT_SIGNATURE);
  const HCRYPTKEY hExchange = userKey(*m_pProvider, hProv, AT_KEYEXCHANGE);
  HCRYPTKEY hLocked = 0, hSession = 0;
  ASSERT_TRUE(m_pProvider->CryptGenKey(hProv, CALG_RC4, 0x800000, &hLocked));  // not exportable
  ASSERT_TRUE(m_pProvider->CryptGenKey(hProv, CALG_RC4, kSessionKeyFlags, &hSession));
  HCRYPTKEY hNone = 0;
  DWORD nLen = 0;
  Bytes vData = bytesOf("text");
  DWORD nData = 4;

  EXPECT_FALSE(m_pProvider->CryptExportKey(hLocked, hExchange, SIMPLEBLOB, 0, nullptr, &nLen));
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_BAD_KEY_STATE);
  EXPECT_FALSE(m_pProvider->CryptExportKey(hSession, hSignature, SIMPLEBLOB, 0, nullptr, &nLen));
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_BAD_KEY);
  EXPECT_FALSE(m_pProvider->CryptExportKey(hSession, hExchange, 7 /* PRIVATEKEYBLOB */, 0, nullptr, &nLen));
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_BAD_TYPE);
  EXPECT_FALSE(m_pProvider->CryptEncrypt(hExchange, 0, true, 0, vData.data(), &nData, nData));
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_BAD_KEY);
  EXPECT_FALSE(m_pProvider->CryptGenKey(hProv, 0x6610 /* CALG_AES_256 */, 0, &hNone));
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_BAD_ALGID);
  EXPECT_FALSE(m_pProvider->CryptGenKey(hProv, CALG_RC4, 0x280000, &hNone));  // 40 bits
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_BAD_FLAGS);
  EXPECT_FALSE(m_pProvider->CryptGetUserKey(hSession, AT_SIGNATURE, &hNone));  // a key is not a context
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_BAD_UID);
  EXPECT_EQ(vData, bytesOf("text"));

  // Keys outlive their context; a destroyed key is gone.
  EXPECT_TRUE(m_pProvider->CryptReleaseContext(hProv, 0));
  EXPECT_NE(encryptValue(*m_pProvider, hSession, vData), vData);
  EXPECT_TRUE(m_pProvider->CryptDestroyKey(hSession));
  EXPECT_FALSE(m_pProvider->CryptDestroyKey(hSession));
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_BAD_KEY);
  EXPECT_FALSE(m_pProvider->CryptEncrypt(hSession, 0, true, 0, vData.data(), &nData, nData));
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_BAD_KEY);
}

TEST_F(CryptProvider, RefusesAContainerWhoseKeyFileOthersCanRead) {
  {
    const HCRYPTPROV hProv = openOrCreate(*m_pProvider);
    userKey(*m_pProvider, hProv, AT_SIGNATURE);
    userKey(*m_pProvider, hProv, AT_KEYEXCHANGE);
  }
  // A mode-bit check, so it holds for root too.
  for (const DWORD nSpec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
    for (const fs::perms mode : {fs::perms(0644), fs::perms(0640), fs::perms(0604)}) {
      SCOPED_TRACE(keyFile(nSpec).string() + " " + std::to_string(static_cast<unsigned>(mode)));
      fs::permissions(keyFile(nSpec), mode);
      HCRYPTPROV h = 0;
      EXPECT_FALSE(m_pProvider->CryptAcquireContext(&h, "Parlantis", MS_ENHANCED_PROV, PROV_RSA_FULL, kMachineFlags));
      EXPECT_EQ(ICryptoProvider::lastError(), NTE_PERM);
      EXPECT_NE(ICryptoProvider::lastErrorText().find(keyFile(nSpec).string()), std::string::npos)
          << ICryptoProvider::lastErrorText();
      fs::permissions(keyFile(nSpec), fs::perms(0600));
    }
  }
  // A context opened before the change refuses the pair too.
  HCRYPTPROV hProv = 0;
  ASSERT_TRUE(m_pProvider->CryptAcquireContext(&hProv, "Parlantis", MS_ENHANCED_PROV, PROV_RSA_FULL, kMachineFlags));
  fs::permissions(keyFile(AT_KEYEXCHANGE), fs::perms(0644));
  HCRYPTKEY hKey = 0;
  EXPECT_FALSE(m_pProvider->CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey));
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_PERM);
  EXPECT_NE(ICryptoProvider::lastErrorText().find("0644"), std::string::npos) << ICryptoProvider::lastErrorText();
  EXPECT_TRUE(m_pProvider->CryptGetUserKey(hProv, AT_SIGNATURE, &hKey));
}

TEST_F(CryptProvider, ProcessesCreatingTheContainerAtOnceEndWithOnePair) {
  constexpr int kChildren = 4;
  int aGate[2];
  ASSERT_EQ(::pipe(aGate), 0);
  std::vector<pid_t> vPids;
  for (int i = 0; i < kChildren; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Wait for the gate to open, then do the plug-in's sequence; a loser
      // of the creation race opens what the winner created.
      ::close(aGate[1]);
      char c;
      (void)!::read(aGate[0], &c, 1);
      OpenSslCryptoProvider prov(m_pathStore.string());
      HCRYPTPROV h = 0;
      if (!prov.CryptAcquireContext(&h, "Parlantis", MS_ENHANCED_PROV, PROV_RSA_FULL, kMachineFlags) &&
          !prov.CryptAcquireContext(&h, "Parlantis", MS_ENHANCED_PROV, PROV_RSA_FULL, kMachineFlags | CRYPT_NEWKEYSET) &&
          !(ICryptoProvider::lastError() == NTE_EXISTS &&
            prov.CryptAcquireContext(&h, "Parlantis", MS_ENHANCED_PROV, PROV_RSA_FULL, kMachineFlags)))
        ::_exit(2);
      std::ofstream out(m_pathDir / ("child" + std::to_string(i)), std::ios::binary);
      for (const DWORD nSpec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
        HCRYPTKEY hKey = 0;
        if (!prov.CryptGetUserKey(h, nSpec, &hKey) && !prov.CryptGenKey(h, nSpec, 0, &hKey)) ::_exit(3);
        BYTE aBlob[512];
        DWORD nLen = sizeof aBlob;
        if (!prov.CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, aBlob, &nLen)) ::_exit(4);
        out.write(reinterpret_cast<const char*>(aBlob), nLen);
      }
      out.close();
      ::_exit(out ? 0 : 5);
    }
    vPids.push_back(pid);
  }
  ::close(aGate[0]);
  ::close(aGate[1]);  // opens the gate for all of them
  for (const pid_t pid : vPids) {
    int nStatus = 0;
    ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "status " << nStatus;
  }

  // Every process saw the same two pairs, and so does a later one.
  std::string sExpected;
  const HCRYPTPROV hProv = openOrCreate(*m_pProvider);
  for (const DWORD nSpec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
    HCRYPTKEY hKey = 0;
    ASSERT_TRUE(m_pProvider->CryptGetUserKey(hProv, nSpec, &hKey)) << ICryptoProvider::lastErrorText();
    const Bytes v = exportBlob(*m_pProvider, hKey, 0, PUBLICKEYBLOB);
    sExpected.append(v.begin(), v.end());
  }
  ASSERT_EQ(sExpected.size(), 2u * 276u);
  for (int i = 0; i < kChildren; ++i) EXPECT_EQ(readFile(m_pathDir / ("child" + std::to_string(i))), sExpected) << i;
  std::vector<std::string> vNames;
  for (const auto& entry : fs::directory_iterator(containerDir())) vNames.push_back(entry.path().filename());
  std::sort(vNames.begin(), vNames.end());
  EXPECT_EQ(vNames, (std::vector<std::string>{"exchange.pem", "signature.pem"}));  // no temporary left behind
}

TEST_F(CryptProvider, WithoutTheLegacyProviderRc4FailsClearly) {
  const fs::path pathNoModules = m_pathDir / "no-modules";
  fs::create_directory(pathNoModules);
  OpenSslCryptoProvider prov(m_pathStore.string(), pathNoModules.string());
  const HCRYPTPROV hProv = openOrCreate(prov);
  HCRYPTKEY hKey = 0;
  EXPECT_FALSE(prov.CryptGenKey(hProv, CALG_RC4, kSessionKeyFlags, &hKey));
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_PROVIDER_DLL_FAIL);
  EXPECT_NE(ICryptoProvider::lastErrorText().find("legacy provider"), std::string::npos)
      << ICryptoProvider::lastErrorText();
}

TEST_F(CryptProvider, ForwardingProviderLetsATestBreakOneCall) {
  struct BrokenExport : ForwardingCryptoProvider {
    using ForwardingCryptoProvider::ForwardingCryptoProvider;
    bool CryptExportKey(HCRYPTKEY, HCRYPTKEY, DWORD, DWORD, BYTE*, DWORD*) override {
      return failWith(NTE_FAIL, "export broken by the test");
    }
  };
  BrokenExport prov(*m_pProvider);
  const HCRYPTPROV hProv = openOrCreate(prov);
  HCRYPTKEY hKey = 0;
  ASSERT_TRUE(prov.CryptGenKey(hProv, CALG_RC4, kSessionKeyFlags, &hKey));
  DWORD nLen = 0;
  EXPECT_FALSE(prov.CryptExportKey(hKey, 0, SIMPLEBLOB, 0, nullptr, &nLen));
  EXPECT_EQ(ICryptoProvider::lastError(), NTE_FAIL);
  EXPECT_EQ(ICryptoProvider::lastErrorText(), "export broken by the test");
  EXPECT_EQ(encryptValue(prov, hKey, Bytes(8, 0)).size(), 8u);
}

TEST_F(CryptProvider, MachineProviderKeepsContainersInTheMachineFolder) {
  // In a child: the machine provider reads MACHINE_DIR once, for the whole process.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setenv("MACHINE_DIR", m_pathDir.c_str(), 1);
    HCRYPTPROV h = 0;
    const bool bOk = cryptoProvider().CryptAcquireContext(&h, "Parlantis", MS_ENHANCED_PROV, PROV_RSA_FULL,
                                                          kMachineFlags | CRYPT_NEWKEYSET);
    ::_exit(bOk ? 0 : 1);
  }
  int nStatus = 0;
  ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
  EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "status " << nStatus;
  EXPECT_TRUE(fs::is_directory(m_pathDir / "keys" / "Parlantis"));
}

}  // namespace
}  // namespace win
