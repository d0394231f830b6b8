#include "answer/time_answer.h"

#include "base/hosts.h"
#include "base/text.h"
#include "web/http_whole_file.h"

namespace qelvora {
namespace {

const char kMarker[] = "window.baidu_time(";

// Whether the piece read as the number starts, after blanks and a sign, with a digit (full-width
// ones count, as they do for the number itself). "()", "(nan)" or a missing number would read as
// the epoch, and the clock must not be set back to 1970 for them.
bool startsWithNumber(std::string_view piece) {
  const Text ascii = fullWidthToAscii(piece);
  std::size_t i = ascii.find_first_not_of(" \t\r\n\v\f");
  if (i != Text::npos && (ascii[i] == '+' || ascii[i] == '-')) ++i;
  return i < ascii.size() && ascii[i] >= '0' && ascii[i] <= '9';
}

}  // namespace

Bytes fetchWholeFile(std::string_view url) {
  return httpGetWholeFile(url);
}

TimeReading readTimePage(std::string_view page) {
  Text text(page.substr(0, page.find('\0')));  // the page as text ends at its first NUL
  const int p = findText(text, kMarker, 1, false);
  const int s = p + textLength(kMarker);
  const int e = findText(text, ")", s, false);
  const Text number = midText(text, s, e - s);
  const double milliseconds = toNumber(number);
  const int seconds = toInteger(milliseconds / 1000);
  return {addToDateTime(DateTime{kBeijingEpoch}, 8, seconds),
          p >= 1 && e >= 1 && startsWithNumber(number), milliseconds};
}

TimeReading fetchBeijingTime() {
  return readTimePage(toText(fetchWholeFile("http://" + hosts().time + "/special/time/")));
}

DateTime beijingTime() {
  return fetchBeijingTime().time;
}

}  // namespace qelvora
