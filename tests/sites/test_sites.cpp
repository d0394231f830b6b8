// qelvora-sites as the program sees it: every page is fetched over loopback from the real binary
// and cut with the program's own markers and markup routines.
#include <arpa/inet.h>
#include <gd.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "sites/corpus.h"
#include "sources/answer_site.h"
#include "sources/markup.h"
#include "sources/source_software.h"
#include "tests/sites/http_get.h"
#include "tests/support/sites_process.h"
#include "web/encoding.h"

namespace qelvora {
namespace {

using testing::fetch;
using testing::Page;
using testing::SitesProcess;

// The sites as the program describes them: addresses and markers.
const AnswerSite& fuzzy = fuzzySite();
const AnswerSite& exact = exactSite();
const SoftwareSite& software = softwareSite();

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

class SitesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = std::make_unique<SitesProcess>(
        QELVORA_SITES_PROGRAM,
        std::vector<std::string>{"--port", "0", "--data", QELVORA_SITES_DATA_DIR});
    port_ = std::atoi(server_->firstLine().c_str());
    corpus_ = std::make_unique<sites::Corpus>(sites::loadCorpus(QELVORA_SITES_DATA_DIR));
  }
  static void TearDownTestSuite() {
    server_.reset();
    corpus_.reset();
  }
  void SetUp() override { ASSERT_GT(port_, 0) << "qelvora-sites did not report its port"; }

  static std::string base() { return "http://127.0.0.1:" + std::to_string(port_); }

  // Source 1's search, converted to GBK as the program does; the cut key.
  static Text fuzzyKey(const std::string& questionUtf8, Text* pageOut = nullptr) {
    Page page = fetch(port_, fuzzy.searchPath(urlEncodeUtf8(utf8ToGbk(questionUtf8))));
    EXPECT_EQ(page.status, 200) << questionUtf8;
    Text gbk = pageToGbk(page.body);
    if (pageOut) *pageOut = gbk;
    return cutBetween(gbk, fuzzy.key);
  }
  static Text exactKey(const std::string& questionUtf8, Text* pageOut = nullptr) {
    Page page = fetch(port_, exact.searchPath(urlEncodeUtf8(utf8ToGbk(questionUtf8))));
    EXPECT_EQ(page.status, 200) << questionUtf8;
    Text gbk = pageToGbk(page.body);
    if (pageOut) *pageOut = gbk;
    return cutBetween(gbk, exact.key);
  }
  // Source 3 sends the question's GBK bytes and reads the page as it comes (GBK).
  static Text softwareLink(const std::string& questionUtf8, Text* pageOut = nullptr) {
    Page page = fetch(port_, software.searchPath(urlEncodeGbk(utf8ToGbk(questionUtf8))));
    EXPECT_EQ(page.status, 200) << questionUtf8;
    if (pageOut) *pageOut = page.body;
    return cutBetween(page.body, software.detailLink);
  }
  // A page address cut from a page must point back at this server; the path behind it.
  static std::string pathOnServer(const std::string& address) {
    EXPECT_TRUE(address.starts_with(base() + "/")) << address;
    return address.starts_with(base()) ? address.substr(base().size()) : std::string("/");
  }

  static inline std::unique_ptr<SitesProcess> server_;
  static inline int port_ = 0;
  static inline std::unique_ptr<sites::Corpus> corpus_;
};

TEST_F(SitesTest, TimePageCarriesTheCurrentMilliseconds) {
  using namespace std::chrono;
  const auto before = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  Page page = fetch(port_, "/special/time/");
  const auto after = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  ASSERT_EQ(page.status, 200);
  const Text number = cutBetween(page.body, "window.baidu_time(", ")");
  ASSERT_FALSE(number.empty()) << page.body;
  ASSERT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << number;
  const long long ms = std::stoll(number);
  // The page is made between the two readings of our own clock; allow for clock granularity.
  EXPECT_GE(ms, before - 2000);
  EXPECT_LE(ms, after + 2000);
}

