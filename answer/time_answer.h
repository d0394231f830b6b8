// The Beijing time, read from the time service's page (the host is hosts().time).
#pragma once

#include <string_view>

#include "base/bytes.h"
#include "base/datetime.h"

namespace qelvora {

// 1970-01-01 08:00:00: the Unix epoch in Beijing time, and the answer when no time was fetched.
inline constexpr double kBeijingEpoch = 25569.333333333332;

// What a time page says. The time is what the answer shows, read however odd the page; the clock
// follows it only when the page really carried a number.
struct TimeReading {
  DateTime time{kBeijingEpoch};
  bool carriesTime = false;  // the marker, then (after blanks and a sign) a digit, then ")"
  // The number as the page gives it, in milliseconds since the Unix epoch, before the answer cuts
  // it to whole seconds and the int range: what tells a nonsense time from a real one.
  double milliseconds = 0;
};

// The time page's reading: the milliseconds after the first "window.baidu_time(" up to the next
// ")" (from byte 17 when the marker is missing), as whole seconds after the Beijing epoch.
TimeReading readTimePage(std::string_view page);

// The time service's page, read; the epoch that carries no time when no page came.
TimeReading fetchBeijingTime();

// The time the answer shows: fetchBeijingTime().time.
DateTime beijingTime();

// HTTP/1.0 GET of a whole file, fresh from the server; empty on failure.
Bytes fetchWholeFile(std::string_view url);

}  // namespace qelvora
