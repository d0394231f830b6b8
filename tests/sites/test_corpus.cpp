// The corpus loader refuses files that would give wrong or broken pages, naming file and line.
#include <gtest/gtest.h>
#include <iconv.h>

#include <filesystem>
#include <fstream>

#include "sites/corpus.h"
#include "sites/strings.h"

namespace qelvora::sites {
namespace {

namespace fs = std::filesystem;

const std::string kFuzzy =
    "# comment\n"
    "key: 100\nquestion: 天为什么是蓝的\nasker: 某人\n\n<p>因为散射。</p>\n"
    "---\n"
    "key: 101\nquestion: 水为什么会结冰\n\n第一行<br/>第二行\n\n";
const std::string kExact =
    "key: a1\nquestion: 彩虹怎么形成\nkeywords: 彩虹，雨后, 天空\n\n第一行\r\n第二行\n";
const std::string kSoftware =
    "key: view\nname: 看图王\nlatin: Viewer\nversion: 1.0\nkeywords: 看图\nquestion: 用什么看图\n"
    "shot: png 320x200 #336699\ndownload: viewer-1.0.zip\n\n<p>看图软件。</p>\n";

class CorpusFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qelvora-corpus-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  void write(const char* file, const std::string& text) {
    std::ofstream(dir_ / file, std::ios::binary) << text;
  }
  void writeAll(const std::string& fuzzy, const std::string& exact, const std::string& software) {
    write(kFuzzyFile, fuzzy);
    write(kExactFile, exact);
    write(kSoftwareFile, software);
  }
  fs::path dir_;
};

TEST_F(CorpusFiles, ReadsBlocksHeadersAndBodies) {
  writeAll(kFuzzy, kExact, kSoftware);
  const Corpus c = loadCorpus(dir_);
  ASSERT_EQ(c.fuzzy.size(), 2u);
  EXPECT_EQ(c.fuzzy[0].key, "100");
  EXPECT_EQ(c.fuzzy[0].asker, "某人");
  EXPECT_EQ(c.fuzzy[1].answer, "第一行<br/>第二行");  // trailing blank lines dropped
  ASSERT_EQ(c.exact.size(), 1u);
  EXPECT_EQ(c.exact[0].answer, "第一行\n第二行");  // CR LF read as LF: the page needs LF
  // Both the ASCII and the full-width comma separate keywords.
  EXPECT_EQ(c.exact[0].keywords, (std::vector<std::string>{"彩虹", "雨后", "天空"}));
  ASSERT_EQ(c.software.size(), 1u);
  EXPECT_EQ(c.software[0].shot.width, 320);
  EXPECT_EQ(c.software[0].shot.height, 200);
  EXPECT_EQ(c.software[0].shot.color, 0x336699u);
  EXPECT_EQ(c.software[0].description, "<p>看图软件。</p>");
}

TEST_F(CorpusFiles, RefusesFaultyEntries) {
  struct Case {
    std::string fuzzy, exact, software;
    std::string message;  // part of the error
  };
  auto soft = [](const std::string& from, const std::string& to) {
    std::string s = kSoftware;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  const Case cases[] = {
      {kFuzzy + "---\nkey: 100\nquestion: 又一个\n\n答\n", kExact, kSoftware, "used twice"},
      {"key: 1 2\nquestion: 问\n\n答\n", kExact, kSoftware, "may only hold"},
      {"key: 1\nquestoin: 问\n\n答\n", kExact, kSoftware, "fuzzy.txt:2: unknown field"},
      {"key: 1\n\n答\n", kExact, kSoftware, "missing field \"question\""},
      {"key: 1\nquestion: 问\n", kExact, kSoftware, "no answer"},
      {"key: 1\nquestion: 问\n\n<p>a</div><div class=\"x\">b</p>\n", kExact, kSoftware, "</div>"},
      {"key: 1\nquestion: 问<b>\n\n答\n", kExact, kSoftware, "must not contain"},
      {"key: 1\nquestion: 问\xE2\x82\n\n答\n", kExact, kSoftware, "not valid UTF-8"},
      {"key: 1\nquestion: 问\xF0\x9F\x98\x80\n\n答\n", kExact, kSoftware, "GBK cannot hold"},
      {"no colon here\n", kExact, kSoftware, "expected \"name: value\""},
      {"key: 1\nkey: 2\n", kExact, kSoftware, "given twice"},
      {"", kExact, kSoftware, "no entries"},
      {"# a" + std::string("\0", 1) + "b\n" + kFuzzy, kExact, kSoftware,
       "fuzzy.txt:1: comment holds a NUL byte"},
      {kFuzzy, "key: a\nquestion: 问\nkeywords: 问\n\n答\n", kSoftware, "shorter than 2"},
      {kFuzzy, "key: a\nquestion: 问题\nkeywords: 问题\n\n1 < 2\n", kSoftware,
       "must not contain <"},
      {kFuzzy, kExact, soft("png 320x200", "gif 320x200"), "png or jpeg"},
      {kFuzzy, kExact, soft("320x200", "320x20"), "within"},
      {kFuzzy, kExact, soft("320x200", "320by200"), "WIDTHxHEIGHT"},
      {kFuzzy, kExact, soft("#336699", "#33669"), "#RRGGBB"},
      {kFuzzy, kExact, soft("viewer-1.0.zip", "../x.zip"), "plain file name"},
      {kFuzzy, kExact, soft("viewer-1.0.zip", "viewer.exe"), "plain file name"},
      {kFuzzy, kExact, soft("Viewer", "看图"), "printable ASCII"},
      {kFuzzy, kExact, soft("<p>看图软件。</p>", "<div>a</div>"), "</div>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    writeAll(c.fuzzy, c.exact, c.software);
    try {
      loadCorpus(dir_);
      ADD_FAILURE() << "accepted";
    } catch (const CorpusError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

// Text that goes into an answer page as markup must not hold a marker the program cuts that page
// by, nor a NUL; the message names the file and line, the entry and the marker.
TEST_F(CorpusFiles, RefusesMarkersAndNulTheProgramWouldCutWrongly) {
  struct Case {
    std::string fuzzy, exact, software;
    std::string where, entry, marker;  // parts of the error
  };
  auto soft = [](const std::string& description) {
    std::string s = kSoftware;
    s.replace(s.find("<p>看图软件。</p>"), 22, description);
    return s;
  };
  const std::string nul("\0", 1);
  const Case cases[] = {
      {kFuzzy, kExact,
       soft("<p>看图</p>\n<a itemprop=\"downloadUrl\" href=\"javascript:alert(1)\" "
            "title=\"允许单线程直接点击下载\">下载</a>"),
       "software.txt:11:", "\"view\"", "itemprop=\"downloadUrl\" href=\""},
      {kFuzzy, kExact, soft("<A HREF=\"x\" TARGET=\"_BLANK\"><IMG SRC=\"y.png\"></A>"),
       "software.txt:10:", "\"view\"", "target=\"_blank\"><img src=\""},
      {kFuzzy, kExact, soft("<p>a</DIV><div class=\"x\">b</p>"), "software.txt:10:", "\"view\"",
       "</div>"},
      {"key: 7\nquestion: 问\n\n<p>一</p>\n<p>a</div><div class=\"x\">b</p>\n", kExact, kSoftware,
       "fuzzy.txt:5:", "\"7\"", "</div>"},
      {"key: 7\nquestion: 在360问答上看到的\n\n答\n", kExact, kSoftware, "fuzzy.txt:2:", "\"7\"",
       "360问答"},
      {"key: 7\nquestion: 问\n\n答" + nul + "案\n", kExact, kSoftware, "fuzzy.txt:4:", "\"7\"",
       "NUL"},
      {kFuzzy, "key: a\nquestion: 问题\nkeywords: 问题\n\n答" + nul + "\n", kSoftware,
       "exact.txt:5:", "\"a\"", "NUL"},
      {kFuzzy, kExact, soft("看图" + nul), "software.txt:10:", "\"view\"", "NUL"},
      {"key: 7\nquestion: 问\nasker: 某" + nul + "\n\n答\n", kExact, kSoftware,
       "fuzzy.txt:3:", "\"7\"", "NUL"},
      // "€" is the single GBK byte 0x80, which the marker search takes for a lead byte.
      {"key: 7\nquestion: 问\n\n<p>5€</p>\n", kExact, kSoftware, "fuzzy.txt:", "\"7\"",
       "\"€\", which GBK writes as the single byte 0x80"},
      {kFuzzy, kExact, soft("<p>€</p>"), "software.txt:", "\"view\"", "\"€\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.where + " " + c.marker);
    writeAll(c.fuzzy, c.exact, c.software);
    try {
      loadCorpus(dir_);
      ADD_FAILURE() << "accepted";
    } catch (const CorpusError& e) {
      const std::string message = e.what();
      for (const std::string& part : {c.where, c.entry, c.marker})
        EXPECT_NE(message.find(part), std::string::npos) << message;
    }
  }
}

// Every character that iconv's GBK writes as one byte of 0x80 or more is known to the loader
// and written out by gbkSafeText; nothing else is changed.
TEST(GbkSafeText, KnowsEverySingleHighByteCharacter) {
  iconv_t cd = iconv_open("CP936", "UTF-32LE");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  int found = 0;
  for (char32_t c = 0x80; c < 0x110000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    char in[4] = {static_cast<char>(c & 0xFF), static_cast<char>((c >> 8) & 0xFF),
                  static_cast<char>(c >> 16), 0};
    char out[8];
    char *inPtr = in, *outPtr = out;
    size_t inLeft = 4, outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) continue;
    const std::string utf8 = "a" + encodeUtf8(std::u32string(1, c)) + "b";
    const bool single = sizeof out - outLeft == 1;
    EXPECT_EQ(firstGbkSingleHighByte(utf8).has_value(), single)
        << std::hex << static_cast<unsigned>(c);
    if (!single) continue;
    ++found;
    const std::string safe = gbkSafeText(utf8);
    EXPECT_FALSE(firstGbkSingleHighByte(safe)) << std::hex << static_cast<unsigned>(c);
    EXPECT_TRUE(utf8ToGbk(safe)) << std::hex << static_cast<unsigned>(c);
  }
  iconv_close(cd);
  EXPECT_GE(found, 1);  // "€"
  EXPECT_EQ(gbkSafeText("5€ 或 3€"), "5欧元 或 3欧元");
}

}  // namespace
}  // namespace qelvora::sites
