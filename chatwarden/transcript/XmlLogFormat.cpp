#include "transcript/XmlLogFormat.h"

namespace chatwarden {

void appendEscapedXmlValue(std::string& sOut, std::string_view sText) {
  // Copies the runs between special characters in one go; a line feed is
  // written the way a text stream writes it.
  std::size_t nFrom = 0;
  for (std::size_t n = sText.find_first_of("&<>\"'\n"); n != std::string_view::npos;
       n = sText.find_first_of("&<>\"'\n", nFrom)) {
    sOut.append(sText.substr(nFrom, n - nFrom));
    switch (sText[n]) {
      case '&': sOut += "&amp;"; break;
      case '<': sOut += "&lt;"; break;
      case '>': sOut += "&gt;"; break;
      case '"': sOut += "&quot;"; break;
      case '\'': sOut += "&apos;"; break;
      default: sOut += "\r\n"; break;
    }
    nFrom = n + 1;
  }
  sOut.append(sText.substr(nFrom));
}

std::string escapeXmlValue(std::string_view sText) {
  std::string s;
  s.reserve(sText.size());
  appendEscapedXmlValue(s, sText);
  return s;
}

void appendCDataText(std::string& sOut, std::string_view sText) {
  constexpr std::string_view kEnd = "]]>";
  std::size_t nFrom = 0;
  for (std::size_t n = sText.find(kEnd); n != std::string_view::npos; n = sText.find(kEnd, nFrom)) {
    appendTextMode(sOut, sText.substr(nFrom, n - nFrom));
    sOut += "]]]]><![CDATA[>";
    nFrom = n + kEnd.size();
  }
  appendTextMode(sOut, sText.substr(nFrom));
}

std::string prepareCDataText(std::string_view sText) {
  std::string s;
  s.reserve(sText.size());
  appendCDataText(s, sText);
  return s;
}

void appendTextMode(std::string& sOut, std::string_view sText) {
  std::size_t nFrom = 0;
  for (std::size_t n = sText.find('\n'); n != std::string_view::npos; n = sText.find('\n', nFrom)) {
    sOut.append(sText.substr(nFrom, n - nFrom));
    sOut += "\r\n";
    nFrom = n + 1;
  }
  sOut.append(sText.substr(nFrom));
}

}  // namespace chatwarden
