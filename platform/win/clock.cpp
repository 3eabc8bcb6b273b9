#include "clock.h"

namespace win {

std::time_t SystemClock::now() { return std::time(nullptr) + m_nOffset; }

std::tm SystemClock::localTime(std::time_t t) {
  std::tm tm{};
  ::localtime_r(&t, &tm);
  return tm;
}

void SystemClock::advance(long nSeconds) { m_nOffset += nSeconds; }

SystemClock& systemClock() {
  static SystemClock* const s_pClock = new SystemClock;  // never destroyed: used until the last exit handler
  return *s_pClock;
}

std::tm FakeClock::localTime(std::time_t t) {
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  return tm;
}

}  // namespace win
