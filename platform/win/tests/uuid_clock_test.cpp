#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "win/clock.h"
#include "win/uuid.h"

namespace win {
namespace {

TEST(Uuid, FormatsVersion4Variant1InLowerCase) {
  const unsigned char aOnes[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                   0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  const unsigned char aZeros[16] = {};
  const unsigned char aCount[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                    0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  EXPECT_EQ(formatUuidV4(aOnes), "ffffffff-ffff-4fff-bfff-ffffffffffff");
  EXPECT_EQ(formatUuidV4(aZeros), "00000000-0000-4000-8000-000000000000");
  EXPECT_EQ(formatUuidV4(aCount), "00112233-4455-4677-8899-aabbccddeeff");
}

TEST(Uuid, SystemSourceGivesDistinctWellFormedUuids) {
  const std::regex re("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string s = systemUuidSource().newUuid();
    EXPECT_TRUE(std::regex_match(s, re)) << s;
    seen.insert(s);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(Clock, FakeClockMovesOnlyWhenToldAndReadsAsUtc) {
  FakeClock clock;
  const std::time_t t0 = clock.now();
  EXPECT_EQ(clock.now(), t0);
  std::tm tm = clock.localTime(t0);
  EXPECT_EQ(tm.tm_year + 1900, 2025);
  EXPECT_EQ(tm.tm_mon + 1, 12);
  EXPECT_EQ(tm.tm_mday, 11);
  EXPECT_EQ(tm.tm_hour, 11);
  EXPECT_EQ(tm.tm_min, 0);
  clock.advance(13 * 3600 + 61);  // across midnight
  tm = clock.localTime(clock.now());
  EXPECT_EQ(tm.tm_mday, 12);
  EXPECT_EQ(tm.tm_hour, 0);
  EXPECT_EQ(tm.tm_min, 1);
  EXPECT_EQ(tm.tm_sec, 1);
  clock.set(0);
  EXPECT_EQ(clock.localTime(clock.now()).tm_year, 70);
}

TEST(Clock, SystemClockAdvanceShiftsEveryReader) {
  SystemClock& clock = systemClock();
  const std::time_t tBefore = clock.now();
  clock.advance(86400);
  const std::time_t tMoved = systemClock().now();
  clock.advance(-86400);  // leave the process-wide clock as it was
  EXPECT_GE(tMoved, tBefore + 86400);
  EXPECT_LE(tMoved, tBefore + 86400 + 5);
  EXPECT_LE(clock.now(), tMoved - 86400 + 5);
}

}  // namespace
}  // namespace win
