// Internal to base/: the candidate scan and character-boundary tracking shared by findText and
// replaceText. Not part of the public text interface.
#pragma once

#include <cstddef>
#include <string_view>

namespace qelvora::detail {

// Tracks the character walk that starts at a known character start. Candidates must be asked
// about in increasing order; the state only moves forward, so a whole pass stays linear.
class BoundaryWalk {
 public:
  BoundaryWalk(std::string_view text, std::size_t start) : text_(text), known_(start) {}

  // True when the character walk from the known start lands on position c (c < text size).
  bool isCharStart(std::size_t c);
  // The walk continues at c (used after a match has been skipped as a whole).
  void restartAt(std::size_t c) { known_ = c; }

 private:
  std::string_view text_;
  std::size_t known_;
};

// Finds candidate positions of pattern (non-empty) in text[from, text.size()), ASCII letters
// folded when ignoreCase; every returned position is a real match of the whole pattern. Returns
// text.size() when there is none.
std::size_t nextMatch(std::string_view text, std::string_view pattern, std::size_t from,
                      bool ignoreCase);

}  // namespace qelvora::detail
