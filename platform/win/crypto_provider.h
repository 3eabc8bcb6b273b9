// The CryptoAPI provider stand-in: the calls the chat logging plug-in makes
// to keep a machine key container and encrypt transcript values, and the
// calls the reading side makes to decrypt them, over OpenSSL 3 libcrypto.
//
// Names, constants, argument order and handle semantics are the CryptoAPI's,
// so that code using the provider reads like its Windows design:
//  - every call returns true or false; after a false the calling thread's
//    last error (lastError(), lastErrorText()) says why, as GetLastError()
//    would. A successful call leaves the last error as it was.
//  - handles are opaque numbers, 0 is never a valid one. A context handle
//    comes from CryptAcquireContext and goes back with CryptReleaseContext,
//    a key handle from CryptGetUserKey/CryptGenKey/CryptImportKey and goes
//    back with CryptDestroyKey. A key stays usable after its context has
//    been released.
//
// The key store is one folder (MACHINE_DIR/keys for the machine's provider).
// Container NAME is the folder KEYSTORE/NAME (mode 0700) with one private
// key file per RSA pair: signature.pem (AT_SIGNATURE) and exchange.pem
// (AT_KEYEXCHANGE), mode 0600. A pair is written once, atomically and
// without replacing, and reused by every later process: generating a pair
// that already exists returns the stored one, because a replaced exchange
// pair would make every blob exported under the old one unreadable. A
// container whose key files carry any group or other permission bit is
// refused (NTE_PERM) rather than used.
//
// Session keys are RC4, 128 bits, from OpenSSL's legacy provider. A call of
// CryptEncrypt/CryptDecrypt with Final set ends the key's stream: the next
// call starts the RC4 keystream afresh from the key, so each value encrypted
// with Final can be decrypted on its own. Calls without Final continue the
// stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace win {

using DWORD = std::uint32_t;
using BYTE = std::uint8_t;
using ALG_ID = std::uint32_t;
using HCRYPTPROV = std::uintptr_t;
using HCRYPTKEY = std::uintptr_t;
using HCRYPTHASH = std::uintptr_t;

// Provider names and types.
inline constexpr const char* MS_ENHANCED_PROV = "Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr DWORD PROV_RSA_FULL = 1;

// CryptAcquireContext flags.
inline constexpr DWORD CRYPT_NEWKEYSET = 0x00000008;
inline constexpr DWORD CRYPT_MACHINE_KEYSET = 0x00000020;
inline constexpr DWORD CRYPT_SILENT = 0x00000040;

// Key specs and algorithms.
inline constexpr ALG_ID AT_KEYEXCHANGE = 1;
inline constexpr ALG_ID AT_SIGNATURE = 2;
inline constexpr ALG_ID CALG_RC4 = 0x00006801;
inline constexpr ALG_ID CALG_RSA_KEYX = 0x0000A400;
inline constexpr ALG_ID CALG_RSA_SIGN = 0x00002400;

// CryptGenKey/CryptImportKey flags; the key length in bits sits in the
// upper 16 bits of the flags (0: the default, 128 for RC4, 2048 for RSA).
inline constexpr DWORD CRYPT_EXPORTABLE = 0x00000001;

// Key blob types and the blob header version.
inline constexpr DWORD SIMPLEBLOB = 0x1;
inline constexpr DWORD PUBLICKEYBLOB = 0x6;
inline constexpr BYTE CUR_BLOB_VERSION = 2;

// Last-error codes.
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD NTE_BAD_UID = 0x80090001;  // not a context handle
inline constexpr DWORD NTE_BAD_HASH = 0x80090002;
inline constexpr DWORD NTE_BAD_KEY = 0x80090003;  // not a key handle, or the wrong kind of key
inline constexpr DWORD NTE_BAD_LEN = 0x80090004;
inline constexpr DWORD NTE_BAD_DATA = 0x80090005;  // a blob that does not decrypt
inline constexpr DWORD NTE_BAD_VER = 0x80090007;
inline constexpr DWORD NTE_BAD_ALGID = 0x80090008;
inline constexpr DWORD NTE_BAD_FLAGS = 0x80090009;
inline constexpr DWORD NTE_BAD_TYPE = 0x8009000A;
inline constexpr DWORD NTE_BAD_KEY_STATE = 0x8009000B;  // export of a non-exportable key
inline constexpr DWORD NTE_NO_KEY = 0x8009000D;         // the container has no such pair
inline constexpr DWORD NTE_NO_MEMORY = 0x8009000E;
inline constexpr DWORD NTE_EXISTS = 0x8009000F;  // CRYPT_NEWKEYSET on an existing container
inline constexpr DWORD NTE_PERM = 0x80090010;    // key files readable by group or others
inline constexpr DWORD NTE_BAD_KEYSET = 0x80090016;      // no such container
inline constexpr DWORD NTE_KEYSET_NOT_DEF = 0x80090019;  // unknown provider name
inline constexpr DWORD NTE_PROV_TYPE_NO_MATCH = 0x8009001B;
inline constexpr DWORD NTE_PROVIDER_DLL_FAIL = 0x8009001D;  // OpenSSL (legacy provider) unavailable
inline constexpr DWORD NTE_BAD_KEYSET_PARAM = 0x8009001F;  // unusable container name
inline constexpr DWORD NTE_FAIL = 0x80090020;  // key store I/O or an OpenSSL failure

