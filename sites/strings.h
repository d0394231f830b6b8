// Small string helpers of the reference sites: UTF-8 decoding, percent-decoding of query strings,
// HTML escaping and the UTF-8 <-> GBK conversions for the software site.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qelvora::sites {

// Strict UTF-8 decoding (no overlong forms, no surrogates); nullopt on any malformed sequence.
std::optional<std::u32string> decodeUtf8(std::string_view text);
std::string encodeUtf8(std::u32string_view text);

// "%XX" escapes and, unless told otherwise, "+" for a space; nullopt when a "%" is not followed by
// two hex digits.
std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace = true);

// The query part of a request target as (name, value) pairs, both decoded; nullopt when any part
// is malformed. A field without "=" has an empty value.
using QueryFields = std::vector<std::pair<std::string, std::string>>;
std::optional<QueryFields> parseQuery(std::string_view target);
// The value of the first field of that name, or the empty string.
std::string fieldValue(const QueryFields& fields, std::string_view name);

// Text for HTML content and attribute values: & < > " ' escaped, and made gbkSafeText.
std::string escapeHtml(std::string_view text);

// UTF-8 text whose every character the program, which cuts pages as GBK, reads as itself: a
// character that GBK writes as a single byte of 0x80 or more ("€" is 0x80, which a marker search
// takes for half of a two-byte character) is written out ("欧元"). Use it on any text a page shows.
std::string gbkSafeText(std::string_view utf8);
// The first character of UTF-8 text that GBK writes as such a single byte, or nullopt.
std::optional<char32_t> firstGbkSingleHighByte(std::string_view utf8);

// Markup reduced to its text: tags dropped, &nbsp; and the basic entities resolved, runs of white
// space folded into one space.
std::string stripTags(std::string_view markup);

// At most maxChars characters of UTF-8 text, with "…" appended when it was cut.
std::string shortenUtf8(std::string_view text, size_t maxChars);

// Conversions through iconv; nullopt when the input holds a character the other side lacks or is
// malformed (no silent replacement: a page must never go out half-converted).
std::optional<std::string> utf8ToGbk(std::string_view utf8);
std::optional<std::string> gbkToUtf8(std::string_view gbk);

std::string trim(std::string_view text);
std::string asciiLower(std::string_view text);

}  // namespace qelvora::sites
