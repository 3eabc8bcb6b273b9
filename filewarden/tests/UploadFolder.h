// The host's upload folder: the scan request's path is this folder's
// 15-character path ("/tmp/ft.XXXXXX/") followed by the name the file was
// sent under, and the file really is there, so the plug-in can copy it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "TestSupport.h"

namespace filewarden::test {

class UploadFolder {
 public:
  UploadFolder() {
    char aTemplate[] = "/tmp/ft.XXXXXX";
    if (!::mkdtemp(aTemplate)) throw std::runtime_error("mkdtemp failed");
    m_sPath = std::string(aTemplate) + "/";
    if (m_sPath.size() != 15) throw std::logic_error("the upload prefix must be 15 characters");
  }
  ~UploadFolder() {
    std::error_code ec;
    std::filesystem::remove_all(m_sPath, ec);
  }
  UploadFolder(const UploadFolder&) = delete;
  UploadFolder& operator=(const UploadFolder&) = delete;

  // "/tmp/ft.XXXXXX/"
  const std::string& prefix() const { return m_sPath; }
  // Stores CONTENT under NAME and returns the path the host passes.
  std::string put(const std::string& sName, const std::string& sContent) const {
    testsupport::writeFile(m_sPath + sName, sContent);
    return m_sPath + sName;
  }

 private:
  std::string m_sPath;
};

}  // namespace filewarden::test
