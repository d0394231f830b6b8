// expected_answer DATA_DIR SOURCE HOST: the first corpus question of answer source SOURCE (1, 2
// or 3) on the first line, then the transcript qelvora-ask must write for it when the sites run
// on HOST, in UTF-8. Derived from the corpus and the clean-up chain as the end-to-end tests do.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "base/text.h"
#include "sites/corpus.h"
#include "sites/strings.h"
#include "sources/markup.h"
#include "web/encoding.h"

namespace {

using namespace qelvora;

Text qa(std::string_view title, const Text& answer) {
  return utf8ToGbk("问：") + utf8ToGbk(title) + utf8ToGbk("\r\n答：") + answer;
}

// The question, then the transcript (GBK, before conversion).
std::pair<std::string, Text> expected(const sites::Corpus& corpus, int source,
                                      const std::string& host) {
  if (source == 1) {
    const std::string& q = corpus.fuzzy.front().question;
    const sites::QaEntry& e = corpus.fuzzy.front();  // each entry answers its own question
    // The page title is the escaped question followed by "_" and the site name.
    return {q,
            cleanMarkupText(qa(sites::escapeHtml(e.question) + "_", utf8ToGbk(e.answer)), false)};
  }
  if (source == 2) {
    const std::string& q = corpus.exact.front().question;
    const sites::QaEntry& e = corpus.exact.front();
    return {q,
            cleanMarkupText(
                qa(sites::escapeHtml(e.question), utf8ToGbk(sites::escapeHtml(e.answer))), false)};
  }
  const std::string& q = corpus.software.front().question;
  const sites::Program& p = corpus.software.front();
  const std::string ext = p.shot.format == sites::ShotSettings::Format::png ? "png" : "jpg";
  const std::string base = "http://" + host;
  // The description is cut at its first inner </div>.
  const std::string description = p.description.substr(0, p.description.find("</div>"));
  const Text raw = qa(sites::escapeHtml(p.name), trimSpaces(utf8ToGbk(description))) +
                   utf8ToGbk("\r\n软件截图：") + base + "/shot/" + p.key + "." + ext +
                   utf8ToGbk("\r\n下载地址：") + base + "/down/" + p.key + ".zip";
  return {q, cleanMarkupText(raw, true)};
}

}  // namespace

int main(int argc, char** argv) {
  const int source = argc == 4 ? std::atoi(argv[2]) : 0;
  if (source < 1 || source > 3) {
    std::fputs("usage: expected_answer DATA_DIR SOURCE HOST\n", stderr);
    return 2;
  }
  try {
    const auto [question, transcript] = expected(sites::loadCorpus(argv[1]), source, argv[3]);
    const std::string out = question + "\n" + gbkToUtf8(transcript);
    return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "expected_answer: %s\n", e.what());
    return 1;
  }
}
