#include "sites/pages.h"

#include <array>

#include "sites/strings.h"

namespace qelvora::sites {
namespace {

std::string urlEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       c == '-' || c == '_' || c == '.';
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

std::string summaryOf(std::string_view markup, size_t chars = 48) {
  return escapeHtml(shortenUtf8(stripTags(markup), chars));
}

struct Sponsor {
  std::string_view id;
  std::string_view title;
  std::string_view text;
};

constexpr std::array<Sponsor, 3> kSponsors = {{
    {"ad1", "【推广】提问有窍门：三步写出一个好问题",
     "把问题说具体，交代来龙去脉，再说说自己试过什么办法，热心人才好对症回答。"},
    {"ad2", "【推广】众答知识周刊：每周精选十个好回答",
     "从生活窍门到科学常识，编辑每周挑出最受欢迎的回答，订阅后按时送到邮箱。"},
    {"ad3", "【推广】成为众答达人，回答问题赢取积分",
     "回答被采纳即可获得积分，积分能兑换纪念品，也能让更多人看到你的经验。"},
}};

const std::string kStyle =
    "<style>body{font:14px/1.6 sans-serif;margin:0;color:#333}.top{background:#2f8f5b;"
    "padding:10px 20px}.top a{color:#fff;font-size:20px;text-decoration:none}.main{width:760px;"
    "margin:16px auto}.foot{text-align:center;color:#999;font-size:12px;margin:30px 0}</style>\n";

std::string fuzzyTop(std::string_view question) {
  return "<div class=\"top\"><a class=\"logo\" href=\"/\">众答</a>\n"
         "<form class=\"search-form\" action=\"/search/\" method=\"get\"><input type=\"text\" "
         "name=\"q\" value=\"" +
         escapeHtml(question) +
         "\" maxlength=\"100\"> <button type=\"submit\">搜索答案</button></form></div>\n";
}

const std::string kFuzzyFoot =
    "<div class=\"foot\">众答 · 有问必答的互助社区 · 内容由网友提供，仅供参考</div>\n";

}  // namespace

std::string timePage(std::int64_t ms) {
  return "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<title>标准时间</title>\n</head>\n<body>\n"
         "<p>本页给出服务器当前的标准时间（自1970年1月1日零时起的毫秒数）。</p>\n"
         "<script>window.baidu_time(" +
         std::to_string(ms) + ");</script>\n</body>\n</html>\n";
}

std::string homePage(const Corpus& corpus) {
  auto link = [](std::string_view href, std::string_view text) {
    return "<li><a href=\"" + escapeHtml(href) + "\">" + escapeHtml(text) + "</a></li>\n";
  };
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\"><title>本机示例站点"
      "</title>\n" +
      kStyle + "</head>\n<body>\n<div class=\"main\">\n<h1>本机示例站点</h1>\n<ul>\n";
  page += link("/special/time/", "标准时间");
  page += link("/search/?q=" + urlEncode(corpus.fuzzy.front().question),
               "众答（" + std::to_string(corpus.fuzzy.size()) + "个问题）");
  page += link("/s/?w=" + urlEncode(corpus.exact.front().question) +
                   "&search=%E6%90%9C%E7%B4%A2%E7%AD%94%E6%A1%88&ch=sp.sb.top",
               "问知（" + std::to_string(corpus.exact.size()) + "个问题）");
  page += "</ul>\n<h2>软件仓（" + std::to_string(corpus.software.size()) + "个软件）</h2>\n<ul>\n";
  for (const Program& p : corpus.software) page += link("/soft/" + p.key + ".html", p.name);
  page += "</ul>\n</div>\n</body>\n</html>\n";
  return page;
}

std::string errorPage(int status, std::string_view message) {
  const std::string code = std::to_string(status);
  return "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
         code + "</title>\n</head>\n<body>\n<h1>" + code + "</h1>\n<p>" + escapeHtml(message) +
         "</p>\n<p><a href=\"/\">返回首页</a></p>\n</body>\n</html>\n";
}

// ---- fuzzy site -------------------------------------------------------------------------------

std::string fuzzySearchPage(std::string_view question, const std::vector<QaEntry>& entries,
                            const std::vector<size_t>& matches) {
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\"><title>" +
      escapeHtml(question) + " - 众答搜索</title>\n" + kStyle + "</head>\n<body>\n" +
      fuzzyTop(question) + "<div class=\"main\">\n";
  if (matches.empty()) {
    page += "<div class=\"no-result\">没有找到与“" + escapeHtml(question) +
            "”相关的问题。换个说法，或者少用几个字再试试。</div>\n";
  } else {
    page += "<p class=\"total\">为您找到相关问题约" + std::to_string(matches.size()) + "个</p>\n";
    page += "<ul class=\"result-list\">\n";
    // The sponsored slot always comes first; which one depends on the question.
    const Sponsor& ad = kSponsors[std::hash<std::string_view>{}(question) % kSponsors.size()];
    page += "<li class=\"item sponsored\"><span class=\"tag\">推广</span><a href=\"/ad/" +
            std::string(ad.id) + "\" index=\"1\" aId=\"" + std::string(ad.id) +
            "\" target=\"_blank\">" + std::string(ad.title) + "</a><p class=\"summary\">" +
            std::string(ad.text) + "</p></li>\n";
    int index = 2;
    for (size_t i : matches) {
      if (index > 11) break;
      const QaEntry& e = entries[i];
      const std::string answers = std::to_string(e.other.empty() ? 1 : 2);
      page += "<li class=\"item\"><h3><a href=\"/q/" + e.key + "\" index=\"" +
              std::to_string(index++) + "\" aId=\"" + e.key + "\" target=\"_blank\">" +
              escapeHtml(e.question) + "</a></h3><p class=\"summary\">" + summaryOf(e.answer) +
              "</p><span class=\"meta\">" + answers + "个回答</span></li>\n";
    }
    page += "</ul>\n";
  }
  page += "</div>\n" + kFuzzyFoot + "</body>\n</html>\n";
  return page;
}

std::string fuzzyAnswerPage(const QaEntry& e) {
  // The title reads QUESTION_ followed by the site suffix; the program cuts the title there.
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\"><title>" +
      escapeHtml(e.question) + "_360问答</title>\n<meta name=\"description\" content=\"" +
      summaryOf(e.answer, 80) + "\">\n" + kStyle + "</head>\n<body>\n" + fuzzyTop("") +
      "<div class=\"main\">\n<div class=\"ask\">\n<h1 class=\"ask-title\">" +
      escapeHtml(e.question) + "</h1>\n<div class=\"ask-info\">提问者：" +
      escapeHtml(e.asker.empty() ? "匿名用户" : e.asker) + "</div>\n</div>\n";
  page +=
      "<div class=\"resolved\"><div class=\"resolved-hd\">最佳答案</div><div "
      "class=\"resolved-cnt\">" +
      e.answer + "</div><div class=\"resolved-ft\">此答案由提问者采纳</div></div>\n";
  if (!e.other.empty())
    page += "<div class=\"other\"><div class=\"other-hd\">其他回答</div><div class=\"other-cnt\">" +
            escapeHtml(e.other) + "</div></div>\n";
  page += "</div>\n" + kFuzzyFoot + "</body>\n</html>\n";
  return page;
}

bool hasSponsor(std::string_view id) {
  for (const auto& ad : kSponsors)
    if (ad.id == id) return true;
  return false;
}

std::string sponsoredPage(std::string_view id) {
  for (const auto& ad : kSponsors) {
    if (ad.id != id) continue;
    return "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\"><title>" +
           std::string(ad.title) + "</title>\n" + kStyle + "</head>\n<body>\n" + fuzzyTop("") +
           "<div class=\"main\">\n<h1>" + std::string(ad.title) + "</h1>\n<p>" +
           std::string(ad.text) + "</p>\n</div>\n" + kFuzzyFoot + "</body>\n</html>\n";
  }
  return errorPage(404, "没有这个页面");
}

// ---- exact site -------------------------------------------------------------------------------

namespace {

std::string exactTop(std::string_view question) {
  return "<div class=\"top\"><a class=\"logo\" href=\"/\">问知</a>\n<form action=\"/s/\" "
         "method=\"get\"><input type=\"text\" name=\"w\" value=\"" +
         escapeHtml(question) +
         "\"> <input type=\"submit\" name=\"search\" value=\"搜索答案\"><input type=\"hidden\" "
         "name=\"ch\" value=\"sp.sb.top\"></form>\n</div>\n";
}

std::string exactLink(const QaEntry& e, std::string_view question, std::string_view channel) {
  return "/z/" + e.key + ".htm?sw=" + urlEncode(question) + "&amp;ch=" + std::string(channel);
}

const std::string kExactFoot = "<div class=\"foot\">问知 · 每个问题都值得一个认真的回答</div>\n";

}  // namespace

std::string exactSearchPage(std::string_view question, const std::vector<QaEntry>& entries,
                            const std::vector<size_t>& matches) {
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
      escapeHtml(question) + " - 问知</title>\n" + kStyle + "</head>\n<body>\n" +
      exactTop(question) + "<div class=\"main\">\n";
  if (matches.empty()) {
    page += "<div class=\"no-result\">抱歉，没有找到与“" + escapeHtml(question) +
            "”完全相符的问题。问知只列出把握较大的结果，您可以换用更准确的说法。</div>\n";
  } else {
    // The featured pick (a heading with its entry's number in pid) stands above the results: the
    // second-best match, or the first other entry when there is only one match.
    size_t pick = matches.size() > 1 ? matches[1] : (matches[0] == 0 ? 1 : 0);
    if (pick < entries.size()) {
      page += "<div class=\"featured\"><div class=\"featured-hd\">精选推荐</div>\n<h3 pid=\"" +
              std::to_string(pick + 101) + "\"><a href=\"" +
              exactLink(entries[pick], question, "new.w.search.pick") + "\" target=\"_blank\">" +
              escapeHtml(entries[pick].question) + "</a></h3>\n</div>\n";
    }
    page += "<div class=\"result-list\">\n";
    int n = 0;
    for (size_t i : matches) {
      if (n == 10) break;
      const QaEntry& e = entries[i];
      page += "<div class=\"result\">\n<h3 pid=\"\"><a href=\"" +
              exactLink(e, question, "new.w.search." + std::to_string(n++)) +
              "\" target=\"_blank\">" + escapeHtml(e.question) +
              "</a></h3>\n<p class=\"summary\">" + summaryOf(e.answer) + "</p>\n</div>\n";
    }
    page += "</div>\n";
  }
  page += "</div>\n" + kExactFoot + "</body>\n</html>\n";
  return page;
}

std::string exactAnswerPage(const QaEntry& e, std::string_view searchedFor) {
  // Line ends are LF throughout; the program's answer end marker spans two of them.
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
      escapeHtml(e.question) + " - 问知</title>\n" + kStyle + "</head>\n<body>\n" +
      exactTop(searchedFor) + "<div class=\"main\">\n<div class=\"question\">\n" +
      "<h3 id=\"questionTitle\">" + escapeHtml(e.question) + "</h3>\n" + "<div class=\"asker\">" +
      escapeHtml(e.asker.empty() ? "网友" : e.asker) + " 提问</div>\n</div>\n";
  page +=
      "<div class=\"answer\"><div class=\"answer-hd\">满意回答</div>\n<div "
      "class=\"answer-con\"><pre>" +
      escapeHtml(e.answer) + "</pre>\n</div></div>\n";
  page += "<div class=\"more\">\n";
  if (!e.other.empty())
    page += "<div class=\"other-answer\"><pre>" + escapeHtml(e.other) + "</pre></div>\n";
  page += "</div>\n</div>\n" + kExactFoot + "</body>\n</html>\n";
  return page;
}

// ---- software site ----------------------------------------------------------------------------

namespace {

std::string softwareHead(std::string_view title) {
  return "<!DOCTYPE html>\n<html>\n<head>\n<meta http-equiv=\"Content-Type\" content=\"text/html; "
         "charset=gbk\">\n<title>" +
         std::string(title) + "</title>\n" + kStyle + "</head>\n<body>\n";
}

// Links are kept apart by a space or a separator: only the result list may have a link that
// directly follows another link's end tag.
std::string softwareNav(std::string_view question) {
  return "<div class=\"top\"><a class=\"logo\" href=\"/\">软件仓</a>"
         " | <a href=\"/search.aspx?keyword=%CD%BC%C6%AC&amp;sType=all\">图片</a>"
         " | <a href=\"/search.aspx?keyword=%B0%EC%B9%AB&amp;sType=all\">办公</a>\n"
         "<form action=\"/search.aspx\" method=\"get\"><input type=\"text\" name=\"keyword\" "
         "value=\"" +
         escapeHtml(question) +
         "\"><input type=\"hidden\" name=\"sType\" value=\"all\"> <button type=\"submit\">搜索"
         "</button></form>\n</div>\n";
}

const std::string kSoftwareFoot =
    "<div class=\"foot\">软件仓 · 所有软件均经人工检查，放心下载</div>\n</body>\n</html>\n";

std::string detailUrl(std::string_view base, const Program& p) {
  return std::string(base) + "/soft/" + p.key + ".html";
}

}  // namespace

std::string softwareSearchPage(std::string_view question, const std::vector<Program>& programs,
                               const std::vector<size_t>& matches, std::string_view base) {
  std::string page =
      softwareHead((question.empty() ? "" : escapeHtml(question) + " - ") + "软件搜索 - 软件仓") +
      softwareNav(question) + "<div class=\"main\">\n";
  const std::vector<size_t>& shown = matches;
  if (shown.empty()) {
    page += "<div class=\"no-result\">没有找到与“" + escapeHtml(question) +
            "”有关的软件，请换个关键词试试。</div>\n";
  } else {
    page += "<p class=\"total\">共找到 " + std::to_string(shown.size()) + " 个软件</p>\n";
    page += "<ul class=\"soft-list\">\n";
    for (size_t i : shown) {
      const Program& p = programs[i];
      const std::string url = detailUrl(base, p);
      page += "<li><a class=\"ico\" href=\"" + url + "\"><img src=\"" + std::string(base) +
              "/icon/" + p.key + ".png\" width=\"48\" height=\"48\" alt=\"\"></a><a href=\"" + url +
              "\" class=\"tit\">" + escapeHtml(p.name) + " " + escapeHtml(p.version) +
              "</a> <span class=\"size\">" + escapeHtml(p.size) + "</span>\n<p>" +
              summaryOf(p.description, 60) + "</p></li>\n";
    }
    page += "</ul>\n";
  }
  page += "</div>\n" + kSoftwareFoot;
  return page;
}

std::string softwareDetailPage(const Program& p, std::string_view base, std::string_view shot,
                               std::string_view download) {
  const std::string b(base);
  std::string page =
      softwareHead(escapeHtml(p.name) + " " + escapeHtml(p.version) + " 下载 - 软件仓") +
      softwareNav("");
  page += "<div class=\"main\">\n<div class=\"crumb\"><a href=\"/\">首页</a> &gt; " +
          escapeHtml(p.category.empty() ? "其他" : p.category) + "</div>\n";
  page += "<div class=\"info\" itemscope>\n<h1><img class=\"icon\" src=\"" + b + "/icon/" + p.key +
          ".png\" alt=\"\"> <span itemprop=\"name\">" + escapeHtml(p.name) +
          "</span> <span class=\"ver\">" + escapeHtml(p.version) + "</span></h1>\n";
  page += "<ul class=\"attrs\"><li>大小：" + escapeHtml(p.size.empty() ? "未知" : p.size) +
          "</li><li>更新：" + escapeHtml(p.date.empty() ? "未知" : p.date) +
          "</li><li>授权：免费软件</li></ul>\n";
  page += "<div class=\"des-hd\">软件介绍</div>\n<div id=\"rom_des\">" + p.description + "</div>\n";
  if (!shot.empty()) {
    const std::string s = escapeHtml(shot);
    page += "<div class=\"shots\"><div class=\"hd\">软件截图</div><a href=\"" + s +
            "\" target=\"_blank\"><img src=\"" + s + "\"></a></div>\n";
  }
  page += "<div class=\"down\"><a class=\"btn\" itemprop=\"downloadUrl\" href=\"" +
          escapeHtml(download) +
          "\" title=\"允许单线程直接点击下载\">立即下载</a></div>\n</div>\n</div>\n";
  page += kSoftwareFoot;
  return page;
}

std::string softwareReadme(const Program& p) {
  std::string text = p.name + " " + p.version + " (" + p.latin + ")\r\n\r\n" +
                     stripTags(p.description) + "\r\n\r\n";
  text += "这是软件仓的演示下载包，只含这份说明。\r\n";
  return text;
}

}  // namespace qelvora::sites
