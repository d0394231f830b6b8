// Whether bytes are well-formed text of a character set, by glibc iconv (which the harnesses trust
// as the reference): every byte must convert to code points (UTF-32 refuses what lies beyond
// Unicode), none may be left over.
#pragma once

#include <iconv.h>

#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace qelvora::fuzz {

// The converters stay open for the whole run (opening one costs more than a conversion).
struct Converters {
  std::map<std::pair<std::string, std::string>, iconv_t> open;
  ~Converters() {
    for (auto& [names, cd] : open)
      if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
};

inline bool converts(std::string_view text, const char* from, const char* to = "UTF-32LE") {
  static Converters converters;
  auto [it, added] = converters.open.try_emplace({from, to});
  iconv_t& cd = it->second;
  if (added) cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string in(text), out(text.size() * 4 + 16, '\0');
  char* inPtr = in.data();
  char* outPtr = out.data();
  std::size_t inLeft = in.size(), outLeft = out.size();
  return iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1) &&
         inLeft == 0;
}

}  // namespace qelvora::fuzz
