#include <gtest/gtest.h>

#include <string>

#include "sources/markup.h"
#include "web/encoding.h"

namespace qelvora {
namespace {

struct CutCase {
  std::string name, text, start, end, expected;
};

TEST(Markup, CutBetween) {
  const CutCase cases[] = {
      {"plain", "<x>ab</x>", "<x>", "</x>", "ab"},
      {"start missing", "<y>ab</x>", "<x>", "</x>", ""},
      {"end missing behind the start", "<x>ab</y>", "<x>", "</x>", ""},
      {"end only before the start", "</x>ab<x>cd", "<x>", "</x>", ""},
      {"end right behind the start", "<x></x>", "<x>", "</x>", ""},
      {"first occurrences only", "<x>a</x><x>b</x>", "<x>", "</x>", "a"},
      {"end searched behind the start only", "</x><x>a</x>", "<x>", "</x>", "a"},
      {"markers ignore ASCII case", "<div CLASS=\"RESOLVED-CNT\">Text</DIV>",
       "class=\"resolved-cnt\">", "</div>", "Text"},
      {"empty start marker", "ab|c", "", "|", "ab"},
      {"empty end marker", "<x>ab", "<x>", "", ""},
      {"empty text", "", "<x>", "</x>", ""},
      {"placeholder for the quote", "<a id=\"k\">v</a>", utf8ToGbk("id=#引号k#引号>"), "</a>", "v"},
      {"placeholder in the end marker", "v=\"12\";", "v=\"", utf8ToGbk("#引号;"), "12"},
      // 0xB0 0x41 is one character: its trail byte 'A' does not start the marker "A:".
      {"no match on a trail byte",
       "\xB0"
       "A:v;A:w;",
       "A:", ";", "w"},
      {"two-byte content", utf8ToGbk("<t>中文</t>"), "<t>", "</t>", utf8ToGbk("中文")},
  };
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cutBetween(c.text, c.start, c.end), c.expected);
  }
}

TEST(Markup, PageToGbk) {
  // 问：天 in UTF-8 -> GBK CE CA A3 BA CC EC.
  EXPECT_EQ(pageToGbk("\xE9\x97\xAE\xEF\xBC\x9A\xE5\xA4\xA9"), "\xCE\xCA\xA3\xBA\xCC\xEC");
  EXPECT_EQ(pageToGbk(std::string("a<b>\0tail", 9)), "a<b>");  // the text ends at NUL
  EXPECT_EQ(pageToGbk("x\xF0\x9F\x98\x80y"), "x?y");           // GBK has no emoji
  EXPECT_EQ(pageToGbk("x\xFFy"), "x?y");                       // not UTF-8 at all
  EXPECT_EQ(pageToGbk(""), "");
}

struct CleanCase {
  std::string name, input;
  bool software;
  std::string expected;
};

TEST(Markup, CleanMarkupChain) {
  const CleanCase cases[] = {
      {"br", "A<br>B", false, "A\r\nB"},
      {"paragraph and nbsp", "<p>Hi&nbsp;there</p>", false, "\r\nHi;there\r\n"},
      {"bold", "<b>bold</b> text", false, "\r\nbold\r\n text"},
      {"lower-case link", "<a href=\"u\">low</a>", false, "<a \"u\"\r\nlow\r\n"},
      {"upper-case link", "<a href=\"X\" target=\"_blank\">T</A>", false, "<a \"X\" T"},
      {"br slash", "a<br/>b", false, "a\r\nb"},
      {"br space slash", "a<br />b", false, "a\r\nb"},
      {"upper-case BR stays", "a<BR>b", false, "a<BR\r\nb"},
      {"image", "<img src=\"p.png\">", false, "\r\n\"p.png\"\r\n"},
      {"r/ inside words", "server/x and r /y", false, "servex and y"},
      // ";</p" can never match: "</p" has gone the step before.
      {"semicolon before closing p", "a;</p>", false, "a;\r\n"},
      {"empty", "", true, ""},
      {"span with software steps", "<span style=\"font-size:12px;\">abc</span>", true,
       "\"\"\r\nabc\r\n"},
      {"quot and img with software steps", "say &quot;hi&quot; pic.img", true, "say hi pic"},
      {"quot and img without software steps", "say &quot;hi&quot; pic.img", false,
       "say &quot;hi&quot; pic.img"},
      // Replacements never take part in a match of the same step.
      {"no rescan after a removal", "<<bb>", false, "<b\r\n"},
  };
  for (const CleanCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cleanMarkupText(c.input, c.software), c.expected);
  }
}

TEST(Markup, CleanMarkupMatchesOnlyAtCharacterStarts) {
  // B0 72 is one character whose trail byte is 'r': the "/" after it is no "r/".
  const std::string trail = "\xB0\x72/";
  EXPECT_EQ(cleanMarkupText(trail, false), trail);
  // Any byte of 0x80 or more takes the next byte with it, so the "<" behind it opens nothing.
  EXPECT_EQ(cleanMarkupText("\xB0<b>x", false), "\xB0<b\r\nx");
  EXPECT_EQ(cleanMarkupText("x r/" + trail + "r/", true), "x " + trail);
}

TEST(Markup, PlainTextLosesOnlyTheWordPieces) {
  const std::string text = utf8ToGbk("看 href=x server/a r /b pic.img font-size:12px; 完");
  EXPECT_EQ(cleanMarkupText(text, false), utf8ToGbk("看 x servea b pic.img font-size:12px; 完"));
  EXPECT_EQ(cleanMarkupText(text, true), utf8ToGbk("看 x servea b pic  完"));
}

}  // namespace
}  // namespace qelvora
