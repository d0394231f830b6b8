// The Debian FAQ and reference as plain text: one document per numbered section. The text is
// hard-wrapped at 69 columns (a CJK character takes two), so paragraphs are joined back into lines
// while lists, commands and tables keep their lines.
#include <optional>
#include <set>

#include "sites/knowledge/data_file.h"
#include "sites/knowledge/readers.h"

namespace qelvora::sites::knowledge {
namespace {

using detail::isWide;
using detail::nextCodePoint;

constexpr int kWrapWidth = 69;

int displayWidth(std::string_view s) {
  int w = 0;
  for (std::size_t i = 0; i < s.size();) w += isWide(nextCodePoint(s, i)) ? 2 : 1;
  return w;
}

char32_t firstChar(std::string_view s) {
  std::size_t i = 0;
  return s.empty() ? 0 : nextCodePoint(s, i);
}

char32_t lastChar(std::string_view s) {
  std::size_t i = s.size();
  while (i > 0 && (static_cast<unsigned char>(s[i - 1]) & 0xC0) == 0x80) --i;
  if (i > 0) --i;
  return s.empty() ? 0 : nextCodePoint(s, i);
}

// The width of what the wrapper would have tried to fit first: a word, or one wide character.
int firstTokenWidth(std::string_view s) {
  int w = 0;
  for (std::size_t i = 0; i < s.size();) {
    const char32_t c = nextCodePoint(s, i);
    if (c == ' ') break;
    if (isWide(c)) return w == 0 ? 2 : w;
    ++w;
  }
  return w;
}

bool isAlnum(char32_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isWidePunctuation(char32_t c) {
  return (c >= 0x3000 && c <= 0x303F) || (c >= 0xFF01 && c <= 0xFF0F) ||
         (c >= 0xFF1A && c <= 0xFF20) || (c >= 0xFF3B && c <= 0xFF40) ||
         (c >= 0xFF5B && c <= 0xFF65) || (c >= 0x2018 && c <= 0x201F) || c == 0x2026;
}

// Joins a wrapped line to the next. The wrapper broke at a space, or anywhere inside CJK text:
// CJK text joins without a space, and so does a full-width mark or a broken address; Latin text
// beside CJK text had the space the wrapper took.
void joinLine(std::string& line, std::string_view next) {
  const char32_t a = lastChar(line), b = firstChar(next);
  const bool tight =
      (isWide(a) && isWide(b)) || isWidePunctuation(a) || isWidePunctuation(b) || a == '/' ||
      (a == '-' && line.size() > 1 && isAlnum(lastChar(line.substr(0, line.size() - 1))));
  if (!tight) line += ' ';
  line += next;
}

std::size_t indentOf(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  return i;
}

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

bool isListItem(std::string_view s) {
  if (startsWith(s, "* ") || startsWith(s, "- ") || startsWith(s, "o ") || startsWith(s, "• ")) {
    return true;
  }
  std::size_t i = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  return i > 0 && i + 1 < s.size() && (s[i] == '.' || s[i] == ')') && s[i + 1] == ' ';
}

// Commands, program output, tables and drawings: kept line by line.
bool isVerbatim(const std::vector<std::string_view>& block) {
  for (std::string_view line : block) {
    const std::string_view t = line.substr(indentOf(line));
    if (startsWith(t, "|") || startsWith(t, "+-") || startsWith(t, "$ ") || startsWith(t, "# ") ||
        startsWith(t, "% ") || t.find("   ") != std::string_view::npos ||
        t.find("\u2502") != std::string_view::npos || t.find("\u250c") != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

// The body lines of a section as paragraphs separated by blank lines.
std::string reflow(const std::vector<std::string_view>& lines) {
  std::size_t common = std::string_view::npos;
  for (std::string_view l : lines) {
    if (!l.empty()) common = std::min(common, indentOf(l));
  }
  std::string out;
  std::vector<std::string_view> block;
  auto flush = [&] {
    if (block.empty()) return;
    if (!out.empty()) out += "\n\n";
    if (isVerbatim(block)) {
      for (std::size_t i = 0; i < block.size(); ++i) {
        if (i > 0) out += '\n';
        out += block[i].substr(std::min(common, indentOf(block[i])));
      }
    } else {
      std::string line;
      int lineWidth = 0;  // of the last source line, indentation included
      for (std::string_view raw : block) {
        const std::string_view t = raw.substr(indentOf(raw));
        const int sep = isWide(lastChar(line)) || isWide(firstChar(t)) ? 0 : 1;
        const bool continues =
            !line.empty() && !isListItem(t) &&
            (lineWidth + sep + firstTokenWidth(t) > kWrapWidth || lineWidth >= kWrapWidth - 2);
        if (continues) {
          joinLine(line, t);
        } else {
          if (!line.empty()) out += line + '\n';
          line = std::string(t);
        }
        lineWidth = displayWidth(raw);
      }
      out += line;
    }
    block.clear();
  };
  for (std::string_view l : lines) {
    if (l.empty()) {
      flush();
    } else {
      block.push_back(l);
    }
  }
  flush();
  return out;
}

// A heading starts at the left edge: "第 2 章 标题", "附录 A. 标题", "2.3. 标题" or "A.1. 标题".
// number is "2", "A", "2.3" or "A.1".
bool parseHeading(std::string_view line, std::string& number, std::string& title) {
  if (line.empty() || line[0] == ' ') return false;
  std::string_view s = line;
  auto digits = [](std::string_view v) {
    std::size_t i = 0;
    while (i < v.size() && v[i] >= '0' && v[i] <= '9') ++i;
    return i;
  };
  if (startsWith(s, "第")) {
    s.remove_prefix(3);
    if (startsWith(s, " ")) s.remove_prefix(1);
    const std::size_t n = digits(s);
    if (n == 0) return false;
    number = std::string(s.substr(0, n));
    s.remove_prefix(n);
    if (startsWith(s, " ")) s.remove_prefix(1);
    if (!startsWith(s, "章")) return false;
    s.remove_prefix(3);
  } else {
    if (startsWith(s, "附录 ")) s.remove_prefix(std::string_view("附录 ").size());
    std::size_t i = 0;
    if (i < s.size() && s[i] >= 'A' && s[i] <= 'Z') {
      ++i;
    } else {
      i = digits(s);
      if (i == 0) return false;
    }
    while (i + 1 < s.size() && s[i] == '.' && s[i + 1] >= '0' && s[i + 1] <= '9') {
      i += 1 + digits(s.substr(i + 1));
    }
    if (i + 1 >= s.size() || s[i] != '.' || s[i + 1] != ' ') return false;
    number = std::string(s.substr(0, i));
    s.remove_prefix(i + 1);
  }
  while (startsWith(s, " ")) s.remove_prefix(1);
  if (s.empty()) return false;
  title = std::string(s);
  return true;
}

struct Manual {
  std::string keyPrefix, linkPrefix;
};

Manual manualOf(const std::filesystem::path& file) {
  const std::string name = file.filename().string();
  if (name.find("faq") != std::string::npos) return {"faq-", "Debian FAQ "};
  if (name.find("reference") != std::string::npos) return {"ref-", "Debian 参考手册 "};
  std::string stem = name.substr(0, name.find('.'));
  for (char& c : stem) {
    if (!isAlnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
  }
  return {stem + "-", stem + " "};
}

// No-break spaces indent lines and follow heading numbers: they are spaces here.
std::string withPlainSpaces(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\xc2' && i + 1 < text.size() && text[i + 1] == '\xa0') {
      out += ' ';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

void readManual(const std::string& text, const Manual& manual, std::vector<Document>& docs) {
  std::vector<std::string_view> lines;
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view l(text.data() + pos, end - pos);
    pos = end + 1;
    while (!l.empty() && (l.back() == ' ' || l.back() == '\r' || l.back() == '\t')) {
      l.remove_suffix(1);
    }
    lines.push_back(l);
  }

  // The contents and the lists of tables come before the first chapter and look like headings.
  std::size_t i = 0;
  std::string number, title;
  while (i < lines.size() &&
         !(startsWith(lines[i], "第") && parseHeading(lines[i], number, title))) {
    ++i;
  }
  if (i == lines.size()) i = 0;

  std::string current, currentTitle;
  std::vector<std::string_view> body;
  auto finish = [&] {
    std::string sectionText = reflow(body);
    body.clear();
    if (current.empty() || sectionText.empty()) return;
    Document d;
    d.site = Site::fuzzy;
    d.key = manual.keyPrefix + current;
    d.title = currentTitle;
    d.body = std::move(sectionText);
    d.link = manual.linkPrefix + current;
    docs.push_back(std::move(d));
  };
  for (; i < lines.size(); ++i) {
    if (!parseHeading(lines[i], number, title)) {
      if (!current.empty()) body.push_back(lines[i]);
      continue;
    }
    finish();
    // A long heading wraps onto more lines at the left edge.
    while (i + 1 < lines.size() && !lines[i + 1].empty() && lines[i + 1][0] != ' ') {
      joinLine(title, lines[++i]);
    }
    current = number;
    currentTitle = title;
  }
  finish();
}

}  // namespace

std::vector<Document> readDebianDocs(const std::vector<std::filesystem::path>& files,
                                     Skipped& skipped) {
  std::vector<Document> docs;
  for (const std::filesystem::path& file : files) {
    const std::optional<std::string> text = readDataFile(file, skipped);
    if (!text) continue;
    if (!detail::isUtf8(*text)) {
      skipped.push_back(file.string() + ": not UTF-8 text");
      continue;
    }
    readManual(withPlainSpaces(*text), manualOf(file), docs);
  }
  // A number printed twice (or two files of one manual) must not give two documents one key.
  std::set<std::string> keys;
  for (Document& d : docs) {
    const std::string key = d.key;
    for (int n = 2; !keys.insert(d.key).second; ++n) d.key = key + "-" + std::to_string(n);
  }
  return docs;
}

}  // namespace qelvora::sites::knowledge
