// The published code-page tables of tests/data (CP936.TXT for GBK, CP950.TXT for Big5) and the
// plain encoders the encoding checks compare with. Header only and free of Qt and of the program's
// own code, so that the fuzz harnesses can use it too.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace qelvora::testing {

// Code (one or two bytes) -> Unicode code point for every code the table defines; empty when the
// file cannot be read.
inline std::map<std::uint32_t, std::uint32_t> readCodePageTable(const std::string& path) {
  std::map<std::uint32_t, std::uint32_t> table;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string code, unicode;
    std::getline(fields, code, '\t');
    std::getline(fields, unicode, '\t');
    if (unicode.rfind("0x", 0) != 0) continue;  // undefined code
    table[std::stoul(code, nullptr, 16)] = std::stoul(unicode, nullptr, 16);
  }
  return table;
}

// The bytes of a table's code: one byte up to 0xFF, else lead and trail byte.
inline std::string codeBytes(std::uint32_t code) {
  if (code <= 0xFF) return std::string(1, static_cast<char>(code));
  return {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

// A code point as UTF-8.
inline std::string utf8Of(std::uint32_t cp) {
  std::string s;
  auto add = [&s](std::uint32_t b) { s += static_cast<char>(b); };
  if (cp < 0x80) {
    add(cp);
  } else if (cp < 0x800) {
    add(0xC0 | (cp >> 6)), add(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    add(0xE0 | (cp >> 12)), add(0x80 | ((cp >> 6) & 0x3F)), add(0x80 | (cp & 0x3F));
  } else {
    add(0xF0 | (cp >> 18)), add(0x80 | ((cp >> 12) & 0x3F)), add(0x80 | ((cp >> 6) & 0x3F));
    add(0x80 | (cp & 0x3F));
  }
  return s;
}

}  // namespace qelvora::testing
