#include "base/text_cut.h"

#include <algorithm>
#include <optional>

namespace qelvora {

Text cutBetween(std::string_view text, std::string_view startMarker, std::string_view endMarker) {
  // Markers are written with a placeholder where the page has a double quote: "#引号" in GBK.
  static const Text kQuotePlaceholder = "#\xD2\xFD\xBA\xC5";
  Text start = replaceText(startMarker, kQuotePlaceholder, "\"", 1, std::nullopt, true);
  Text end = replaceText(endMarker, kQuotePlaceholder, "\"", 1, std::nullopt, true);

  int startAt = findText(text, start, 1, true);
  if (startAt == -1) return {};
  Text rest = rightText(text, textLength(text) - startAt - textLength(start) + 1);
  int endAt = findText(rest, end, 1, true);
  if (endAt == -1) return {};
  return leftText(rest, endAt - 1);
}

Text textBefore(std::string_view text, std::string_view delimiter, int start, bool ignoreCase) {
  int at = findText(text, delimiter, std::max(start, 1), ignoreCase);
  return at != -1 ? leftText(text, at - 1) : Text();
}

}  // namespace qelvora
