// Chinese manual pages: roff (the man macros, some mdoc and what pod2man writes) rendered to plain
// text, one document per page. Links between pages (symbolic links and pages that are only a .so
// line) add names to the page they lead to instead of making documents of their own.
#include <iconv.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

#include "sites/knowledge/data_file.h"
#include "sites/knowledge/readers.h"

namespace qelvora::sites::knowledge {
namespace {

namespace fs = std::filesystem;
using detail::isWide;
using detail::nextCodePoint;

constexpr int kMaxIncludeDepth = 3;

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

std::string trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return std::string(s);
}

char32_t lastChar(std::string_view s) {
  std::size_t i = s.size();
  while (i > 0 && (static_cast<unsigned char>(s[i - 1]) & 0xC0) == 0x80) --i;
  if (i > 0) --i;
  return s.empty() ? 0 : nextCodePoint(s, i);
}

char32_t firstChar(std::string_view s) {
  std::size_t i = 0;
  return s.empty() ? 0 : nextCodePoint(s, i);
}

// Older pages are in GB2312/GBK; GB18030 reads both.
std::optional<std::string> gb18030ToUtf8(const std::string& in) {
  iconv_t cd = ::iconv_open("UTF-8", "GB18030");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(in.size() * 2 + 16, '\0');
  char* inp = const_cast<char*>(in.data());
  std::size_t inLeft = in.size();
  char* outp = out.data();
  std::size_t outLeft = out.size();
  const std::size_t rc = ::iconv(cd, &inp, &inLeft, &outp, &outLeft);
  ::iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1) || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

std::optional<std::string> readPage(const fs::path& file, Skipped& skipped) {
  std::optional<std::string> text = readDataFile(file, skipped);
  if (!text || detail::isUtf8(*text)) return text;
  if (std::optional<std::string> converted = gb18030ToUtf8(*text)) return converted;
  skipped.push_back(file.string() + ": neither UTF-8 nor GB18030 text");
  return std::nullopt;
}

// Special characters by their roff names.
const std::unordered_map<std::string_view, std::string_view>& glyphs() {
  static const std::unordered_map<std::string_view, std::string_view> table = {
      {"em", "—"}, {"en", "–"}, {"hy", "-"}, {"mi", "-"}, {"bu", "•"}, {"co", "©"},  {"rg", "®"},
      {"tm", "™"}, {"lq", "“"}, {"rq", "”"}, {"oq", "‘"}, {"cq", "’"}, {"dq", "\""}, {"aq", "'"},
      {"ga", "`"}, {"aa", "´"}, {"ha", "^"}, {"ti", "~"}, {"sl", "/"}, {"rs", "\\"}, {"ba", "|"},
      {"or", "|"}, {"pl", "+"}, {"mu", "×"}, {"di", "÷"}, {"de", "°"}, {"dg", "†"},  {"sc", "§"},
      {">=", "≥"}, {"<=", "≤"}, {"!=", "≠"}, {"==", "≡"}, {"->", "→"}, {"<-", "←"},  {"ua", "↑"},
      {"da", "↓"}, {"+-", "±"}, {"fm", "′"}, {"sq", "□"}, {"ci", "○"}, {"Fo", "«"},  {"Fc", "»"},
      {"la", "⟨"}, {"ra", "⟩"}, {"12", "½"}, {"14", "¼"}, {"34", "¾"}, {"lB", "["},  {"rB", "]"},
      {"lC", "{"}, {"rC", "}"}, {"at", "@"}, {"sh", "#"}, {"Do", "$"}, {"ct", "¢"},  {"Po", "£"},
      {"ps", "¶"}, {"OK", "✓"}, {"nb", "⊄"}, {"an", "-"},
  };
  return table;
}

std::string glyph(std::string_view name) {
  if (name.size() == 5 && name[0] == 'u') {  // \[u4E2D]
    char32_t c = 0;
    for (char h : name.substr(1)) {
      const int v = h >= '0' && h <= '9' ? h - '0' : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
      if (v < 0) return {};
      c = c * 16 + static_cast<char32_t>(v);
    }
    return detail::utf8(c);
  }
  const auto it = glyphs().find(name);
  return it == glyphs().end() ? std::string() : std::string(it->second);
}

// The mdoc macros that only set a font or mark a word: their words are printed as they stand.
bool isMdocWordMacro(std::string_view m) {
  static const std::set<std::string_view> names = {
      "Ad", "An", "Ar", "Cd", "Cm", "Dv", "Em", "Er",  "Ev", "Fa", "Fn", "Ft", "Ic", "Li",
      "Pa", "Ql", "Sy", "Tn", "Va", "Ux", "Nx", "Bx",  "Fx", "Ox", "At", "St", "Ms", "Lk",
      "Mt", "Sx", "Ta", "Vt", "Xo", "Xc", "Pf", "Bsx", "No", "Ot", "Lb", "Li", "Ev"};
  return names.count(m) > 0;
}

bool isMdocMacro(std::string_view m) {
  static const std::set<std::string_view> names = {
      "Fl", "Op", "Oo", "Oc", "Dq", "Do", "Dc", "Pq", "Po",  "Pc",  "Sq",  "So", "Sc", "Qq",
      "Qo", "Qc", "Aq", "Ao", "Ac", "Bq", "Bo", "Bc", "Brq", "Bro", "Brc", "Ns", "Xr", "Nm"};
  return names.count(m) > 0 || isMdocWordMacro(m);
}

bool isClosingPunctuation(std::string_view t) {
  return t == "." || t == "," || t == ";" || t == ":" || t == "?" || t == "!" || t == ")" ||
         t == "]";
}

// The real path of a page that target leads to, when it stays inside root; else empty.
fs::path resolveWithin(const fs::path& root, const fs::path& target) {
  std::error_code ec;
  fs::path file = target;
  if (!fs::exists(file, ec)) file += ".gz";
  const fs::path real = fs::weakly_canonical(file, ec);
  const fs::path canonicalRoot = fs::weakly_canonical(root, ec);
  if (ec || real.string().compare(0, canonicalRoot.string().size() + 1,
                                  canonicalRoot.string() + "/") != 0) {
    return {};
  }
  return real;
}

struct Section {
  std::string heading;
  std::string text;
};

// A small roff formatter: enough of the man and mdoc macros, the escapes and the conditionals
// that the manual pages use to get their text in reading order.
class Renderer {
 public:
  Renderer(const fs::path& root, Skipped& skipped) : root_(root), skipped_(skipped) {
    strings_ = {{"L\"", "\""}, {"R\"", "\""}, {"C`", "\""}, {"C'", "\""},
                {"Aq", "'"},   {"lq", "“"},   {"rq", "”"},  {"Tm", "(TM)"}};
  }