TEST_F(SitesTest, FuzzySiteFindsTheBestMatchAndCutsItsAnswer) {
  struct Case {
    const char* question;  // as a user might type it, not necessarily the title
    const char* key;
  };
  const Case cases[] = {
      {"天空为什么是蓝色的", "2190417"}, {"天空为啥是蓝的", "2190417"},
      {"煮饺子为什么点凉水", "2190433"}, {"新铁锅怎样开锅", "2190472"},
      {"猫用头蹭人什么意思", "2190613"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.question);
    Text results;
    EXPECT_EQ(fuzzyKey(c.question, &results), c.key);
    // A sponsored entry marked index="1" stands before the best match.
    const size_t first = results.find("index=\"1\"");
    EXPECT_NE(first, std::string::npos);
    EXPECT_LT(first, results.find(fuzzy.key.start));

    Text answerPage = pageToGbk(fetch(port_, fuzzy.answerPath(c.key, "")).body);
    const sites::QaEntry* entry = nullptr;
    for (const auto& e : corpus_->fuzzy)
      if (e.key == c.key) entry = &e;
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(cutBetween(answerPage, fuzzy.title), utf8ToGbk(entry->question + "_"));
    EXPECT_EQ(cutBetween(answerPage, fuzzy.answer), utf8ToGbk(entry->answer));
  }
}

TEST_F(SitesTest, ExactSiteSkipsTheFeaturedHeadingAndKeepsLfLineEnds) {
  struct Case {
    const char* question;
    const char* key;
  };
  const Case cases[] = {
      {"彩虹是怎样形成的", "k3n8a1"},
      {"彩虹是怎么来的", "k3n8a1"},
      {"红烧肉怎么做", "k3n8a4"},
      {"坐车老是晕车怎么办", "k3n8a9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.question);
    Text results;
    EXPECT_EQ(exactKey(c.question, &results), c.key);
    // The first heading has a non-empty pid, so the marker must skip it.
    const size_t firstHeading = results.find("<h3 pid=\"");
    ASSERT_NE(firstHeading, std::string::npos);
    EXPECT_NE(results.compare(firstHeading, 10, "<h3 pid=\"\""), 0);
    EXPECT_LT(firstHeading, results.find(exact.key.start));

    // The program asks for the answer page with its own field order.
    const std::string target = exact.answerPath(c.key, urlEncodeUtf8(utf8ToGbk(c.question)));
    Page page = fetch(port_, target);
    ASSERT_EQ(page.status, 200);
    EXPECT_EQ(page.body.find('\r'), std::string::npos) << "the page must use LF line ends";
    const Text gbk = pageToGbk(page.body);
    const sites::QaEntry* entry = nullptr;
    for (const auto& e : corpus_->exact)
      if (e.key == c.key) entry = &e;
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(cutBetween(gbk, exact.title), utf8ToGbk(entry->question));
    EXPECT_EQ(cutBetween(gbk, exact.answer), utf8ToGbk(entry->answer));
  }
}

// Both sites answer only when an entry holds most of what the question is about (a keyword is
// enough), and otherwise stay silent rather than offer something unrelated.
TEST_F(SitesTest, SitesAnswerOnlyWhatMatchesMostOfTheQuestion) {
  struct Case {
    const char* question;
    const char* fuzzyKey;
    const char* exactKey;
  };
  const Case cases[] = {
      {"怎样煮饺子", "2190433", ""},
      {"铁锅生锈", "2190472", "k3n8b3"},  // "生锈" is a keyword of the exact entry
      {"怎么复制文件", "", ""},
      {"明天会下雨吗", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.question);
    EXPECT_EQ(fuzzyKey(c.question), c.fuzzyKey);
    EXPECT_EQ(exactKey(c.question), c.exactKey);
  }
}

// The stored entries of a ZIP archive: name and whether its data matches its CRC-32.
std::vector<std::pair<std::string, bool>> zipEntries(const std::string& zip) {
  auto u16 = [&](size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(zip[at])) |
           static_cast<unsigned>(static_cast<unsigned char>(zip[at + 1])) << 8;
  };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  std::vector<std::pair<std::string, bool>> entries;
  size_t at = 0;
  while (at + 30 <= zip.size() && u32(at) == 0x04034b50) {
    const unsigned size = u32(at + 18), nameLen = u16(at + 26), extraLen = u16(at + 28);
    if (u16(at + 8) != 0 || at + 30 + nameLen + extraLen + size > zip.size()) break;
    const std::string name = zip.substr(at + 30, nameLen);
    const char* data = zip.data() + at + 30 + nameLen + extraLen;
    const auto crc = crc32(0L, reinterpret_cast<const Bytef*>(data), size);
    entries.emplace_back(name, crc == u32(at + 14));
    at += 30 + nameLen + extraLen + size;
  }
  return entries;
}

