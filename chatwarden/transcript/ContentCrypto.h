// Content encryption of the XML transcripts: one RC4 session key for the
// life of the loaded plug-in, exported under the exchange key of the
// machine's key container "Parlantis" into the head of every part, and
// every id and message text written as the hexadecimal form of its
// ciphertext.
#pragma once

#include <string>
#include <string_view>

#include "win/crypto_provider.h"

namespace chatwarden {

class ChatResource;

inline constexpr const char* kKeyContainer = "Parlantis";

class ContentCrypto {
 public:
  ContentCrypto(ChatResource& resource, win::ICryptoProvider& provider) : m_rResource(resource), m_rProvider(provider) {}
  ~ContentCrypto() = default;
  ContentCrypto(const ContentCrypto&) = delete;
  ContentCrypto& operator=(const ContentCrypto&) = delete;

  // Opens (or creates) the key container with both key pairs, creates the
  // session key and its exported text. Every step is traced.
  bool initCryptoAPI();
  void termCryptoAPI();
  bool ready() const { return m_hSessionKey != 0 && !m_sKeyBlobText.empty(); }
  // The exported session key, upper-case hexadecimal.
  const std::string& keyBlobText() const { return m_sKeyBlobText; }

  // Appends TEXT encrypted (its terminating NUL included) as upper-case
  // hexadecimal: 2 x (length + 1) characters. False, with a trace naming
  // SESSIONID, when the value cannot be encrypted; nothing is appended then.
  bool appendEncrypted(std::string& sOut, std::string_view sText, const std::string& sSessionId);

 private:
  // Gets the stored pair KEYSPEC, creating it when the container has none.
  bool ensureKeyPair(win::DWORD nKeySpec, const char* pAvailable, const char* pCreated, const char* pCreateError,
                     const char* pGetError);

  ChatResource& m_rResource;
  win::ICryptoProvider& m_rProvider;
  win::HCRYPTPROV m_hProv = 0;
  win::HCRYPTKEY m_hSessionKey = 0;
  std::string m_sKeyBlobText;
  std::string m_sBuffer;  // reused for each value
};

}  // namespace chatwarden