  void run(std::string_view text, int depth = 0) {
    std::string joined;
    std::size_t pos = 0;
    while (pos < text.size()) {
      std::size_t end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view line(text.data() + pos, end - pos);
      pos = end + 1;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      // A line ending in an unescaped backslash continues on the next.
      std::size_t slashes = 0;
      while (slashes < line.size() && line[line.size() - 1 - slashes] == '\\') ++slashes;
      if (slashes % 2 == 1) {
        joined.append(line.substr(0, line.size() - 1));
        continue;
      }
      if (!joined.empty()) {
        joined.append(line);
        inputLine(joined, depth);
        joined.clear();
      } else {
        inputLine(line, depth);
      }
    }
    if (!joined.empty()) inputLine(joined, depth);
  }

  std::vector<Section> finish() {
    startSection("");
    sections_.pop_back();
    return std::move(sections_);  // the first holds what came before any heading
  }

  const std::string& mdocName() const { return mdocName_; }

 private:
  void inputLine(std::string_view line, int depth) {
    if (skipBraces_ > 0) {
      skipBraces_ += countOf(line, "\\{") - countOf(line, "\\}");
      return;
    }
    if (inDefinition_) {
      if (startsWith(line, "..")) inDefinition_ = false;
      return;
    }
    if (tblHeader_) {  // a table's options and formats end with a line ending in '.'
      const std::string t = trim(line);
      if (!t.empty() && t.back() == '.') tblHeader_ = false;
      return;
    }
    if (!line.empty() && (line[0] == '.' || line[0] == '\'')) {
      request(line.substr(1), depth);
    } else {
      textLine(line);
    }
    if (tagState_ == 2) {
      lineBreak();
      tagState_ = 0;
    }
  }

