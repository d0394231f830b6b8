// The Beijing time, read from the time service's page (the host is hosts().time).
#pragma once

#include <optional>
#include <string_view>

#include "base/bytes.h"
#include "base/datetime.h"

namespace qelvora {

// 1970-01-01 08:00:00: the Unix epoch in Beijing time, and the answer when no time was fetched.
inline constexpr double kBeijingEpoch = 25569.333333333332;

// The date-time carried by a time page: the milliseconds after the first "window.baidu_time(" up
// to the next ")", as whole seconds after the Beijing epoch.
DateTime beijingTimeFromPage(std::string_view page);

// The time page's date-time, or nothing when no page came or its marker is not followed by a
// number and a closing bracket (so that a failed fetch does not set the clock).
std::optional<DateTime> fetchBeijingTime();

// fetchBeijingTime(), or the Beijing epoch when there was no time.
DateTime beijingTime();

// HTTP/1.0 GET of a whole file, fresh from the server; empty on failure.
Bytes fetchWholeFile(std::string_view url);

}  // namespace qelvora