TEST_F(SitesTest, SoftwareSiteLeadsToDetailScreenshotAndDownload) {
  struct Case {
    const char* question;
    const char* key;
  };
  const Case cases[] = {
      {"星图看图", "starview"},
      {"有没有好用的截图工具", "snapeasy"},
      {"想下个视频播放器看电影", "lumaplay"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.question);
    Text results;
    const Text link = softwareLink(c.question, &results);
    EXPECT_EQ(link, base() + "/soft/" + c.key + ".html");
    Page detail = fetch(port_, pathOnServer(link));
    ASSERT_EQ(detail.status, 200);
    EXPECT_TRUE(contains(detail.headers.find("Content-Type")->second, "charset=gbk"));

    const sites::Program* program = nullptr;
    for (const auto& p : corpus_->software)
      if (p.key == c.key) program = &p;
    ASSERT_NE(program, nullptr);
    const Text& page = detail.body;
    EXPECT_EQ(cutBetween(page, software.name), utf8ToGbk(program->name));
    EXPECT_EQ(cutBetween(page, software.description), utf8ToGbk(program->description));

    // The screenshot is a real picture of the size the corpus asks for.
    const Text shotAddress = cutBetween(page, software.screenshot);
    Page shot = fetch(port_, pathOnServer(shotAddress));
    ASSERT_EQ(shot.status, 200);
    const bool jpeg = program->shot.format == sites::ShotSettings::Format::jpeg;
    const std::string signature = jpeg ? "\xFF\xD8\xFF" : "\x89PNG\r\n\x1A\n";
    EXPECT_TRUE(shot.body.starts_with(signature));
    gdImagePtr image =
        jpeg ? gdImageCreateFromJpegPtr(static_cast<int>(shot.body.size()), shot.body.data())
             : gdImageCreateFromPngPtr(static_cast<int>(shot.body.size()), shot.body.data());
    ASSERT_NE(image, nullptr) << "libgd cannot decode the screenshot";
    EXPECT_EQ(gdImageSX(image), program->shot.width);
    EXPECT_EQ(gdImageSY(image), program->shot.height);
    gdImageDestroy(image);

    // The download is an attachment holding an intact archive.
    const Text downAddress = cutBetween(page, software.download);
    Page download = fetch(port_, pathOnServer(downAddress));
    ASSERT_EQ(download.status, 200);
    const auto disposition = download.headers.find("Content-Disposition");
    ASSERT_NE(disposition, download.headers.end());
    EXPECT_EQ(disposition->second, "attachment; filename=\"" + program->download + "\"");
    const auto entries = zipEntries(download.body);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].first, "readme.txt");
    EXPECT_TRUE(entries[0].second) << "CRC-32 mismatch";
    EXPECT_TRUE(download.body.ends_with(std::string("\0\0", 2)));
    EXPECT_NE(download.body.rfind("PK\x05\x06"), std::string::npos);
  }
}

// Every corpus entry must be found by its own question: this catches entries that another entry
// shadows and keys that the pages do not carry.
TEST_F(SitesTest, EveryCorpusEntryIsFoundByItsOwnQuestion) {
  EXPECT_GE(corpus_->fuzzy.size(), 30u);
  EXPECT_GE(corpus_->exact.size(), 30u);
  EXPECT_GE(corpus_->software.size(), 12u);
  for (const auto& e : corpus_->fuzzy) {
    EXPECT_EQ(fuzzyKey(e.question), e.key) << "fuzzy: " << e.question;
    const Text page = pageToGbk(fetch(port_, fuzzy.answerPath(e.key, "")).body);
    EXPECT_EQ(cutBetween(page, fuzzy.answer), utf8ToGbk(e.answer)) << e.key;
  }
  for (const auto& e : corpus_->exact) {
    EXPECT_EQ(exactKey(e.question), e.key) << "exact: " << e.question;
    const Text page = pageToGbk(fetch(port_, exact.answerPath(e.key, "")).body);
    EXPECT_EQ(cutBetween(page, exact.answer), utf8ToGbk(e.answer)) << e.key;
  }
  for (const auto& p : corpus_->software) {
    for (const std::string& question : {p.name, p.question})
      EXPECT_EQ(softwareLink(question), base() + "/soft/" + p.key + ".html") << question;
  }
}

