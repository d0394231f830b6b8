// A document's text as the answer pages carry it. The program converts the pages to GBK, cuts
// them by fixed markers and runs a fixed chain of replacements over what it cut, so data text
// must neither hold a character GBK lacks nor forge a marker nor feed the chain: the characters
// and sequences that would are written in their full-width forms (＜ ＞ ＆ ＂, "r／", "href＝",
// "３６０问答", "．img", ...), which the typed answer shows as they are.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

#include "sites/knowledge/document.h"

namespace qelvora::sites::knowledge {

// UTF-8 text that GBK holds whole. U+00A0 and the other spaces become a space, "€" becomes "欧元"
// (its single GBK byte 0x80 would be read as the first half of a two-byte character), a character
// outside GBK becomes its simplified form or the given variant where that is in GBK (else a close
// form for a few common marks and Latin letters, else nothing), and control characters other than
// LF and TAB go; malformed UTF-8 is dropped byte by byte. variants may be null.
std::string toGbkRepertoire(std::string_view utf8,
                            const std::unordered_map<char32_t, char32_t>* variants = nullptr);

// At most maxChars characters, ending at a sentence or line end in the last third where there is
// one, followed by the line "（全文：LINK）" when something was cut; short text comes back whole.
std::string capAnswer(std::string_view text, std::string_view link, std::size_t maxChars = 600);

// Each ready to stand in its page as it is (no further escaping).
std::string fuzzyTitle(const Document& document);         // <title>TITLE_360问答, result links
std::string fuzzyAnswerMarkup(const Document& document);  // capped, lines joined by <br/>
std::string exactTitle(const Document& document);         // <h3 id="questionTitle">
std::string exactAnswerText(const Document& document);    // the <pre> block: capped, LF lines
std::string softwareName(const Document& document);       // itemprop="name"
std::string softwareDescriptionMarkup(const Document& document);  // <div id="rom_des">

}  // namespace qelvora::sites::knowledge
