#include "sources/markup.h"

#include <array>
#include <utility>

#include "web/encoding.h"

namespace qelvora {

Text pageToGbk(std::string_view page) {
  return utf8ToGbk(page);
}

namespace {

// The order matters: ">" becomes a line break before the tag openings are removed, so each tag
// ends up as one line break.
constexpr std::array<MarkupStep, 15> kMarkupSteps{{
    {"href=", ""},
    {"target=\"_blank\">", ""},
    {"</A>", ""},
    {"<br>", "\r\n"},
    {"<img src=", "\r\n"},
    {">", "\r\n"},
    {"<b", ""},
    {"</b", ""},
    {"r/", ""},
    {"r /", ""},
    {"&nbsp", ""},
    {"</a", ""},
    {"</p", ""},
    {"<p", ""},
    {";</p", ""},
}};

// Extra steps for the software site's descriptions.
constexpr std::array<MarkupStep, 5> kSoftwareSteps{{
    {"&quot;", ""},
    {".img", ""},
    {"<span style=", ""},
    {"font-size:12px;", ""},
    {"</span", ""},
}};

void applyStep(Text& text, const MarkupStep& step) {
  // No occurrence of the bytes at all means no occurrence at a character start either: skip the
  // copy. Otherwise the character-wise replace decides which occurrences count.
  if (text.find(step.first) == Text::npos) return;
  text = replaceText(text, step.first, step.second, 1, std::nullopt, true);
}

}  // namespace

std::span<const MarkupStep> markupSteps() {
  return kMarkupSteps;
}

std::span<const MarkupStep> softwareMarkupSteps() {
  return kSoftwareSteps;
}

Text cleanMarkupText(std::string_view text, bool withSoftwareSteps) {
  Text result(text);
  for (const MarkupStep& step : kMarkupSteps) applyStep(result, step);
  if (withSoftwareSteps) {
    for (const MarkupStep& step : kSoftwareSteps) applyStep(result, step);
  }
  return result;
}

}  // namespace qelvora
