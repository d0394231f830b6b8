// The knowledge readers on small data written here (packed as the system packs it), and on the
// data the system has installed where it is present.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

#include "sites/knowledge/readers.h"

namespace qelvora::sites::knowledge {
namespace {

namespace fs = std::filesystem;

const Document* find(const std::vector<Document>& docs, const std::string& key) {
  const auto it =
      std::find_if(docs.begin(), docs.end(), [&](const Document& d) { return d.key == key; });
  return it == docs.end() ? nullptr : &*it;
}

bool has(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

// One document a reader should make, whole.
struct Expected {
  const char* key;
  const char* title;
  std::vector<std::string> names;
  const char* body;
  std::string link;
};

// The reader made exactly these documents, all for site.
void expectDocuments(const std::vector<Document>& docs, Site site,
                     const std::vector<Expected>& expected) {
  ASSERT_EQ(docs.size(), expected.size());
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.key);
    const Document* d = find(docs, e.key);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->site, site);
    EXPECT_EQ(d->title, e.title);
    EXPECT_EQ(d->names, e.names);
    EXPECT_EQ(d->body, e.body);
    EXPECT_EQ(d->link, e.link);
  }
}

class Readers : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qelvora-readers-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const std::string& name, const std::string& bytes) {
    const fs::path path = dir_ / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  fs::path writeGzip(const std::string& name, const std::string& text, std::size_t cut = 0) {
    uLongf size = compressBound(text.size()) + 32;
    std::string packed(size, '\0');
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);  // gzip wrapper
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(packed.data());
    z.avail_out = static_cast<uInt>(size);
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    packed.resize(z.total_out - cut);
    deflateEnd(&z);
    return write(name, packed);
  }
  fs::path writeBzip2(const std::string& name, const std::string& text) {
    const fs::path plain = write(name.substr(0, name.size() - 4), text);
    EXPECT_EQ(std::system(("bzip2 -f '" + plain.string() + "'").c_str()), 0);
    return dir_ / name;
  }

  fs::path dir_;
};

