#include "base/datetime.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace qelvora {

namespace {

constexpr std::int64_t kMsPerDay = 86400000;
constexpr std::int64_t kDaysTo1970 = 25569;  // 1899-12-30 .. 1970-01-01

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Days since 1899-12-30 of a proleptic Gregorian date (any month and day carried).
std::int64_t dayNumber(std::int64_t year, std::int64_t month, std::int64_t day) {
  year += floorDiv(month - 1, 12);
  month = month - 1 - floorDiv(month - 1, 12) * 12 + 1;
  // Civil-to-days over 400-year eras, counting from 0000-03-01.
  const std::int64_t y = year - (month <= 2 ? 1 : 0);
  const std::int64_t era = floorDiv(y, 400);
  const std::int64_t yoe = y - era * 400;
  const std::int64_t mp = (month + 9) % 12;
  const std::int64_t doy = (153 * mp + 2) / 5;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + kDaysTo1970 + (day - 1);
}

void civilFromDayNumber(std::int64_t days, int& year, int& month, int& day) {
  const std::int64_t z = days - kDaysTo1970 + 719468;
  const std::int64_t era = floorDiv(z, 146097);
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

bool isLeap(std::int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(std::int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeap(year) ? 29 : kDays[month - 1];
}

// The date-time format keeps the time of day as the absolute fraction even before 1899-12-30
// (-1.25 is 1899-12-29 06:00), so arithmetic goes through a plain linear count of milliseconds.
double toLinearMs(DateTime value) {
  const double d = clampDateTime(value).days;
  const double whole = std::trunc(d);
  const double fraction = std::fabs(d - whole);
  return whole * static_cast<double>(kMsPerDay) + fraction * static_cast<double>(kMsPerDay);
}

DateTime fromLinearMs(double ms) {
  if (std::isnan(ms)) return DateTime{0};
  const double perDay = static_cast<double>(kMsPerDay);
  if (ms <= kMinDateTime * perDay) return DateTime{kMinDateTime};
  if (ms >= kMaxDateTime * perDay) return DateTime{kMaxDateTime};
  const double day = std::floor(ms / perDay);
  const double fraction = (ms - day * perDay) / perDay;
  return clampDateTime(DateTime{day >= 0 ? day + fraction : day - fraction});
}

}  // namespace

DateTime clampDateTime(DateTime value) {
  if (std::isnan(value.days)) return DateTime{0};
  return DateTime{std::clamp(value.days, kMinDateTime, kMaxDateTime)};
}

CalendarFields toCalendarFields(DateTime value) {
  const auto ms = static_cast<std::int64_t>(std::llround(toLinearMs(value)));
  const std::int64_t day = floorDiv(ms, kMsPerDay);
  std::int64_t time = ms - day * kMsPerDay;
  CalendarFields f;
  civilFromDayNumber(day, f.year, f.month, f.day);
  f.hour = static_cast<int>(time / 3600000);
  time %= 3600000;
  f.minute = static_cast<int>(time / 60000);
  time %= 60000;
  f.second = static_cast<int>(time / 1000);
  f.millisecond = static_cast<int>(time % 1000);
  return f;
}

DateTime fromCalendarFields(const CalendarFields& f) {
  // Year far outside the range: the result clamps anyway, and this keeps the day count small.
  const std::int64_t year = std::clamp<std::int64_t>(f.year, -1000000, 1000000);
  const std::int64_t days = dayNumber(year, f.month, f.day);
  const std::int64_t time = static_cast<std::int64_t>(f.hour) * 3600000 +
                            static_cast<std::int64_t>(f.minute) * 60000 +
                            static_cast<std::int64_t>(f.second) * 1000 + f.millisecond;
  return fromLinearMs(static_cast<double>(days) * static_cast<double>(kMsPerDay) +
                      static_cast<double>(time));
}

DateTime addToDateTime(DateTime value, int unit, double amount) {
  unit = std::clamp(unit, 1, 8);
  if (std::isnan(amount)) amount = 0;
  if (unit <= 3) {
    static constexpr int kMonths[] = {12, 3, 1};
    // Anything beyond 200000 months leaves the range whichever way it goes.
    const double months = std::clamp(std::trunc(amount) * kMonths[unit - 1], -2e5, 2e5);
    CalendarFields f = toCalendarFields(value);
    const std::int64_t total =
        static_cast<std::int64_t>(f.year) * 12 + (f.month - 1) + static_cast<std::int64_t>(months);
    const std::int64_t year = floorDiv(total, 12);
    if (year < 100) return DateTime{kMinDateTime};
    if (year > 9999) return DateTime{kMaxDateTime};
    f.year = static_cast<int>(year);
    f.month = static_cast<int>(total - year * 12) + 1;
    f.day = std::min(f.day, daysInMonth(year, f.month));
    return fromCalendarFields(f);
  }
  static constexpr double kSpanMs[] = {7.0 * 86400000, 86400000, 3600000, 60000, 1000};
  return fromLinearMs(toLinearMs(value) + amount * kSpanMs[unit - 4]);
}

}  // namespace qelvora