// What the program shows is the answer after its clean-up chain: no markup may survive it, and no
// word may lose letters to the "r/" step.
TEST_F(SitesTest, CorpusAnswersStayReadableAfterTheCleanUp) {
  auto check = [](const std::string& markup, bool withSoftwareSteps, const std::string& key) {
    std::string outsideBreaks = markup;
    for (const char* br : {"<br/>", "<br />"})
      for (size_t at; (at = outsideBreaks.find(br)) != std::string::npos;)
        outsideBreaks.erase(at, std::string_view(br).size());
    EXPECT_FALSE(contains(outsideBreaks, "r/") || contains(outsideBreaks, "r /")) << key;
    const Text shown = cleanMarkupText(utf8ToGbk(markup), withSoftwareSteps);
    // Links keep their "<a" opening by design of the chain; nothing else may be left.
    std::string rest = shown;
    for (size_t at; (at = rest.find("<a ")) != std::string::npos;) rest.erase(at, 3);
    EXPECT_EQ(rest.find_first_of("<>&"), std::string::npos) << key << ": " << gbkToUtf8(shown);
  };
  for (const auto& e : corpus_->fuzzy) check(e.answer, false, e.key);
  for (const auto& e : corpus_->exact) check(e.answer, false, e.key);
  for (const auto& p : corpus_->software) check(p.description, true, p.key);
}

TEST_F(SitesTest, QuestionsWithoutMatchGiveValidPagesWithoutMarkers) {
  for (const char* question : {"", "xyzzy plugh", "qqqq"}) {
    SCOPED_TRACE(question);
    Text page;
    EXPECT_EQ(fuzzyKey(question, &page), "");
    EXPECT_FALSE(contains(page, "aId=")) << "no entries at all, not even the sponsored one";
    EXPECT_TRUE(contains(page, "</html>"));
    EXPECT_EQ(exactKey(question, &page), "");
    EXPECT_FALSE(contains(page, "<h3 pid="));
    EXPECT_TRUE(contains(page, "</html>"));
    EXPECT_EQ(softwareLink(question, &page), "");
    EXPECT_TRUE(contains(page, "</html>"));
  }
}

// Text that the user typed is echoed into the pages; it must not be able to forge a marker.
TEST_F(SitesTest, EchoedInputCannotForgeMarkers) {
  const std::string forged =
      "index=\"2\" aId=\"evil\" target=\" <h3 pid=\"\"><a href=\"/z/evil.htm";
  EXPECT_EQ(fuzzyKey(forged), "");
  EXPECT_EQ(exactKey(forged), "");
  EXPECT_EQ(softwareLink("</a><a href=\"http://evil/\""), "");

  // "€" would reach the program as the single GBK byte 0x80 and swallow the byte after it (a
  // marker's first): every site writes it out.
  for (auto search : {&fuzzyKey, &exactKey, &softwareLink}) {
    Text page;
    search("€</div>", &page);
    EXPECT_EQ(page.find('\x80'), Text::npos);
    EXPECT_TRUE(contains(page, utf8ToGbk("欧元")));
  }

  // A Host header that is not a host name is not used for the absolute addresses.
  const std::string target = software.searchPath(urlEncodeGbk(utf8ToGbk("星图看图")));
  Page page = fetch(port_, target, "evil\"><a href=\"x");
  ASSERT_EQ(page.status, 200);
  EXPECT_EQ(cutBetween(page.body, software.detailLink), base() + "/soft/starview.html");
  page = fetch(port_, target, "localhost:" + std::to_string(port_));
  EXPECT_EQ(cutBetween(page.body, software.detailLink),
            "http://localhost:" + std::to_string(port_) + "/soft/starview.html");
}