TEST_F(Readers, ManPages) {
  write("man/man1/cp.1",  // kept plain to show uncompressed pages are read too
        ".\\\" a comment that is not text\n"
        ".TH CP 1\n.SH 名称\ncp, copy \\- 复制文件和目录\n"
        ".SH 概述\n\\fBcp\\fP [\\fI选项\\fP]... \\fI来源 目标\\fP\n"
        ".SH 描述\n.PP\n从来源复制到目标\n处。\n.TP\n\\fB\\-a\\fR, \\fB\\-\\-archive\\fR\n"
        "与 \\fB\\-dR\\fP 相同\\(em 见下文。\n.IP \\(bu 2\n第一点\n"
        ".ie n .IP \"\\fB\\-\\-help\\fR\" 4\n.el .IP \"wrong\" 4\n显示帮助\n"
        ".de XX\n宏定义里的文字\n..\n.nf\n  cp a b\n  cp \\-r c d\n.fi\n"
        ".SH \"[中文版维护人]\"\n某人\n");
  std::string gbk = ".SH NAME\nls \\- ";
  gbk += "\xc1\xd0\xb3\xf6\xc4\xbf\xc2\xbc\xc4\xda\xc8\xdd\n";  // 列出目录内容 in GBK
  writeGzip("man/man1/ls.1.gz", gbk);
  writeGzip("man/man1/copy2.1.gz", ".\\\" only a link\n.so man1/cp.1\n");
  fs::create_symlink("cp.1", dir_ / "man/man1/cpln.1");
  writeGzip("man/man1/outside.1.gz", ".so ../../etc.1\n");
  writeGzip("man/man8/biff.8.gz",
            ".Sh NAME\n.Nm biff\n.Nd \"新邮件提醒\"\n.Sh SYNOPSIS\n.Nm\n.Op Fl n | y\n"
            ".Xr mail 1\n");
  // What pod2man and tbl write: strings, conditionals with blocks, verbatim code, a table.
  writeGzip("man/man3/Pod.3pm.gz",
            ".de Vb\n.ft CW\n..\n.ie n \\{\\\n.  ds L\" \"\"\n.\\}\n.el \\{\\\n.  ds L\" ``\n.\\}\n"
            ".ds Z 模块\n.SH NAME\nPod \\- 一个\\*Z\n.SH 描述\n用 \\*(L\"use Pod\\*(L\" 载入：\n"
            ".Vb 2\n\\&    use Pod;\n\\&    Pod->new;\n.Ve\n.TS\nl l.\n甲\t乙\n.TE\n");
  // A .so inside a page is read in its place, when it stays inside the manual pages' folder.
  writeGzip("man/man5/conf.5.gz",
            ".SH NAME\nconf \\- 配置文件\n.SH 描述\n.so man7/shared.7\n.so ../outside.7\n");
  write("man/man7/shared.7", ".SH NAME\nshared \\- 共享\n.SH 描述\n共享的段落\n");
  write("outside.7", "外面的文字\n");
  writeGzip("man/man1/truncated.1.gz", ".SH NAME\nx \\- 被截断的页\n", 8);
  writeGzip("man/man1/binary.1.gz", "\xff\xfe\x80 not text\n");

  Skipped skipped;
  const std::vector<Document> docs = readManPages(dir_ / "man", skipped);
  EXPECT_EQ(docs.size(), 6u);
  ASSERT_EQ(skipped.size(), 2u);
  EXPECT_NE(skipped[0].find("binary.1.gz: neither UTF-8 nor GB18030"), std::string::npos);
  EXPECT_NE(skipped[1].find("truncated.1.gz: not a whole gzip file"), std::string::npos);

  struct Case {
    const char* key;
    const char* title;
    const char* link;
    std::vector<std::string> names;
    std::vector<std::string> inBody, notInBody;
  };
  const Case cases[] = {
      {"man-cp-1",
       "cp, copy - 复制文件和目录",
       "man 1 cp",
       {"cp", "copy", "copy2", "cpln"},
       {"复制文件和目录\n\n概述\ncp [选项]... 来源 目标\n\n描述\n从来源复制到目标处。\n\n"
        "-a, --archive\n与 -dR 相同— 见下文。\n\n• 第一点\n\n--help\n显示帮助\n  cp a b\n  cp -r c "
        "d"},
       {"comment", "宏定义", "wrong", "某人", "\\f", "TP"}},
      {"man-conf-5", "conf - 配置文件", "man 5 conf", {"conf"}, {"共享的段落"}, {"外面"}},
      {"man-Pod-3pm",
       "Pod - 一个模块",
       "man 3pm Pod",
       {"Pod"},
       {"描述\n用 \"use Pod\" 载入：\n    use Pod;\n    Pod->new;\n甲 乙"},
       {"``", "CW"}},
      {"man-ls-1", "ls - 列出目录内容", "man 1 ls", {"ls"}, {"列出目录内容"}, {}},
      {"man-biff-8",
       "biff - 新邮件提醒",
       "man 8 biff",
       {"biff"},
       {"SYNOPSIS\nbiff [-n | y] mail(1)"},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    const Document* d = find(docs, c.key);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->site, Site::fuzzy);
    EXPECT_EQ(d->title, c.title);
    EXPECT_EQ(d->link, c.link);
    for (const std::string& name : c.names) EXPECT_TRUE(has(d->names, name)) << name;
    for (const std::string& text : c.inBody)
      EXPECT_NE(d->body.find(text), std::string::npos) << d->body;
    for (const std::string& text : c.notInBody)
      EXPECT_EQ(d->body.find(text), std::string::npos) << text;
  }

  skipped.clear();
  EXPECT_TRUE(readManPages(dir_ / "missing", skipped).empty());
  EXPECT_EQ(skipped.size(), 1u);
}

TEST_F(Readers, DebianDocs) {
  // Wrapped as the real files are: 69 columns, a CJK character two wide.
  const fs::path faq = writeGzip(
      "debian-faq.zh-cn.txt.gz",
      "目录\n\n1. 定义和概览\n    1.1. 本文档是什么？\n\n"
      "第 1 章 定义和概览\n\n"
      "1.1. 本文档是什么？\n\n"
      "    这是一段被折行的文字，折行的宽度是六十九列，每个汉字占两列所以一\n"
      "    行最多三十二个字。这一行里的英文地址 https://www.debian.org/doc/\n"
      "    FAQ/ 也会被折开。\n\n"
      "      * 第一项\n      * 第二项，它很长很长很长很长很长很长很长很长很长很长很长很长很\n"
      "        长很长\n\n"
      "    $ ls -l\n    total 0\n\n"
      "1.2. 一个很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长\n"
      "的标题？\n\n    短的答案。\n\n"
      "1.3. 没有内容的节\n\n"
      "附录 A. 附录\n\nA.1. 文档格式\n\n    纯文本。\n");
  const fs::path ref = writeGzip("debian-reference.zh-cn.txt.gz",
                                 "第 2 章 软件包管理\n\n    本章讲软件包。\n\n"
                                 "2.3. 基本操作\n\n    用 apt 安装。\n",
                                 4);
  const fs::path latin1 = writeGzip("other.txt.gz", "第 1 章 \xe9t\xe9\n\n1.1. x\n\n    y\n");

  Skipped skipped;
  const std::vector<Document> docs =
      readDebianDocs({faq, ref, latin1, dir_ / "missing.txt.gz"}, skipped);
  EXPECT_EQ(skipped.size(), 3u);

  expectDocuments(
      docs, Site::fuzzy,
      {{"faq-1.1",
        "本文档是什么？",
        {},
        "这是一段被折行的文字，折行的宽度是六十九列，每个汉字占两列所以一行最多三十二个字。"
        "这一行里的英文地址 https://www.debian.org/doc/FAQ/ 也会被折开。\n\n"
        "* 第一项\n* 第二项，它很长很长很长很长很长很长很长很长很长很长很长很长很长很长\n\n"
        "$ ls -l\ntotal 0",
        "Debian FAQ 1.1"},
       {"faq-1.2",
        "一个很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长很长的标题？",
        {},
        "短的答案。",
        "Debian FAQ 1.2"},
       {"faq-A.1", "文档格式", {}, "纯文本。", "Debian FAQ A.1"}});
}

