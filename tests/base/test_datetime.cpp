#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "base/clock.h"
#include "base/datetime.h"

namespace qelvora {
namespace {

CalendarFields fields(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return CalendarFields{y, mo, d, h, mi, s, ms};
}

void expectFields(const CalendarFields& got, const CalendarFields& want) {
  EXPECT_EQ(got.year, want.year);
  EXPECT_EQ(got.month, want.month);
  EXPECT_EQ(got.day, want.day);
  EXPECT_EQ(got.hour, want.hour);
  EXPECT_EQ(got.minute, want.minute);
  EXPECT_EQ(got.second, want.second);
  EXPECT_EQ(got.millisecond, want.millisecond);
}

TEST(DateTimeTest, DayNumbersOfKnownDates) {
  const struct {
    CalendarFields f;
    double days;
  } cases[] = {
      {fields(1899, 12, 30), 0},
      {fields(1900, 1, 1), 2},
      {fields(2014, 3, 5), 41703},
      {fields(2014, 3, 5, 18), 41703.75},
      {fields(1970, 1, 1), 25569},
      // Before the zero day the fraction still counts forward through the day.
      {fields(1899, 12, 29, 6), -1.25},
      {fields(1899, 12, 29, 18), -1.75},
      {fields(1800, 1, 1, 12), -36522.5},
      {fields(100, 1, 1), kMinDateTime},
      {fields(9999, 12, 31), kMaxDateTime},
      // Fields out of their range carry.
      {fields(2013, 15, 5), 41703},
      {fields(2014, 2, 33), 41703},
      {fields(2014, 3, 4, 23, 59, 60), 41703},
      {fields(2014, 3, 4, 24), 41703},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(fromCalendarFields(c.f).days, c.days, 1e-9)
        << c.f.year << "-" << c.f.month << "-" << c.f.day << " " << c.f.hour;
  }
}

TEST(DateTimeTest, FieldsOfValuesAroundTheZeroDay) {
  expectFields(toCalendarFields(DateTime{-1.25}), fields(1899, 12, 29, 6));
  expectFields(toCalendarFields(DateTime{-0.5}), fields(1899, 12, 30, 12));
  expectFields(toCalendarFields(DateTime{0.5}), fields(1899, 12, 30, 12));
  expectFields(toCalendarFields(DateTime{41703 + 30.0 / 86400}), fields(2014, 3, 5, 0, 0, 30));
  // Rounded to the millisecond, carrying into the next day.
  expectFields(toCalendarFields(DateTime{41703.9999999999}), fields(2014, 3, 6));
  // Clamped before use.
  expectFields(toCalendarFields(DateTime{-1e9}), fields(100, 1, 1));
  expectFields(toCalendarFields(DateTime{1e9}), fields(9999, 12, 31));
  expectFields(toCalendarFields(DateTime{std::numeric_limits<double>::infinity()}),
               fields(9999, 12, 31));
  EXPECT_EQ(clampDateTime(DateTime{std::nan("")}).days, 0);
}

TEST(DateTimeTest, CalendarRoundTripAcrossTheRange) {
  std::mt19937 rng(1899);
  for (int i = 0; i < 20000; ++i) {
    const int year = 100 + static_cast<int>(rng() % 9900);
    const int month = 1 + static_cast<int>(rng() % 12);
    const int day = 1 + static_cast<int>(rng() % 28);
    const CalendarFields f =
        fields(year, month, day, rng() % 24, rng() % 60, rng() % 60, rng() % 1000);
    SCOPED_TRACE(testing::Message() << year << "-" << month << "-" << day);
    expectFields(toCalendarFields(fromCalendarFields(f)), f);
  }
}

struct AddCase {
  CalendarFields from;
  int unit;
  double amount;
  CalendarFields expected;
};

TEST(DateTimeTest, AddToDateTimeByUnit) {
  const AddCase cases[] = {
      {fields(2024, 1, 31), 3, 1, fields(2024, 2, 29)},
      {fields(2023, 1, 31), 3, 1, fields(2023, 2, 28)},
      {fields(2023, 3, 31, 7, 8, 9), 3, -1, fields(2023, 2, 28, 7, 8, 9)},
      {fields(2014, 1, 15), 3, -13, fields(2012, 12, 15)},
      {fields(2014, 1, 15), 3, 1.9, fields(2014, 2, 15)},  // whole months only
      {fields(2020, 2, 29), 1, 1, fields(2021, 2, 28)},
      {fields(2020, 2, 29), 1, -4, fields(2016, 2, 29)},
      {fields(2014, 11, 30), 2, 1, fields(2015, 2, 28)},
      {fields(2014, 3, 5), 4, -1, fields(2014, 2, 26)},
      {fields(2014, 3, 5), 5, 0.5, fields(2014, 3, 5, 12)},
      {fields(1899, 12, 29, 6), 5, 1, fields(1899, 12, 30, 6)},
      {fields(1899, 12, 30, 2), 6, -3, fields(1899, 12, 29, 23)},
      {fields(1899, 12, 29, 23, 59), 7, 2, fields(1899, 12, 30, 0, 1)},
      {fields(1970, 1, 1), 8, 1393977600.0, fields(2014, 3, 5)},
      {fields(2014, 3, 5), 8, -1, fields(2014, 3, 4, 23, 59, 59)},
      {fields(2014, 3, 5), 0, 1, fields(2015, 3, 5)},            // unit clamped to years
      {fields(2014, 3, 5), 99, 1, fields(2014, 3, 5, 0, 0, 1)},  // unit clamped to seconds
      {fields(2014, 3, 5), 5, std::nan(""), fields(2014, 3, 5)},
      // The range ends hold.
      {fields(9999, 12, 31), 5, 1, fields(9999, 12, 31)},
      {fields(9999, 11, 30), 3, 2, fields(9999, 12, 31)},
      {fields(100, 1, 1), 3, -1, fields(100, 1, 1)},
      {fields(100, 1, 1), 8, -1, fields(100, 1, 1)},
      {fields(2014, 3, 5), 1, 1e300, fields(9999, 12, 31)},
      {fields(2014, 3, 5), 1, -1e300, fields(100, 1, 1)},
      {fields(2014, 3, 5), 8, 1e300, fields(9999, 12, 31)},
      {fields(2014, 3, 5), 4, -std::numeric_limits<double>::infinity(), fields(100, 1, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.from.year << "-" << c.from.month << "-" << c.from.day
                                    << " unit " << c.unit << " amount " << c.amount);
    expectFields(toCalendarFields(addToDateTime(fromCalendarFields(c.from), c.unit, c.amount)),
                 c.expected);
  }
}

// ---- The clock seam ----------------------------------------------------------------------------

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (saved_.empty())
      unsetenv("TZ");
    else
      setenv("TZ", saved_.c_str(), 1);
    tzset();
  }

