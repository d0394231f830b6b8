// Cutting pieces out of pages by fixed markers, converting UTF-8 pages to GBK, and the clean-up
// chain that turns the markup left in an answer transcript into plain text with line breaks.
// Everything works on GBK byte strings with the text operations; nothing here parses HTML.
#pragma once

#include <string_view>

#include "base/text.h"
#include "base/text_cut.h"  // cutBetween

namespace qelvora {

// A UTF-8 page (up to its first NUL) as GBK text.
Text pageToGbk(std::string_view page);

// The clean-up chain on a text: 15 exact-byte replace-all steps, plus 5 more withSoftwareSteps.
Text cleanMarkupText(std::string_view text, bool withSoftwareSteps);

}  // namespace qelvora
