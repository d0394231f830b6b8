// Cutting pieces out of pages by fixed markers, converting UTF-8 pages to GBK, and the clean-up
// chain that turns the markup left in an answer transcript into plain text with line breaks.
// Everything works on GBK byte strings with the text operations; nothing here parses HTML.
#pragma once

#include <span>
#include <string_view>
#include <utility>

#include "base/text.h"
#include "base/text_cut.h"  // cutBetween

namespace qelvora {

// A UTF-8 page (up to its first NUL) as GBK text.
Text pageToGbk(std::string_view page);

// One step of the clean-up chain: every occurrence of the pattern (exact bytes, at a character
// start) is replaced.
using MarkupStep = std::pair<std::string_view, std::string_view>;  // pattern, replacement

// The chain's 15 steps in order, and the 5 the software site's descriptions take after them.
std::span<const MarkupStep> markupSteps();
std::span<const MarkupStep> softwareMarkupSteps();

// The clean-up chain on a text: the steps in order, plus the software steps withSoftwareSteps.
Text cleanMarkupText(std::string_view text, bool withSoftwareSteps);

}  // namespace qelvora
