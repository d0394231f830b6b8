#include "sites/knowledge/index.h"

#include <xapian.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "sites/strings.h"

namespace qelvora::sites::knowledge {
namespace {

namespace fs = std::filesystem;

// Written into every database; an index of another format is rebuilt, never read.
constexpr char kFormatKey[] = "qelvora-format";
constexpr char kFormat[] = "1";
// Long texts say what they are about early; the rest would only grow the index.
constexpr size_t kIndexedBodyBytes = 24 * 1024;

constexpr std::array<Site, 3> kSites = {Site::fuzzy, Site::exact, Site::software};
constexpr std::array<const char*, 3> kSiteFolders = {"fuzzy", "exact", "software"};

size_t slot(Site site) {
  return static_cast<size_t>(site) - 1;
}

void putField(std::string& out, std::string_view field) {
  out += std::to_string(field.size());
  out += ':';
  out += field;
}

std::optional<std::string> takeField(std::string_view& in) {
  const size_t colon = in.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 10) return std::nullopt;
  size_t length = 0;
  for (char c : in.substr(0, colon)) {
    if (c < '0' || c > '9') return std::nullopt;
    length = length * 10 + size_t(c - '0');
  }
  if (in.size() - colon - 1 < length) return std::nullopt;
  std::string field(in.substr(colon + 1, length));
  in.remove_prefix(colon + 1 + length);
  return field;
}

std::string serialize(const Document& d) {
  std::string names;
  for (const std::string& n : d.names) names += n + '\n';
  std::string out;
  for (std::string_view field :
       {std::string_view(d.key), std::string_view(d.title), std::string_view(d.body),
        std::string_view(d.link), std::string_view(names), std::string_view(d.version),
        std::string_view(d.homepage), std::string_view(d.picture)})
    putField(out, field);
  return out;
}

std::optional<Document> deserialize(Site site, std::string_view in) {
  Document d;
  d.site = site;
  std::string names;
  for (std::string* field :
       {&d.key, &d.title, &d.body, &d.link, &names, &d.version, &d.homepage, &d.picture}) {
    auto value = takeField(in);
    if (!value) return std::nullopt;
    *field = std::move(*value);
  }
  for (size_t pos = 0, nl; (nl = names.find('\n', pos)) != std::string::npos; pos = nl + 1)
    d.names.push_back(names.substr(pos, nl - pos));
  return d;
}

std::string foldedName(std::string_view name) {
  std::string out;
  for (char32_t c : foldText(name))
    if (c != U' ') out += encodeUtf8(std::u32string(1, c));
  return out;
}

// Xapian refuses terms longer than about 245 bytes.
bool termFits(const std::string& term) {
  return !term.empty() && term.size() < 240;
}

// Keys stand in page addresses: letters, digits, '-' and '_' only, and each once in its site.
class KeyMaker {
 public:
  std::string operator()(std::string_view key) {
    std::string k;
    for (char c : key) {
      const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      c == '-' || c == '_';
      k += ok ? c : '_';
    }
    if (k.empty()) k = "_";
    if (const int n = ++seen_[k]; n > 1) k += "-" + std::to_string(n);
    return k;
  }

