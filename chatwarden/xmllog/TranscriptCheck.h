// Checks a file against the XML log format: a chat transcript part or a
// file-transfer log.
#pragma once

#include <string>
#include <vector>

namespace chatwarden {

struct TranscriptSummary {
  std::string sGuid;
  int nPart = -1;
  bool bComplete = false;
  bool bEncrypted = false;
  bool bFileTransfer = false;
  int nStates = 0;
  int nMessages = 0;
  int nImages = 0;
};

// Checks SXML (the file's bytes; SNAME, its file name without folder, is
// compared with what the document says: a "_single"/"_final" part must be
// complete, a "_start"/"_partNNN" part incomplete with that part number).
// Returns the problems found; empty when the file is sound.
std::vector<std::string> checkTranscript(const std::string& sXml, const std::string& sName,
                                         TranscriptSummary& summary);

}  // namespace chatwarden