  static int countOf(std::string_view s, std::string_view what) {
    int n = 0;
    for (std::size_t p = s.find(what); p != std::string_view::npos; p = s.find(what, p + 1)) ++n;
    return n;
  }

  static std::string_view stripComment(std::string_view s) {
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
      if (s[i] != '\\') continue;
      if (s[i + 1] == '"' || s[i + 1] == '#') return s.substr(0, i);
      ++i;
    }
    return s;
  }

  // Macro arguments: separated by spaces, "quoted" ones may hold spaces ("" is a quote).
  static std::vector<std::string_view> splitArgs(std::string_view s) {
    std::vector<std::string_view> args;
    std::size_t i = 0;
    while (i < s.size()) {
      while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
      if (i >= s.size()) break;
      if (s[i] == '"') {
        const std::size_t start = ++i;
        while (i < s.size()) {
          if (s[i] == '"' && i + 1 < s.size() && s[i + 1] == '"') {
            i += 2;
          } else if (s[i] == '"') {
            break;
          } else {
            i += s[i] == '\\' ? 2 : 1;
          }
        }
        args.push_back(s.substr(start, std::min(i, s.size()) - start));
        ++i;
      } else {
        const std::size_t start = i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t') i += s[i] == '\\' ? 2 : 1;
        i = std::min(i, s.size());
        args.push_back(s.substr(start, i - start));
      }
    }
    return args;
  }

  // Skips the argument of an escape at i: one character, (xx, [name] or 'delimited'.
  static std::string_view escapeName(std::string_view s, std::size_t& i) {
    if (i >= s.size()) return {};
    if (s[i] == '(') {
      const std::string_view name = s.substr(i + 1, 2);
      i = std::min(s.size(), i + 3);
      return name;
    }
    if (s[i] == '[') {
      const std::size_t end = s.find(']', i);
      const std::size_t stop = end == std::string_view::npos ? s.size() : end;
      const std::string_view name = s.substr(i + 1, stop - i - 1);
      i = std::min(s.size(), stop + 1);
      return name;
    }
    return s.substr(i++, 1);
  }

  static std::string_view delimited(std::string_view s, std::size_t& i) {
    if (i >= s.size()) return {};
    const char delim = s[i];
    const std::size_t end = s.find(delim, i + 1);
    const std::size_t stop = end == std::string_view::npos ? s.size() : end;
    const std::string_view arg = s.substr(i + 1, stop - i - 1);
    i = std::min(s.size(), stop + 1);
    return arg;
  }

