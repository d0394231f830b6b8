// Cutting a page or a header block by fixed markers: the answer sources cut titles, answers and
// addresses out of pages this way, and the fetch client with time-out cuts header values.
#pragma once

#include <string_view>

#include "base/text.h"

namespace qelvora {

// A piece of a page by its markers, as cutBetween takes them (GBK).
struct MarkerPair {
  Text start;
  Text end;
};

// The text strictly between the first startMarker and the first endMarker after it (both searched
// ignoring ASCII case, the placeholder "#引号" standing for a double quote); empty when either is
// missing.
Text cutBetween(std::string_view text, std::string_view startMarker, std::string_view endMarker);

inline Text cutBetween(std::string_view text, const MarkerPair& markers) {
  return cutBetween(text, markers.start, markers.end);
}

// The bytes of text before the first delimiter found at or after start; empty when not found.
Text textBefore(std::string_view text, std::string_view delimiter, int start = 1,
                bool ignoreCase = false);

}  // namespace qelvora
