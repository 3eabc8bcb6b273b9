// The one-record XML log of a transferred file: a complete document that
// records the transfer as a one-message chat between the two users.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace filewarden {

struct FileTransferRecord {
  std::string_view sGuid;      // 36 characters, new for every transfer
  std::uint32_t nSession = 0;  // the host's session number
  std::string_view sStamp;     // "%Y%m%dT%H%M%S", one for every row
  std::string_view sSender;    // the first user (joins first, leaves last)
  std::string_view sReceiver;  // the second user
  std::string_view sFileName;  // the name the file was sent under
  std::string_view sCopyPath;  // where the copy is kept
  std::uint32_t nSize = 0;     // bytes, as the host reported them
};

// The whole document, lines ended with CR LF as a text stream writes them.
// Names and paths are escaped; nothing is encrypted. The import side reads
// this layout as it is: a blank before every "/>", and the first "left"
// state directly after "</ibm:im>" on the same line.
std::string formatFileTransferLog(const FileTransferRecord& record);

}  // namespace filewarden