  std::string inlineText(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
      const char c = s[i];
      if (c != '\\') {
        out += c == '\t' ? ' ' : c;
        ++i;
        continue;
      }
      if (i + 1 >= n) break;
      const char e = s[i + 1];
      i += 2;
      // Escapes that take a name, (xx or [name] and print nothing: fonts, colours, registers.
      if (std::string_view("fFmMkgn").find(e) != std::string_view::npos) {
        if (e == 'n' && i < n && (s[i] == '+' || s[i] == '-')) ++i;
        escapeName(s, i);
      } else if (e == '(' || e == '[') {
        --i;
        out += glyph(escapeName(s, i));
      } else if (e == 'C') {
        out += glyph(delimited(s, i));
      } else if (e == '*') {
        const auto it = strings_.find(std::string(escapeName(s, i)));
        if (it != strings_.end()) out += it->second;
      } else if (e == 's') {
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        if (i < n && (s[i] == '(' || s[i] == '[')) {
          escapeName(s, i);
        } else if (i < n && s[i] == '\'') {
          delimited(s, i);
        } else if (i < n && s[i] >= '0' && s[i] <= '9') {
          // \s10 .. \s39 are two digits in the old form.
          if (s[i] >= '1' && s[i] <= '3' && i + 1 < n && s[i + 1] >= '0' && s[i + 1] <= '9') ++i;
          ++i;
        }
      } else if (e == 'N') {
        int v = 0;
        for (char d : delimited(s, i)) v = d >= '0' && d <= '9' ? v * 10 + (d - '0') : v;
        if (v > 0 && v < 0x110000) out += detail::utf8(static_cast<char32_t>(v));
      } else if (std::string_view("whvlLoDXZbxHSRABVY").find(e) != std::string_view::npos) {
        delimited(s, i);  // motions, widths, drawings: 'delimited' and nothing to read
      } else if (e == 'e' || e == '\\') {
        out += '\\';
      } else if (e == ' ' || e == '~' || e == '0' || e == 't') {
        out += ' ';
      } else if (e == 'c') {
        if (i >= n) pendingJoin_ = true;
      } else if (e == '"' || e == '#') {
        i = n;
      } else if (std::string_view("|^&)%:/,{}!adurpzE").find(e) == std::string_view::npos) {
        out += e;  // \- \. \' \` and the rest stand for themselves
      }
    }
    return out;
  }

  // Output: lines of the current section, paragraphs separated by one blank line.
  void putLine(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
    if (s.find_first_not_of(' ') == std::string::npos) return;
    std::string& text = sections_.back().text;
    if (!text.empty()) text += blank_ ? "\n\n" : "\n";
    blank_ = false;
    text += s;
  }

  void lineBreak() {
    if (!line_.empty()) putLine(std::move(line_));
    line_.clear();
    joinNext_ = false;
  }

  void paragraph() {
    lineBreak();
    blank_ = true;
  }

  void startSection(std::string heading) {
    lineBreak();
    sections_.push_back({trim(heading), {}});
    blank_ = false;
    headingNext_ = false;
  }

  void addText(std::string t) {
    if (headingNext_) {
      startSection(std::move(t));
      return;
    }
    if (tagState_ == 1) tagState_ = 2;
    if (!fill_) {
      lineBreak();
      if (t.find_first_not_of(' ') == std::string::npos) {
        blank_ = !sections_.back().text.empty();
      } else {
        putLine(std::move(t));
      }
      return;
    }
    if (t.empty()) return;
    if (line_.empty()) {
      line_ = trim(t);
    } else {
      const bool tight =
          joinNext_ || line_.back() == ' ' || (isWide(lastChar(line_)) && isWide(firstChar(t)));
      if (!tight) line_ += ' ';
      line_ += t;
    }
    joinNext_ = pendingJoin_;
    pendingJoin_ = false;
  }

  void textLine(std::string_view raw) {
    if (trim(raw).empty()) {
      if (fill_) {
        paragraph();
      } else {
        addText({});
      }
      return;
    }
    if (fill_ && (raw[0] == ' ' || raw[0] == '\t')) lineBreak();
    addText(inlineText(raw));
  }

  std::string joinArgs(const std::vector<std::string_view>& args, std::size_t from,
                       const char* sep) {
    std::string out;
    for (std::size_t i = from; i < args.size(); ++i) {
      if (i > from) out += sep;
      out += inlineText(args[i]);
    }
    return out;
  }

  // An mdoc line: word macros print their words, the others add dashes, brackets and quotes.
  std::string mdocLine(const std::vector<std::string_view>& args) {
    std::string out;
    std::vector<std::string> closers;
    bool space = false, dash = false;
    auto emit = [&](const std::string& text, bool tight = false) {
      if (space && !tight && !out.empty()) out += ' ';
      if (dash) out += '-';
      out += text;
      space = true;
      dash = false;
    };
    auto open = [&](const char* opening, const char* closing, bool toEnd) {
      emit(opening);
      space = false;
      if (toEnd) closers.push_back(closing);
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
      const std::string_view a = args[i];
      const bool nextIsWord = i + 1 < args.size() && !isMdocMacro(args[i + 1]);
      if (a == "Fl") {
        if (nextIsWord) {
          if (space && !out.empty()) out += ' ';
          space = false;
          dash = true;
        } else {
          emit("-");
        }
      } else if (a == "Op" || a == "Oo") {
        open("[", "]", a == "Op");
      } else if (a == "Oc") {
        emit("]", true);
      } else if (a == "Dq" || a == "Do" || a == "Qq" || a == "Qo") {
        open("“", "”", a == "Dq" || a == "Qq");
      } else if (a == "Dc" || a == "Qc") {
        emit("”", true);
      } else if (a == "Pq" || a == "Po") {
        open("(", ")", a == "Pq");
      } else if (a == "Pc") {
        emit(")", true);
      } else if (a == "Sq" || a == "So") {
        open("‘", "’", a == "Sq");
      } else if (a == "Sc") {
        emit("’", true);
      } else if (a == "Aq" || a == "Ao") {
        open("<", ">", a == "Aq");
      } else if (a == "Ac") {
        emit(">", true);
      } else if (a == "Bq" || a == "Bo" || a == "Brq" || a == "Bro") {
        open(a[1] == 'r' ? "{" : "[", a[1] == 'r' ? "}" : "]", a == "Bq" || a == "Brq");
      } else if (a == "Bc" || a == "Brc") {
        emit(a == "Bc" ? "]" : "}", true);
      } else if (a == "Ns") {
        space = false;
      } else if (a == "Xr" && i + 2 < args.size()) {
        emit(inlineText(args[i + 1]) + "(" + inlineText(args[i + 2]) + ")");
        i += 2;
      } else if (a == "Nm") {
        if (!nextIsWord) emit(mdocName_);
      } else if (isMdocWordMacro(a)) {
        // the words follow
      } else {
        emit(inlineText(a), isClosingPunctuation(a));
      }
    }
    for (auto it = closers.rbegin(); it != closers.rend(); ++it) emit(*it, true);
    return out;
  }

  bool condition(std::string_view& rest) {
    while (!rest.empty() && (rest[0] == ' ' || rest[0] == '\t')) rest.remove_prefix(1);
    bool negate = false;
    if (startsWith(rest, "!")) {
      negate = true;
      rest.remove_prefix(1);
    }
    bool value = false;
    if (!rest.empty() && (rest[0] == 'n' || rest[0] == 't' || rest[0] == 'e' || rest[0] == 'o')) {
      value = rest[0] == 'n';  // formatted for a terminal
      rest.remove_prefix(1);
    } else if (!rest.empty() && (rest[0] == '\'' || rest[0] == '"')) {
      std::size_t i = 0;
      const std::string a(delimited(rest, i));
      --i;
      const std::string b(delimited(rest, i));
      value = inlineText(a) == inlineText(b);
      rest.remove_prefix(std::min(i, rest.size()));
    } else {  // numeric expressions: the typesetter's registers are not kept
      while (!rest.empty() && rest[0] != ' ' && rest[0] != '\t') rest.remove_prefix(1);
    }
    return value != negate;
  }

  void conditional(bool value, std::string_view rest, int depth) {
    while (!rest.empty() && (rest[0] == ' ' || rest[0] == '\t')) rest.remove_prefix(1);
    if (!value) {
      const int open = countOf(rest, "\\{") - countOf(rest, "\\}");
      if (open > 0) skipBraces_ = open;
      return;
    }
    if (startsWith(rest, "\\{")) rest.remove_prefix(2);
    while (!rest.empty() && (rest[0] == ' ' || rest[0] == '\t')) rest.remove_prefix(1);
    if (rest.empty()) return;
    if (rest[0] == '.' || rest[0] == '\'') {
      request(rest.substr(1), depth);
    } else {
      textLine(rest);
    }
  }

  void include(std::string_view target, int depth) {
    if (depth >= kMaxIncludeDepth) return;
    // Links leading out of the manual pages' folder are not followed.
    const fs::path real = resolveWithin(root_, root_ / trim(target));
    if (real.empty()) return;
    if (const std::optional<std::string> text = readPage(real, skipped_)) run(*text, depth + 1);
  }

  void request(std::string_view r, int depth) {
    r = stripComment(r);
    while (!r.empty() && (r[0] == ' ' || r[0] == '\t')) r.remove_prefix(1);
    std::size_t nameEnd = 0;
    while (nameEnd < r.size() && r[nameEnd] != ' ' && r[nameEnd] != '\t') ++nameEnd;
    const std::string_view name = r.substr(0, nameEnd);
    const std::string_view rest = r.substr(nameEnd);
    if (name.empty()) return;

    if (name == "if" || name == "ie") {
      std::string_view body = rest;
      const bool value = condition(body);
      if (name == "ie") elseBranch_ = !value;
      conditional(value, body, depth);
      return;
    }
    if (name == "el") {
      conditional(elseBranch_, rest, depth);
      return;
    }
    if (name == "de" || name == "de1" || name == "am" || name == "ig") {
      inDefinition_ = true;
      return;
    }
    if (name == "ds" || name == "ds1") {
      std::string_view v = rest;
      while (!v.empty() && v[0] == ' ') v.remove_prefix(1);
      const std::size_t sp = v.find(' ');
      if (sp == std::string_view::npos) return;
      std::string_view value = v.substr(sp + 1);
      while (!value.empty() && value[0] == ' ') value.remove_prefix(1);
      if (startsWith(value, "\"")) value.remove_prefix(1);
      strings_[std::string(v.substr(0, sp))] = inlineText(value);
      return;
    }
    if (name == "so") {
      include(rest, depth);
      return;
    }

    const std::vector<std::string_view> args = splitArgs(rest);
    if (name == "SH" || name == "Sh") {
      if (args.empty()) {
        startSection("");
        headingNext_ = true;
      } else {
        startSection(joinArgs(args, 0, " "));
      }
    } else if (name == "SS" || name == "Ss") {
      paragraph();
      if (args.empty()) {
        tagState_ = 1;
      } else {
        putLine(joinArgs(args, 0, " "));
      }
    } else if (name == "PP" || name == "LP" || name == "P" || name == "Pp" || name == "Lp" ||
               name == "sp" || name == "Sp" || name == "HP" || name == "YS" || name == "Bl" ||
               name == "El") {
      paragraph();
    } else if (name == "br" || name == "RS" || name == "RE" || name == "in" || name == "ti" ||
               name == "ce") {
      lineBreak();
    } else if (name == "TP") {
      paragraph();
      tagState_ = 1;
    } else if (name == "IP") {
      paragraph();
      if (!args.empty()) {
        const std::string tag = inlineText(args[0]);
        addText(tag);
        // Bullets and numbers lead their paragraph; longer tags (options) stand on a line.
        tagState_ = tag.size() > 4 ? 2 : 0;
      }
    } else if (name == "It") {
      paragraph();
      if (!args.empty()) {
        addText(mdocLine(args));
        tagState_ = 2;
      }
    } else if (name == "nf" || name == "Vb" || name == "EX" ||
               (name == "Bd" && (rest.find("-literal") != std::string_view::npos ||
                                 rest.find("-unfilled") != std::string_view::npos))) {
      lineBreak();
      fill_ = false;
    } else if (name == "TS") {
      lineBreak();
      fill_ = false;
      tblHeader_ = true;
    } else if (name == "fi" || name == "Ve" || name == "EE" || name == "Ed" || name == "TE") {
      lineBreak();
      fill_ = true;
    } else if (name == "B" || name == "I" || name == "SM" || name == "SB") {
      if (!args.empty()) addText(joinArgs(args, 0, " "));
    } else if (name == "BR" || name == "BI" || name == "IB" || name == "IR" || name == "RB" ||
               name == "RI") {
      addText(joinArgs(args, 0, ""));
    } else if (name == "SY") {
      paragraph();
      addText(joinArgs(args, 0, " "));
    } else if (name == "OP") {
      addText("[" + joinArgs(args, 0, " ") + "]");
    } else if (name == "Nm") {
      if (mdocName_.empty() && !args.empty()) mdocName_ = inlineText(args[0]);
      std::vector<std::string_view> line{"Nm"};
      line.insert(line.end(), args.begin(), args.end());
      addText(mdocLine(line));
    } else if (name == "Nd") {
      addText("- " + mdocLine(args));
    } else if (name == "D1" || name == "Dl") {
      lineBreak();
      addText(mdocLine(args));
      lineBreak();
    } else if (isMdocMacro(name)) {
      std::vector<std::string_view> line{name};
      line.insert(line.end(), args.begin(), args.end());
      addText(mdocLine(line));
    }
    // Anything else sets fonts, spacing, registers or page layout: nothing to read.
  }

  fs::path root_;
  Skipped& skipped_;
  std::map<std::string, std::string> strings_;
  std::vector<Section> sections_{Section{}};
  std::string line_;
  std::string mdocName_;
  bool fill_ = true;
  bool blank_ = false;
  bool headingNext_ = false;
  bool joinNext_ = false;
  bool pendingJoin_ = false;
  bool inDefinition_ = false;
  bool tblHeader_ = false;
  bool elseBranch_ = false;
  int skipBraces_ = 0;
  int tagState_ = 0;  // 1: the next text is a tag, 2: the tag is out, break the line
};

