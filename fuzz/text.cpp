// The GBK text operations against their plain reference versions: search and replace (with and
// without case folding, any start and limit), cuts by position, trimming, case, comparison, and
// reading numbers.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "base/text.h"
#include "fuzz/check.h"
#include "fuzz/reference_text.h"

using namespace qelvora;
using fuzz::expectNumber;
using fuzz::expectText;

namespace {

// Positions near the text (where the edge cases are) and now and then the extremes of int.
int position(FuzzedDataProvider& in, std::size_t length) {
  switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0:
      return INT_MIN;
    case 1:
      return INT_MAX;
    default:
      return in.ConsumeIntegralInRange(-2, static_cast<int>(length) + 2);
  }
}

// A pattern worth searching for: often a piece of the text itself, its letters' case sometimes
// flipped, so that matches (and near misses on character boundaries) are common.
std::string pickPattern(FuzzedDataProvider& in, const std::string& text) {
  if (text.empty() || in.ConsumeBool()) return in.ConsumeRandomLengthString(12);
  std::size_t from = in.ConsumeIntegralInRange<std::size_t>(0, text.size() - 1);
  std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, 12);
  std::string pattern = text.substr(from, length);
  if (in.ConsumeBool())
    for (char& c : pattern)
      if (ref::isLetter(static_cast<unsigned char>(c))) c = static_cast<char>(c ^ 0x20);
  return pattern;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool ignoreCase = in.ConsumeBool();
  const std::string replacement = in.ConsumeRandomLengthString(8);
  const std::string text = in.ConsumeRandomLengthString(4096);
  const std::string pattern = pickPattern(in, text);
  const int start = position(in, text.size());
  const int count = position(in, text.size());
  std::optional<int> limit;
  if (in.ConsumeBool()) limit = in.ConsumeIntegralInRange(-1, 3);

  expectNumber("findText", findText(text, pattern, start, ignoreCase),
               ref::find(text, pattern, start, ignoreCase));
  expectText("replaceText", replaceText(text, pattern, replacement, start, limit, !ignoreCase),
             ref::replace(text, pattern, replacement, start, limit, !ignoreCase));

  expectText("leftText", leftText(text, count), ref::left(text, count));
  expectText("rightText", rightText(text, count), ref::right(text, count));
  expectText("midText", midText(text, start, count), ref::mid(text, start, count));
  expectText("replaceRange", replaceRange(text, start, count, replacement),
             ref::replaceRange(text, start, count, replacement));
  expectNumber("codeAt", codeAt(text, start), ref::codeAt(text, start));

  expectText("toUpper", toUpper(text), ref::changeCase(text, true));
  expectText("toLower", toLower(text), ref::changeCase(text, false));
  expectText("trimSpaces", trimSpaces(text), ref::trimSpaces(text));
  expectText("removeSpaces", removeSpaces(text), ref::removeSpaces(text));
  expectNumber("compareText", ref::sign(compareText(text, pattern, !ignoreCase)),
               ref::compare(text, pattern, !ignoreCase));

  expectText("fullWidthToAscii", fullWidthToAscii(text), ref::fullWidthToAscii(text));
  const double number = toNumber(text);
  if (auto want = ref::number(text)) {
    if (number != *want)
      fuzz::fail("toNumber", fuzz::describe(number) + " vs " + fuzz::describe(*want));
  }
  expectNumber("toInteger", toInteger(text), ref::integer(text));
  const int truncated = toInteger(number);
  if (std::isfinite(number) && std::fabs(number) < 2147483647.0)
    expectNumber("toInteger(double)", truncated, static_cast<long long>(std::trunc(number)));
  return 0;
}
