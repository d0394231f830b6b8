// The markup clean-up chain and the cuts by marker, against the same chain and cut written with the
// plain reference search and replace.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <utility>

#include "fuzz/check.h"
#include "fuzz/reference_text.h"
#include "sources/markup.h"

using namespace qelvora;
using fuzz::expectText;

namespace {

// The program's own steps, applied one by one with the reference replace: the chain must skip
// nothing and replace nothing more.
std::string cleanMarkupByReference(std::string text, bool withSoftwareSteps) {
  for (auto [pattern, replacement] : markupSteps())
    text = ref::replace(text, pattern, replacement, 1, std::nullopt, true);
  if (withSoftwareSteps)
    for (auto [pattern, replacement] : softwareMarkupSteps())
      text = ref::replace(text, pattern, replacement, 1, std::nullopt, true);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool software = in.ConsumeBool();
  // A marker is its own bytes or, more often useful, a piece of the page (sometimes upper-cased).
  struct Marker {
    std::string own;
    bool fromPage;
    bool flip;
    std::size_t at, length;
  } markers[2];
  for (Marker& m : markers) {
    m.own = in.ConsumeRandomLengthString(16);
    m.fromPage = in.ConsumeBool();
    m.flip = in.ConsumeBool();
    m.at = in.ConsumeIntegral<std::uint16_t>();
    m.length = in.ConsumeIntegralInRange<std::size_t>(0, 16);
  }
  const std::string page = in.ConsumeRemainingBytesAsString();
  auto marker = [&page](const Marker& m) {
    if (!m.fromPage || page.empty()) return m.own;
    std::string piece = page.substr(m.at % page.size(), m.length);
    if (m.flip) piece = ref::changeCase(piece, true);
    return piece;
  };
  const std::string startMarker = marker(markers[0]), endMarker = marker(markers[1]);

  expectText("cleanMarkupText", cleanMarkupText(page, software),
             cleanMarkupByReference(page, software));
  expectText("cutBetween", cutBetween(page, startMarker, endMarker),
             ref::cutBetween(page, startMarker, endMarker));
  return 0;
}