bool isNameHeading(std::string_view h) {
  return h.find("NAME") != std::string_view::npos || h.find("Name") != std::string_view::npos ||
         h.find("名称") != std::string_view::npos || h.find("名字") != std::string_view::npos;
}

// Sections about the translation, the authors and other pages: not what a question asks for.
bool isBoilerplate(std::string_view h) {
  for (const char* word :
       {"跋", "中文版", "翻译", "译者", "AUTHOR", "Author", "作者", "COPYRIGHT", "版权", "报告",
        "REPORTING", "SEE ALSO", "参见", "另见", "COLOPHON", "维护"}) {
    if (h.find(word) != std::string_view::npos) return true;
  }
  return false;
}

bool isCommandName(std::string_view s) {
  if (s.empty()) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-' || c == '+' || c == ':' || c == '@';
  });
}

std::string keyPart(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
          c == '_' || c == '-')) {
      c = '_';
    }
  }
  return out;
}

// The dash between a name line's names and its summary ("cp \- 复制文件和目录" is "cp - 复制…");
// npos when there is none. after is where the summary starts.
std::size_t nameDash(const std::string& line, std::size_t& after) {
  for (const char* dash : {" - ", " -", "- "}) {
    if (const std::size_t p = line.find(dash); p != std::string::npos && p > 0) {
      after = p + std::strlen(dash);
      return p;
    }
  }
  return std::string::npos;
}

