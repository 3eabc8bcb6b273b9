#include "xmllog/TranscriptDecrypt.h"

#include <algorithm>
#include <vector>

#include "transcript/ContentCrypto.h"
#include "transcript/XmlLogFormat.h"

namespace chatwarden {
namespace {

using namespace win;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool fromHex(const std::string& sHex, std::vector<BYTE>& v) {
  if (sHex.size() % 2) return false;
  v.resize(sHex.size() / 2);
  for (std::size_t i = 0; i < v.size(); ++i) {
    const int hi = hexDigit(sHex[2 * i]), lo = hexDigit(sHex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    v[i] = static_cast<BYTE>(hi * 16 + lo);
  }
  return true;
}

// Closes what it holds when the rewrite ends, successful or not.
struct Keys {
  ICryptoProvider& provider;
  HCRYPTPROV hProv = 0;
  HCRYPTKEY hExchange = 0;
  HCRYPTKEY hSession = 0;
  ~Keys() {
    if (hSession) provider.CryptDestroyKey(hSession);
    if (hExchange) provider.CryptDestroyKey(hExchange);
    if (hProv) provider.CryptReleaseContext(hProv, 0);
  }
};

}  // namespace

bool decryptTranscript(const std::string& sXml, ICryptoProvider& provider, std::string& sOut, std::string& sError) {
  const std::string kCrypto = "<ibm:crypto key=\"";
  const auto nCrypto = sXml.find(kCrypto);
  if (nCrypto == std::string::npos) {
    sOut = sXml;
    return true;
  }
  const auto nKeyStart = nCrypto + kCrypto.size();
  const auto nKeyEnd = sXml.find('"', nKeyStart);
  const auto nLineEnd = sXml.find("\r\n", nKeyStart);
  std::vector<BYTE> vBlob;
  if (nKeyEnd == std::string::npos || nLineEnd == std::string::npos ||
      !fromHex(sXml.substr(nKeyStart, nKeyEnd - nKeyStart), vBlob)) {
    sError = "the ibm:crypto key is not hexadecimal";
    return false;
  }

  Keys keys{provider};
  if (!provider.CryptAcquireContext(&keys.hProv, kKeyContainer, MS_ENHANCED_PROV, PROV_RSA_FULL,
                                    CRYPT_MACHINE_KEYSET | CRYPT_SILENT) ||
      !provider.CryptGetUserKey(keys.hProv, AT_KEYEXCHANGE, &keys.hExchange) ||
      !provider.CryptImportKey(keys.hProv, vBlob.data(), static_cast<DWORD>(vBlob.size()), keys.hExchange, 0,
                               &keys.hSession)) {
    sError = std::string("cannot read the session key with the '") + kKeyContainer +
             "' key container of this machine: " + ICryptoProvider::lastErrorText();
    return false;
  }

  // Decrypts the hexadecimal value at [nFrom, nTo) of the file; the clear
  // text ends with the encrypted terminator, which is dropped.
  std::vector<BYTE> vValue;
  auto decryptAt = [&](std::size_t nFrom, std::size_t nTo, std::string& sClear) {
    if (!fromHex(sXml.substr(nFrom, nTo - nFrom), vValue) || vValue.empty()) {
      sError = "the value at byte " + std::to_string(nFrom) + " is not an encrypted value";
      return false;
    }
    DWORD nLen = static_cast<DWORD>(vValue.size());
    if (!provider.CryptDecrypt(keys.hSession, 0, true, 0, vValue.data(), &nLen) || nLen == 0 ||
        vValue[nLen - 1] != 0) {
      sError = "the value at byte " + std::to_string(nFrom) + " does not decrypt with this key";
      return false;
    }
    sClear.assign(reinterpret_cast<const char*>(vValue.data()), nLen - 1);
    return true;
  };

  sOut.clear();
  sOut.reserve(sXml.size());
  sOut.append(sXml, 0, nCrypto);
  std::size_t nPos = nLineEnd + 2;
  const std::string kTxtStart = "<txt><![CDATA[", kTxtEnd = "]]></txt>";
  while (nPos < sXml.size()) {
    // The next encrypted value: an un or sn attribute, or a message body.
    const auto nUn = sXml.find(" un=\"", nPos);
    const auto nSn = sXml.find(" sn=\"", nPos);
    const auto nTxt = sXml.find(kTxtStart, nPos);
    const auto nNext = std::min({nUn, nSn, nTxt});
    if (nNext == std::string::npos) break;
    std::string sClear;
    if (nNext == nTxt) {
      const auto nStart = nTxt + kTxtStart.size();
      const auto nEnd = sXml.find(kTxtEnd, nStart);
      if (nEnd == std::string::npos || !decryptAt(nStart, nEnd, sClear)) {
        if (sError.empty()) sError = "a txt element is not closed";
        return false;
      }
      sOut.append(sXml, nPos, nStart - nPos);
      appendCDataText(sOut, sClear);
      nPos = nEnd;
    } else {
      const auto nStart = nNext + 5;
      const auto nEnd = sXml.find('"', nStart);
      if (nEnd == std::string::npos || !decryptAt(nStart, nEnd, sClear)) {
        if (sError.empty()) sError = "an attribute is not closed";
        return false;
      }
      sOut.append(sXml, nPos, nStart - nPos);
      appendEscapedXmlValue(sOut, sClear);
      nPos = nEnd;
    }
  }
  sOut.append(sXml, nPos, std::string::npos);
  return true;
}

}  // namespace chatwarden
