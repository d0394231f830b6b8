#include "sites/match.h"

#include <algorithm>
#include <tuple>

#include "sites/strings.h"

namespace qelvora::sites {
namespace {

// Characters too common in questions to say anything about the topic.
constexpr std::u32string_view kStopChars = U"的了吗呢么是什怎如何啊吧呀哪个这那些一有我你他她它";

bool isPunctuationOrSpace(char32_t c) {
  if (c < 0x80)
    return !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'));
  return (c >= 0x2000 && c <= 0x206F) ||  // general punctuation
         (c >= 0x3000 && c <= 0x303F) ||  // CJK symbols and punctuation
         (c >= 0xFF00 && c <= 0xFF0F) || (c >= 0xFF1A && c <= 0xFF20) ||
         (c >= 0xFF3B && c <= 0xFF40) || (c >= 0xFF5B && c <= 0xFF65);
}

char32_t fold(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c - 'A' + 'a';
  if (c >= 0xFF21 && c <= 0xFF3A) return c - 0xFF21 + 'a';  // full-width letters
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0xFF41 + 'a';
  if (c >= 0xFF10 && c <= 0xFF19) return c - 0xFF10 + '0';
  return c;
}

// The question's characters folded, without spaces and punctuation (kept in order).
std::u32string normalize(std::string_view text) {
  std::u32string out;
  auto chars = decodeUtf8(text);
  if (!chars) return out;
  for (char32_t c : *chars) {
    c = fold(c);
    if (!isPunctuationOrSpace(c)) out.push_back(c);
  }
  return out;
}

// The distinct significant characters, sorted: a set without a node per character, since every
// search compares the question with every title.
std::u32string significantChars(std::string_view text) {
  std::u32string chars;
  for (char32_t c : normalize(text))
    if (kStopChars.find(c) == std::u32string_view::npos) chars.push_back(c);
  std::sort(chars.begin(), chars.end());
  chars.erase(std::unique(chars.begin(), chars.end()), chars.end());
  return chars;
}

size_t sharedCount(std::u32string_view a, std::u32string_view b) {
  size_t n = 0;
  for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
    if (a[i] < b[j]) {
      ++i;
    } else if (b[j] < a[i]) {
      ++j;
    } else {
      ++n, ++i, ++j;
    }
  }
  return n;
}

struct Ranked {
  size_t index;
  std::tuple<size_t, size_t, size_t> score;  // compared greater-first
  size_t extras;                             // fewer is better
};

std::vector<size_t> order(std::vector<Ranked> ranked) {
  std::stable_sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) {
    if (a.score != b.score) return a.score > b.score;
    return a.extras < b.extras;
  });
  std::vector<size_t> out;
  for (const auto& r : ranked) out.push_back(r.index);
  return out;
}

}  // namespace

std::vector<size_t> matchFuzzy(const std::vector<QaEntry>& entries, std::string_view question) {
  const auto asked = significantChars(question);
  std::vector<Ranked> ranked;
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto title = significantChars(entries[i].question);
    const size_t shared = sharedCount(asked, title);
    if (shared == 0) continue;
    ranked.push_back({i, {shared, 0, 0}, title.size() - shared});
  }
  return order(std::move(ranked));
}

std::vector<size_t> matchExact(const std::vector<QaEntry>& entries, std::string_view question) {
  const auto asked = significantChars(question);
  const std::u32string askedText = normalize(question);
  std::vector<Ranked> ranked;
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto title = significantChars(entries[i].question);
    const size_t shared = sharedCount(asked, title);
    size_t hits = 0;
    for (const auto& keyword : entries[i].keywords) {
      const std::u32string k = normalize(keyword);
      if (!k.empty() && askedText.find(k) != std::u32string::npos) ++hits;
    }
    // Without a keyword the question has to cover at least 70% of the title's characters.
    const bool mostOfTitle = !title.empty() && shared * 10 >= title.size() * 7;
    if (hits == 0 && !mostOfTitle) continue;
    ranked.push_back({i, {shared, hits, 0}, title.size() - shared});
  }
  return order(std::move(ranked));
}

std::vector<size_t> matchSoftware(const std::vector<Program>& programs, std::string_view question) {
  const std::u32string asked = normalize(question);
  std::vector<Ranked> ranked;
  for (size_t i = 0; i < programs.size(); ++i) {
    const Program& p = programs[i];
    std::vector<std::string> terms = p.keywords;
    terms.push_back(p.name);
    terms.push_back(p.latin);
    size_t longest = 0, hits = 0;
    for (const auto& term : terms) {
      const std::u32string t = normalize(term);
      if (t.empty() || asked.find(t) == std::u32string::npos) continue;
      ++hits;
      longest = std::max(longest, t.size());
    }
    if (hits == 0) continue;
    ranked.push_back({i, {longest, hits, 0}, 0});
  }
  return order(std::move(ranked));
}

}  // namespace qelvora::sites
