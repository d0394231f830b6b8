// Setting the computer's clock. The setter is a seam: production code calls setSystemClock,
// which forwards to the installed setter; tests install a RecordingClockSetter and never reach
// the real clock.
#pragma once

#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "base/datetime.h"

namespace qelvora {

class ClockSetter {
 public:
  virtual ~ClockSetter() = default;
  // Sets the local clock to the local calendar time value; false when that fails.
  virtual bool setLocalTime(DateTime value) = 0;
};

// The real clock, through clock_settime(CLOCK_REALTIME) after converting local time with mktime.
class SystemClockSetter : public ClockSetter {
 public:
  bool setLocalTime(DateTime value) override;
};

// Records every call and never touches the clock.
class RecordingClockSetter : public ClockSetter {
 public:
  explicit RecordingClockSetter(bool result = true) : result_(result) {}
  bool setLocalTime(DateTime value) override;
  std::vector<DateTime> calls() const;

 private:
  bool result_;
  mutable std::mutex mutex_;
  std::vector<DateTime> calls_;
};

// Installs the setter used by setSystemClock and returns the previous one. The program installs
// a SystemClockSetter at start-up; until something is installed, setSystemClock returns false and
// changes nothing.
std::shared_ptr<ClockSetter> installClockSetter(std::shared_ptr<ClockSetter> setter);

bool setSystemClock(DateTime value);

// The CLOCK_REALTIME value of a local calendar time (the date-time's fields read with mktime in the
// current time zone, milliseconds kept); nullopt when mktime cannot represent it. The real setter
// uses this, and it is what tests check instead of setting the clock.
std::optional<timespec> localTimeToTimespec(DateTime value);

}  // namespace qelvora
