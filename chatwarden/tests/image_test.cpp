// Images sent in chats: recognition, type, numbering, the saved file and
// its record in the XML transcript.
#include "PluginFixture.h"

namespace chatwarden::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kStem = "prl5_00000000-0000-4000-8000-000000000001";

// An image data message as the host passes it: 13 header bytes, then the image.
std::vector<unsigned char> imageMessage(const std::string& sImage, const char* pData = "data",
                                        const char* pImage = "image") {
  std::string s = "..";
  s += pData;
  s += "..";
  s += pImage;
  s += sImage;
  return std::vector<unsigned char>(s.begin(), s.end());
}

class ImageTest : public PluginFixture {
 protected:
  void startChat(std::uint32_t nFormat) {
    startActive(nFormat);
    ASSERT_EQ(stDdaClSessionStarted("s1"), ST_DDA_API_OK);
  }
  std::int32_t send(const std::vector<unsigned char>& v, std::uint32_t nType = kImageDataType,
                    std::uint32_t nSubType = 0, const char* pSession = "s1") {
    return stDdaClSessionDataMsg(pSession, nullptr, nType, nSubType, static_cast<std::uint32_t>(v.size()), v.data(),
                                 nullptr);
  }
};

TEST_F(ImageTest, TypeFromTheFirstBytesNamesTheFile) {
  struct Case {
    std::string sImage;
    const char* pExtension;
    const char* pTrace;
  };
  const Case aCases[] = {
      {"Z", "img", "->ERROR: Image header too small, unable to determine image type."},
      {"GIF", "img", "->ERROR: Image header too small, unable to determine image type."},
      {"GIF89a....", "gif", "->Image type is GIF"},
      {"\xFF\xD8\xFF\xE0rest", "jpg", "->Image type is JPEG"},
      {"\x89PNG\r\n\x1a\n", "png", "->Image type is PNG"},
      {"BM6....", "img", "->WARNING: Image type is UNKNOWN"},
  };
  startChat(LOG_FORMAT_XML);
  unsigned nNumber = 0;
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pExtension + std::string(" ") + c.pTrace);
    ASSERT_EQ(send(imageMessage(c.sImage)), ST_DDA_API_OK);
    const std::string sName = std::string(kStem) + "_" + std::to_string(++nNumber) + "." + c.pExtension;
    EXPECT_EQ(logFile(sName), c.sImage);
    EXPECT_TRUE(traced(c.pTrace));
    EXPECT_THAT(logFile(std::string(kStem) + ".active_xml"),
                HasSubstr("<ibm:image file=\"" + sName + "\" size=\"" + std::to_string(c.sImage.size()) + "\"/>\r\n"));
  }
  EXPECT_TRUE(traced("->Wrote 8 image bytes to '" + (dir / "logs/") + kStem + "_5.png' (s1)"));
}

TEST_F(ImageTest, OnlyImageDataMessagesAreSaved) {
  startChat(LOG_FORMAT_XML);
  const std::string sPng = "\x89PNG\r\n\x1a\n";
  struct Case {
    const char* pName;
    std::vector<unsigned char> vData;
    std::uint32_t nType, nSubType;
  };
  const Case aCases[] = {
      {"sub-type 1", imageMessage(sPng), kImageDataType, 1},
      {"other data type", imageMessage(sPng), 0x6A38, 0},
      {"'Data' marker", imageMessage(sPng, "Data"), kImageDataType, 0},
      {"'Image' marker", imageMessage(sPng, "data", "Image"), kImageDataType, 0},
      {"header only", imageMessage(""), kImageDataType, 0},
  };
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.pName);
    EXPECT_EQ(send(c.vData, c.nType, c.nSubType), ST_DDA_API_OK);
  }
  EXPECT_THAT(logFiles(), ElementsAre(std::string(kStem) + ".active_xml"));
  EXPECT_FALSE(traced("...->Image found!"));
}