// Adds the names of a name line ("tk_setPalette, tk_bisque - …", "ALTER SEQUENCE - …").
void addNames(const std::string& line, std::vector<std::string>& names) {
  std::size_t after = 0;
  const std::size_t dash = nameDash(line, after);
  if (dash == std::string::npos) return;
  const std::string left = line.substr(0, dash);
  for (std::size_t p = 0; p <= left.size();) {
    std::size_t end = left.find(',', p);
    if (end == std::string::npos) end = left.size();
    const std::string name = trim(std::string_view(left).substr(p, end - p));
    p = end + 1;
    // Words of a command's characters ("ALTER SEQUENCE" is one name); a sentence is none.
    std::string words = name;
    std::replace(words.begin(), words.end(), ' ', '_');
    const bool plain = isCommandName(words);
    if (plain && std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(name);
    }
  }
}

// The lines of the NAME section, or else the first line anywhere that starts with the page's
// name and a dash: some pages put their name line before any heading or under another one.
std::vector<std::string> nameLines(const std::vector<Section>& sections, const std::string& name,
                                   std::size_t& nameSection) {
  auto linesOf = [](const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t pos = 0; pos < text.size();) {
      std::size_t end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size();
      lines.push_back(trim(std::string_view(text).substr(pos, end - pos)));
      pos = end + 1;
    }
    return lines;
  };
  for (std::size_t i = 0; i < sections.size(); ++i) {
    if (!isNameHeading(sections[i].heading)) continue;
    nameSection = i;
    std::vector<std::string> lines = linesOf(sections[i].text);
    // The first paragraph may be wrapped over lines; later ones name more programs.
    std::vector<std::string> out;
    bool joining = true;
    for (const std::string& line : lines) {
      if (line.empty()) {
        joining = false;
      } else if (joining && !out.empty()) {
        out[0] += ' ' + line;
      } else {
        out.push_back(line);
      }
    }
    return out;
  }
  for (const Section& section : sections) {
    for (const std::string& line : linesOf(section.text)) {
      for (std::size_t p = line.find(name); p != std::string::npos; p = line.find(name, p + 1)) {
        std::size_t after = 0;
        const std::string from = line.substr(p);
        if (nameDash(from, after) == name.size()) return {from};
      }
    }
  }
  return {};
}

