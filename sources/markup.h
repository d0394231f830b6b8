// Cutting pieces out of pages by fixed markers, converting UTF-8 pages to GBK, and the clean-up
// chain that turns the markup left in an answer transcript into plain text with line breaks.
// Everything works on GBK byte strings with the text operations; nothing here parses HTML.
#pragma once

#include <string_view>

#include "base/text.h"

namespace qelvora {

// The text strictly between the first startMarker and the first endMarker after it (both searched
// ignoring ASCII case, the placeholder "#引号" standing for a double quote); empty when either is
// missing.
Text cutBetween(std::string_view text, std::string_view startMarker, std::string_view endMarker);

// A UTF-8 page (up to its first NUL) as GBK text.
Text pageToGbk(std::string_view page);

// The clean-up chain on a text: 15 exact-byte replace-all steps, plus 5 more withSoftwareSteps.
Text cleanMarkupText(std::string_view text, bool withSoftwareSteps);

}  // namespace qelvora
