// Loads the file-transfer plug-in in-process over fake facilities, as the
// library load would, with a log folder, a file-transfer folder and an
// upload folder of its own.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "FileTransferPlugin.h"
#include "TestSupport.h"
#include "UploadFolder.h"
#include "stdda_ft.h"

namespace filewarden::test {

class FileTransferFixture : public ::testing::Test {
 public:
  FileTransferFixture() {
    std::filesystem::create_directories(dir / "logs");
    std::filesystem::create_directories(dir / "files");
  }
  ~FileTransferFixture() override { unloadPlugin(); }

  void setDword(const char* pName, std::uint32_t n) {
    machine.registry.setValue(kSettingsKey, win::RegValue::dword(pName, n));
  }
  void setText(const char* pName, const std::string& s) {
    machine.registry.setValue(kSettingsKey, win::RegValue::text(pName, s));
  }
  // Logging on, both folders stored without a trailing '/'.
  void configureEnabled() {
    setText("LogFileFolderPath", dir / "logs");
    setText("FileTransferFolderPath", dir / "files");
    setDword("FileTransferEnabled", 1);
  }

  // Loads the plug-in over FACILITIES (the fake machine by default) and
  // initialises it, offering interface version NVERSION.
  std::int32_t init(std::uint32_t nVersion = 14) { return initWith(machine.facilities(), nVersion); }
  std::int32_t initWith(const win::Facilities& facilities, std::uint32_t nVersion = 14) {
    loadPlugin(facilities);
    m_nVersion = nVersion;
    return stDdaFtInit(&m_nVersion);
  }

  static FtScanRequest request(const std::string& sPath, const std::string& sSender, const std::string& sReceiver,
                               std::uint32_t nSize, std::uint32_t nSession) {
    FtScanRequest r{};
    std::snprintf(r.path, sizeof r.path, "%s", sPath.c_str());
    std::snprintf(r.sender, sizeof r.sender, "%s", sSender.c_str());
    std::snprintf(r.receiver, sizeof r.receiver, "%s", sReceiver.c_str());
    r.size = nSize;
    r.session = nSession;
    return r;
  }
  // Puts CONTENT into the upload folder under NAME and scans it.
  std::int32_t send(const std::string& sName, const std::string& sContent, const std::string& sSender = "CN=A/O=X",
                    const std::string& sReceiver = "CN=B/O=X") {
    const FtScanRequest r = request(upload.put(sName, sContent), sSender, sReceiver,
                                    static_cast<std::uint32_t>(sContent.size()), 1);
    return stDdaFtScanFile(&r);
  }

  // The names of the files in DIR/FOLDER, sorted.
  std::vector<std::string> filesIn(const std::string& sFolder) const {
    std::vector<std::string> v;
    for (const auto& e : std::filesystem::directory_iterator(dir / sFolder)) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
  }
  const std::vector<std::string>& traces() const { return machine.debug.lines(); }
  // The GUID the fake source hands out next.
  std::string nextGuid() const {
    char a[40];
    std::snprintf(a, sizeof a, "00000000-0000-4000-8000-%012x", machine.uuid.m_nNext);
    return a;
  }

  testsupport::TempDir dir;
  testsupport::FakeMachine machine;
  UploadFolder upload;
  std::uint32_t m_nVersion = 0;
};

}  // namespace filewarden::test