 private:
  std::string saved_;
};

TEST(ClockTest, LocalTimeConvertsThroughTheTimeZone) {
  const DateTime beijing = fromCalendarFields(fields(2014, 3, 5, 8, 0, 0, 250));
  {
    ScopedTimeZone tz("CST-8");
    const auto ts = localTimeToTimespec(beijing);
    ASSERT_TRUE(ts.has_value());
    EXPECT_EQ(ts->tv_sec, 1393977600);
    EXPECT_EQ(ts->tv_nsec, 250000000);
  }
  {
    ScopedTimeZone tz("UTC0");
    const auto ts = localTimeToTimespec(beijing);
    ASSERT_TRUE(ts.has_value());
    EXPECT_EQ(ts->tv_sec, 1393977600 + 8 * 3600);
    const auto before = localTimeToTimespec(fromCalendarFields(fields(1969, 12, 31, 23, 59, 59)));
    ASSERT_TRUE(before.has_value());
    EXPECT_EQ(before->tv_sec, -1);
  }
}

TEST(ClockTest, SetSystemClockGoesThroughTheInstalledSetter) {
  const auto previous = installClockSetter(nullptr);
  EXPECT_FALSE(setSystemClock(DateTime{41703}));  // nothing installed: nothing changes

  auto recorder = std::make_shared<RecordingClockSetter>(true);
  installClockSetter(recorder);
  EXPECT_TRUE(setSystemClock(DateTime{41703.5}));
  ASSERT_EQ(recorder->calls().size(), 1u);
  EXPECT_EQ(recorder->calls()[0].days, 41703.5);

  auto refusing = std::make_shared<RecordingClockSetter>(false);
  EXPECT_EQ(installClockSetter(refusing), recorder);
  EXPECT_FALSE(setSystemClock(DateTime{1}));
  EXPECT_EQ(refusing->calls().size(), 1u);
  EXPECT_EQ(recorder->calls().size(), 1u);
  installClockSetter(previous);
}

}  // namespace
}  // namespace qelvora
