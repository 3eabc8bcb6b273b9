// The clock: local time in whole seconds. Everything that counts seconds
// (roll-over, rule refresh, import interval) asks an IClock, so tests use a
// settable fake instead of sleeping.
#pragma once

#include <ctime>

namespace win {

class IClock {
 public:
  virtual ~IClock() = default;
  // Seconds since the epoch.
  virtual std::time_t now() = 0;
  // Broken-down local time of T.
  virtual std::tm localTime(std::time_t t) = 0;
};

// The machine's clock. It carries a process-wide offset so that a stand-in
// host can move the time forward (scenario playback) for everything that
// asks this clock in the same process, plug-ins included.
class SystemClock final : public IClock {
 public:
  std::time_t now() override;
  std::tm localTime(std::time_t t) override;
  // Moves the clock by N seconds (negative moves it back).
  void advance(long nSeconds);

 private:
  long m_nOffset = 0;
};

SystemClock& systemClock();

// A clock that stands still until told to move; local time is UTC, so test
// expectations do not depend on the machine's time zone.
class FakeClock final : public IClock {
 public:
  explicit FakeClock(std::time_t tStart = 1765450800 /* 2025-12-11 11:00:00 UTC */) : m_tNow(tStart) {}
  std::time_t now() override { return m_tNow; }
  std::tm localTime(std::time_t t) override;
  void set(std::time_t t) { m_tNow = t; }
  void advance(long nSeconds) { m_tNow += nSeconds; }

 private:
  std::time_t m_tNow;
};

}  // namespace win
