#include "crypto_provider.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "machine.h"

namespace win {
namespace {

struct LastError {
  DWORD nCode = 0;
  std::string sText;
};
thread_local LastError t_lastError;

constexpr DWORD kRc4KeyBytes = 16;
constexpr DWORD kRsaBits = 2048;
constexpr DWORD kBlobHeaderSize = 8;     // BLOBHEADER
constexpr DWORD kSimpleBlobPrefix = 12;  // BLOBHEADER + ALG_ID
constexpr DWORD kRsaPubKeySize = 12;     // RSAPUBKEY
constexpr std::uint32_t kRsa1Magic = 0x31415352;  // "RSA1"
constexpr DWORD kAcquireFlags = CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct BioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};
struct BnFree {
  void operator()(BIGNUM* p) const { BN_free(p); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using PairPtr = std::shared_ptr<EVP_PKEY>;

// What OpenSSL said about the failure of the current call (its queue is
// cleared at the start of every call).
std::string opensslErrors() {
  std::string s;
  char aBuf[256];
  while (const unsigned long nErr = ERR_get_error()) {
    ERR_error_string_n(nErr, aBuf, sizeof aBuf);
    if (!s.empty()) s += "; ";
    s += aBuf;
  }
  return s.empty() ? std::string("no detail from OpenSSL") : s;
}

const char* pairName(DWORD nSpec) { return nSpec == AT_SIGNATURE ? "signature" : "exchange"; }
std::string keyFileName(DWORD nSpec) { return std::string(pairName(nSpec)) + ".pem"; }

void putLe32(BYTE* p, std::uint32_t n) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(n >> (8 * i));
}
std::uint32_t getLe32(const BYTE* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

bool validContainerName(const char* sz) {
  if (!sz) return false;
  const std::string_view s(sz);
  return !s.empty() && s.size() <= 255 && s != "." && s != ".." && s.find('/') == std::string_view::npos;
}

// Syncs a folder so a new entry in it survives a power cut.
void syncFolder(const std::string& sDir) {
  const int nFd = ::open(sDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (nFd < 0) return;
  ::fsync(nFd);
  ::close(nFd);
}

struct Context {
  std::string sContainer;
  std::string sDir;
};

struct Key {
  bool bSession = false;
  DWORD nSpec = 0;  // AT_SIGNATURE or AT_KEYEXCHANGE for a pair
  PairPtr pPair;
  std::array<unsigned char, kRc4KeyBytes> aSecret{};
  bool bExportable = false;
  CipherCtxPtr pStream;  // the RC4 state between calls without Final
  ~Key() { OPENSSL_cleanse(aSecret.data(), aSecret.size()); }
};

}  // namespace

DWORD ICryptoProvider::lastError() noexcept { return t_lastError.nCode; }

std::string ICryptoProvider::lastErrorText() { return t_lastError.sText; }

bool ICryptoProvider::failWith(DWORD nError, std::string_view sText) noexcept {
  t_lastError.nCode = nError;
  try {
    t_lastError.sText.assign(sText);
  } catch (...) {
    t_lastError.sText.clear();
  }
  return false;
}

namespace {
// failWith is protected; this small subclass lends it to the helpers here.
struct Fail : ICryptoProvider {
  static bool with(DWORD nError, std::string_view sText) noexcept { return failWith(nError, sText); }
};
bool failSsl(DWORD nError, const std::string& sWhat) { return Fail::with(nError, sWhat + ": " + opensslErrors()); }
bool failErrno(DWORD nError, const std::string& sWhat, int nErrno) {
  return Fail::with(nError, sWhat + ": " + std::strerror(nErrno));
}
}  // namespace

struct OpenSslCryptoProvider::Impl {
  std::string sStore;
  OSSL_LIB_CTX* pLib = nullptr;
  OSSL_PROVIDER* pDefault = nullptr;
  OSSL_PROVIDER* pLegacy = nullptr;
  EVP_CIPHER* pRc4 = nullptr;
  std::string sDefaultProblem;  // why RSA is unavailable, when it is
  std::string sRc4Problem;      // why RC4 is unavailable, when it is

  std::mutex mtx;
  std::uintptr_t nNextHandle = 1;  // one numbering for contexts and keys, so neither passes for the other
  std::map<HCRYPTPROV, Context> mContexts;
  std::map<HCRYPTKEY, std::unique_ptr<Key>> mKeys;

  Impl(std::string sStoreDir, const std::string& sModuleDir) : sStore(std::move(sStoreDir)) {
    while (sStore.size() > 1 && sStore.back() == '/') sStore.pop_back();
    ERR_clear_error();
    pLib = OSSL_LIB_CTX_new();
    if (!pLib) {
      sDefaultProblem = sRc4Problem = "OpenSSL could not create a library context: " + opensslErrors();
      return;
    }
    if (!sModuleDir.empty()) OSSL_PROVIDER_set_default_search_path(pLib, sModuleDir.c_str());
    // Loading any provider explicitly stops OpenSSL from loading "default"
    // on its own, so both are loaded here.
    pDefault = OSSL_PROVIDER_load(pLib, "default");
    if (!pDefault) sDefaultProblem = "OpenSSL's default provider could not be loaded: " + opensslErrors();
    pLegacy = OSSL_PROVIDER_load(pLib, "legacy");
    if (!pLegacy) {
      sRc4Problem = "RC4 needs OpenSSL's legacy provider, which could not be loaded (" + opensslErrors() + ")";
      return;
    }
    pRc4 = EVP_CIPHER_fetch(pLib, "RC4", nullptr);
    if (!pRc4) sRc4Problem = "OpenSSL's legacy provider has no RC4: " + opensslErrors();
  }

  ~Impl() {
    mKeys.clear();
    EVP_CIPHER_free(pRc4);
    if (pLegacy) OSSL_PROVIDER_unload(pLegacy);
    if (pDefault) OSSL_PROVIDER_unload(pDefault);
    OSSL_LIB_CTX_free(pLib);
  }

  std::uintptr_t newHandle() { return nNextHandle++; }

  Context* context(HCRYPTPROV h) {
    const auto it = mContexts.find(h);
    return it == mContexts.end() ? nullptr : &it->second;
  }
  Key* key(HCRYPTKEY h) {
    const auto it = mKeys.find(h);
    return it == mKeys.end() ? nullptr : it->second.get();
  }
  HCRYPTKEY addKey(std::unique_ptr<Key> pKey) {
    const HCRYPTKEY h = newHandle();
    mKeys.emplace(h, std::move(pKey));
    return h;
  }

  std::string filePath(const Context& ctx, DWORD nSpec) const { return ctx.sDir + "/" + keyFileName(nSpec); }

  bool refuseOpenPermissions(const std::string& sPath, mode_t nMode) const {
    char aMode[8];
    std::snprintf(aMode, sizeof aMode, "%04o", static_cast<unsigned>(nMode & 07777));
    return Fail::with(NTE_PERM, "Key file " + sPath + " is readable by group or others (mode " + aMode +
                                    "); refusing to use it until it is restricted to its owner (chmod 600)");
  }

  // Every key file present must be private to its owner.
  bool checkKeyFileModes(const Context& ctx) const {
    for (const DWORD nSpec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
      const std::string sPath = filePath(ctx, nSpec);
      struct stat st {};
      if (::lstat(sPath.c_str(), &st) != 0) {
        if (errno == ENOENT) continue;
        return failErrno(NTE_FAIL, "Cannot inspect key file " + sPath, errno);
      }
      if (st.st_mode & 077) return refuseOpenPermissions(sPath, st.st_mode);
    }
    return true;
  }

  // The stored pair NSPEC of the container; NTE_NO_KEY when there is none.
  bool loadPair(const Context& ctx, DWORD nSpec, PairPtr& pOut) const {
    const std::string sPath = filePath(ctx, nSpec);
    const int nFd = ::open(sPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (nFd < 0) {
      if (errno == ENOENT)
        return Fail::with(NTE_NO_KEY,
                          "Key container '" + ctx.sContainer + "' has no " + pairName(nSpec) + " key pair");
      return failErrno(NTE_FAIL, "Cannot open key file " + sPath, errno);
    }
    struct stat st {};
    if (::fstat(nFd, &st) != 0) {
      const int nErr = errno;
      ::close(nFd);
      return failErrno(NTE_FAIL, "Cannot inspect key file " + sPath, nErr);
    }
    if (!S_ISREG(st.st_mode) || (st.st_mode & 077)) {
      ::close(nFd);
      if (!S_ISREG(st.st_mode)) return Fail::with(NTE_FAIL, "Key file " + sPath + " is not a regular file");
      return refuseOpenPermissions(sPath, st.st_mode);
    }
    std::vector<char> vPem;
    char aBuf[4096];
    for (;;) {
      const ssize_t n = ::read(nFd, aBuf, sizeof aBuf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const int nErr = errno;
        ::close(nFd);
        OPENSSL_cleanse(aBuf, sizeof aBuf);
        OPENSSL_cleanse(vPem.data(), vPem.size());
        return failErrno(NTE_FAIL, "Cannot read key file " + sPath, nErr);
      }
      if (n == 0) break;
      vPem.insert(vPem.end(), aBuf, aBuf + n);
    }
    ::close(nFd);
    OPENSSL_cleanse(aBuf, sizeof aBuf);
    BioPtr pBio(BIO_new_mem_buf(vPem.data(), static_cast<int>(vPem.size())));
    EVP_PKEY* pKey = pBio ? PEM_read_bio_PrivateKey_ex(pBio.get(), nullptr, nullptr, nullptr, pLib, nullptr) : nullptr;
    pBio.reset();
    OPENSSL_cleanse(vPem.data(), vPem.size());
    if (!pKey) return failSsl(NTE_FAIL, "Key file " + sPath + " does not hold a private key");
    PairPtr pPair(pKey, PkeyFree{});
    if (!EVP_PKEY_is_a(pKey, "RSA")) return Fail::with(NTE_FAIL, "Key file " + sPath + " does not hold an RSA key");
    pOut = std::move(pPair);
    return true;
  }

  // Generates pair NSPEC and publishes it without replacing: the file is
  // written under a temporary name (O_EXCL, synced) and linked to its final
  // name, which fails if another process got there first; then that
  // process's pair is the container's, and is returned instead.
  bool createPair(const Context& ctx, DWORD nSpec, PairPtr& pOut) const {
    PkeyCtxPtr pGen(EVP_PKEY_CTX_new_from_name(pLib, "RSA", nullptr));
    EVP_PKEY* pRaw = nullptr;
    if (!pGen || EVP_PKEY_keygen_init(pGen.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(pGen.get(), static_cast<int>(kRsaBits)) <= 0 ||
        EVP_PKEY_generate(pGen.get(), &pRaw) <= 0)
      return failSsl(NTE_FAIL, std::string("Cannot generate an RSA ") + pairName(nSpec) + " key pair");
    PairPtr pPair(pRaw, PkeyFree{});

    // Secure memory BIO: the PEM text is wiped when it is freed.
    BioPtr pMem(BIO_new(BIO_s_secmem()));
    if (!pMem || !PEM_write_bio_PrivateKey(pMem.get(), pRaw, nullptr, nullptr, 0, nullptr, nullptr))
      return failSsl(NTE_FAIL, "Cannot encode the new key pair");
    char* pPem = nullptr;
    const long nPem = BIO_get_mem_data(pMem.get(), &pPem);

    static std::atomic<unsigned> s_nTemp{0};
    const std::string sFinal = filePath(ctx, nSpec);
    const std::string sTemp = ctx.sDir + "/." + keyFileName(nSpec) + ".tmp." + std::to_string(::getpid()) + "." +
                              std::to_string(s_nTemp++);
    const int nFd = ::open(sTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (nFd < 0) return failErrno(NTE_FAIL, "Cannot create key file " + sTemp, errno);
    int nErr = ::fchmod(nFd, 0600) == 0 ? 0 : errno;  // exactly owner read/write, whatever the umask
    for (long nDone = 0; nErr == 0 && nDone < nPem;) {
      const ssize_t n = ::write(nFd, pPem + nDone, static_cast<size_t>(nPem - nDone));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) nErr = errno;
      else nDone += n;
    }
    if (nErr == 0 && ::fsync(nFd) != 0) nErr = errno;
    if (::close(nFd) != 0 && nErr == 0) nErr = errno;
    bool bLost = false;
    if (nErr == 0 && ::link(sTemp.c_str(), sFinal.c_str()) != 0) {
      if (errno == EEXIST) bLost = true;
      else nErr = errno;
    }
    ::unlink(sTemp.c_str());
    if (nErr != 0) return failErrno(NTE_FAIL, "Cannot store key file " + sFinal, nErr);
    syncFolder(ctx.sDir);
    if (bLost) return loadPair(ctx, nSpec, pOut);
    pOut = std::move(pPair);
    return true;
  }

  bool rsaEncrypt(EVP_PKEY* pKey, const unsigned char* pIn, size_t nIn, std::vector<BYTE>& vOut) const {
    PkeyCtxPtr pCtx(EVP_PKEY_CTX_new_from_pkey(pLib, pKey, nullptr));
    size_t nOut = 0;
    if (!pCtx || EVP_PKEY_encrypt_init(pCtx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(pCtx.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_encrypt(pCtx.get(), nullptr, &nOut, pIn, nIn) <= 0)
      return failSsl(NTE_FAIL, "Cannot encrypt the session key");
    vOut.assign(nOut, 0);
    if (EVP_PKEY_encrypt(pCtx.get(), vOut.data(), &nOut, pIn, nIn) <= 0)
      return failSsl(NTE_FAIL, "Cannot encrypt the session key");
    vOut.resize(nOut);
    return true;
  }

  // RC4 over the data in place, continuing the key's stream or starting it.
  bool rc4(Key& k, bool bFinal, BYTE* pData, DWORD nLen) const {
    if (!pRc4) return Fail::with(NTE_PROVIDER_DLL_FAIL, sRc4Problem);
    if (!k.pStream) {
      CipherCtxPtr pCtx(EVP_CIPHER_CTX_new());
      if (!pCtx || !EVP_EncryptInit_ex2(pCtx.get(), pRc4, k.aSecret.data(), nullptr, nullptr))
        return failSsl(NTE_FAIL, "Cannot start RC4");
      k.pStream = std::move(pCtx);
    }
    for (DWORD nDone = 0; nDone < nLen;) {
      const int nChunk = static_cast<int>(std::min<DWORD>(nLen - nDone, INT_MAX));
      int nOut = 0;
      if (!EVP_EncryptUpdate(k.pStream.get(), pData + nDone, &nOut, pData + nDone, nChunk) || nOut != nChunk) {
        k.pStream.reset();
        return failSsl(NTE_FAIL, "RC4 failed");
      }
      nDone += static_cast<DWORD>(nChunk);
    }
    if (bFinal) k.pStream.reset();  // the next call starts afresh from the key
    return true;
  }

  Key* sessionKey(HCRYPTKEY hKey) {
    Key* pKey = key(hKey);
    if (!pKey) {
      Fail::with(NTE_BAD_KEY, "Not a key handle");
      return nullptr;
    }
    if (!pKey->bSession) {
      Fail::with(NTE_BAD_KEY, "Only a session key encrypts and decrypts data");
      return nullptr;
    }
    return pKey;
  }

  // --- the calls -----------------------------------------------------------

  bool acquire(HCRYPTPROV* phProv, const char* szContainer, const char* szProvider, DWORD dwProvType,
               DWORD dwFlags) {
    if (!phProv) return Fail::with(ERROR_INVALID_PARAMETER, "No place for the context handle");
    if (dwFlags & ~kAcquireFlags) return Fail::with(NTE_BAD_FLAGS, "Unsupported flags for acquiring a context");
    if (szProvider && std::strcmp(szProvider, MS_ENHANCED_PROV) != 0)
      return Fail::with(NTE_KEYSET_NOT_DEF, std::string("Unknown provider '") + szProvider + "'");
    if (dwProvType != PROV_RSA_FULL)
      return Fail::with(NTE_PROV_TYPE_NO_MATCH, "The provider is of type PROV_RSA_FULL only");
    if (!validContainerName(szContainer))
      return Fail::with(NTE_BAD_KEYSET_PARAM, "A key container needs a plain name (no '/', not '.' or '..')");
    if (!pDefault) return Fail::with(NTE_PROVIDER_DLL_FAIL, sDefaultProblem);

    Context ctx{szContainer, sStore + "/" + szContainer};
    if (dwFlags & CRYPT_NEWKEYSET) {
      std::error_code ec;  // a failure here shows in the mkdir below
      const std::filesystem::path parent = std::filesystem::path(sStore).parent_path();
      if (!parent.empty()) std::filesystem::create_directories(parent, ec);
      if (::mkdir(sStore.c_str(), 0700) != 0 && errno != EEXIST)
        return failErrno(NTE_FAIL, "Cannot create the key store " + sStore, errno);
      if (::mkdir(ctx.sDir.c_str(), 0700) != 0) {
        if (errno == EEXIST) return Fail::with(NTE_EXISTS, "Key container '" + ctx.sContainer + "' exists already");
        return failErrno(NTE_FAIL, "Cannot create key container " + ctx.sDir, errno);
      }
      syncFolder(sStore);
    } else {
      struct stat st {};
      const bool bFound = ::stat(ctx.sDir.c_str(), &st) == 0;
      if (!bFound && errno != ENOENT && errno != ENOTDIR)
        return failErrno(NTE_FAIL, "Cannot inspect key container " + ctx.sDir, errno);
      if (!bFound || !S_ISDIR(st.st_mode))
        return Fail::with(NTE_BAD_KEYSET, "Key container '" + ctx.sContainer + "' does not exist in " + sStore);
      if (!checkKeyFileModes(ctx)) return false;
    }
    const HCRYPTPROV h = newHandle();
    mContexts.emplace(h, std::move(ctx));
    *phProv = h;
    return true;
  }

  bool release(HCRYPTPROV hProv, DWORD dwFlags) {
    if (dwFlags != 0) return Fail::with(NTE_BAD_FLAGS, "Releasing a context takes no flags");
    if (mContexts.erase(hProv) == 0) return Fail::with(NTE_BAD_UID, "Not a context handle");
    return true;
  }

  bool getUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    const Context* pCtx = context(hProv);
    if (!pCtx) return Fail::with(NTE_BAD_UID, "Not a context handle");
    if (!phUserKey) return Fail::with(ERROR_INVALID_PARAMETER, "No place for the key handle");
    if (dwKeySpec != AT_SIGNATURE && dwKeySpec != AT_KEYEXCHANGE)
      return Fail::with(NTE_BAD_KEY, "A user key is AT_SIGNATURE or AT_KEYEXCHANGE");
    auto pKey = std::make_unique<Key>();
    if (!loadPair(*pCtx, dwKeySpec, pKey->pPair)) return false;
    pKey->nSpec = dwKeySpec;
    *phUserKey = addKey(std::move(pKey));
    return true;
  }

  bool genKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    const Context* pCtx = context(hProv);
    if (!pCtx) return Fail::with(NTE_BAD_UID, "Not a context handle");
    if (!phKey) return Fail::with(ERROR_INVALID_PARAMETER, "No place for the key handle");
    const DWORD nBits = dwFlags >> 16;
    if ((dwFlags & 0xFFFF) & ~CRYPT_EXPORTABLE) return Fail::with(NTE_BAD_FLAGS, "Unsupported key flags");
    auto pKey = std::make_unique<Key>();
    if (Algid == CALG_RC4) {
      if (nBits != 0 && nBits != kRc4KeyBytes * 8) return Fail::with(NTE_BAD_FLAGS, "RC4 keys are 128 bits here");
      if (!pRc4) return Fail::with(NTE_PROVIDER_DLL_FAIL, sRc4Problem);
      if (RAND_bytes_ex(pLib, pKey->aSecret.data(), pKey->aSecret.size(), 0) != 1)
        return failSsl(NTE_FAIL, "No random bytes for a session key");
      pKey->bSession = true;
      pKey->bExportable = (dwFlags & CRYPT_EXPORTABLE) != 0;
    } else {
      DWORD nSpec = 0;
      if (Algid == AT_SIGNATURE || Algid == CALG_RSA_SIGN) nSpec = AT_SIGNATURE;
      else if (Algid == AT_KEYEXCHANGE || Algid == CALG_RSA_KEYX) nSpec = AT_KEYEXCHANGE;
      else return Fail::with(NTE_BAD_ALGID, "Unsupported algorithm; keys are RC4 or RSA pairs");
      if (nBits != 0 && nBits != kRsaBits) return Fail::with(NTE_BAD_FLAGS, "RSA pairs are 2048 bits here");
      // A stored pair is kept (see the header), so generating returns it.
      if (!loadPair(*pCtx, nSpec, pKey->pPair)) {
        if (lastError() != NTE_NO_KEY) return false;
        if (!createPair(*pCtx, nSpec, pKey->pPair)) return false;
      }
      pKey->nSpec = nSpec;
    }
    *phKey = addKey(std::move(pKey));
    return true;
  }

  bool destroyKey(HCRYPTKEY hKey) {
    if (mKeys.erase(hKey) == 0) return Fail::with(NTE_BAD_KEY, "Not a key handle");
    return true;
  }

  bool exportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                 DWORD* pdwDataLen) {
    const Key* pKey = key(hKey);
    if (!pKey) return Fail::with(NTE_BAD_KEY, "Not a key handle");
    if (!pdwDataLen) return Fail::with(ERROR_INVALID_PARAMETER, "No place for the blob length");
    if (dwFlags != 0) return Fail::with(NTE_BAD_FLAGS, "Exporting takes no flags");
    std::vector<BYTE> vBlob;
    if (dwBlobType == SIMPLEBLOB) {
      if (!pKey->bSession) return Fail::with(NTE_BAD_KEY, "A SIMPLEBLOB holds a session key");
      if (!pKey->bExportable) return Fail::with(NTE_BAD_KEY_STATE, "The session key is not exportable");
      const Key* pExp = key(hExpKey);
      if (!pExp || pExp->bSession || pExp->nSpec != AT_KEYEXCHANGE)
        return Fail::with(NTE_BAD_KEY, "A SIMPLEBLOB is encrypted under the exchange key pair");
      const DWORD nSize = kSimpleBlobPrefix + static_cast<DWORD>(EVP_PKEY_get_size(pExp->pPair.get()));
      if (!pbData) {
        *pdwDataLen = nSize;
        return true;
      }
      if (*pdwDataLen < nSize) {
        *pdwDataLen = nSize;
        return Fail::with(ERROR_MORE_DATA, "The buffer is too small for the key blob");
      }
      std::vector<BYTE> vCipher;
      if (!rsaEncrypt(pExp->pPair.get(), pKey->aSecret.data(), pKey->aSecret.size(), vCipher)) return false;
      vBlob.assign(kSimpleBlobPrefix, 0);
      vBlob[0] = static_cast<BYTE>(SIMPLEBLOB);
      vBlob[1] = CUR_BLOB_VERSION;
      putLe32(&vBlob[4], CALG_RC4);
      putLe32(&vBlob[8], CALG_RSA_KEYX);
      vBlob.insert(vBlob.end(), vCipher.rbegin(), vCipher.rend());  // OpenSSL is big-endian, the blob little
    } else if (dwBlobType == PUBLICKEYBLOB) {
      if (pKey->bSession) return Fail::with(NTE_BAD_KEY, "A PUBLICKEYBLOB holds an RSA pair's public key");
      if (hExpKey != 0) return Fail::with(NTE_BAD_KEY, "A PUBLICKEYBLOB is not encrypted");
      BIGNUM* pN = nullptr;
      BIGNUM* pE = nullptr;
      const bool bGot = EVP_PKEY_get_bn_param(pKey->pPair.get(), OSSL_PKEY_PARAM_RSA_N, &pN) &&
                        EVP_PKEY_get_bn_param(pKey->pPair.get(), OSSL_PKEY_PARAM_RSA_E, &pE);
      const BnPtr pOwnN(pN), pOwnE(pE);
      if (!bGot) return failSsl(NTE_FAIL, "Cannot read the public key");
      const DWORD nBits = static_cast<DWORD>(BN_num_bits(pN));
      const DWORD nModBytes = (nBits + 7) / 8;
      const BN_ULONG nExp = BN_get_word(pE);
      if (nExp > 0xFFFFFFFFu) return Fail::with(NTE_BAD_KEY, "The public exponent does not fit a PUBLICKEYBLOB");
      const DWORD nSize = kBlobHeaderSize + kRsaPubKeySize + nModBytes;
      if (!pbData) {
        *pdwDataLen = nSize;
        return true;
      }
      if (*pdwDataLen < nSize) {
        *pdwDataLen = nSize;
        return Fail::with(ERROR_MORE_DATA, "The buffer is too small for the key blob");
      }
      vBlob.assign(nSize, 0);
      vBlob[0] = static_cast<BYTE>(PUBLICKEYBLOB);
      vBlob[1] = CUR_BLOB_VERSION;
      putLe32(&vBlob[4], pKey->nSpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX);
      putLe32(&vBlob[8], kRsa1Magic);
      putLe32(&vBlob[12], nBits);
      putLe32(&vBlob[16], static_cast<std::uint32_t>(nExp));
      if (BN_bn2lebinpad(pN, &vBlob[20], static_cast<int>(nModBytes)) < 0)
        return failSsl(NTE_FAIL, "Cannot write the modulus");
    } else {
      return Fail::with(NTE_BAD_TYPE, "Only SIMPLEBLOB and PUBLICKEYBLOB exports are supported");
    }
    std::memcpy(pbData, vBlob.data(), vBlob.size());
    *pdwDataLen = static_cast<DWORD>(vBlob.size());
    return true;
  }

  bool importKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                 HCRYPTKEY* phKey) {
    const Context* pCtx = context(hProv);
    if (!pCtx) return Fail::with(NTE_BAD_UID, "Not a context handle");
    if (!pbData || !phKey) return Fail::with(ERROR_INVALID_PARAMETER, "No blob or no place for the key handle");
    if (dwFlags & ~CRYPT_EXPORTABLE) return Fail::with(NTE_BAD_FLAGS, "Unsupported import flags");
    if (dwDataLen < kSimpleBlobPrefix) return Fail::with(NTE_BAD_LEN, "The key blob is too short");
    if (pbData[0] != SIMPLEBLOB) return Fail::with(NTE_BAD_TYPE, "Only a SIMPLEBLOB can be imported");
    if (pbData[1] != CUR_BLOB_VERSION) return Fail::with(NTE_BAD_VER, "Unknown key blob version");
    if (getLe32(pbData + 4) != CALG_RC4) return Fail::with(NTE_BAD_ALGID, "The blob does not hold an RC4 key");
    if (getLe32(pbData + 8) != CALG_RSA_KEYX)
      return Fail::with(NTE_BAD_ALGID, "The blob is not encrypted with an RSA exchange key");
    PairPtr pPair;
    if (hPubKey != 0) {
      const Key* pExp = key(hPubKey);
      if (!pExp || pExp->bSession || pExp->nSpec != AT_KEYEXCHANGE)
        return Fail::with(NTE_BAD_KEY, "A SIMPLEBLOB is opened with the exchange key pair");
      pPair = pExp->pPair;
    } else if (!loadPair(*pCtx, AT_KEYEXCHANGE, pPair)) {
      return false;
    }
    const size_t nCipher = dwDataLen - kSimpleBlobPrefix;
    if (nCipher != static_cast<size_t>(EVP_PKEY_get_size(pPair.get())))
      return Fail::with(NTE_BAD_LEN, "The key blob's length does not match the exchange key");
    std::vector<BYTE> vCipher(std::make_reverse_iterator(pbData + dwDataLen),
                              std::make_reverse_iterator(pbData + kSimpleBlobPrefix));
    PkeyCtxPtr pDec(EVP_PKEY_CTX_new_from_pkey(pLib, pPair.get(), nullptr));
    std::array<unsigned char, 512> aPlain{};
    size_t nPlain = aPlain.size();
    const bool bDecrypted = pDec && EVP_PKEY_decrypt_init(pDec.get()) > 0 &&
                            EVP_PKEY_CTX_set_rsa_padding(pDec.get(), RSA_PKCS1_PADDING) > 0 &&
                            EVP_PKEY_decrypt(pDec.get(), aPlain.data(), &nPlain, vCipher.data(), vCipher.size()) > 0;
    if (!bDecrypted || nPlain != kRc4KeyBytes) {
      OPENSSL_cleanse(aPlain.data(), aPlain.size());
      ERR_clear_error();
      return Fail::with(NTE_BAD_DATA, "The key blob does not decrypt to a 128-bit key under this exchange key");
    }
    auto pKey = std::make_unique<Key>();
    std::copy_n(aPlain.begin(), kRc4KeyBytes, pKey->aSecret.begin());
    OPENSSL_cleanse(aPlain.data(), aPlain.size());
    pKey->bSession = true;
    pKey->bExportable = (dwFlags & CRYPT_EXPORTABLE) != 0;
    *phKey = addKey(std::move(pKey));
    return true;
  }

  bool encrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, bool bFinal, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen,
               DWORD dwBufLen) {
    Key* pKey = sessionKey(hKey);
    if (!pKey) return false;
    if (hHash != 0) return Fail::with(NTE_BAD_HASH, "Hashing while encrypting is not supported");
    if (dwFlags != 0) return Fail::with(NTE_BAD_FLAGS, "Encrypting takes no flags");
    if (!pdwDataLen) return Fail::with(ERROR_INVALID_PARAMETER, "No data length");
    if (!pbData) return true;  // size query: RC4 keeps the length
    if (*pdwDataLen > dwBufLen) return Fail::with(ERROR_MORE_DATA, "The data is longer than its buffer");
    return rc4(*pKey, bFinal, pbData, *pdwDataLen);
  }

  bool decrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, bool bFinal, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen) {
    Key* pKey = sessionKey(hKey);
    if (!pKey) return false;
    if (hHash != 0) return Fail::with(NTE_BAD_HASH, "Hashing while decrypting is not supported");
    if (dwFlags != 0) return Fail::with(NTE_BAD_FLAGS, "Decrypting takes no flags");
    if (!pdwDataLen || (!pbData && *pdwDataLen != 0)) return Fail::with(ERROR_INVALID_PARAMETER, "No data");
    return rc4(*pKey, bFinal, pbData, *pdwDataLen);
  }
};

namespace {
// Runs one call under the provider's lock with a fresh OpenSSL error queue;
// nothing thrown inside gets out.
template <class F>
bool guarded(std::mutex& mtx, F&& fn) noexcept {
  try {
    const std::lock_guard<std::mutex> lock(mtx);
    ERR_clear_error();
    return fn();
  } catch (const std::bad_alloc&) {
    return Fail::with(NTE_NO_MEMORY, "Out of memory");
  } catch (const std::exception& e) {
    return Fail::with(NTE_FAIL, e.what());
  } catch (...) {
    return Fail::with(NTE_FAIL, "Unexpected failure");
  }
}
}  // namespace

OpenSslCryptoProvider::OpenSslCryptoProvider(std::string sKeyStoreDir, std::string sModuleDir)
    : m_pImpl(std::make_unique<Impl>(std::move(sKeyStoreDir), sModuleDir)) {}

OpenSslCryptoProvider::~OpenSslCryptoProvider() = default;

const std::string& OpenSslCryptoProvider::keyStoreDir() const { return m_pImpl->sStore; }

bool OpenSslCryptoProvider::CryptAcquireContext(HCRYPTPROV* phProv, const char* szContainer, const char* szProvider,
                                                DWORD dwProvType, DWORD dwFlags) {
  return guarded(m_pImpl->mtx, [&] { return m_pImpl->acquire(phProv, szContainer, szProvider, dwProvType, dwFlags); });
}

bool OpenSslCryptoProvider::CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  return guarded(m_pImpl->mtx, [&] { return m_pImpl->release(hProv, dwFlags); });
}