class ICryptoProvider {
 public:
  virtual ~ICryptoProvider() = default;

  // Opens container SZCONTAINER (a plain name: no "/", not "." or "..") of
  // provider SZPROVIDER (nullptr or MS_ENHANCED_PROV), type PROV_RSA_FULL.
  // FLAGS: CRYPT_MACHINE_KEYSET and CRYPT_SILENT are accepted (there is one
  // key store and never a user interface); CRYPT_NEWKEYSET creates the
  // container, without key pairs. Errors: NTE_BAD_KEYSET (missing),
  // NTE_EXISTS (creating an existing one), NTE_PERM, NTE_BAD_FLAGS,
  // NTE_KEYSET_NOT_DEF, NTE_PROV_TYPE_NO_MATCH, NTE_BAD_KEYSET_PARAM, NTE_FAIL.
  virtual bool CryptAcquireContext(HCRYPTPROV* phProv, const char* szContainer, const char* szProvider,
                                   DWORD dwProvType, DWORD dwFlags) = 0;
  // Releases the context (dwFlags 0). Key handles from it stay valid.
  virtual bool CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) = 0;

  // A handle to the stored pair DWKEYSPEC (AT_SIGNATURE or AT_KEYEXCHANGE).
  // NTE_NO_KEY when the container has none, NTE_PERM when its file is
  // readable by others, NTE_BAD_KEY for another key spec.
  virtual bool CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) = 0;
  // ALGID AT_SIGNATURE/AT_KEYEXCHANGE (or CALG_RSA_SIGN/CALG_RSA_KEYX):
  // creates and stores that RSA 2048 pair, or returns the stored one if
  // the container has it already. CALG_RC4: a new random 128-bit session
  // key, exportable with CRYPT_EXPORTABLE (flags 0x800001 say 128 bits,
  // exportable). NTE_BAD_ALGID, NTE_BAD_FLAGS (other flags or lengths),
  // NTE_PROVIDER_DLL_FAIL (RC4 unavailable), NTE_FAIL.
  virtual bool CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) = 0;
  virtual bool CryptDestroyKey(HCRYPTKEY hKey) = 0;

  // SIMPLEBLOB: the exportable session key HKEY encrypted under the
  // exchange pair HEXPKEY, in the Windows layout: BLOBHEADER (bType 1,
  // bVersion 2, reserved 0, aiKeyAlg CALG_RC4, little-endian), ALG_ID
  // CALG_RSA_KEYX, then the PKCS#1 v1.5 ciphertext of the key bytes in
  // little-endian order (12 + 256 bytes). PUBLICKEYBLOB (HEXPKEY 0): the
  // public half of the RSA pair HKEY: BLOBHEADER (bType 6, aiKeyAlg
  // CALG_RSA_KEYX or CALG_RSA_SIGN), RSAPUBKEY ("RSA1", bit length, public
  // exponent) and the modulus, little-endian.
  // PBDATA nullptr: *PDWDATALEN receives the size. Otherwise *PDWDATALEN is
  // the buffer size on entry and the blob size on return; a short buffer
  // fails with ERROR_MORE_DATA and the size needed. NTE_BAD_KEY_STATE (not
  // exportable), NTE_BAD_KEY, NTE_BAD_TYPE, NTE_BAD_FLAGS.
  virtual bool CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                              DWORD* pdwDataLen) = 0;
  // Reads back a SIMPLEBLOB with the container's exchange private key
  // (HPUBKEY: that pair's handle, or 0). DWFLAGS 0 or CRYPT_EXPORTABLE.
  // NTE_BAD_TYPE, NTE_BAD_VER, NTE_BAD_ALGID, NTE_BAD_LEN, NTE_NO_KEY,
  // NTE_BAD_DATA (the ciphertext is not a key under this pair).
  virtual bool CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                              DWORD dwFlags, HCRYPTKEY* phKey) = 0;

  // Encrypts *PDWDATALEN bytes of PBDATA in place with the session key
  // HKEY (HHASH 0, DWFLAGS 0). RC4 keeps the length, so DWBUFLEN only has to
  // hold the data (ERROR_MORE_DATA otherwise); PBDATA nullptr asks the
  // output size. FINAL ends the stream (see above).
  virtual bool CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, bool Final, DWORD dwFlags, BYTE* pbData,
                            DWORD* pdwDataLen, DWORD dwBufLen) = 0;
  // The inverse of CryptEncrypt, in place, same stream rules.
  virtual bool CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, bool Final, DWORD dwFlags, BYTE* pbData,
                            DWORD* pdwDataLen) = 0;

  // The calling thread's last error and its explanation in words, shared by
  // every provider of the process like GetLastError().
  static DWORD lastError() noexcept;
  static std::string lastErrorText();

 protected:
  // Records the calling thread's last error and returns false, for
  // implementations and for fakes that break a call.
  static bool failWith(DWORD nError, std::string_view sText) noexcept;
};