 private:
  std::map<std::string, int> seen_;
};

// How likely a package is what a person asks for: programs before the parts other packages
// are made of (libraries, headers, debugging symbols, documentation, data, translations).
double packagePrior(const Document& d) {
  const std::string& name = d.names.empty() ? d.key : d.names.front();
  const auto ends = [&name](std::string_view tail) { return name.ends_with(tail); };
  const auto has = [&name](std::string_view part) { return name.find(part) != std::string::npos; };
  if (name.starts_with("lib") || ends("-dev") || ends("-dbg") || ends("-dbgsym") || ends("-doc") ||
      ends("-data") || ends("-common") || has("-l10n") || has("-locale") || has("-i18n") ||
      has("-dict-") || has("-help-"))
    return 0.5;
  return 1.0;
}

Xapian::Document toXapian(const Document& d) {
  Xapian::Document x;
  x.set_data(serialize(d));
  x.add_boolean_term("Q" + d.key);
  const auto addAll = [&x](const Terms& t, const std::string& prefix, Xapian::termcount wdf) {
    for (const auto* list : {&t.chars, &t.pairs, &t.words})
      for (const std::string& term : *list)
        if (termFits(prefix + term)) x.add_term(prefix + term, wdf);
  };
  addAll(termsOf(std::string_view(d.body).substr(0, kIndexedBodyBytes)), "", 1);
  // The title counts four times, and as a title, except for the parts of other packages: a
  // question naming a program finds the program before its translations and libraries.
  const Terms title = termsOf(d.title);
  const bool part = d.site == Site::software && packagePrior(d) < 1;
  addAll(title, "", part ? 1 : 4);
  if (!part) addAll(title, "S", 1);
  for (const std::string& name : d.names)
    if (const std::string n = "N" + foldedName(name); termFits(n) && n.size() > 1) x.add_term(n);
  return x;
}

// The site's documents, each under a key of its own, committed.
void addDocuments(Xapian::WritableDatabase& db, const std::vector<Document>& documents, Site site) {
  KeyMaker keys;
  for (const Document& d : documents) {
    if (d.site != site) continue;
    Document unique = d;
    unique.key = keys(d.key);
    db.add_document(toXapian(unique));
  }
  db.commit();
}

// Which of the terms each hit holds, in the hits' order. Each term's posting list is walked once
// over the hits in document order: cheaper than each hit's own term list, which for a manual page
// runs to thousands of terms.
std::vector<std::vector<std::string>> termsHeld(const Xapian::Database& db,
                                                const Xapian::MSet& hits,
                                                const std::set<std::string>& terms) {
  std::vector<std::pair<Xapian::docid, size_t>> order;
  for (auto it = hits.begin(); it != hits.end(); ++it) order.emplace_back(*it, order.size());
  std::sort(order.begin(), order.end());
  std::vector<std::vector<std::string>> held(order.size());
  for (const std::string& term : terms) {
    Xapian::PostingIterator p = db.postlist_begin(term);
    const Xapian::PostingIterator end = db.postlist_end(term);
    for (const auto& [id, rank] : order) {
      if (p == end) break;
      p.skip_to(id);
      if (p != end && *p == id) held[rank].push_back(term);
    }
  }
  return held;
}

// One wording of the question: its terms, and the character fewest documents hold, which is what
// the question is most about.
struct Wording {
  std::set<std::string> chars, pairs, words;
  std::string rarest;

  // How much of the wording one document holds.
  struct Held {
    size_t chars = 0, pairs = 0, words = 0;
    bool rarest = false;
  };

  Wording(const Terms& t, const Xapian::Database& db)
      : chars(t.chars.begin(), t.chars.end()),
        pairs(t.pairs.begin(), t.pairs.end()),
        words(t.words.begin(), t.words.end()) {
    Xapian::doccount fewest = 0;
    for (const std::string& c : t.chars)
      if (const Xapian::doccount n = db.get_termfreq(c); n > 0 && (fewest == 0 || n < fewest))
        fewest = n, rarest = c;
  }
  Held heldIn(const std::vector<std::string>& documentTerms) const {
    Held h;
    h.rarest = rarest.empty();
    for (const std::string& term : documentTerms) {
      h.chars += chars.count(term);
      h.pairs += pairs.count(term);
      h.words += words.count(term);
      h.rarest = h.rarest || term == rarest;
    }
    return h;
  }
  // The floor: a document answers only when it holds at least half of the question's pairs of
  // characters, half of its characters and half of its words; when it holds no more than half of
  // the pairs, it must hold the rarest character ("猫" in "猫为什么喜欢晒太阳" is not answered by a
  // plant that likes the sun).
  bool heldMostly(const std::vector<std::string>& documentTerms) const {
    const Held h = heldIn(documentTerms);
    if (h.chars + h.pairs + h.words == 0) return false;
    const auto half = [](size_t got, size_t of) { return of == 0 || 2 * got >= of; };
    const bool barely = !pairs.empty() && 2 * h.pairs == pairs.size();
    return half(h.pairs, pairs.size()) && half(h.chars, chars.size()) &&
           half(h.words, words.size()) && (h.rarest || !barely);
  }
  // With the name the synonyms suggest: half of the characters and a third of the pairs.
  bool heldLoosely(const std::vector<std::string>& documentTerms) const {
    const Held h = heldIn(documentTerms);
    return 2 * h.chars >= chars.size() && 3 * h.pairs >= pairs.size();
  }
};

}  // namespace

