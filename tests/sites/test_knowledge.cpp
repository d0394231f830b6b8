// The knowledge index: questions find the right document through the real Xapian index, weak
// matches give nothing, and the cache is rebuilt whenever its data or its files change.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "sites/knowledge/cache.h"
#include "sites/knowledge/index.h"
#include "sites/knowledge/terms.h"

namespace qelvora::sites::knowledge {
namespace {

namespace fs = std::filesystem;

Document doc(Site site, std::string key, std::string title, std::string body,
             std::vector<std::string> names = {}) {
  Document d;
  d.site = site;
  d.key = std::move(key);
  d.title = std::move(title);
  d.body = std::move(body);
  d.names = std::move(names);
  return d;
}

std::vector<Document> smallData() {
  return {
      doc(Site::fuzzy, "man-cp", "cp - 复制文件和目录",
          "将源文件复制到目标，或把多个源复制到目录。", {"cp"}),
      doc(Site::fuzzy, "man-kill", "kill - 终止进程", "向进程发送信号，默认的信号是终止进程。",
          {"kill"}),
      doc(Site::fuzzy, "man-df", "df - 报告文件系统磁盘空间的使用情况",
          "显示每个文件系统的可用磁盘空间。", {"df"}),
      doc(Site::fuzzy, "man-chmod", "chmod - 改变文件模式", "修改文件的访问权限位。", {"chmod"}),
      doc(Site::fuzzy, "man-mkdir", "mkdir - 创建目录", "若目录不存在则创建目录。", {"mkdir"}),
      doc(Site::fuzzy, "wool", "羊毛衫怎么洗", "用冷水和中性洗涤剂轻轻手洗，平铺晾干。"),
      doc(Site::exact, "poem-1", "《静夜思》 李白",
          "床前明月光，\n疑是地上霜。\n举头望明月，\n低头思故乡。", {"静夜思"}),
      doc(Site::exact, "poem-2", "《春晓》 孟浩然", "春眠不觉晓，\n处处闻啼鸟。", {"春晓"}),
      doc(Site::exact, "char-9F99", "龙", "字：龙\n拼音：lóng\n繁体：龍", {"龙", "龍"}),
      doc(Site::software, "pkg-gimp", "gimp - GNU 图像处理程序", "一个用于图像处理和绘图的程序。",
          {"gimp"}),
      doc(Site::software, "pkg-vlc", "vlc - 多媒体播放器", "播放视频和音频文件。", {"vlc"}),
      doc(Site::software, "pkg-firefox-esr-l10n-ach", "firefox-esr-l10n-ach - Firefox language",
          "Acoli language package for Firefox ESR", {"firefox-esr-l10n-ach"}),
      doc(Site::software, "pkg-firefox-esr", "firefox-esr - 火狐网络浏览器",
          "Firefox 网络浏览器的长期支持版", {"firefox-esr"}),
      doc(Site::software, "pkg-recorder", "simplescreenrecorder - screen recorder",
          "Feature-rich screen recorder for X11", {"simplescreenrecorder"}),
      doc(Site::fuzzy, "man-useradd", "useradd - 新增一个新用户", "新增用户帐号。", {"useradd"}),
      doc(Site::fuzzy, "drop-user", "DROP USER - 删除一个数据库用户帐号", "删除数据库用户。"),
      doc(Site::fuzzy, "plant", "怎样让绿萝长得更茂盛", "绿萝喜欢温暖，别放在太阳直晒的窗台。"),
      doc(Site::fuzzy, "cat-food", "猫粮怎么选", "看成分表，肉排在前面的好。"),
  };
}

const Synonyms& synonyms() {
  static const Synonyms s = Synonyms::parse(
      "# comment\n结束进程 = 终止进程, kill\n文件夹 = 目录\n改权限 = 文件模式, chmod\n"
      "新建 = 创建\n新建文件夹 = 创建目录, mkdir\n录屏 = 屏幕录像, screen recorder\n"
      "添加用户 = 新用户, useradd\n用户 = 用户帐号\n");
  return s;
}

std::string best(const Index& index, Site site, std::string_view question) {
  const auto found = index.search(site, analyseQuestion(question, synonyms()), 10);
  return found.empty() ? "" : found.front().key;
}

// One question for each way a question reaches its document, and the questions that must get
// nothing because nothing answers them well: an honest "don't know" beats an unrelated answer.
TEST(Knowledge, QuestionsFindTheirDocumentAndWeakMatchesNothing) {
  const fs::path dir =
      fs::path(::testing::TempDir()) / ("knowledge-rank-" + std::to_string(getpid()));
  fs::remove_all(dir);
  Index::write(smallData(), dir);
  const auto written = Index::open(dir);
  const auto memory = Index::inMemory(smallData());
  const std::string huge(100 * 1024, 'x');  // a 100 KB question
  struct Case {
    Site site;
    const char* question;
    const char* key;  // "" = no result at all
  } cases[] = {
      {Site::fuzzy, "怎么复制文件", "man-cp"},    // question words out, pairs in
      {Site::fuzzy, "如何结束进程", "man-kill"},  // everyday wording -> the data's
      {Site::fuzzy, "怎么改权限？", "man-chmod"},
      {Site::fuzzy, "文件夹怎么建", "man-mkdir"},
      {Site::fuzzy, "CP 命令", "man-cp"},  // an exact name, any case
      {Site::fuzzy, "羊毛衫怎么洗", "wool"},
      {Site::exact, "床前明月光的下一句", "poem-1"},  // a line finds its poem
      {Site::exact, "靜夜思是誰寫的", "poem-1"},      // traditional, by its title
      {Site::exact, "龍", "char-9F99"},               // a character by itself
      {Site::software, "GIMP是什么", "pkg-gimp"},
      {Site::software, "用什么软件看视频", "pkg-vlc"},
      {Site::fuzzy, "如何新建一个文件夹", "man-mkdir"},  // fillers out, longest synonym first
      {Site::fuzzy, "如何添加用户", "man-useradd"},      // the synonym's name ranks first
      {Site::software, "firefox 在哪下载", "pkg-firefox-esr"},  // the program before its parts
      {Site::software, "录屏软件哪个好", "pkg-recorder"},       // English data by the Latin wording
      {Site::fuzzy, "明天会下雨吗", ""},
      {Site::fuzzy, "猫为什么喜欢晒太阳", ""},  // half the pairs, but not the rarest character
      {Site::fuzzy, "怎么做红烧肉", ""},
      {Site::exact, "北京到上海多远", ""},
      {Site::software, "的", ""},
      {Site::fuzzy, huge.c_str(), ""},
  };
  for (const auto* index : {written.get(), memory.get()})
    for (const Case& c : cases)
      EXPECT_EQ(best(*index, c.site, c.question), c.key) << std::string(c.question).substr(0, 40);
  // A wording put in by one synonym is not reworded by another: "新用户" keeps its "用户".
  const Terms reworded = analyseQuestion("如何添加用户", synonyms()).reworded;
  EXPECT_EQ(std::count(reworded.pairs.begin(), reworded.pairs.end(), "帐号"), 0);
  EXPECT_EQ(std::count(reworded.pairs.begin(), reworded.pairs.end(), "新用"), 1);
  // The sweater never answers a question about files, however many characters they share.
  for (const Document& d :
       memory->search(Site::fuzzy, analyseQuestion("怎么复制文件", synonyms()), 10))
    EXPECT_NE(d.key, "wool");
  EXPECT_EQ(written->find(Site::exact, "poem-1")->body, smallData()[6].body);
  EXPECT_FALSE(written->find(Site::fuzzy, "poem-1"));
  fs::remove_all(dir);
}

// The cache: built once, reused while the data stays the same, rebuilt when a data file changes
// or the index is damaged, built once when two servers start together, and never led astray by
// a planted link.
TEST(Knowledge, CacheIsRebuiltOnlyWhenItsDataOrFilesChange) {
  const fs::path dir =
      fs::path(::testing::TempDir()) / ("knowledge-cache-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "data");
  const fs::path file = dir / "data" / "poems.txt";
  std::ofstream(file) << "床前明月光";
  std::atomic<int> reads{0};
  const std::vector<DataSource> sources = {{"poems", {dir / "data"}, [&reads](Skipped&) {
                                              ++reads;
                                              return smallData();
                                            }}};
  const IndexCache cache(dir / "cache");
  const auto quiet = [](const std::string&) {};

  EXPECT_EQ(cache.openCurrent(sources), nullptr);
  // Two builds at once: the second waits for the first and takes its index.
  std::thread other([&] { cache.build(sources, quiet); });
  cache.build(sources, quiet);
  other.join();
  EXPECT_EQ(reads, 1);
  auto index = cache.openCurrent(sources);
  ASSERT_NE(index, nullptr);
  EXPECT_EQ(index->size(Site::exact), 3u);

  std::ofstream(file, std::ios::app) << "，疑是地上霜";  // the data changed
  EXPECT_EQ(cache.openCurrent(sources), nullptr);
  cache.build(sources, quiet);
  EXPECT_EQ(reads, 2);
  EXPECT_NE(cache.openCurrent(sources), nullptr);

  for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir / "cache" / "index"))
    if (e.is_regular_file() && e.path().filename() != "manifest")
      std::ofstream(e.path(), std::ios::trunc) << "damaged";
  EXPECT_EQ(cache.openCurrent(sources), nullptr);
  EXPECT_NE(cache.build(sources, quiet), nullptr);
  EXPECT_EQ(reads, 3);

  const IndexCache planted(dir / "planted");
  fs::create_directories(dir / "planted");
  fs::create_symlink(dir / "elsewhere", dir / "planted" / "index.lock");
  EXPECT_THROW(planted.build(sources, quiet), IndexError);
  EXPECT_FALSE(fs::exists(dir / "elsewhere"));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace qelvora::sites::knowledge
