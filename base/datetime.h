// Date-times: days since 1899-12-30 00:00 as a double, the fraction being the time of day.
// Every use clamps the value to -657434 .. 2958465 (the years 100 to 9999).
#pragma once

namespace qelvora {

struct DateTime {
  double days = 0;
};

inline constexpr double kMinDateTime = -657434.0;
inline constexpr double kMaxDateTime = 2958465.0;

struct CalendarFields {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0;
  int millisecond = 0;
};

DateTime clampDateTime(DateTime value);
// Calendar fields of a (clamped) date-time, rounded to the millisecond.
CalendarFields toCalendarFields(DateTime value);
// The date-time of calendar fields; out-of-range fields are carried (month 13 is January of the
// next year, second 60 the next minute).
DateTime fromCalendarFields(const CalendarFields& fields);

// unit (clamped to 1..8): 1 years, 2 quarters, 3 months, 4 weeks, 5 days, 6 hours, 7 minutes,
// 8 seconds. Years, quarters and months move the calendar fields and limit the day to the length of
// the resulting month; the others add a time span. The result is clamped.
DateTime addToDateTime(DateTime value, int unit, double amount);

}  // namespace qelvora