struct Index::Databases {
  struct PerSite {
    Xapian::Database all;                 // searched
    std::vector<Xapian::Database> parts;  // looked up by key in turn
    mutable std::mutex mutex;             // a Xapian handle serves one thread at a time
  };
  std::array<PerSite, 3> sites;
};

Index::Index() : databases_(std::make_unique<Databases>()) {}
Index::~Index() = default;

void Index::write(const std::vector<Document>& documents, const fs::path& dir) {
  try {
    fs::create_directories(dir);
    for (Site site : kSites) {
      const fs::path scratch = dir / (std::string(kSiteFolders[slot(site)]) + ".unpacked");
      fs::remove_all(scratch);
      {
        Xapian::WritableDatabase db(scratch.string(), Xapian::DB_CREATE | Xapian::DB_NO_SYNC);
        db.set_metadata(kFormatKey, kFormat);
        addDocuments(db, documents, site);
        db.compact((dir / kSiteFolders[slot(site)]).string(), Xapian::DBCOMPACT_SINGLE_FILE);
      }
      fs::remove_all(scratch);
    }
  } catch (const Xapian::Error& e) {
    throw IndexError("cannot write the index in " + dir.string() + ": " + e.get_description());
  } catch (const fs::filesystem_error& e) {
    throw IndexError(e.what());
  }
}

std::shared_ptr<const Index> Index::open(const fs::path& dir) {
  std::shared_ptr<Index> index(new Index);
  try {
    for (Site site : kSites) {
      const fs::path path = dir / kSiteFolders[slot(site)];
      if (!fs::exists(path)) throw IndexError(path.string() + " is missing");
      Xapian::Database db(path.string());
      if (db.get_metadata(kFormatKey) != kFormat)
        throw IndexError(path.string() + " is of another format");
      // A quick read of every part, so that a damaged file shows now rather than mid-search.
      (void)db.get_doccount();
      (void)db.get_avlength();
      auto& s = index->databases_->sites[slot(site)];
      s.all = db;
      s.parts = {db};
    }
  } catch (const Xapian::Error& e) {
    throw IndexError("cannot read the index in " + dir.string() + ": " + e.get_description());
  }
  return index;
}

std::shared_ptr<const Index> Index::inMemory(const std::vector<Document>& documents) {
  std::shared_ptr<Index> index(new Index);
  for (Site site : kSites) {
    Xapian::WritableDatabase db(std::string(), Xapian::DB_BACKEND_INMEMORY);
    addDocuments(db, documents, site);
    auto& s = index->databases_->sites[slot(site)];
    s.all = db;
    s.parts = {db};
  }
  return index;
}

std::shared_ptr<const Index> Index::combine(const Index& first, const Index& second) {
  std::shared_ptr<Index> index(new Index);
  for (size_t i = 0; i < 3; ++i) {
    auto& s = index->databases_->sites[i];
    const auto& a = first.databases_->sites[i];
    const auto& b = second.databases_->sites[i];
    std::scoped_lock lock(a.mutex, b.mutex);
    s.all = a.all;
    s.all.add_database(b.all);
    s.parts = a.parts;
    s.parts.insert(s.parts.end(), b.parts.begin(), b.parts.end());
  }
  return index;
}