TEST_F(ImageTest, NumberIsUsedUpByAFailedSave) {
  startChat(LOG_FORMAT_XML);
  machine.files.failCall(win::FileOp::Open, 1, ENOSPC, "_1.gif");
  EXPECT_EQ(send(imageMessage("GIF89a....")), ST_DDA_API_LOG_FILE_ERROR);
  EXPECT_EQ(m_nIndicator, PLUGIN_STATUS_FATAL);
  EXPECT_STREQ(m_aMessage, "Velkora Parlantis FATAL ERROR: Unable to save image for session 's1'.");
  EXPECT_TRUE(traced("->ERROR: Unable to create image file '" + (dir / "logs/") + kStem +
                     "_1.gif': No space left on device (s1)"));
  EXPECT_EQ(send(imageMessage("GIF89a....")), ST_DDA_API_OK);
  EXPECT_THAT(logFiles(), ElementsAre(std::string(kStem) + ".active_xml", std::string(kStem) + "_2.gif"));
}

TEST_F(ImageTest, FailuresAfterTheFileNameTheirStep) {
  struct Case {
    win::FileOp op;
    const char* pFile;
    std::string sTrace;
  };
  const std::string sImage = dir / ("logs/" + std::string(kStem) + "_1.gif");
  const std::string sXml = dir / ("logs/" + std::string(kStem) + ".active_xml");
  const Case aCases[] = {
      {win::FileOp::Write, "_1.gif", "->ERROR: Unable to write image buffer to '" + sImage + "': Input/output error (s1)"},
      {win::FileOp::Close, "_1.gif", "->ERROR: Unable to close image file '" + sImage + "': Input/output error (s1)"},
      {win::FileOp::Write, ".active_xml", "->ERROR: Unable to write image tag to '" + sXml + "': Input/output error (s1)"},
      {win::FileOp::Close, ".active_xml", "->ERROR: Unable to close file '" + sXml + "': Input/output error (s1)"},
  };
  for (const auto& c : aCases) {
    SCOPED_TRACE(c.sTrace);
    std::filesystem::remove_all(dir / "logs");
    std::filesystem::create_directories(dir / "logs");
    machine.uuid.m_nNext = 1;
    machine.files.clearFaults();
    startChat(LOG_FORMAT_XML);
    machine.files.failCall(c.op, 1, EIO, c.pFile);
    machine.debug.clear();
    EXPECT_EQ(send(imageMessage("GIF89a....")), ST_DDA_API_LOG_FILE_ERROR);
    EXPECT_THAT(machine.debug.lines(), Contains(c.sTrace));
  }
}

TEST_F(ImageTest, PlainTextOnlyStillSavesTheImage) {
  startChat(LOG_FORMAT_TXT);
  ASSERT_EQ(send(imageMessage("GIF89a....")), ST_DDA_API_OK);
  ASSERT_EQ(stDdaClSessionEnded("s1"), ST_DDA_API_OK);
  EXPECT_THAT(logFiles(), ElementsAre(std::string(kStem) + "_1.gif"));
}

TEST_F(ImageTest, ChatWithOnlyAnImageKeepsTheImageAndDropsItsTranscript) {
  startChat(LOG_FORMAT_TXT | LOG_FORMAT_XML);
  ASSERT_EQ(send(imageMessage("\xFF\xD8\xFF\xE0rest")), ST_DDA_API_OK);
  ASSERT_EQ(stDdaClSessionEnded("s1"), ST_DDA_API_OK);
  EXPECT_THAT(logFiles(), ElementsAre(std::string(kStem) + "_1.jpg"));
}

TEST_F(ImageTest, ImageForAnUnknownSessionIsReported) {
  startChat(LOG_FORMAT_XML);
  EXPECT_EQ(send(imageMessage("GIF89a...."), kImageDataType, 0, "nope"), ST_DDA_API_SESSION_NOT_FOUND);
  EXPECT_STREQ(m_aMessage, "Velkora Parlantis ERROR: Session 'nope' doesn't exist.");
  EXPECT_EQ(m_nIndicator, PLUGIN_STATUS_ERROR);
}

}  // namespace
}  // namespace chatwarden::test
