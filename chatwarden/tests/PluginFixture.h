// Loads the plug-in in-process over fake facilities, as the library load
// would, with a log folder and a trace folder of its own.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <cstdio>
#include <filesystem>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "core/ChatResource.h"
#include "core/ChatwardenPlugin.h"
#include "stdda_cl.h"

namespace chatwarden::test {

class PluginFixture : public ::testing::Test {
 protected:
  PluginFixture() {
    machine.process.m_sExePath = dir / "bin/stserver";
    std::filesystem::create_directories(dir / "bin/trace");
    std::filesystem::create_directories(dir / "logs");
  }
  ~PluginFixture() override { unloadPlugin(); }

  void setDword(const char* pName, std::uint32_t n) { machine.registry.setValue(kSettingsKey, win::RegValue::dword(pName, n)); }
  void setText(const char* pName, const std::string& s) { machine.registry.setValue(kSettingsKey, win::RegValue::text(pName, s)); }
  // An active, tracing plug-in with an XML log folder.
  void configureActive() {
    setDword("TraceSametime", 1);
    setDword("LogFileEnabled", 1);
    setDword("LogFileFormat", 2);
    setText("LogFileFolderPath", dir / "logs");
  }
  void load() { loadPlugin(machine.facilities()); }
  // An active plug-in writing NFORMAT, rolling XML parts over after
  // NINTERVALMINUTES (0: never), loaded.
  void loadActive(std::uint32_t nFormat, std::uint32_t nIntervalMinutes = 0) {
    configureActive();
    setDword("LogFileFormat", nFormat);
    setDword("LogFileInterval", nIntervalMinutes);
    load();
  }
  // The same, initialised by the host.
  void startActive(std::uint32_t nFormat, std::uint32_t nIntervalMinutes = 0) {
    loadActive(nFormat, nIntervalMinutes);
    ASSERT_EQ(init(), ST_DDA_API_OK);
  }
  ChatwardenPlugin& plugin() { return *loadedPlugin(); }

  std::int32_t init(std::int32_t nVersion = 14, std::uint32_t nFlags = 0) {
    m_nVersion = nVersion;
    return stDdaClInit(&m_nVersion, nFlags, &m_nInitFlags, m_aDirType, m_aLibVersion, &m_nIndicator, m_aMessage);
  }

  static ChatEntity entity(const char* pId, std::int32_t nType = ST_DDA_ENTITY_USER) {
    ChatEntity e{};
    std::snprintf(e.id, sizeof e.id, "%s", pId);
    e.type = nType;
    return e;
  }
  // The files in the log folder, by name, sorted.
  std::vector<std::string> logFiles() const {
    std::vector<std::string> v;
    for (const auto& f : std::filesystem::directory_iterator(dir / "logs")) v.push_back(f.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
  }
  std::string logFile(const std::string& sName) const { return testsupport::readFile(dir / ("logs/" + sName)); }

  std::string traceFile() const { return dir / "bin/trace/parlantis.txt"; }
  std::vector<std::string> traceLines() const { return testsupport::splitCrLf(testsupport::readFile(traceFile())); }
  // The trace lines without their "[pid:tid] time " prefix.
  std::vector<std::string> traceMessages() const {
    std::vector<std::string> v;
    for (const auto& s : traceLines()) {
      const auto n = s.find(" AM ") != std::string::npos ? s.find(" AM ") : s.find(" PM ");
      v.push_back(n == std::string::npos ? s : s.substr(n + 4));
    }
    return v;
  }
  bool traced(const std::string& sMessage) const {
    for (const auto& s : traceMessages())
      if (s == sMessage) return true;
    return false;
  }

  testsupport::TempDir dir;
  testsupport::FakeMachine machine;
  std::int32_t m_nVersion = 14;
  std::uint32_t m_nInitFlags = 0;
  char m_aDirType[ST_DDA_DIR_TYPE_SIZE] = {};
  char m_aLibVersion[ST_DDA_LIB_VERSION_SIZE] = {};
  std::int32_t m_nIndicator = 0;
  char m_aMessage[ST_DDA_STATUS_MSG_SIZE] = {};
};

}  // namespace chatwarden::test
