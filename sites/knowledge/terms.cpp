#include "sites/knowledge/terms.h"

#include <opencc/opencc.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <unordered_set>

#include "sites/strings.h"

namespace qelvora::sites::knowledge {
namespace {

// Characters too common to say anything about a topic on their own.
constexpr std::u32string_view kCommonChars =
    U"的了吗呢么是什怎如何啊吧呀哪个这那些我你他她它在和与或也就都要会能把被让给对从请";
// Particles that make no pair worth a term.
constexpr std::u32string_view kParticles = U"的了吗呢啊吧呀么给把被让请";
// Fillers inside a phrase, dropped without a gap: "新建一个文件夹" is about "新建文件夹".
constexpr std::u32string_view kFillers[] = {U"一个", U"一下", U"一些", U"某个", U"某些"};

// Words that say how something is asked, not what about; longest first when matched.
const std::vector<std::u32string>& questionWords() {
  static const std::vector<std::u32string> words = [] {
    std::vector<std::u32string> w = {U"的下一句是什么",
                                     U"下一句是什么",
                                     U"的上一句是什么",
                                     U"上一句是什么",
                                     U"的下一句",
                                     U"下一句",
                                     U"的上一句",
                                     U"上一句",
                                     U"是谁写的",
                                     U"谁写的",
                                     U"的作者是谁",
                                     U"作者是谁",
                                     U"是哪个朝代的",
                                     U"是什么意思",
                                     U"什么意思",
                                     U"是什么",
                                     U"什么是",
                                     U"为什么",
                                     U"为啥",
                                     U"怎么样",
                                     U"怎样才能",
                                     U"怎么才能",
                                     U"如何才能",
                                     U"怎么办",
                                     U"怎么读",
                                     U"怎么念",
                                     U"怎么写",
                                     U"怎么",
                                     U"怎样",
                                     U"如何",
                                     U"请问",
                                     U"有没有",
                                     U"有什么",
                                     U"用什么",
                                     U"哪些",
                                     U"哪个",
                                     U"哪里",
                                     U"在哪",
                                     U"的读音",
                                     U"读音",
                                     U"的拼音",
                                     U"拼音",
                                     U"的简体字",
                                     U"的繁体字",
                                     U"的简体",
                                     U"的繁体",
                                     U"简体字",
                                     U"繁体字",
                                     U"简体",
                                     U"繁体",
                                     U"出自哪里",
                                     U"出自哪首诗",
                                     U"出自",
                                     U"一下",
                                     U"能不能",
                                     U"可不可以",
                                     U"可以",
                                     U"我想",
                                     U"我要",
                                     U"想要",
                                     U"一个",
                                     U"字怎么读",
                                     U"字怎么念",
                                     U"字的读音",
                                     U"字的拼音",
                                     U"字是什么意思",
                                     U"字的意思",
                                     U"用什么软件",
                                     U"在哪下载",
                                     U"在哪里下载",
                                     U"哪里下载",
                                     U"哪里能下载",
                                     U"下载地址",
                                     U"怎么下载",
                                     U"怎么安装",
                                     U"如何安装",
                                     U"哪个好",
                                     U"哪款好",
                                     U"比较好",
                                     U"好用",
                                     U"推荐",
                                     U"有什么软件",
                                     U"什么软件",
                                     U"哪个软件",
                                     U"哪款软件",
                                     U"的软件",
                                     U"软件",
                                     U"吗",
                                     U"呢",
                                     U"啊",
                                     U"呀",
                                     U"吧"};
    std::stable_sort(w.begin(), w.end(),
                     [](const auto& a, const auto& b) { return a.size() > b.size(); });
    return w;
  }();
  return words;
}

bool isCjk(char32_t c) {
  return (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x20000 && c <= 0x3FFFF);
}

bool isWordChar(char32_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '+' || c == '-' || c == '.' ||
         c == '_';
}

char32_t foldChar(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c - 'A' + 'a';
  if (c >= 0xFF21 && c <= 0xFF3A) return c - 0xFF21 + 'a';
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0xFF41 + 'a';
  if (c >= 0xFF10 && c <= 0xFF19) return c - 0xFF10 + '0';
  if (c == 0xFF0B) return '+';
  if (c == 0xFF0D) return '-';
  if (c == 0xFF0E) return '.';
  if (c == 0xFF3F) return '_';
  return c;
}

// Adds a term once.
struct Collector {
  std::unordered_set<std::string> seen;
  void add(std::vector<std::string>& list, std::string term) {
    if (seen.insert(term).second) list.push_back(std::move(term));
  }
};

void addWord(std::u32string_view word, Terms& terms, Collector& seen) {
  constexpr size_t kLongestWord = 64;
  while (!word.empty() && (word.front() == '.' || word.front() == '-' || word.front() == '_'))
    word.remove_prefix(1);
  while (!word.empty() && (word.back() == '.' || word.back() == '-' || word.back() == '_'))
    word.remove_suffix(1);
  if (word.empty() || word.size() > kLongestWord) return;
  seen.add(terms.words, encodeUtf8(word));
  // "x11-apps" is also found as "x11" and "apps".
  size_t start = 0;
  for (size_t i = 0; i <= word.size(); ++i) {
    if (i < word.size() && word[i] != '-' && word[i] != '.' && word[i] != '_') continue;
    if (i > start && i - start < word.size())
      seen.add(terms.words, encodeUtf8(word.substr(start, i - start)));
    start = i + 1;
  }
}

}  // namespace

std::u32string foldText(std::string_view utf8) {
  std::u32string out;
  const auto chars = decodeUtf8(utf8);
  if (!chars) return out;
  for (char32_t c : *chars) {
    c = foldChar(c);
    const bool keep = isCjk(c) || isWordChar(c);
    if (keep)
      out.push_back(c);
    else if (out.empty() || out.back() != ' ')
      out.push_back(' ');
  }
  return out;
}

Terms termsOf(std::string_view utf8) {
  const std::u32string text = foldText(utf8);
  Terms terms;
  Collector seen;
  for (size_t i = 0; i < text.size();) {
    const char32_t c = text[i];
    if (isWordChar(c)) {
      size_t end = i;
      while (end < text.size() && isWordChar(text[end])) ++end;
      addWord(std::u32string_view(text).substr(i, end - i), terms, seen);
      i = end;
      continue;
    }
    if (isCjk(c)) {
      if (kCommonChars.find(c) == std::u32string_view::npos)
        seen.add(terms.chars, encodeUtf8(std::u32string(1, c)));
      const char32_t next = i + 1 < text.size() ? text[i + 1] : U' ';
      if (isCjk(next) && kParticles.find(c) == std::u32string_view::npos &&
          kParticles.find(next) == std::u32string_view::npos)
        seen.add(terms.pairs, encodeUtf8(std::u32string{c, next}));
    }
    ++i;
  }
  return terms;
}

Synonyms Synonyms::parse(std::string_view text) {
  Synonyms s;
  std::istringstream in{std::string(text)};
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string everyday = trim(std::string_view(line).substr(0, eq));
    std::vector<std::string> wordings;
    std::string rest = line.substr(eq + 1);
    for (size_t pos = 0; pos <= rest.size();) {
      size_t comma = rest.find_first_of(",", pos);
      if (comma == std::string::npos) comma = rest.size();
      std::string w = trim(std::string_view(rest).substr(pos, comma - pos));
      if (!w.empty()) wordings.push_back(std::move(w));
      pos = comma + 1;
    }
    if (!everyday.empty() && !wordings.empty())
      s.pairs_.emplace_back(everyday, std::move(wordings));
  }
  // The longest everyday words first: "新建文件夹" before "文件夹".
  std::stable_sort(s.pairs_.begin(), s.pairs_.end(),
                   [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
  return s;
}

Synonyms Synonyms::load(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  if (!decodeUtf8(text.str())) {
    std::fprintf(stderr, "qelvora-sites: %s is not UTF-8; no synonyms\n", file.c_str());
    return {};
  }
  return parse(text.str());
}

std::string simplified(std::string_view utf8) {
  static std::mutex mutex;
  static const opencc_t converter = opencc_open(OPENCC_DEFAULT_CONFIG_TRAD_TO_SIMP);
  if (converter == reinterpret_cast<opencc_t>(-1) || utf8.empty()) return std::string(utf8);
  std::lock_guard lock(mutex);
  char* out = opencc_convert_utf8(converter, utf8.data(), utf8.size());
  if (!out) return std::string(utf8);
  std::string result(out);
  opencc_convert_utf8_free(out);
  return result;
}

namespace {

// text without the question words, each leaving a gap, so that no pair spans where one was.
std::u32string withoutQuestionWords(std::u32string text) {
  for (const std::u32string& word : questionWords())
    for (size_t at; (at = text.find(word)) != std::u32string::npos;)
      text = text.substr(0, at) + U' ' + text.substr(at + word.size());
  return text;
}

bool isLatinName(std::string_view w) {
  return !w.empty() && std::all_of(w.begin(), w.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.';
  });
}

}  // namespace

Question analyseQuestion(std::string_view utf8, const Synonyms& synonyms) {
  constexpr size_t kLongestSubject = 64;  // characters: the rest of a long question adds nothing
  Question q;
  std::u32string text = foldText(simplified(utf8));
  if (text.size() > kLongestSubject) text.resize(kLongestSubject);
  for (std::u32string_view filler : kFillers)
    for (size_t at; (at = text.find(filler)) != std::u32string::npos;)
      text.erase(at, filler.size());
  std::u32string subject = withoutQuestionWords(text);
  const bool onlyQuestionWords =
      foldText(encodeUtf8(subject)).find_first_not_of(U' ') == std::u32string::npos;
  if (onlyQuestionWords) subject = text;  // ask with them all the same
  const std::u32string asked = foldText(encodeUtf8(subject));
  q.subject = trim(encodeUtf8(asked));
  q.asked = termsOf(q.subject);
  // Everyday words give way to the data's first wording; the others are searched beside it. They
  // are looked for in the whole question, as some hold a question word ("哪些文件"); a Latin
  // word among the wordings is the name of what answers.
  // English-only data (most of the package catalogue) is matched by the Latin wordings alone.
  // A wording put in is the data's own and is not reworded again ("添加用户" -> "新用户" keeps its
  // "用户"): the text is kept as pieces, those put in marked.
  struct Piece {
    std::string text;
    bool putIn;
  };
  std::vector<Piece> reworded{{encodeUtf8(text), false}}, latin = reworded;
  const auto replace = [](std::vector<Piece>& in, const std::string& everyday,
                          const std::string& by) {
    bool found = false;
    std::vector<Piece> out;
    for (Piece& piece : in) {
      if (piece.putIn) {
        out.push_back(std::move(piece));
        continue;
      }
      size_t from = 0;
      for (size_t at; (at = piece.text.find(everyday, from)) != std::string::npos; found = true) {
        out.push_back({piece.text.substr(from, at - from), false});
        out.push_back({by, true});
        from = at + everyday.size();
      }
      out.push_back({piece.text.substr(from), false});
    }
    in = std::move(out);
    return found;
  };
  const auto joined = [](const std::vector<Piece>& pieces) {
    std::string out;
    for (const Piece& piece : pieces) out += piece.putIn ? " " + piece.text + " " : piece.text;
    return out;
  };
  for (const auto& [everyday, wordings] : synonyms.pairs()) {
    std::string latinWordings;
    for (const std::string& w : wordings)
      if (w.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-+. ") == std::string::npos)
        latinWordings += (latinWordings.empty() ? "" : " ") + w;
    replace(latin, everyday, latinWordings.empty() ? wordings.front() : latinWordings);
    if (!replace(reworded, everyday, wordings.front())) continue;
    q.extra.insert(q.extra.end(), wordings.begin() + 1, wordings.end());
    for (const std::string& w : wordings)
      if (isLatinName(w) && std::find(q.hinted.begin(), q.hinted.end(), w) == q.hinted.end())
        q.hinted.push_back(w);
  }
  std::string rewordedText = joined(reworded), latinText = joined(latin);
  if (!onlyQuestionWords)
    for (std::string* wording : {&rewordedText, &latinText})
      if (const auto chars = decodeUtf8(*wording))
        *wording = encodeUtf8(withoutQuestionWords(*chars));
  q.latin = termsOf(latinText);
  // The other wordings are alternatives: searched, but not each asked of every document.
  q.reworded = termsOf(rewordedText);
  for (const std::string& w : q.extra) rewordedText += " " + w;
  q.terms = termsOf(q.subject + " " + rewordedText);

  // Names: every stretch of two to eight Chinese characters, whole Latin words, and a single
  // character when that is all the question is about.
  // They come from the question as asked: "看图" in a program's name is not to become "图像".
  Collector seen;
  const std::u32string& folded = asked;
  size_t cjkCount = 0;
  for (char32_t c : folded) cjkCount += isCjk(c);
  for (size_t i = 0; i < folded.size(); ++i) {
    if (!isCjk(folded[i])) continue;
    for (size_t len = 1; len <= 8 && i + len <= folded.size() && isCjk(folded[i + len - 1]); ++len)
      if (len > 1 || cjkCount == 1) seen.add(q.names, encodeUtf8(folded.substr(i, len)));
  }
  for (const std::string& w : termsOf(encodeUtf8(asked)).words) seen.add(q.names, w);
  return q;
}

}  // namespace qelvora::sites::knowledge