std::vector<Document> Index::search(Site site, const Question& question, size_t limit) const {
  const Terms& t = question.terms;
  std::vector<std::string> plain;
  for (const auto* list : {&t.chars, &t.pairs, &t.words})
    for (const std::string& term : *list)
      if (termFits(term)) plain.push_back(term);
  if (plain.empty()) return {};
  // Pairs and words count twice a character; what the synonyms reworded counts half, as the
  // data says it otherwise ("文件夹" is a "目录", not a "文件").
  const Terms& r = question.reworded;
  const auto scaled = [&r](const std::vector<std::string>& data, const std::string& term,
                           double w) {
    return std::find(data.begin(), data.end(), term) == data.end() ? w / 2 : w;
  };
  std::vector<Xapian::Query> weighted;
  for (const std::string& c : t.chars)
    weighted.emplace_back(Xapian::Query::OP_SCALE_WEIGHT, Xapian::Query(c), scaled(r.chars, c, 1));
  for (const std::string& p : t.pairs)
    weighted.emplace_back(Xapian::Query::OP_SCALE_WEIGHT, Xapian::Query(p), scaled(r.pairs, p, 2));
  for (const std::string& w : t.words)
    if (termFits(w))
      weighted.emplace_back(Xapian::Query::OP_SCALE_WEIGHT, Xapian::Query(w),
                            scaled(r.words, w, 2));
  std::vector<Xapian::Query> titled, named;
  for (const std::string& term : plain) titled.emplace_back("S" + term);
  // The terms the floor looks for in each hit: the plain ones and the names.
  std::set<std::string> floorTerms(plain.begin(), plain.end()), askedNames;
  for (const auto* list : {&question.names, &question.hinted})
    for (const std::string& name : *list)
      if (const std::string n = "N" + foldedName(name); termFits(n) && n.size() > 1) {
        named.emplace_back(n);
        floorTerms.insert(n);
        if (list == &question.names) askedNames.insert(n);
      }
  Xapian::Query query(Xapian::Query::OP_OR, weighted.begin(), weighted.end());
  query = Xapian::Query(
      Xapian::Query::OP_OR, query,
      Xapian::Query(Xapian::Query::OP_SCALE_WEIGHT,
                    Xapian::Query(Xapian::Query::OP_OR, titled.begin(), titled.end()), 1.5));
  if (!named.empty())
    query = Xapian::Query(
        Xapian::Query::OP_OR, query,
        Xapian::Query(Xapian::Query::OP_SCALE_WEIGHT,
                      Xapian::Query(Xapian::Query::OP_OR, named.begin(), named.end()), 8.0));

  std::vector<std::pair<double, Document>> found;
  const auto& s = databases_->sites[slot(site)];
  std::lock_guard lock(s.mutex);
  try {
    Xapian::Enquire enquire(s.all);
    enquire.set_query(query);
    const Wording asked(question.asked, s.all), reworded(question.reworded, s.all),
        latin(question.latin, s.all);
    // Software is ranked again below, so a few more than are shown are looked at. When none of
    // the best-weighted holds enough of the question, the next ones are looked at too: words
    // common in the data can push the one that does out of the first few.
    const size_t first = site == Site::software ? 3 * limit : limit;
    for (size_t from = 0, count = first; from < 8 * first && found.empty(); from += count) {
      const Xapian::MSet hits = enquire.get_mset(static_cast<Xapian::doccount>(from),
                                                 static_cast<Xapian::doccount>(count));
      const std::vector<std::vector<std::string>> held = termsHeld(s.all, hits, floorTerms);
      size_t rank = 0;
      for (auto it = hits.begin(); it != hits.end(); ++it, ++rank) {
        // A whole name (a command, a title, a package) answers by itself; otherwise the
        // question, as asked or in the data's wording, must be mostly there.
        const std::vector<std::string>& terms = held[rank];
        bool name = false, hinted = false;
        for (const std::string& x : terms)
          if (x[0] == 'N') (askedNames.count(x) ? name : hinted) = true;
        if (!name && !asked.heldMostly(terms) && !reworded.heldMostly(terms) &&
            !latin.heldMostly(terms) && !(hinted && reworded.heldLoosely(terms)))
          continue;
        if (auto d = deserialize(site, it.get_document().get_data()))
          found.emplace_back(it.get_weight() * (site == Site::software ? packagePrior(*d) : 1.0),
                             std::move(*d));
      }
      if (hits.size() < count) break;
      count = 7 * first;
    }
  } catch (const Xapian::Error& e) {
    std::fprintf(stderr, "qelvora-sites: search failed: %s\n", e.get_description().c_str());
    return {};
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<Document> best;
  for (auto& [weight, d] : found)
    if (best.size() < limit) best.push_back(std::move(d));
  return best;
}

std::optional<Document> Index::find(Site site, std::string_view key) const {
  const auto& s = databases_->sites[slot(site)];
  std::lock_guard lock(s.mutex);
  try {
    for (const Xapian::Database& db : s.parts) {
      auto posting = db.postlist_begin("Q" + std::string(key));
      if (posting == db.postlist_end("Q" + std::string(key))) continue;
      return deserialize(site, db.get_document(*posting).get_data());
    }
  } catch (const Xapian::Error& e) {
    std::fprintf(stderr, "qelvora-sites: lookup failed: %s\n", e.get_description().c_str());
  }
  return std::nullopt;
}

size_t Index::size(Site site) const {
  const auto& s = databases_->sites[slot(site)];
  std::lock_guard lock(s.mutex);
  return s.all.get_doccount();
}

}  // namespace qelvora::sites::knowledge
