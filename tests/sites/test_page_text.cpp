// Data text in the answer pages: whatever it holds, the program's own conversion, cuts and clean-up
// give it back as written (full-width forms aside), within the cap.
#include <gtest/gtest.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "base/text_cut.h"
#include "sites/knowledge/page_text.h"
#include "sites/strings.h"
#include "sources/answer_site.h"
#include "sources/markup.h"
#include "sources/source_software.h"
#include "sources/transcript.h"

namespace qelvora::sites::knowledge {
namespace {

std::string utf8(std::string_view gbk) {
  return gbkToUtf8(gbk).value_or("(not GBK)");
}

// Every marker the program cuts by and every sequence its clean-up rewrites, taken from the
// program's own tables, and a few more that data really holds.
std::vector<std::string> hostilePieces() {
  std::vector<std::string> pieces = {"&nbsp;",  "a > b", "server/usr", "x r / y", "€", "a\u00a0b",
                                     "360问答", "<br/>", "&amp;",      "HREF=",   "r"};
  for (const auto& step : markupSteps()) pieces.emplace_back(step.first);
  for (const auto& step : softwareMarkupSteps()) pieces.emplace_back(step.first);
  for (const AnswerSite* site : {&fuzzySite(), &exactSite()}) {
    for (const MarkerPair* m : {&site->key, &site->title, &site->answer}) {
      pieces.push_back(utf8(m->start));
      pieces.push_back(utf8(m->end));
    }
  }
  const SoftwareSite& soft = softwareSite();
  for (const MarkerPair* m :
       {&soft.detailLink, &soft.name, &soft.description, &soft.screenshot, &soft.download}) {
    pieces.push_back(utf8(m->start));
    pieces.push_back(utf8(m->end));
  }
  return pieces;
}

// Text compared modulo the full-width forms the page functions use.
std::string unfold(std::string_view text) {
  std::u32string out;
  for (char32_t c : decodeUtf8(text).value_or(U"(not UTF-8)")) {
    if (c >= U'！' && c <= U'～') c = c - U'！' + U'!';
    if (c != U'\r') out += c;
  }
  return encodeUtf8(out);
}

enum class Page { fuzzy, exact, software };

struct Cut {
  std::string title, answer;
};

// The page as the site builds it around the text, sent and read as the program does.
Cut pageRoundTrip(Page site, const Document& d) {
  Text shown, answer;
  if (site == Page::fuzzy) {
    const std::string title = fuzzyTitle(d);
    const Text page = pageToGbk(
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
        "_360问答</title>\n</head><body><h1>" + title +
        "</h1>\n<div class=\"resolved\">"
        "<div class=\"resolved-cnt\">" +
        fuzzyAnswerMarkup(d) +
        "</div><div class=\"resolved-ft\">此答案由提问者采纳</div></div></body></html>\n");
    shown = cutBetween(page, fuzzySite().title);
    answer = cutBetween(page, fuzzySite().answer);
  } else if (site == Page::exact) {
    const std::string title = exactTitle(d);
    const Text page = pageToGbk(
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n<title>" + title +
        " - 问知</title></head><body>\n<h3 id=\"questionTitle\">" + title +
        "</h3>\n<div class=\"answer\"><div class=\"answer-con\"><pre>" + exactAnswerText(d) +
        "</pre>\n</div></div>\n<div class=\"more\"></div></body></html>\n");
    shown = cutBetween(page, exactSite().title);
    answer = cutBetween(page, exactSite().answer);
  } else {
    const std::string name = softwareName(d);
    const std::string shot = "http://127.0.0.1:9/shot/k.png";
    const auto page = utf8ToGbk(
        "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\"><title>" +
        name + " 下载</title></head><body><h1><span itemprop=\"name\">" + name +
        "</span></h1>\n<div id=\"rom_des\">" + softwareDescriptionMarkup(d) +
        "</div>\n<div class=\"shots\"><a href=\"" + shot + "\" target=\"_blank\"><img src=\"" +
        shot +
        "\"></a></div><a itemprop=\"downloadUrl\" href=\"http://127.0.0.1:9/down/k.zip\" "
        "title=\"允许单线程直接点击下载\">下载</a></body></html>\n");
    if (!page) return {"(page not GBK)", ""};
    const SoftwareSite& s = softwareSite();
    shown = cutBetween(*page, s.name);
    answer = joinTexts({trimSpaces(cutBetween(*page, s.description)), *utf8ToGbk("\r\n软件截图："),
                        cutBetween(*page, s.screenshot), *utf8ToGbk("\r\n下载地址："),
                        cutBetween(*page, s.download)});
  }
  const std::string typed =
      utf8(cleanMarkupText(transcript(shown, answer), site == Page::software));
  const size_t split = typed.find("\r\n答：");
  if (typed.rfind("问：", 0) != 0 || split == std::string::npos) return {typed, "(no transcript)"};
  return {typed.substr(6, split - 6), typed.substr(split + 8)};
}

TEST(PageText, DataTextCannotForgeMarkersAndReadsAsWritten) {
  const std::vector<std::string> pieces = hostilePieces();
  std::string longBody;
  for (const std::string& p : pieces) longBody += "这一句里有“" + p + "”这样的字样。\n";
  std::string shortBody;  // many markers on many lines, under the cap
  for (const std::string& p : pieces) {
    if (decodeUtf8(shortBody + p + p).value_or(U"").size() > 500) break;
    shortBody += p + "r" + p + "\n";
  }
  shortBody += "server\n/usr 末行";

  struct Row {
    std::string title, body;
    bool overCap = false;
  };
  std::vector<Row> rows;
  for (const std::string& p : pieces) rows.push_back({"标题" + p + "尾r", "答" + p + "r" + p});
  rows.push_back({"普通标题", shortBody});
  rows.push_back({"长文", longBody, true});
  std::string huge;  // far longer than what is cleaned for an answer
  while (huge.size() < 40 * 1024) huge += longBody;
  rows.push_back({"很长的文", huge, true});

  for (Page site : {Page::fuzzy, Page::exact, Page::software}) {
    for (const Row& row : rows) {
      SCOPED_TRACE("site " + std::to_string(static_cast<int>(site)) + ", title " + row.title);
      Document d;
      d.title = row.title;
      d.body = row.body;
      d.link = "man 1 test";
      if (site == Page::software) d.version = "1.0";
      const Cut cut = pageRoundTrip(site, d);

      std::string title = toGbkRepertoire(row.title, nullptr);
      for (char& c : title) c = c == '\n' ? ' ' : c;
      if (site == Page::fuzzy) title += "_";  // the page's own separator before the site name
      EXPECT_EQ(unfold(cut.title), unfold(title));

      // The software transcript goes on with the picture and download lines; the description
      // ends with the version.
      std::string answer = unfold(cut.answer.substr(0, cut.answer.find("\r\n软件截图：")));
      const std::string version = site == Page::software ? "\n版本：1.0" : "";
      const std::string body = unfold(toGbkRepertoire(row.body, nullptr));
      if (!row.overCap) {
        EXPECT_EQ(answer, body + unfold(version));
        continue;
      }
      // Cut at a sentence end in the last third of the cap, with the pointer to the whole text.
      const std::string suffix = unfold(version + "\n（全文：man 1 test）");
      ASSERT_TRUE(answer.ends_with(suffix)) << answer;
      const std::string kept = answer.substr(0, answer.size() - suffix.size());
      EXPECT_TRUE(body.starts_with(kept)) << kept;
      EXPECT_TRUE(kept.ends_with("。") || body[kept.size()] == '\n') << kept;
      const size_t chars = decodeUtf8(kept).value_or(U"").size();
      EXPECT_TRUE(chars >= 400 && chars <= 600) << chars;
    }
  }
  // What is cleaned for an answer reaches past a long run of blanks to the text behind it.
  Document blanks;
  blanks.body = std::string(20 * 1024, ' ') + "短的正文。";
  blanks.link = "man 1 test";
  EXPECT_EQ(unfold(pageRoundTrip(Page::exact, blanks).answer), "短的正文。");
}

TEST(PageText, RepertoireAndCap) {
  const std::unordered_map<char32_t, char32_t> variants = {{U'𠀀', U'丘'}};
  struct Case {
    std::string in, out;
  };
  const Case repertoire[] = {
      {"a\u00a0b", "a b"},
      {"5€", "5欧元"},
      {"䴉和龍", "鹮和龍"},
      {"𡻕末", "岁末"},
      {"𠀀", "丘"},
      {"😀x", "x"},
      {"a\x01\x1b[1mb\r\n", "a[1mb\n"},
      {"a\xff\tb", "a\tb"},
      {"Jörg", "Jorg"},
      {"长相思・其一", "长相思·其一"},
  };
  for (const Case& c : repertoire) {
    EXPECT_EQ(toGbkRepertoire(c.in, &variants), c.out) << c.in;
    EXPECT_TRUE(utf8ToGbk(c.out)) << c.out;
  }

  const std::string sentence = "复制文件和目录，把来源复制到目标去。";  // 18 characters
  std::string sentences, first33;
  for (int i = 0; i < 40; ++i) (i < 33 ? first33 : sentences) += sentence;
  sentences = first33 + sentences;
  struct CapCase {
    std::string in;
    size_t maxChars;
    std::string out;
  };
  const CapCase cap[] = {
      {"短文。", 600, "短文。"},
      {sentences, 600, first33 + "\n（全文：man cp）"},  // 594 characters: the last full stop
      {std::string(300, 'a') + "\n" + std::string(400, 'b'), 350,
       std::string(300, 'a') + "\n（全文：man cp）"},
      {std::string(700, 'a'), 600, std::string(600, 'a') + "……\n（全文：man cp）"},
  };
  for (const CapCase& c : cap) EXPECT_EQ(capAnswer(c.in, "man cp", c.maxChars), c.out);
}

}  // namespace
}  // namespace qelvora::sites::knowledge
