// The readers of the Chinese knowledge Debian installs: manual pages, the Debian FAQ and reference,
// the poems and sayings of the fortunes files, and the Unihan character data. Each turns its files
// into documents; a file it cannot use is one line in skipped and the rest is still read.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sites/knowledge/document.h"

namespace qelvora::sites::knowledge {

// root holds man1 .. man8 (gzip-packed roff, UTF-8 or GB18030).
std::vector<Document> readManPages(const std::filesystem::path& root, Skipped& skipped);

// Hard-wrapped plain-text manuals (gzip): one document per numbered section.
std::vector<Document> readDebianDocs(const std::vector<std::filesystem::path>& files,
                                     Skipped& skipped);

// dir holds tang300.u8, song100.u8 and chinese.u8.
std::vector<Document> readFortunes(const std::filesystem::path& dir, Skipped& skipped);

// dir holds Unihan_Readings.txt.bz2 and Unihan_Variants.txt.bz2: one document per character GBK
// can encode that has a Mandarin reading or a definition.
std::vector<Document> readUnihan(const std::filesystem::path& dir, Skipped& skipped);

// For characters GBK cannot encode: a GBK form of the same character (its simplified variant,
// else a semantic or Z variant). Empty when the variants file is missing.
std::unordered_map<char32_t, char32_t> readUnihanVariants(const std::filesystem::path& dir,
                                                          Skipped& skipped);

namespace detail {

// Whether text is well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool isUtf8(std::string_view text);

// The text with ANSI colour sequences (ESC [ ... m) taken out.
std::string stripAnsi(std::string_view text);

// Whether GBK (code page 936) can encode the character.
bool gbkEncodes(char32_t c);

// One code point decoded from UTF-8 at pos (advanced past it); U+FFFD for a bad byte.
char32_t nextCodePoint(std::string_view text, std::size_t& pos);

// The UTF-8 bytes of one code point.
std::string utf8(char32_t c);

// A CJK ideograph, full-width form or CJK punctuation: text that joins without spaces.
bool isWide(char32_t c);

}  // namespace detail

}  // namespace qelvora::sites::knowledge
