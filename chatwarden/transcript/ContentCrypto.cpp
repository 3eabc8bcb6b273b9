#include "transcript/ContentCrypto.h"

#include <vector>

#include "core/ChatResource.h"

namespace chatwarden {

using namespace win;

bool ContentCrypto::ensureKeyPair(DWORD nKeySpec, const char* pAvailable, const char* pCreated,
                                  const char* pCreateError, const char* pGetError) {
  HCRYPTKEY hKey = 0;
  if (m_rProvider.CryptGetUserKey(m_hProv, nKeySpec, &hKey)) {
    m_rResource.traceMessage("%s", pAvailable);
  } else if (ICryptoProvider::lastError() == NTE_NO_KEY) {
    if (!m_rProvider.CryptGenKey(m_hProv, nKeySpec, 0, &hKey)) {
      m_rResource.traceMessage("%s", pCreateError);
      return false;
    }
    m_rResource.traceMessage("%s", pCreated);
  } else {
    m_rResource.traceMessage("%s: %s", pGetError, ICryptoProvider::lastErrorText().c_str());
    return false;
  }
  m_rProvider.CryptDestroyKey(hKey);
  return true;
}

bool ContentCrypto::initCryptoAPI() {
  ChatResource& res = m_rResource;
  res.traceMessage("..+ChatSessionEntry::initCryptoAPI()");
  const DWORD kFlags = CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
  if (m_rProvider.CryptAcquireContext(&m_hProv, kKeyContainer, MS_ENHANCED_PROV, PROV_RSA_FULL, kFlags)) {
    res.traceMessage("->Key container '%s' available", kKeyContainer);
  } else if (ICryptoProvider::lastError() != NTE_BAD_KEYSET) {
    // A container that exists but cannot be used (its private keys readable
    // by others, say) is not replaced: that would lose the key every earlier
    // transcript was exported under.
    res.traceMessage("->ERROR: Unable to use '%s' key container: %s", kKeyContainer,
                     ICryptoProvider::lastErrorText().c_str());
    return false;
  } else if (m_rProvider.CryptAcquireContext(&m_hProv, kKeyContainer, MS_ENHANCED_PROV, PROV_RSA_FULL,
                                             kFlags | CRYPT_NEWKEYSET)) {
    res.traceMessage("->Created new '%s' key container", kKeyContainer);
  } else if (ICryptoProvider::lastError() == NTE_EXISTS &&
             m_rProvider.CryptAcquireContext(&m_hProv, kKeyContainer, MS_ENHANCED_PROV, PROV_RSA_FULL, kFlags)) {
    // Another process created it between our two attempts.
    res.traceMessage("->Key container '%s' available", kKeyContainer);
  } else {
    res.traceMessage("->ERROR: Unable to create '%s' key container: %s", kKeyContainer,
                     ICryptoProvider::lastErrorText().c_str());
    return false;
  }
  if (!ensureKeyPair(AT_SIGNATURE, "->Signature key available", "->Created new signature key pair",
                     "->ERROR: Unable to create a new signature key pair",
                     "->ERROR: Unable to obtain existing signature key pair"))
    return false;
  if (!ensureKeyPair(AT_KEYEXCHANGE, "->Exchange key available", "->New exchange key pair created",
                     "->ERROR: Unable to create new exchange key pair", "->ERROR: Unable to obtain exchange key pair"))
    return false;

  if (!m_rProvider.CryptGenKey(m_hProv, CALG_RC4, 0x00800000 | CRYPT_EXPORTABLE, &m_hSessionKey)) {
    res.traceMessage("->ERROR: Unable to create session key: %s", ICryptoProvider::lastErrorText().c_str());
    return false;
  }
  res.traceMessage("->Session key has been created");

  HCRYPTKEY hExchange = 0;
  if (!m_rProvider.CryptGetUserKey(m_hProv, AT_KEYEXCHANGE, &hExchange)) {
    res.traceMessage("->ERROR: Unable to retrieve public exchange key");
    return false;
  }
  res.traceMessage("->Retrieved public exchange key");
  DWORD nBlobSize = 0;
  if (!m_rProvider.CryptExportKey(m_hSessionKey, hExchange, SIMPLEBLOB, 0, nullptr, &nBlobSize)) {
    res.traceMessage("->ERROR: Unable to obtain key blob size");
    m_rProvider.CryptDestroyKey(hExchange);
    return false;
  }
  res.traceMessage("->Key blob size is %d bytes", static_cast<int>(nBlobSize));
  std::vector<BYTE> vBlob(nBlobSize);
  res.traceMessage("->Allocated memory for key blob");
  if (!m_rProvider.CryptExportKey(m_hSessionKey, hExchange, SIMPLEBLOB, 0, vBlob.data(), &nBlobSize)) {
    res.traceMessage("->ERROR: Unable to export key into key blob");
    m_rProvider.CryptDestroyKey(hExchange);
    return false;
  }
  res.traceMessage("->Exported key into key blob");
  m_rProvider.CryptDestroyKey(hExchange);

  std::string sText;
  if (!res.Bin2ASCII(vBlob.data(), nBlobSize, sText)) {
    res.traceMessage("->ERROR: Unable to convert binary key blob to text");
    return false;
  }
  m_sKeyBlobText = std::move(sText);
  res.traceMessage("->Converted binary key blob to text");
  res.traceMessage("..-ChatSessionEntry::initCryptoAPI()");
  return true;
}

void ContentCrypto::termCryptoAPI() {
  m_rResource.traceMessage("..+ChatSessionEntry::termCryptoAPI()");
  if (m_hSessionKey) m_rProvider.CryptDestroyKey(m_hSessionKey);
  m_hSessionKey = 0;
  if (m_hProv) m_rProvider.CryptReleaseContext(m_hProv, 0);
  m_hProv = 0;
  m_rResource.traceMessage("..-ChatSessionEntry::termCryptoAPI()");
}

bool ContentCrypto::appendEncrypted(std::string& sOut, std::string_view sText, const std::string& sSessionId) {
  ChatResource& res = m_rResource;
  const bool bTrace = res.isTraceEnabled();  // runs for every value
  if (bTrace) res.traceMessage("..+ChatSessionEntry::encrypt(%s)", sSessionId.c_str());
  if (!ready()) {
    res.traceMessage("->ERROR: Unable to encrypt text");
    return false;
  }
  // The terminating NUL is encrypted too.
  m_sBuffer.assign(sText);
  m_sBuffer.push_back('\0');
  DWORD nLen = static_cast<DWORD>(m_sBuffer.size());
  if (!m_rProvider.CryptEncrypt(m_hSessionKey, 0, true, 0, reinterpret_cast<BYTE*>(m_sBuffer.data()), &nLen, nLen)) {
    res.traceMessage("->ERROR: Unable to encrypt text");
    return false;
  }
  if (!res.Bin2ASCII(reinterpret_cast<const unsigned char*>(m_sBuffer.data()), nLen, sOut)) {
    res.traceMessage("->ERROR: Unable to convert encrypted text");
    return false;
  }
  if (bTrace) res.traceMessage("..-ChatSessionEntry::encrypt(%s)", sSessionId.c_str());
  return true;
}

}  // namespace chatwarden
