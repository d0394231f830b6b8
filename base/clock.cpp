#include "base/clock.h"

#include <time.h>
#include <cerrno>

namespace qelvora {

namespace {

std::mutex setterMutex;
std::shared_ptr<ClockSetter> currentSetter;

}  // namespace

std::optional<timespec> localTimeToTimespec(DateTime value) {
  const CalendarFields f = toCalendarFields(value);
  std::tm tm{};
  tm.tm_year = f.year - 1900;
  tm.tm_mon = f.month - 1;
  tm.tm_mday = f.day;
  tm.tm_hour = f.hour;
  tm.tm_min = f.minute;
  tm.tm_sec = f.second;
  tm.tm_isdst = -1;  // let the zone rules decide
  errno = 0;
  const std::time_t seconds = std::mktime(&tm);
  // -1 is also a valid result (one second before the epoch); mktime then leaves errno alone.
  if (seconds == static_cast<std::time_t>(-1) && errno != 0) return std::nullopt;
  timespec ts{};
  ts.tv_sec = seconds;
  ts.tv_nsec = static_cast<long>(f.millisecond) * 1000000L;
  return ts;
}

bool SystemClockSetter::setLocalTime(DateTime value) {
  const auto ts = localTimeToTimespec(value);
  if (!ts) return false;
  return clock_settime(CLOCK_REALTIME, &*ts) == 0;
}

bool RecordingClockSetter::setLocalTime(DateTime value) {
  std::lock_guard lock(mutex_);
  calls_.push_back(value);
  return result_;
}

std::vector<DateTime> RecordingClockSetter::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::shared_ptr<ClockSetter> installClockSetter(std::shared_ptr<ClockSetter> setter) {
  std::lock_guard lock(setterMutex);
  std::swap(currentSetter, setter);
  return setter;
}

bool setSystemClock(DateTime value) {
  std::shared_ptr<ClockSetter> setter;
  {
    std::lock_guard lock(setterMutex);
    setter = currentSetter;
  }
  return setter ? setter->setLocalTime(value) : false;
}

}  // namespace qelvora