TEST_F(SitesTest, BadRequestsAndUnknownPages) {
  struct Case {
    std::string target;
    int status;
  };
  const Case cases[] = {
      {"/search/?q=%zz", 400},                      // not an escape
      {"/search/?q=%4", 400},                       // cut short
      {"/search/?q=%E6%90", 400},                   // incomplete UTF-8 character
      {exact.searchPath("%FF"), 400},               // not UTF-8 at all
      {"/search.aspx?keyword=%81&sType=all", 400},  // lone GBK lead byte
      {"/search/?q=a%00b", 400},                    // NUL in a question
      {"/search.aspx?keyword=%00&sType=all", 400},
      {"/q/%zz", 400},
      {"/q/0000000", 404},
      {"/q/", 404},  // what the program asks for when no key was found
      {"/z/.htm?sw=&ch=new.w.search.0&ch=1", 404},
      {"/z/nokey.htm?sw=a", 404},
      {"/soft/nothing.html", 404},
      {"/shot/starview.jpg", 404},  // exists as PNG only
      {"/down/nothing.zip", 404},
      {"/ad/ad9", 404},
      {"/special/time", 404},
      {"/nowhere", 404},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    Page page = fetch(port_, c.target);
    EXPECT_EQ(page.status, c.status);
    // An error page must not look like an answer to the program.
    const Text gbk = pageToGbk(page.body);
    EXPECT_EQ(cutBetween(gbk, fuzzy.answer), "");
    EXPECT_EQ(cutBetween(gbk, exact.answer), "");
    EXPECT_EQ(cutBetween(page.body, software.description), "");
  }
  // The server is still serving after all of that.
  EXPECT_EQ(fetch(port_, "/special/time/").status, 200);
}

TEST(SitesProcess, StopSignalsEndItCleanly) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    SitesProcess server(QELVORA_SITES_PROGRAM, {"--port", "0", "--data", QELVORA_SITES_DATA_DIR});
    const int port = std::atoi(server.firstLine().c_str());
    ASSERT_GT(port, 0);
    EXPECT_EQ(fetch(port, "/special/time/").status, 200);
    EXPECT_EQ(server.stop(signal), 0);
    EXPECT_EQ(fetch(port, "/special/time/").status, 0) << "still answering after the stop";
  }
}