bool OpenSslCryptoProvider::CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
  return guarded(m_pImpl->mtx, [&] { return m_pImpl->getUserKey(hProv, dwKeySpec, phUserKey); });
}

bool OpenSslCryptoProvider::CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
  return guarded(m_pImpl->mtx, [&] { return m_pImpl->genKey(hProv, Algid, dwFlags, phKey); });
}

bool OpenSslCryptoProvider::CryptDestroyKey(HCRYPTKEY hKey) {
  return guarded(m_pImpl->mtx, [&] { return m_pImpl->destroyKey(hKey); });
}

bool OpenSslCryptoProvider::CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                                           BYTE* pbData, DWORD* pdwDataLen) {
  return guarded(m_pImpl->mtx,
                 [&] { return m_pImpl->exportKey(hKey, hExpKey, dwBlobType, dwFlags, pbData, pdwDataLen); });
}

bool OpenSslCryptoProvider::CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                                           DWORD dwFlags, HCRYPTKEY* phKey) {
  return guarded(m_pImpl->mtx,
                 [&] { return m_pImpl->importKey(hProv, pbData, dwDataLen, hPubKey, dwFlags, phKey); });
}

bool OpenSslCryptoProvider::CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, bool Final, DWORD dwFlags, BYTE* pbData,
                                         DWORD* pdwDataLen, DWORD dwBufLen) {
  return guarded(m_pImpl->mtx,
                 [&] { return m_pImpl->encrypt(hKey, hHash, Final, dwFlags, pbData, pdwDataLen, dwBufLen); });
}

bool OpenSslCryptoProvider::CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, bool Final, DWORD dwFlags, BYTE* pbData,
                                         DWORD* pdwDataLen) {
  return guarded(m_pImpl->mtx, [&] { return m_pImpl->decrypt(hKey, hHash, Final, dwFlags, pbData, pdwDataLen); });
}

ICryptoProvider& cryptoProvider() {
  // Never destroyed: plug-ins release their keys from unload hooks that run
  // after the process's static objects are gone.
  static ICryptoProvider* const s_pProvider = new OpenSslCryptoProvider(machineDir() + "/keys");
  return *s_pProvider;
}

}  // namespace win