// The provider over OpenSSL, with its key store in SKEYSTOREDIR. SMODULEDIR,
// when not empty, is where OpenSSL's provider modules (legacy) are looked
// for instead of OpenSSL's own default.
class OpenSslCryptoProvider final : public ICryptoProvider {
 public:
  explicit OpenSslCryptoProvider(std::string sKeyStoreDir, std::string sModuleDir = {});
  ~OpenSslCryptoProvider() override;
  OpenSslCryptoProvider(const OpenSslCryptoProvider&) = delete;
  OpenSslCryptoProvider& operator=(const OpenSslCryptoProvider&) = delete;

  const std::string& keyStoreDir() const;

  bool CryptAcquireContext(HCRYPTPROV* phProv, const char* szContainer, const char* szProvider, DWORD dwProvType,
                           DWORD dwFlags) override;
  bool CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) override;
  bool CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) override;
  bool CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) override;
  bool CryptDestroyKey(HCRYPTKEY hKey) override;
  bool CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                      DWORD* pdwDataLen) override;
  bool CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                      HCRYPTKEY* phKey) override;
  bool CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, bool Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen,
                    DWORD dwBufLen) override;
  bool CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, bool Final, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLen) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_pImpl;
};

// The machine's provider, key store MACHINE_DIR/keys (read at first use).
// Never destroyed: plug-ins release their keys from unload hooks that run
// after the process's static objects are gone.
ICryptoProvider& cryptoProvider();

// Passes every call to another provider; derive from it to override only
// the call a test needs to break (return failWith(code, text)).
class ForwardingCryptoProvider : public ICryptoProvider {
 public:
  explicit ForwardingCryptoProvider(ICryptoProvider& inner) : m_rInner(inner) {}
  bool CryptAcquireContext(HCRYPTPROV* phProv, const char* szContainer, const char* szProvider, DWORD dwProvType,
                           DWORD dwFlags) override {
    return m_rInner.CryptAcquireContext(phProv, szContainer, szProvider, dwProvType, dwFlags);
  }
  bool CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) override {
    return m_rInner.CryptReleaseContext(hProv, dwFlags);
  }
  bool CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) override {
    return m_rInner.CryptGetUserKey(hProv, dwKeySpec, phUserKey);
  }
  bool CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) override {
    return m_rInner.CryptGenKey(hProv, Algid, dwFlags, phKey);
  }
  bool CryptDestroyKey(HCRYPTKEY hKey) override { return m_rInner.CryptDestroyKey(hKey); }
  bool CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                      DWORD* pdwDataLen) override {
    return m_rInner.CryptExportKey(hKey, hExpKey, dwBlobType, dwFlags, pbData, pdwDataLen);
  }
  bool CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                      HCRYPTKEY* phKey) override {
    return m_rInner.CryptImportKey(hProv, pbData, dwDataLen, hPubKey, dwFlags, phKey);
  }
  bool CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, bool Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen,
                    DWORD dwBufLen) override {
    return m_rInner.CryptEncrypt(hKey, hHash, Final, dwFlags, pbData, pdwDataLen, dwBufLen);
  }
  bool CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, bool Final, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLen) override {
    return m_rInner.CryptDecrypt(hKey, hHash, Final, dwFlags, pbData, pdwDataLen);
  }

 protected:
  ICryptoProvider& m_rInner;
};

}  // namespace win