TEST(SitesProcess, RefusesToStartOnBadOptionsOrCorpus) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::temp_directory_path() / ("qelvora-sites-test-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (const char* file : {sites::kFuzzyFile, sites::kExactFile, sites::kSoftwareFile})
    fs::copy_file(fs::path(QELVORA_SITES_DATA_DIR) / file, dir / file);
  {
    std::ofstream out(dir / sites::kFuzzyFile, std::ios::app);
    out << "\n---\nkey: 2190417\nquestion: 重复的键\n\n<p>两条问题用了同一个键。</p>\n";
  }
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* message;
  };
  // Files that are no regular file of a sane size are refused at once, by name: a FIFO would
  // block the open, /dev/zero would never end.
  const fs::path fifo = dir / "fifo", zero = dir / "zero", huge = dir / "huge";
  for (const fs::path& d : {fifo, zero, huge}) {
    fs::create_directories(d);
    for (const char* file : {sites::kExactFile, sites::kSoftwareFile})
      fs::copy_file(fs::path(QELVORA_SITES_DATA_DIR) / file, d / file);
  }
  ASSERT_EQ(mkfifo((fifo / sites::kFuzzyFile).c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", zero / sites::kFuzzyFile);
  std::ofstream(huge / sites::kFuzzyFile).close();
  fs::resize_file(huge / sites::kFuzzyFile, 17u << 20);
  const Case cases[] = {
      {{"--port", "0", "--data", dir.string()}, 1, "used twice"},
      {{"--port", "0", "--data", fifo.string()}, 1, "fuzzy.txt: not a regular file"},
      {{"--port", "0", "--data", zero.string()}, 1, "fuzzy.txt: not a regular file"},
      {{"--port", "0", "--data", huge.string()}, 1, "fuzzy.txt: larger than 16 MiB"},
      {{"--port", "0", "--data", (dir / "missing").string()}, 1, "cannot read"},
      {{"--port", "70000"}, 2, "bad port"},
      {{"--port", "x1"}, 2, "bad port"},
      {{"--frobnicate"}, 2, "unknown"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    SitesProcess server(QELVORA_SITES_PROGRAM, c.args);
    EXPECT_EQ(server.firstLine(), "");
    EXPECT_EQ(server.wait(), c.exitCode);
    EXPECT_TRUE(contains(server.errorOutput(), c.message));
  }
  fs::remove_all(dir);
}

// A client that sends half a request and waits holds only its own connection: others are still
// answered, and a waiting client that finishes its request is answered too.
// A loopback connection to the port that has sent these bytes, or -1.
int sendRaw(int port, std::string_view bytes) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != std::ssize(bytes)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The first 12 bytes of the answer ("HTTP/1.1 200"), waiting at most 5 s.
std::string statusLine(int fd) {
  pollfd ready{fd, POLLIN, 0};
  char head[12];
  if (::poll(&ready, 1, 5000) != 1 ||
      ::recv(fd, head, sizeof head, MSG_WAITALL) != std::ssize(head))
    return {};
  return std::string(head, sizeof head);
}

TEST(SitesProcess, ClientsThatStopHalfwayStallNoOne) {
  SitesProcess server(QELVORA_SITES_PROGRAM, {"--port", "0", "--data", QELVORA_SITES_DATA_DIR});
  const int port = std::atoi(server.firstLine().c_str());
  ASSERT_GT(port, 0);
  std::vector<int> waiting;
  for (int i = 0; i < 64; ++i) {
    waiting.push_back(sendRaw(port, "GET /special/time/ HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    ASSERT_GE(waiting.back(), 0);
  }
  // 5 s is far beyond a normal answer and below the server's 10 s idle time-out, so only a stall
  // behind the waiting clients runs into it.
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(5);
  auto res = client.Get("/special/time/");
  ASSERT_TRUE(res) << "no answer while clients were waiting";
  EXPECT_EQ(res->status, 200);

  ASSERT_EQ(::send(waiting[0], "\r\n", 2, MSG_NOSIGNAL), 2);
  EXPECT_EQ(statusLine(waiting[0]), "HTTP/1.1 200");
  for (int fd : waiting) ::close(fd);
}

// A target holding control bytes is refused, and the log shows its bytes only as printable text,
// so that no request can drive the terminal that watches the log.
TEST(SitesProcess, LogNeverPassesControlBytesOn) {
  SitesProcess server(QELVORA_SITES_PROGRAM,
                      {"--port", "0", "--data", QELVORA_SITES_DATA_DIR, "--log"});
  const int port = std::atoi(server.firstLine().c_str());
  ASSERT_GT(port, 0);
  const int fd = sendRaw(port,
                         "GET /q/\x1b]0;owned\x07\x9b"
                         "2J HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(statusLine(fd), "HTTP/1.1 400");
  ::close(fd);
  EXPECT_EQ(server.stop(SIGTERM), 0);
  const std::string log = server.errorOutput();
  EXPECT_TRUE(contains(log, "GET /q/\\x1B]0;owned\\x07\\x9B2J -> 400")) << log;
  EXPECT_EQ(log.find_first_of("\x1b\x07\x9b"), std::string::npos);
}

TEST(SitesProcess, CommandLine) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string firstLine;  // of stdout
    std::string error;      // part of stderr
  };
  const Case cases[] = {
      {{"--version"}, 0, "qelvora-sites " QELVORA_VERSION, ""},
      {{"--help"},
       0,
       "usage: qelvora-sites [--listen ADDR] [--port N] [--data DIR] [--log] [--cache DIR]",
       ""},
      {{"--log", "--port"}, 2, "", "\"--port\" needs a value"},
      {{"--log", "extra"}, 2, "", "unexpected argument \"extra\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    SitesProcess process(QELVORA_SITES_PROGRAM, c.args);
    EXPECT_EQ(process.firstLine(), c.firstLine);
    EXPECT_EQ(process.wait(), c.exitCode);
    const std::string errors = process.errorOutput();
    EXPECT_TRUE(contains(errors, c.error)) << errors;
    // A usage error shows the usage where the user sees it; help and version stay quiet there.
    EXPECT_EQ(contains(errors, "usage: qelvora-sites"), c.exitCode == 2) << errors;
  }
}

// Without --data the program reads ../share/qelvora/sites beside its own folder: the build tree has
// that layout, and so does a copy unpacked anywhere, which holds no path of either tree.
TEST(SitesProcess, FindsItsCorpusBesideItself) {
  namespace fs = std::filesystem;
  const fs::path top =
      fs::temp_directory_path() / ("qelvora-sites-unpacked-" + std::to_string(::getpid()));
  fs::remove_all(top);
  fs::create_directories(top / "bin");
  fs::create_directories(top / "share/qelvora");
  fs::copy_file(QELVORA_SITES_PROGRAM, top / "bin/qelvora-sites");
  fs::copy(QELVORA_SITES_DATA_DIR, top / "share/qelvora/sites");

#ifndef __SANITIZE_ADDRESS__
  // The sanitizers name the sources by their full paths in their reports; such a build is never
  // installed, so only the normal build is held to this.
  std::ifstream in(QELVORA_SITES_PROGRAM, std::ios::binary);
  const std::string binary{std::istreambuf_iterator<char>(in), {}};
  EXPECT_FALSE(contains(binary, QELVORA_SOURCE_DIR "/"));
  EXPECT_FALSE(contains(binary, QELVORA_BINARY_DIR "/"));
#endif

  for (const std::string& program :
       {std::string(QELVORA_SITES_PROGRAM), (top / "bin/qelvora-sites").string()}) {
    SCOPED_TRACE(program);
    SitesProcess server(program, {"--port", "0"});
    const int port = std::atoi(server.firstLine().c_str());
    ASSERT_GT(port, 0) << server.errorOutput();
    EXPECT_EQ(fetch(port, "/q/2190417").status, 200);
  }

  fs::remove_all(top / "share");
  SitesProcess orphan((top / "bin/qelvora-sites").string(), {"--port", "0"});
  EXPECT_EQ(orphan.firstLine(), "");
  EXPECT_EQ(orphan.wait(), 1);
  EXPECT_TRUE(contains(orphan.errorOutput(),
                       "no corpus folder at " + (top / "share/qelvora/sites").string()));
  fs::remove_all(top);
}

// The index changes while the sites serve: a server that never builds takes up what
// --build-index builds beside it, and one that builds rebuilds once the data changes.
TEST(SitesProcess, TakesUpTheIndexOfNewDataWhileServing) {
  namespace fs = std::filesystem;
  const fs::path root =
      fs::temp_directory_path() / ("qelvora-sites-data-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "usr/share/games/fortunes");
  const auto addPoem = [&](const std::string& title, const std::string& lines) {
    std::ofstream(root / "usr/share/games/fortunes/tang300.u8", std::ios::app)
        << "\x1b[32m《" << title << "》\x1b[m\n\x1b[33m作者：李白\x1b[m\n"
        << lines << "\n%\n";
  };
  const auto knows = [](int port, const std::string& line, const std::string& title) {
    for (int i = 0; i < 300; ++i) {
      if (contains(fetch(port, exact.searchPath(urlEncodeUtf8(utf8ToGbk(line)))).body, title))
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  addPoem("静夜思", "床前明月光，疑是地上霜。举头望明月，低头思故乡。");
  const std::vector<std::string> where = {"--data",      QELVORA_SITES_DATA_DIR,
                                          "--data-root", root.string(),
                                          "--cache",     (root / "cache").string()};
  {
    std::vector<std::string> args = {"--port", "0", "--no-build"};
    args.insert(args.end(), where.begin(), where.end());
    SitesProcess server(QELVORA_SITES_PROGRAM, args);
    const int port = std::atoi(server.firstLine().c_str());
    ASSERT_GT(port, 0) << server.errorOutput();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(contains(
        fetch(port, exact.searchPath(urlEncodeUtf8(utf8ToGbk("疑是地上霜")))).body, "静夜思"))
        << "a server that never builds answered from an index nobody built";
    std::vector<std::string> build = {"--build-index"};
    build.insert(build.end(), where.begin(), where.end());
    SitesProcess builder(QELVORA_SITES_PROGRAM, build);
    EXPECT_EQ(builder.wait(), 0) << builder.errorOutput();
    EXPECT_TRUE(knows(port, "疑是地上霜", "静夜思")) << server.errorOutput();
  }
  std::vector<std::string> args = {"--port", "0"};
  args.insert(args.end(), where.begin(), where.end());
  SitesProcess server(QELVORA_SITES_PROGRAM, args);
  const int port = std::atoi(server.firstLine().c_str());
  ASSERT_GT(port, 0) << server.errorOutput();
  EXPECT_TRUE(knows(port, "疑是地上霜", "静夜思"));
  addPoem("早发白帝城", "朝辞白帝彩云间，千里江陵一日还。");
  EXPECT_TRUE(knows(port, "千里江陵一日还", "早发白帝城")) << server.errorOutput();
  fs::remove_all(root);
}

}  // namespace
}  // namespace qelvora
