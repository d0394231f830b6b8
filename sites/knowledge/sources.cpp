#include "sites/knowledge/sources.h"

#include <memory>
#include <optional>
#include <unordered_map>

#include "sites/knowledge/page_text.h"
#include "sites/knowledge/read_apt.h"
#include "sites/knowledge/readers.h"

namespace qelvora::sites::knowledge {
namespace {

namespace fs = std::filesystem;

using Variants = std::unordered_map<char32_t, char32_t>;

// Every text of the documents in the GBK repertoire, with Unihan's variants where OpenCC has no
// simplified form.
std::vector<Document> inGbk(std::vector<Document> docs, const Variants* variants) {
  for (Document& d : docs) {
    for (std::string* text : {&d.title, &d.body, &d.link, &d.version})
      *text = toGbkRepertoire(*text, variants);
    for (std::string& name : d.names) name = toGbkRepertoire(name, variants);
  }
  return docs;
}

}  // namespace

std::vector<DataSource> installedSources(const fs::path& root) {
  const fs::path share = root / "usr/share";
  const fs::path man = share / "man/zh_CN";
  const std::vector<fs::path> docs = {share / "doc/debian/FAQ/debian-faq.zh-cn.txt.gz",
                                      share / "debian-reference/debian-reference.zh-cn.txt.gz"};
  const fs::path fortunes = share / "games/fortunes";
  const fs::path unicode = share / "unicode";
  const AptSource apt{root == "/" ? fs::path() : root};
  // The variants are read once, by whichever source needs them first.
  auto variants = std::make_shared<std::optional<Variants>>();
  auto variantsOf = [variants, unicode](Skipped& skipped) -> const Variants* {
    if (!*variants) *variants = readUnihanVariants(unicode, skipped);
    return &**variants;
  };

  std::vector<DataSource> sources;
  sources.push_back({"manual pages", {man}, [man, variantsOf](Skipped& skipped) {
                       return inGbk(readManPages(man, skipped), variantsOf(skipped));
                     }});
  sources.push_back({"Debian FAQ and reference", docs, [docs, variantsOf](Skipped& skipped) {
                       return inGbk(readDebianDocs(docs, skipped), variantsOf(skipped));
                     }});
  sources.push_back({"poems and sayings",
                     {fortunes / "tang300.u8", fortunes / "song100.u8", fortunes / "chinese.u8"},
                     [fortunes, variantsOf](Skipped& skipped) {
                       return inGbk(readFortunes(fortunes, skipped), variantsOf(skipped));
                     }});
  sources.push_back({"Unihan characters",
                     {unicode / "Unihan_Readings.txt.bz2", unicode / "Unihan_Variants.txt.bz2"},
                     [unicode, variantsOf](Skipped& skipped) {
                       return inGbk(readUnihan(unicode, skipped), variantsOf(skipped));
                     }});
  sources.push_back({"package catalogue",
                     {root / "var/lib/apt/lists", root / "var/lib/dpkg/status"},
                     [apt, variantsOf](Skipped& skipped) {
                       return inGbk(readAptCatalogue(apt, skipped), variantsOf(skipped));
                     }});
  return sources;
}

}  // namespace qelvora::sites::knowledge
