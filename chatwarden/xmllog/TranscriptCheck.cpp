#include "xmllog/TranscriptCheck.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <regex>

#include "transcript/XmlLogFormat.h"

namespace chatwarden {
namespace {

std::string attribute(xmlNodePtr p, const char* pName) {
  xmlChar* pValue = xmlGetProp(p, BAD_CAST pName);
  if (!pValue) return {};
  std::string s(reinterpret_cast<const char*>(pValue));
  xmlFree(pValue);
  return s;
}

bool hasAttribute(xmlNodePtr p, const char* pName) { return xmlHasProp(p, BAD_CAST pName) != nullptr; }

// "ibm:state" for an element in the ibm namespace, "log" for one in the
// default namespace, "?:name" for anything else.
std::string qualifiedName(xmlNodePtr p) {
  const char* pUri = p->ns ? reinterpret_cast<const char*>(p->ns->href) : "";
  const std::string sName = reinterpret_cast<const char*>(p->name);
  if (std::strcmp(pUri, kXmlIbmNamespace) == 0) return "ibm:" + sName;
  if (std::strcmp(pUri, kXmlNamespace) == 0) return sName;
  return "?:" + sName;
}

std::vector<xmlNodePtr> elementChildren(xmlNodePtr p) {
  std::vector<xmlNodePtr> v;
  for (xmlNodePtr c = p->children; c; c = c->next)
    if (c->type == XML_ELEMENT_NODE) v.push_back(c);
  return v;
}

bool isStamp(const std::string& s) { return std::regex_match(s, std::regex(R"(\d{8}T\d{6})")); }

}  // namespace

std::vector<std::string> checkTranscript(const std::string& sXml, const std::string& sName,
                                         TranscriptSummary& summary) {
  std::vector<std::string> vProblems;
  auto problem = [&](const std::string& s) { vProblems.push_back(s); };

  // Strict first: a transcript the plug-in finished is well-formed. Only a
  // message body with control bytes makes it unclean; such a file is read
  // in recovering mode and the problem reported.
  const int nFlags = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  xmlDocPtr pDoc = xmlReadMemory(sXml.data(), static_cast<int>(sXml.size()), sName.c_str(), nullptr, nFlags);
  if (!pDoc) {
    problem("not well-formed XML");
    pDoc = xmlReadMemory(sXml.data(), static_cast<int>(sXml.size()), sName.c_str(), nullptr, nFlags | XML_PARSE_RECOVER);
    if (!pDoc) return vProblems;
  }
  xmlNodePtr pRoot = xmlDocGetRootElement(pDoc);
  if (!pRoot || qualifiedName(pRoot) != "log") {
    problem("the root element is not log in the log namespace");
    xmlFreeDoc(pDoc);
    return vProblems;
  }
  if (attribute(pRoot, "version") != "5") problem("log version is not 5");
  if (sXml.find("\r\n") == std::string::npos || sXml.find('\n') < sXml.find("\r\n"))
    problem("lines do not end with CR LF");

  const std::vector<xmlNodePtr> vChildren = elementChildren(pRoot);
  if (vChildren.empty() || qualifiedName(vChildren.front()) != "ibm:file") {
    problem("the first element is not ibm:file");
  } else {
    xmlNodePtr pFile = vChildren.front();
    summary.sGuid = attribute(pFile, "guid");
    if (!std::regex_match(summary.sGuid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")))
      problem("ibm:file guid '" + summary.sGuid + "' is not a GUID");
    const std::string sPart = attribute(pFile, "part");
    if (!std::regex_match(sPart, std::regex("[0-9]+")))
      problem("ibm:file part '" + sPart + "' is not a number");
    else
      summary.nPart = std::stoi(sPart);
    summary.bFileTransfer = hasAttribute(pFile, "session");
  }
  if (vChildren.empty() || qualifiedName(vChildren.back()) != "ibm:log") {
    problem("the last element is not the ibm:log completion");
  } else {
    const std::string sComplete = attribute(vChildren.back(), "complete");
    if (sComplete != "true" && sComplete != "false") problem("ibm:log complete is '" + sComplete + "'");
    summary.bComplete = sComplete == "true";
  }

  for (std::size_t i = 1; i + 1 < vChildren.size(); ++i) {
    xmlNodePtr p = vChildren[i];
    const std::string sElement = qualifiedName(p);
    if (sElement == "ibm:crypto") {
      summary.bEncrypted = true;
      if (i != 1) problem("ibm:crypto is not right after ibm:file");
      if (!std::regex_match(attribute(p, "key"), std::regex("[0-9A-F]+"))) problem("ibm:crypto key is not hexadecimal");
    } else if (sElement == "ibm:state") {
      ++summary.nStates;
      const std::string sEvent = attribute(p, "event");
      if (sEvent != "joined" && sEvent != "left") problem("ibm:state event '" + sEvent + "'");
      if (!isStamp(attribute(p, "date"))) problem("ibm:state date '" + attribute(p, "date") + "'");
      if (!hasAttribute(p, "un") || !hasAttribute(p, "entity")) problem("ibm:state without un or entity");
    } else if (sElement == "ibm:im") {
      ++summary.nMessages;
      if (!isStamp(attribute(p, "date"))) problem("ibm:im date '" + attribute(p, "date") + "'");
      std::vector<std::string> vNames;
      for (xmlNodePtr c : elementChildren(p)) vNames.push_back(qualifiedName(c));
      const bool bChat = vNames == std::vector<std::string>{"from", "to", "txt"};
      const bool bTransfer = vNames == std::vector<std::string>{"from", "to", "filetransfer"};
      if (!bChat && !bTransfer) problem("ibm:im does not hold from, to and txt (or filetransfer)");
    } else if (sElement == "ibm:image") {
      ++summary.nImages;
      const std::string sFile = attribute(p, "file");
      if (sFile.find('/') != std::string::npos) problem("ibm:image file '" + sFile + "' names a folder");
      if (!std::regex_match(attribute(p, "size"), std::regex("[0-9]+"))) problem("ibm:image size is not a number");
    } else {
      problem("unexpected element " + sElement);
    }
  }
  xmlFreeDoc(pDoc);

  // What the name says of the part.
  std::smatch m;
  if (std::regex_search(sName, m, std::regex(R"(_(single|final|start|part(\d{3,}))\.xml$)"))) {
    const std::string sKind = m[1];
    const bool bLast = sKind == "single" || sKind == "final";
    if (bLast != summary.bComplete) problem("a " + sKind + " part must " + (bLast ? "" : "not ") + "be complete");
    if (sKind == "single" && summary.nPart != 0) problem("a single part must be part 0");
    if (sKind == "start" && summary.nPart != 0) problem("a start part must be part 0");
    if (sKind == "final" && summary.nPart < 1) problem("a final part must follow other parts");
    if (m[2].matched && std::stoi(m[2]) != summary.nPart)
      problem("the name says part " + std::string(m[2]) + ", the file says " + std::to_string(summary.nPart));
  } else if (std::regex_search(sName, std::regex(R"(_file\.xml$)")) && !summary.bFileTransfer) {
    problem("a file-transfer log without a session number");
  }
  return vProblems;
}

}  // namespace chatwarden
