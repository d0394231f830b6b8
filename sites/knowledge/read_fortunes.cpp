// Poems and sayings from the Chinese fortunes files: entries separated by lines holding "%",
// coloured with ANSI escapes that are taken out.
#include <optional>

#include "sites/knowledge/data_file.h"
#include "sites/knowledge/readers.h"

namespace qelvora::sites::knowledge {

namespace detail {

std::string stripAnsi(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
      std::size_t j = i + 2;
      while (j < text.size() && ((text[j] >= '0' && text[j] <= '9') || text[j] == ';')) ++j;
      if (j < text.size() && text[j] == 'm') {
        i = j;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

}  // namespace detail

namespace {

using Lines = std::vector<std::string>;

// Leading and trailing ASCII white space and ideographic spaces (U+3000) off.
std::string trim(std::string_view s) {
  constexpr std::string_view kIdeographicSpace = "\u3000";
  for (;;) {
    if (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
      s.remove_prefix(1);
    } else if (s.substr(0, 3) == kIdeographicSpace) {
      s.remove_prefix(3);
    } else {
      break;
    }
  }
  for (;;) {
    if (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
      s.remove_suffix(1);
    } else if (s.size() >= 3 && s.substr(s.size() - 3) == kIdeographicSpace) {
      s.remove_suffix(3);
    } else {
      break;
    }
  }
  return std::string(s);
}

// The entries of a fortunes file, each as its non-blank lines, trimmed.
std::vector<Lines> entries(const std::string& text) {
  std::vector<Lines> out(1);
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view raw(text.data() + pos, end - pos);
    pos = end + 1;
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    if (raw == "%") {
      out.emplace_back();
      continue;
    }
    std::string line = trim(raw);
    if (!line.empty()) out.back().push_back(std::move(line));
  }
  std::erase_if(out, [](const Lines& e) { return e.empty(); });
  return out;
}

std::string join(const Lines& lines, std::size_t from) {
  std::string body;
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (!body.empty()) body += '\n';
    body += lines[i];
  }
  return body;
}

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// The text inside the first 《》 of s, or empty.
std::string bookTitle(std::string_view s) {
  const std::size_t open = s.find("《");
  if (open == std::string_view::npos) return {};
  const std::size_t close = s.find("》", open);
  if (close == std::string_view::npos) return {};
  return std::string(s.substr(open + 3, close - open - 3));
}

// A title and, when it has parts ("感遇・其一", "江城子·记梦"), its first part: both are asked for.
void addTitleNames(const std::string& title, std::vector<std::string>& names) {
  if (title.empty()) return;
  names.push_back(title);
  for (const char* dot : {"・", "·", "‧"}) {
    const std::size_t p = title.find(dot);
    if (p != std::string::npos && p > 0) {
      names.push_back(trim(title.substr(0, p)));
      break;
    }
  }
}

// "题目:《塞上》" or "《感遇・其一》", then "作者：张九龄" or "作者:柳开（９４６－９９９）",
// then the poem's lines.
void readPoems(const std::string& text, const char* keyPrefix, const char* link,
               std::vector<Document>& docs) {
  int n = 0;
  for (const Lines& e : entries(text)) {
    if (e.size() < 3) continue;
    std::string heading = e[0];
    for (const char* prefix : {"题目:", "题目："}) {
      if (startsWith(heading, prefix))
        heading = trim(heading.substr(std::string_view(prefix).size()));
    }
    std::string author;
    for (const char* prefix : {"作者:", "作者："}) {
      if (startsWith(e[1], prefix)) author = trim(e[1].substr(std::string_view(prefix).size()));
    }
    if (author.empty()) continue;
    // The life dates after the name are not part of it.
    for (const char* open : {"（", "("}) {
      if (const std::size_t p = author.find(open); p != std::string::npos && p > 0) {
        author = trim(author.substr(0, p));
      }
    }
    Document d;
    d.site = Site::exact;
    d.key = keyPrefix + std::to_string(++n);
    d.title = heading + " " + author;
    std::string name = bookTitle(heading);
    addTitleNames(name.empty() ? heading : name, d.names);
    d.body = join(e, 2);
    d.link = link;
    docs.push_back(std::move(d));
  }
}

// The chinese file holds classical sayings and poems beside Debian and computing quotes in prose.
// An entry is kept when it holds no ASCII letter or digit and at least four CJK ideographs:
// every Debian, command or computing quote names something in Latin letters or numbers, and no
// classical line does.
bool isChineseSaying(const Lines& e) {
  int ideographs = 0;
  for (const std::string& line : e) {
    for (std::size_t i = 0; i < line.size();) {
      const char c = line[i];
      if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return false;
      }
      const char32_t u = detail::nextCodePoint(line, i);
      if (u >= 0x3400 && u <= 0x9FFF) ++ideographs;
    }
  }
  return ideographs >= 4;
}

// An attribution line: "-- 苏轼《江城子》", "——《论语》".
bool isAttribution(std::string_view line) {
  return startsWith(line, "--") || startsWith(line, "——");
}

void readSayings(const std::string& text, std::vector<Document>& docs) {
  int n = 0;
  for (const Lines& e : entries(text)) {
    if (!isChineseSaying(e)) continue;
    Document d;
    d.site = Site::exact;
    d.key = "saying-" + std::to_string(++n);
    d.title = e[0];
    d.body = join(e, 0);
    d.link = "fortune chinese";
    std::string name = bookTitle(e[0]);
    if (name.empty() && e.size() > 1 && isAttribution(e.back())) name = bookTitle(e.back());
    addTitleNames(name, d.names);
    docs.push_back(std::move(d));
  }
}

std::optional<std::string> readFortuneFile(const std::filesystem::path& path, Skipped& skipped) {
  std::optional<std::string> text = readDataFile(path, skipped);
  if (!text) return text;
  if (!detail::isUtf8(*text)) {
    skipped.push_back(path.string() + ": not UTF-8 text");
    return std::nullopt;
  }
  return detail::stripAnsi(*text);
}

}  // namespace

std::vector<Document> readFortunes(const std::filesystem::path& dir, Skipped& skipped) {
  std::vector<Document> docs;
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    skipped.push_back(dir.string() + ": not a folder of fortunes files");
    return docs;
  }
  if (const auto text = readFortuneFile(dir / "tang300.u8", skipped)) {
    readPoems(*text, "poem-tang-", "唐诗三百首", docs);
  }
  // The song100 file is a hundred Song poems (shi), not ci.
  if (const auto text = readFortuneFile(dir / "song100.u8", skipped)) {
    readPoems(*text, "poem-song-", "宋诗一百首", docs);
  }
  if (const auto text = readFortuneFile(dir / "chinese.u8", skipped)) readSayings(*text, docs);
  return docs;
}

}  // namespace qelvora::sites::knowledge
