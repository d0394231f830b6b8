#include "sites/server.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "sites/archive.h"
#include "sites/match.h"
#include "sites/pages.h"
#include "sites/strings.h"

namespace qelvora::sites {
namespace {

void sendUtf8(httplib::Response& res, int status, const std::string& page) {
  res.status = status;
  res.set_content(page, "text/html; charset=utf-8");
}

void sendGbk(httplib::Response& res, int status, const std::string& page) {
  auto gbk = utf8ToGbk(page);
  // The corpus is checked for GBK at load and questions come in as GBK, so this cannot happen
  // unless something is badly wrong; never send a half-converted page.
  if (!gbk) throw std::runtime_error("page cannot be written in GBK");
  res.status = status;
  res.set_content(*gbk, "text/html; charset=gbk");
}

void notFound(httplib::Response& res) {
  sendUtf8(res, 404, errorPage(404, "没有这个页面"));
}

void badRequest(httplib::Response& res, std::string_view why) {
  sendUtf8(res, 400, errorPage(400, why));
}

// "http://host[:port]" for the absolute addresses of the software site. The Host header is used
// only when it looks like a host name or address, so that it cannot smuggle markup into a page.
std::string baseUrl(const httplib::Request& req) {
  std::string host = req.get_header_value("Host");
  bool plausible = !host.empty() && host.size() <= 255;
  for (char c : host) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    if (!ok) plausible = false;
  }
  if (!plausible) {
    const bool v6 = req.local_addr.find(':') != std::string::npos;
    host =
        (v6 ? "[" + req.local_addr + "]" : req.local_addr) + ":" + std::to_string(req.local_port);
  }
  return "http://" + host;
}

// The query fields, or nullopt after answering 400.
std::optional<QueryFields> queryOf(const httplib::Request& req, httplib::Response& res) {
  auto fields = parseQuery(req.target);
  if (!fields) badRequest(res, "查询参数的百分号编码有误");
  return fields;
}

// Valid UTF-8 without NUL: the program's texts never hold one, and it would end the page early
// for anyone who reads pages up to their first NUL.
bool isQuestionText(const std::string& text) {
  return text.find('\0') == std::string::npos && decodeUtf8(text).has_value();
}

std::string pathOf(const std::string& target) {
  return target.substr(0, target.find('?'));
}

template <typename T>
const T* findByKey(const std::vector<T>& list, const std::string& key) {
  for (const auto& item : list)
    if (item.key == key) return &item;
  return nullptr;
}

}  // namespace

Sites::Sites(Corpus corpus) : corpus_(std::move(corpus)) {
  for (const Program& p : corpus_.software) {
    shots_[p.key] = drawScreenshot(p);
    icons_[p.key] = drawIcon(p);
    archives_[p.key] = makeZip({{"readme.txt", softwareReadme(p)}});
  }
}

