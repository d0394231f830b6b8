// What a harness does when a result is wrong: print what was expected and abort, so that the fuzzer
// keeps the input as a failure like any crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace qelvora::fuzz {

inline std::string describe(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out + "\"";
}
inline std::string describe(long long v) {
  return std::to_string(v);
}
inline std::string describe(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

[[noreturn]] inline void fail(std::string_view what, const std::string& detail = {}) {
  std::fprintf(stderr, "\n*** %.*s %s\n", static_cast<int>(what.size()), what.data(),
               detail.c_str());
  std::abort();
}

// ASCII letters lowered byte by byte, every other byte kept: how the program compares markers
// and names without case.
inline std::string asciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

inline void expect(bool ok, std::string_view what) {
  if (!ok) fail(what);
}

inline void expectText(std::string_view what, std::string_view got, std::string_view want) {
  if (got != want) fail(what, "gave " + describe(got) + ", expected " + describe(want));
}

inline void expectNumber(std::string_view what, long long got, long long want) {
  if (got != want) fail(what, "gave " + describe(got) + ", expected " + describe(want));
}

}  // namespace qelvora::fuzz
