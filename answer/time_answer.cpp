#include "answer/time_answer.h"

#include "base/hosts.h"
#include "base/text.h"
#include "web/http_whole_file.h"

namespace qelvora {
namespace {

const char kMarker[] = "window.baidu_time(";

}  // namespace

Bytes fetchWholeFile(std::string_view url) {
  return httpGetWholeFile(url);
}

DateTime beijingTimeFromPage(std::string_view page) {
  Text text(page.substr(0, page.find('\0')));  // the page as text ends at its first NUL
  int p = findText(text, kMarker, 1, false);
  int s = p + textLength(kMarker);
  int e = findText(text, ")", s, false);
  double milliseconds = toNumber(midText(text, s, e - s));
  int seconds = toInteger(milliseconds / 1000);
  return addToDateTime(DateTime{kBeijingEpoch}, 8, seconds);
}

std::optional<DateTime> fetchBeijingTime() {
  Bytes page = fetchWholeFile("http://" + hosts().time + "/special/time/");
  Text text = toText(page);
  // Only a marker followed by a number and its closing bracket carries a time; anything else
  // ("()", "(nan)", a page without the marker) would read as the epoch and set the clock to 1970.
  const int p = findText(text, kMarker, 1, false);
  if (p < 1) return std::nullopt;
  const std::size_t number =
      text.find_first_not_of(" \t", std::size_t(p - 1 + textLength(kMarker)));
  if (number == Text::npos || text[number] < '0' || text[number] > '9') return std::nullopt;
  if (findText(text, ")", p + textLength(kMarker), false) < 1) return std::nullopt;
  return beijingTimeFromPage(text);
}

DateTime beijingTime() {
  return fetchBeijingTime().value_or(DateTime{kBeijingEpoch});
}

}  // namespace qelvora