void Sites::install(httplib::Server& server, bool log) const {
  using httplib::Request;
  using httplib::Response;

  // A target whose escapes do not decode is refused before any route sees it.
  server.set_pre_routing_handler([](const Request& req, Response& res) {
    const std::string path = pathOf(req.target);
    if (path.empty() || path[0] != '/' || !percentDecode(path) || !parseQuery(req.target)) {
      badRequest(res, "请求地址的格式有误");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_exception_handler([](const Request&, Response& res, std::exception_ptr ep) {
    std::string what = "unknown error";
    try {
      if (ep) std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    std::fprintf(stderr, "qelvora-sites: request failed: %s\n", what.c_str());
    sendUtf8(res, 500, errorPage(500, "服务器内部错误"));
  });
  if (log) {
    server.set_logger([](const Request& req, const Response& res) {
      std::fprintf(stderr, "%s %s -> %d\n", req.method.c_str(), req.target.c_str(), res.status);
    });
  }

  server.Get("/", [this](const Request&, Response& res) { sendUtf8(res, 200, homePage(corpus_)); });

  server.Get("/special/time/", [](const Request&, Response& res) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    res.set_header("Cache-Control", "no-store");
    sendUtf8(res, 200, timePage(ms));
  });

  // Fuzzy site.
  server.Get("/search/", [this](const Request& req, Response& res) {
    auto fields = queryOf(req, res);
    if (!fields) return;
    const std::string q = fieldValue(*fields, "q");
    if (!isQuestionText(q)) return badRequest(res, "问题不是有效的 UTF-8 文字");
    sendUtf8(res, 200, fuzzySearchPage(q, corpus_.fuzzy, matchFuzzy(corpus_.fuzzy, q)));
  });
  server.Get(R"(/q/([A-Za-z0-9_-]+))", [this](const Request& req, Response& res) {
    const QaEntry* e = findByKey(corpus_.fuzzy, req.matches[1].str());
    if (!e) return notFound(res);
    sendUtf8(res, 200, fuzzyAnswerPage(*e));
  });
  server.Get(R"(/ad/([A-Za-z0-9]+))", [](const Request& req, Response& res) {
    if (!hasSponsor(req.matches[1].str())) return notFound(res);
    sendUtf8(res, 200, sponsoredPage(req.matches[1].str()));
  });

  // Exact site.
  server.Get("/s/", [this](const Request& req, Response& res) {
    auto fields = queryOf(req, res);
    if (!fields) return;
    const std::string w = fieldValue(*fields, "w");
    if (!isQuestionText(w)) return badRequest(res, "问题不是有效的 UTF-8 文字");
    sendUtf8(res, 200, exactSearchPage(w, corpus_.exact, matchExact(corpus_.exact, w)));
  });
  server.Get(R"(/z/([A-Za-z0-9_-]+)\.htm)", [this](const Request& req, Response& res) {
    auto fields = queryOf(req, res);
    if (!fields) return;
    const QaEntry* e = findByKey(corpus_.exact, req.matches[1].str());
    if (!e) return notFound(res);
    std::string sw = fieldValue(*fields, "sw");
    if (!decodeUtf8(sw)) sw.clear();  // only echoed into the search box
    sendUtf8(res, 200, exactAnswerPage(*e, sw));
  });

  // Software site: pages and questions in GBK.
  server.Get(R"(/search\.aspx)", [this](const Request& req, Response& res) {
    auto fields = queryOf(req, res);
    if (!fields) return;
    auto keyword = gbkToUtf8(fieldValue(*fields, "keyword"));
    if (!keyword || !isQuestionText(*keyword)) return badRequest(res, "关键词不是有效的 GBK 文字");
    sendGbk(res, 200,
            softwareSearchPage(*keyword, corpus_.software,
                               matchSoftware(corpus_.software, *keyword), baseUrl(req)));
  });
  server.Get(R"(/soft/([A-Za-z0-9_-]+)\.html)", [this](const Request& req, Response& res) {
    const Program* p = findByKey(corpus_.software, req.matches[1].str());
    if (!p) return notFound(res);
    sendGbk(res, 200, softwareDetailPage(*p, baseUrl(req), shots_.at(p->key).extension));
  });
  server.Get(R"(/shot/([A-Za-z0-9_-]+)\.(png|jpg))", [this](const Request& req, Response& res) {
    auto it = shots_.find(req.matches[1].str());
    if (it == shots_.end() || it->second.extension != req.matches[2].str()) return notFound(res);
    res.set_content(it->second.bytes, it->second.mimeType);
  });
  server.Get(R"(/icon/([A-Za-z0-9_-]+)\.png)", [this](const Request& req, Response& res) {
    auto it = icons_.find(req.matches[1].str());
    if (it == icons_.end()) return notFound(res);
    res.set_content(it->second.bytes, it->second.mimeType);
  });
  server.Get(R"(/down/([A-Za-z0-9_-]+)\.zip)", [this](const Request& req, Response& res) {
    const Program* p = findByKey(corpus_.software, req.matches[1].str());
    if (!p) return notFound(res);
    res.set_header("Content-Disposition", "attachment; filename=\"" + p->download + "\"");
    res.set_content(archives_.at(p->key), "application/zip");
  });

  server.Get(".*", [](const Request&, Response& res) { notFound(res); });
}

}  // namespace qelvora::sites
