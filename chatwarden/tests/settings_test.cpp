// Reading the plug-in's settings at load: how each value's data is taken,
// what missing or odd data means, and the log folder.
#include <functional>

#include "PluginFixture.h"

namespace chatwarden::test {
namespace {

class SettingsTest : public PluginFixture {};

std::vector<std::uint8_t> bytes(std::initializer_list<int> l) {
  std::vector<std::uint8_t> v;
  for (int n : l) v.push_back(static_cast<std::uint8_t>(n));
  return v;
}

TEST_F(SettingsTest, EachValueIsInterpretedAsStored) {
  using Setup = std::function<void(testsupport::MemoryRegistry&)>;
  auto dword = [](const char* p, std::uint32_t n) {
    return Setup([=](testsupport::MemoryRegistry& r) { r.setValue(kSettingsKey, win::RegValue::dword(p, n)); });
  };
  auto text = [](const char* p, const char* s) {
    return Setup([=](testsupport::MemoryRegistry& r) { r.setValue(kSettingsKey, win::RegValue::text(p, s)); });
  };
  auto raw = [](const char* p, std::uint32_t nType, std::vector<std::uint8_t> v) {
    return Setup([=](testsupport::MemoryRegistry& r) { r.setRaw(kSettingsKey, p, nType, v); });
  };
  struct Case {
    const char* pName;
    Setup setup;
    std::function<bool(const PluginSettings&)> check;
  };
  const Case aCases[] = {
      {"enabled 1", dword("LogFileEnabled", 1), [](auto& s) { return s.logFileEnabled; }},
      {"enabled 2 stays off", dword("LogFileEnabled", 2), [](auto& s) { return !s.logFileEnabled; }},
      {"enabled as text '1' stays off", text("LogFileEnabled", "1"), [](auto& s) { return !s.logFileEnabled; }},
      {"enabled as two bytes 01 00 is 1", raw("LogFileEnabled", win::REG_BINARY, bytes({1, 0})),
       [](auto& s) { return s.logFileEnabled; }},
      {"enabled larger than 4 bytes is unreadable", raw("LogFileEnabled", win::REG_BINARY, bytes({1, 0, 0, 0, 0})),
       [](auto& s) { return !s.logFileEnabled; }},
      {"encrypt '1'", text("LogFileEncrypt", "1"), [](auto& s) { return s.encryptContent; }},
      {"encrypt '0'", text("LogFileEncrypt", "0"), [](auto& s) { return !s.encryptContent; }},
      {"encrypt '10' is too long", text("LogFileEncrypt", "10"), [](auto& s) { return !s.encryptContent; }},
      {"encrypt ''", text("LogFileEncrypt", ""), [](auto& s) { return !s.encryptContent; }},
      {"encrypt as number 1", dword("LogFileEncrypt", 1), [](auto& s) { return !s.encryptContent; }},
      {"capture images 0 stays on", dword("LogFileCaptureImages", 0), [](auto& s) { return s.captureImages; }},
      {"format 3 is both", dword("LogFileFormat", 3), [](auto& s) { return s.logFileFormat == 3; }},
      {"format 0 is none", dword("LogFileFormat", 0), [](auto& s) { return s.logFileFormat == 0; }},
      {"interval 5 minutes", dword("LogFileInterval", 5), [](auto& s) { return s.flushIntervalSecs == 300; }},
      {"interval beyond 32 bits of seconds is capped", dword("LogFileInterval", 0xFFFFFFFF),
       [](auto& s) { return s.flushIntervalSecs == 0x7FFFFFFF; }},
      {"nothing set", [](testsupport::MemoryRegistry&) {},
       [](auto& s) {
         return !s.traceEnabled && !s.logFileEnabled && !s.encryptContent && s.captureImages &&
                s.logFileFormat == 0 && s.flushIntervalSecs == 0;
       }},
  };
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pName);
    machine.registry.deleteKey(kSettingsKey);
    machine.registry.createKey(kSettingsKey);
    c.setup(machine.registry);
    load();
    EXPECT_TRUE(c.check(plugin().settings()));
  }
}

TEST_F(SettingsTest, MissingKeyGivesDefaultsAndStillLoads) {
  load();
  const PluginSettings& s = plugin().settings();
  EXPECT_FALSE(s.logFileEnabled);
  EXPECT_TRUE(s.captureImages);
  EXPECT_EQ(init(), ST_DDA_API_OK);
  EXPECT_EQ(m_nIndicator, PLUGIN_STATUS_RUNNING);
}

TEST_F(SettingsTest, ReadingsAreTracedInLoadOrder) {
  configureActive();
  setDword("LogFileInterval", 5);
  load();
  const std::string sKey = "...->Software\\Parlantis\\Server\\";
  EXPECT_EQ(traceMessages(), (std::vector<std::string>{
                                 "..+ChatResource::isLogFileEnabled()",
                                 sKey + "LogFileEnabled = '1'",
                                 "..-ChatResource::isLogFileEnabled()",
                                 "..+ChatResource::isEncryptionEnabled()",
                                 sKey + "LogFileEncrypt = '0'",
                                 "..-ChatResource::isEncryptionEnabled()",
                                 "..+ChatResource::isImageCaptureEnabled()",
                                 sKey + "LogFileCaptureImages = '1'",
                                 "..-ChatResource::isImageCaptureEnabled()",
                                 "..+ChatResource::getLogFileFormat()",
                                 sKey + "LogFileFormat = '2'",
                                 "..-ChatResource::getLogFileFormat()",
                                 "..+ChatResource::getXMLFlushIntervalSecs()",
                                 sKey + "LogFileInterval = '300'",
                                 "..-ChatResource::getXMLFlushIntervalSecs()",
                                 "ChatSessionTable::ChatSessionTable()",
                             }));
}

TEST_F(SettingsTest, LogFolderEndsWithExactlyOneSlash) {
  for (const std::string& sStored : {dir / "logs", dir / "logs/"}) {
    SCOPED_TRACE(sStored);
    configureActive();
    setText("LogFileFolderPath", sStored);
    load();
    ASSERT_EQ(init(), ST_DDA_API_OK);
    EXPECT_EQ(plugin().logFolderPath(), dir / "logs/");
    EXPECT_TRUE(traced("...->Software\\Parlantis\\Server\\LogFileFolderPath = '" + sStored + "'"));
  }
}

TEST_F(SettingsTest, EmptyMissingOrOverlongLogFolderFailsInitialisation) {
  struct Case {
    const char* pName;
    std::function<void()> setup;
  };
  const Case aCases[] = {
      {"missing", [&] { machine.registry.deleteValue(kSettingsKey, "LogFileFolderPath"); }},
      {"empty", [&] { setText("LogFileFolderPath", ""); }},
      {"256 characters", [&] { setText("LogFileFolderPath", "/" + std::string(255, 'a')); }},
  };
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pName);
    configureActive();
    c.setup();
    load();
    EXPECT_EQ(init(), ST_DDA_API_INIT_FAILED);
    EXPECT_EQ(m_nIndicator, PLUGIN_STATUS_FATAL);
    EXPECT_STREQ(m_aMessage, "Velkora Parlantis FATAL ERROR: Unable to get log folder path, terminating.");
  }
  // 255 characters are still a folder.
  setText("LogFileFolderPath", "/" + std::string(254, 'a'));
  load();
  EXPECT_EQ(init(), ST_DDA_API_OK);
  EXPECT_EQ(plugin().logFolderPath(), "/" + std::string(254, 'a') + "/");
}

}  // namespace
}  // namespace chatwarden::test