TEST_F(Readers, Fortunes) {
  write("f/tang300.u8",
        "\x1b[32m《静夜思》\x1b[m\n\x1b[33m作者：李白\x1b[m\n床前明月光，疑是地上霜。\n"
        "举头望明月，低头思故乡。\n%\n\x1b[32m《感遇・其一》\x1b[m\n\x1b[33m作者：张九龄\x1b[m\n"
        "兰叶春葳蕤，桂华秋皎洁。\n");
  write("f/song100.u8",
        "题目:《塞上》\n作者:柳开（９４６－９９９）\n鸣骹直上一千尺，天静无风声更干。\n\n"
        "碧眼胡儿三百骑，尽提金勒向云看。\n");
  write("f/chinese.u8",
        "用 apt-get 安装软件包。\n    -- Debian 参考卡片\n%\n"
        "自由软件的自由（自由 0）。\n%\n"
        "欲求生富贵，须下死工夫。\n    --《增广贤文》\n%\n"
        "夜来幽梦忽还乡。小轩窗。正梳妆。\n    -- 苏轼《江城子·记梦》\n%\n好的\n");

  Skipped skipped;
  std::vector<Document> docs = readFortunes(dir_ / "f", skipped);
  EXPECT_TRUE(skipped.empty());
  expectDocuments(docs, Site::exact,
                  {{"poem-tang-1",
                    "《静夜思》 李白",
                    {"静夜思"},
                    "床前明月光，疑是地上霜。\n举头望明月，低头思故乡。",
                    "唐诗三百首"},
                   {"poem-tang-2",
                    "《感遇・其一》 张九龄",
                    {"感遇・其一", "感遇"},
                    "兰叶春葳蕤，桂华秋皎洁。",
                    "唐诗三百首"},
                   {"poem-song-1",
                    "《塞上》 柳开",
                    {"塞上"},
                    "鸣骹直上一千尺，天静无风声更干。\n碧眼胡儿三百骑，尽提金勒向云看。",
                    "宋诗一百首"},
                   {"saying-1",
                    "欲求生富贵，须下死工夫。",
                    {"增广贤文"},
                    "欲求生富贵，须下死工夫。\n--《增广贤文》",
                    "fortune chinese"},
                   {"saying-2",
                    "夜来幽梦忽还乡。小轩窗。正梳妆。",
                    {"江城子·记梦", "江城子"},
                    "夜来幽梦忽还乡。小轩窗。正梳妆。\n-- 苏轼《江城子·记梦》",
                    "fortune chinese"}});

  // A file in another encoding is skipped; the others are still read.
  write("f/chinese.u8", "\xd3\xfb\xc7\xf3\xc9\xfa\n");
  docs = readFortunes(dir_ / "f", skipped);
  EXPECT_EQ(docs.size(), 3u);
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_NE(skipped[0].find("chinese.u8: not UTF-8"), std::string::npos);
  EXPECT_TRUE(readFortunes(dir_ / "missing", skipped).empty());
  EXPECT_EQ(skipped.size(), 2u);
}

