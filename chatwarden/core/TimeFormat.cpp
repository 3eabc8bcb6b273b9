#include "core/TimeFormat.h"

namespace chatwarden {
namespace {

// Two digits of N (0..99; fields are in range for any real time).
char* twoDigits(char* p, int n) {
  n = ((n % 100) + 100) % 100;
  *p++ = static_cast<char>('0' + n / 10);
  *p++ = static_cast<char>('0' + n % 10);
  return p;
}

}  // namespace

// Written by hand: these run for every record, and printf-style
// formatting was a measurable share of a record's cost.
void formatClockStamp(const std::tm& tm, char (&aOut)[kStampSize]) {
  char* p = aOut;
  p = twoDigits(p, tm.tm_mon + 1);
  *p++ = '/';
  p = twoDigits(p, tm.tm_mday);
  *p++ = '/';
  p = twoDigits(p, tm.tm_year % 100);
  *p++ = ' ';
  p = twoDigits(p, tm.tm_hour);
  *p++ = ':';
  p = twoDigits(p, tm.tm_min);
  *p++ = ':';
  p = twoDigits(p, tm.tm_sec);
  *p++ = ' ';
  *p++ = tm.tm_hour < 12 ? 'A' : 'P';
  *p++ = 'M';
  *p = '\0';
}

void formatXmlStamp(const std::tm& tm, char (&aOut)[kStampSize]) {
  char* p = aOut;
  const int nYear = tm.tm_year + 1900;
  p = twoDigits(p, nYear / 100);
  p = twoDigits(p, nYear % 100);
  p = twoDigits(p, tm.tm_mon + 1);
  p = twoDigits(p, tm.tm_mday);
  *p++ = 'T';
  p = twoDigits(p, tm.tm_hour);
  p = twoDigits(p, tm.tm_min);
  p = twoDigits(p, tm.tm_sec);
  *p = '\0';
}

}  // namespace chatwarden