struct PageFile {
  fs::path path;
  std::string name, section;
};

// man1/cp.1.gz → cp, 1; nothing when the name has no section.
std::optional<PageFile> pageFile(const fs::path& path) {
  std::string file = path.filename().string();
  for (const char* packed : {".gz", ".bz2"}) {
    const std::string_view p(packed);
    if (file.size() > p.size() && file.compare(file.size() - p.size(), p.size(), p) == 0) {
      file.resize(file.size() - p.size());
    }
  }
  const std::size_t dot = file.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == file.size()) return std::nullopt;
  return PageFile{path, file.substr(0, dot), file.substr(dot + 1)};
}

// The target of a page that is only ".so man1/other.1", else empty.
std::string soTarget(const std::string& text) {
  std::string target;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = trim(std::string_view(text).substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || startsWith(line, ".\\\"") || startsWith(line, "'\\\"") || line == ".") {
      continue;
    }
    if (!startsWith(line, ".so ") || !target.empty()) return {};
    target = trim(std::string_view(line).substr(4));
  }
  return target;
}

Document renderPage(const PageFile& page, const std::string& text, const fs::path& root,
                    Skipped& skipped) {
  Renderer renderer(root, skipped);
  renderer.run(text);
  const std::vector<Section> sections = renderer.finish();

  Document d;
  d.site = Site::fuzzy;
  d.link = "man " + page.section + " " + page.name;
  std::string summary;
  std::size_t nameSection = sections.size();
  const std::vector<std::string> lines = nameLines(sections, page.name, nameSection);
  for (const std::string& line : lines) addNames(line, d.names);
  if (!lines.empty()) {
    std::size_t after = 0;
    const std::size_t dash = nameDash(lines[0], after);
    if (dash == std::string::npos && startsWith(lines[0], page.name + " ")) {
      summary = trim(std::string_view(lines[0]).substr(page.name.size()));
      d.title = page.name + " - " + summary;
    } else if (dash == std::string::npos) {
      d.title = lines[0];
    } else {
      summary = trim(std::string_view(lines[0]).substr(after));
      d.title = trim(std::string_view(lines[0]).substr(0, dash)) + " - " + summary;
    }
  }
  if (d.title.empty()) d.title = renderer.mdocName().empty() ? page.name : renderer.mdocName();
  if (std::find(d.names.begin(), d.names.end(), page.name) == d.names.end()) {
    d.names.push_back(page.name);
  }

  d.body = summary;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    if (i == nameSection || sections[i].text.empty() || isBoilerplate(sections[i].heading)) {
      continue;
    }
    if (!d.body.empty()) d.body += "\n\n";
    if (!sections[i].heading.empty()) d.body += sections[i].heading + "\n";
    d.body += sections[i].text;
  }
  return d;
}

}  // namespace

