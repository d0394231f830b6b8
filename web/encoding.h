// Conversions between GBK (code page 936), Big5 (950), UTF-8 (65001) and UTF-16LE, on glibc iconv,
// the traditional-to-simplified mapping on OpenCC, and the two URL percent-encoders.
// A character that the target code page cannot hold becomes "?". Buffers are sized by the target.
#pragma once

#include <string_view>

#include "base/bytes.h"
#include "base/text.h"

namespace qelvora {

// The code pages the conversions know, by their numbers; Ansi is the system's ANSI code page,
// GBK here. A number outside these converts to nothing.
enum class CodePage { Ansi = 0, Gbk = 936, Big5 = 950, Utf8 = 65001 };

// text (up to its first NUL) in codePage -> UTF-16LE code units followed by one zero unit.
Bytes toWide(std::string_view text, CodePage codePage = CodePage::Utf8);
// UTF-16LE (up to its first zero unit) -> text in codePage, up to its first NUL.
Text fromWide(const Bytes& wide, CodePage codePage = CodePage::Ansi);

Text gbkToUtf8(std::string_view text);
// UTF-8 text -> GBK text (the reverse chain: toWide with 65001, then fromWide with 936). Also how
// code turns its UTF-8 source literals into the GBK texts the program works with.
Text utf8ToGbk(std::string_view utf8);
Text big5ToGbk(std::string_view text);
// Traditional characters to their simplified forms; the byte length does not change.
Text toSimplified(std::string_view text);
Text big5ToSimplified(std::string_view text);

// Every byte as %XX (upper-case hex), except, with keepSafe, 0x2C-0x39, A-Z and a-z.
Text urlEncodeUtf8(std::string_view text, bool keepSafe = false);
Text urlEncodeGbk(std::string_view text, bool keepSafe = false);

}  // namespace qelvora
