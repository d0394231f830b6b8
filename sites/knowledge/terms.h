// How texts and questions become search terms. Chinese has no spaces between words, so a text is
// indexed by its characters and its pairs of neighbouring characters; Latin words, numbers and
// names are terms of their own. A question is first reduced to what it asks about: traditional
// characters become simplified ones, question words go, and everyday words gain the wording the
// data uses.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qelvora::sites::knowledge {

struct Terms {
  std::vector<std::string> chars;  // single Chinese characters, common ones left out
  std::vector<std::string> pairs;  // neighbouring Chinese characters
  std::vector<std::string> words;  // Latin words and numbers, lower case
};

// The terms of a text, each once, in the order they first appear.
Terms termsOf(std::string_view utf8);

// The text folded for matching: full-width Latin letters and digits to ASCII, ASCII lower case,
// punctuation and white space as single spaces.
std::u32string foldText(std::string_view utf8);

// Everyday wording -> the data's wording ("结束进程" -> "终止进程"), read from a data file of
// lines "everyday = data, data2" (# starts a comment).
class Synonyms {
 public:
  Synonyms() = default;
  // Unreadable or missing: no synonyms (and a line on stderr naming the file when it is there).
  static Synonyms load(const std::filesystem::path& file);
  static Synonyms parse(std::string_view text);
  // Each everyday wording with the data's wordings, the longest everyday wordings first, else in
  // the file's order.
  const std::vector<std::pair<std::string, std::vector<std::string>>>& pairs() const {
    return pairs_;
  }

 private:
  std::vector<std::pair<std::string, std::vector<std::string>>> pairs_;
};

struct Question {
  std::string subject;              // what is asked about: simplified, question words gone
  std::vector<std::string> extra;   // wordings the synonyms add beside the data's first wording
  std::vector<std::string> names;   // stretches of the subject that may be a whole name
  std::vector<std::string> hinted;  // names the synonyms suggest ("kill" for "结束进程")
  Terms asked;                      // of the subject as asked
  Terms reworded;                   // of the subject in the data's first wording
  Terms latin;  // of the subject with everyday words in their Latin wordings, where they have any
  Terms terms;  // both: what is searched
};

// The question as the search sees it. Traditional characters are simplified with OpenCC when its
// dictionary is there.
Question analyseQuestion(std::string_view utf8, const Synonyms& synonyms);

// Traditional -> simplified, character by character; the text unchanged without OpenCC.
std::string simplified(std::string_view utf8);

}  // namespace qelvora::sites::knowledge