std::vector<Document> readManPages(const fs::path& root, Skipped& skipped) {
  std::vector<Document> docs;
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    skipped.push_back(root.string() + ": not a folder of manual pages");
    return docs;
  }
  std::vector<fs::path> dirs;
  for (const auto& entry : fs::directory_iterator(root, ec)) {
    if (startsWith(entry.path().filename().string(), "man") && entry.is_directory(ec)) {
      dirs.push_back(entry.path());
    }
  }
  std::sort(dirs.begin(), dirs.end());

  std::map<fs::path, std::vector<std::string>> aliases;  // page file → names leading to it
  std::map<fs::path, std::size_t> docOf;
  std::set<std::string> keys;
  for (const fs::path& dir : dirs) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir, ec)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& path : files) {
      const std::optional<PageFile> page = pageFile(path);
      if (!page) continue;
      if (fs::is_symlink(path, ec)) {
        if (const fs::path target = resolveWithin(root, path); !target.empty()) {
          aliases[target].push_back(page->name);
        }
        continue;
      }
      const std::optional<std::string> text = readPage(path, skipped);
      if (!text) continue;
      if (const std::string target = soTarget(*text); !target.empty()) {
        if (const fs::path real = resolveWithin(root, root / target); !real.empty()) {
          aliases[real].push_back(page->name);
        }
        continue;
      }
      Document d = renderPage(*page, *text, root, skipped);
      std::string key = "man-" + keyPart(page->name) + "-" + keyPart(page->section);
      for (int n = 2; keys.count(key); ++n) {
        key = "man-" + keyPart(page->name) + "-" + keyPart(page->section) + "-" + std::to_string(n);
      }
      keys.insert(key);
      d.key = std::move(key);
      docOf[fs::weakly_canonical(path, ec)] = docs.size();
      docs.push_back(std::move(d));
    }
  }
  for (const auto& [target, names] : aliases) {
    const auto it = docOf.find(target);
    if (it == docOf.end()) continue;
    std::vector<std::string>& docNames = docs[it->second].names;
    for (const std::string& name : names) {
      if (std::find(docNames.begin(), docNames.end(), name) == docNames.end()) {
        docNames.push_back(name);
      }
    }
  }
  return docs;
}

}  // namespace qelvora::sites::knowledge