TEST_F(Readers, Unihan) {
  writeBzip2("u/Unihan_Readings.txt.bz2",
             "# comment\nU+5B57\tkDefinition\tletter, character, word\nU+5B57\tkMandarin\tzì\n"
             "U+5B66\tkMandarin\txué\nU+5B78\tkMandarin\txué\nU+5B78\tkCantonese\thok6\n"
             "U+597D\tkMandarin\thǎo hào\nU+20000\tkMandarin\thē\nU+4E00\tkCantonese\tjat1\n");
  writeBzip2("u/Unihan_Variants.txt.bz2",
             "U+5B66\tkTraditionalVariant\tU+5B78\nU+5B78\tkSimplifiedVariant\tU+5B66\n"
             "U+3405\tkSemanticVariant\tU+4E94<kMatthews\nU+20001\tkZVariant\tU+5B57\n"
             "U+20002\tkSimplifiedVariant\tU+20003\n");

  Skipped skipped;
  const std::vector<Document> docs = readUnihan(dir_ / "u", skipped);
  EXPECT_TRUE(skipped.empty());
  // U+20000 is outside GBK, U+4E00 has no reading.
  expectDocuments(
      docs, Site::exact,
      {{"char-597D", "好", {"好"}, "字：好\n拼音：hǎo、hào", "Unihan U+597D"},
       {"char-5B57",
        "字",
        {"字"},
        "字：字\n拼音：zì\n英文释义：letter, character, word",
        "Unihan U+5B57"},
       {"char-5B66", "学", {"学", "學"}, "字：学\n拼音：xué\n繁体：學", "Unihan U+5B66"},
       {"char-5B78", "學", {"學", "学"}, "字：學\n拼音：xué\n简体：学", "Unihan U+5B78"}});

  const std::unordered_map<char32_t, char32_t> variants = readUnihanVariants(dir_ / "u", skipped);
  EXPECT_EQ(variants,
            (std::unordered_map<char32_t, char32_t>{{0x3405, 0x4E94}, {0x20001, 0x5B57}}));
  EXPECT_TRUE(readUnihanVariants(dir_ / "missing", skipped).empty());
  EXPECT_TRUE(readUnihan(dir_ / "missing", skipped).empty());
  EXPECT_EQ(skipped.size(), 2u);  // one line each: a missing file ends the reader
}

// The installed data: plausible counts and one known document each.
TEST(InstalledKnowledge, ReadsWhatIsInstalled) {
  const fs::path man = "/usr/share/man/zh_CN";
  const fs::path fortunes = "/usr/share/games/fortunes";
  const fs::path unicode = "/usr/share/unicode";
  const std::vector<fs::path> docFiles = {
      "/usr/share/doc/debian/FAQ/debian-faq.zh-cn.txt.gz",
      "/usr/share/debian-reference/debian-reference.zh-cn.txt.gz"};
  if (!fs::exists(man / "man1/cp.1.gz") || !fs::exists(fortunes / "tang300.u8") ||
      !fs::exists(unicode / "Unihan_Readings.txt.bz2") || !fs::exists(docFiles[0]) ||
      !fs::exists(docFiles[1])) {
    GTEST_SKIP() << "the Chinese data packages are not installed (scripts/setup installs them)";
  }
  Skipped skipped;
  std::map<std::string, std::vector<Document>> read;
  const auto timed = [&](const char* name, auto reader) {
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpu = std::clock();
    read[name] = reader();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%-12s %6zu documents  %.2f s (%.2f s processor)\n", name, read[name].size(),
                took.count(), double(std::clock() - cpu) / CLOCKS_PER_SEC);
  };
  timed("manpages", [&] { return readManPages(man, skipped); });
  timed("debian-docs", [&] { return readDebianDocs(docFiles, skipped); });
  timed("fortunes", [&] { return readFortunes(fortunes, skipped); });
  timed("unihan", [&] { return readUnihan(unicode, skipped); });
  for (const std::string& line : skipped) std::printf("skipped %s\n", line.c_str());
  EXPECT_TRUE(skipped.empty());

  EXPECT_GT(read["manpages"].size(), 500u);
  EXPECT_GT(read["debian-docs"].size(), 300u);
  EXPECT_GT(read["fortunes"].size(), 2000u);
  EXPECT_GT(read["unihan"].size(), 15000u);

  const Document* cp = find(read["manpages"], "man-cp-1");
  ASSERT_NE(cp, nullptr);
  EXPECT_NE(cp->title.find("cp"), std::string::npos);
  EXPECT_NE(cp->body.find("-R, -r, --recursive"), std::string::npos);
  const auto poems = read["fortunes"];
  // The installed 唐诗三百首 leaves out 静夜思; 登鹳雀楼 is there.
  EXPECT_EQ(std::count_if(poems.begin(), poems.end(),
                          [](const Document& d) { return d.title == "《登鹳雀楼》 王之涣"; }),
            1);
  const Document* zi = find(read["unihan"], "char-5B57");
  ASSERT_NE(zi, nullptr);
  EXPECT_NE(zi->body.find("拼音：zì"), std::string::npos);
  const auto& docs = read["debian-docs"];
  EXPECT_TRUE(std::any_of(docs.begin(), docs.end(), [](const Document& d) {
    return d.key == "faq-1.2" && d.title == "什么是 Debian GNU/Linux？";
  }));
}

}  // namespace
}  // namespace qelvora::sites::knowledge
