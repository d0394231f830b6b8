// The package catalogue reader on a private APT folder, through libapt-pkg's own configuration,
// and on the system's catalogue where this machine has one.
#include <gtest/gtest.h>
#include <langinfo.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "sites/knowledge/read_apt.h"

namespace qelvora::sites::knowledge {
namespace {

namespace fs = std::filesystem;

void write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

std::map<std::string, Document> byName(const std::vector<Document>& docs) {
  std::map<std::string, Document> out;
  for (const Document& doc : docs) {
    if (!doc.names.empty()) out.emplace(doc.names.front(), doc);
  }
  return out;
}

TEST(AptReader, SystemCatalogueWherePresent) {
  bool haveLists = false;
  std::error_code ec;
  for (fs::directory_iterator it("/var/lib/apt/lists", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    haveLists |= it->path().filename().string().find("_Packages") != std::string::npos;
  }
  if (!haveLists) GTEST_SKIP() << "no APT lists in /var/lib/apt/lists";
  Skipped skipped;
  auto docs = byName(readAptCatalogue({}, skipped));
  EXPECT_GT(docs.size(), 1000u);
  ASSERT_EQ(docs.count("bash"), 1u);
  const Document& bash = docs.at("bash");
  EXPECT_EQ(bash.title.rfind("bash - ", 0), 0u) << bash.title;
  EXPECT_EQ(bash.key, "pkg-bash");
  EXPECT_EQ(bash.site, Site::software);
  EXPECT_FALSE(bash.version.empty());
  // The long description is there only where APT fetched translations or dpkg lists it.
}

TEST(AptReader, PrivateFolderWithChineseTranslation) {
  const fs::path root = fs::temp_directory_path() / ("qelvora-apt-" + std::to_string(::getpid()));
  fs::remove_all(root);
  const fs::path lists = root / "var/lib/apt/lists";
  const std::string list = "archive.example_debian_dists_stable_main_";
  write(root / "etc/apt/sources.list", "deb http://archive.example/debian stable main\n");
  write(root / "etc/apt/apt.conf",
        "APT::Architecture \"amd64\";\nAPT::Architectures { \"amd64\"; };\n");
  write(root / "var/lib/dpkg/status", "");
  for (const char* dir :
       {"etc/apt/apt.conf.d", "etc/apt/preferences.d", "etc/apt/sources.list.d", "var/cache/apt"}) {
    fs::create_directories(root / dir);
  }
  write(lists / (list + "binary-amd64_Packages"),
        "Package: hello\nVersion: 2.9-1\nArchitecture: all\n"
        "Description: old greeting\nDescription-md5: 11111111111111111111111111111111\n\n"
        "Package: hello\nVersion: 2.10-3\nArchitecture: all\n"
        "Homepage: https://www.gnu.org/software/hello/\n"
        "Description: example greeting program\n The program prints a\n friendly greeting.\n"
        " .\n Second paragraph.\nDescription-md5: 22222222222222222222222222222222\n\n"
        "Package: tool+plus\nVersion: 1:0.5~rc1\nArchitecture: all\n"
        "Homepage: ftp://ftp.example.org/tool\n"
        "Description: tool with a plus\n Features:\n  * fast\n  * small\n .\n Wrapped line\n"
        " goes on.\nDescription-md5: 33333333333333333333333333333333\n\n"
        "Package: viewer\nVersion: 3.0\nArchitecture: all\nHomepage: http://viewer.example/\n"
        "Description: picture viewer\nDescription-md5: 44444444444444444444444444444444\n\n"
        "Package: fakeicon\nVersion: 1.0\nArchitecture: all\nHomepage: https://bad example/\n"
        "Description: icon that is not a PNG\nDescription-md5: 55555555555555555555555555555555\n");
  // APT escapes the '_' of the language in the list's file name.
  write(lists / (list + "i18n_Translation-zh%5fCN"),
        "Package: hello\nDescription-md5: 22222222222222222222222222222222\n"
        "Description-zh_CN: 经典的问候程序\n 这个程序会打印一句\n 友好的问候。\n .\n 第二段。\n\n");
  write(root / "usr/share/pixmaps/viewer.png", std::string("\x89PNG\r\n\x1a\n", 8) + "rest");
  write(root / "usr/share/pixmaps/fakeicon.png", "/* XPM */");

  const std::string codeset = nl_langinfo(CODESET);
  Skipped skipped;
  auto docs = byName(readAptCatalogue({root}, skipped));
  EXPECT_EQ(nl_langinfo(CODESET), codeset) << "the caller's locale is left alone";
  EXPECT_TRUE(skipped.empty()) << skipped.front();
  EXPECT_TRUE(fs::is_empty(root / "var/cache/apt")) << "the cache is built in memory";

  struct Row {
    std::string name, key, title, body, version, homepage, picture;
  };
  const Row rows[] = {
      {"hello", "pkg-hello", "hello - 经典的问候程序", "这个程序会打印一句友好的问候。\n\n第二段。",
       "2.10-3", "https://www.gnu.org/software/hello/", ""},
      {"tool+plus", "pkg-tool_plus", "tool+plus - tool with a plus",
       "Features:\n * fast\n * small\n\nWrapped line goes on.", "1:0.5~rc1", "", ""},
      {"viewer", "pkg-viewer", "viewer - picture viewer", "", "3.0", "http://viewer.example/",
       (root / "usr/share/pixmaps/viewer.png").string()},
      {"fakeicon", "pkg-fakeicon", "fakeicon - icon that is not a PNG", "", "1.0", "", ""},
  };
  ASSERT_EQ(docs.size(), std::size(rows));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(docs.count(row.name), 1u);
    const Document& doc = docs.at(row.name);
    EXPECT_EQ(doc.site, Site::software);
    EXPECT_EQ(doc.key, row.key);
    EXPECT_EQ(doc.title, row.title);
    EXPECT_EQ(doc.body, row.body);
    EXPECT_EQ(doc.version, row.version);
    EXPECT_EQ(doc.homepage, row.homepage);
    EXPECT_EQ(doc.picture, row.picture);
    EXPECT_EQ(doc.link, "apt show " + row.name);
    EXPECT_EQ(doc.names, std::vector<std::string>{row.name});
  }

  // A list APT cannot parse is named and set aside; a second read in the same process still
  // reads the others.
  const fs::path broken = lists / "broken.example_debian_dists_stable_main_binary-amd64_Packages";
  write(root / "etc/apt/sources.list.d/broken.list",
        "deb http://broken.example/debian stable main\n");
  write(broken, "\x01\x02 not a control file\n");
  Skipped again;
  auto reread = byName(readAptCatalogue({root}, again));
  EXPECT_EQ(reread.size(), std::size(rows));
  EXPECT_EQ(reread.at("hello").title, "hello - 经典的问候程序");
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].rfind(broken.string() + ": ", 0), 0u) << again[0];
  fs::remove_all(root);
}

}  // namespace
}  // namespace qelvora::sites::knowledge
