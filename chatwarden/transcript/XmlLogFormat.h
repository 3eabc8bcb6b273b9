// The XML log format, version 5: the pieces both plug-ins write.
#pragma once

#include <string>
#include <string_view>

namespace chatwarden {

inline constexpr const char* kXmlNamespace = "http://www.velkora.com/v5";
inline constexpr const char* kXmlIbmNamespace = "http://www.velkora.com/v5/ibm";

// '<?xml ...?>' and the root start tag '<log version="5" xmlns=... xmlns:ibm=...>'.
inline constexpr const char* kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>";
inline constexpr const char* kXmlRootStart =
    "<log version=\"5\" xmlns=\"http://www.velkora.com/v5\" xmlns:ibm=\"http://www.velkora.com/v5/ibm\">";

// Records are written as a text stream writes them: every LF, also inside
// values, reaches the file as CR LF. The append forms below do that
// conversion as they go; records add their own line ends as CR LF.

// Attribute values holding ids: & < > " ' become entities, every other byte
// is copied as it is.
std::string escapeXmlValue(std::string_view sText);
void appendEscapedXmlValue(std::string& sOut, std::string_view sText);

// A message body for one CDATA section: every "]]>" becomes "]]]]><![CDATA[>"
// so the element's text reads back as the message.
std::string prepareCDataText(std::string_view sText);
void appendCDataText(std::string& sOut, std::string_view sText);

// Copies TEXT with every LF written as CR LF.
void appendTextMode(std::string& sOut, std::string_view sText);

}  // namespace chatwarden
