// Reading an encrypted transcript part back: the session key in its
// ibm:crypto line is imported with the exchange key of the machine's key
// container, and every encrypted value is replaced by its clear text,
// encoded as the plug-in writes clear values.
#pragma once

#include <string>

#include "win/crypto_provider.h"

namespace chatwarden {

// Rewrites SXML into SOUT: the ibm:crypto line is dropped and every
// encrypted id (un, sn) and message body (txt) is written in clear, so the
// result equals the transcript the plug-in writes with encryption off. A
// part without an ibm:crypto line is copied as it is. False, with SERROR,
// when the key cannot be read or a value does not decrypt.
bool decryptTranscript(const std::string& sXml, win::ICryptoProvider& provider, std::string& sOut,
                       std::string& sError);

}  // namespace chatwarden
