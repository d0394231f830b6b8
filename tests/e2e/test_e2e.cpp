// The whole answering path on the headless form against qelvora-sites on a free loopback port:
// ask a question, let the router pick the source, fetch, cut, clean and type the answer.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <memory>
#include <string>

#include "../answer/test_router_support.h"
#include "app/event_hooks.h"
#include "base/hosts.h"
#include "sites/corpus.h"
#include "sites/strings.h"
#include "sources/markup.h"
#include "tests/support/sites_process.h"

namespace qelvora {
namespace {

using testing::AnswerRig;
using testing::gbk;

// One server for the whole program; every test points the hosts at it.
class Sites : public ::testing::Environment {
 public:
  void SetUp() override {
    process = testing::startReferenceSites();
    ASSERT_TRUE(process->running()) << "qelvora-sites did not start";
    hosts() = Hosts{process->host(), process->host(), process->host(), process->host()};
    corpus = sites::loadCorpus(QELVORA_SITES_DATA_DIR);
  }
  void TearDown() override { process.reset(); }

  static inline std::unique_ptr<testing::SitesProcess> process;
  static inline sites::Corpus corpus;
};
::testing::Environment* const sitesEnvironment = ::testing::AddGlobalTestEnvironment(new Sites);

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Sites::process && Sites::process->running());
    setInstantWaits(true);
    rig.model.setInstantTimers(true);
  }
  void TearDown() override { setInstantWaits(false); }

  std::string base() const { return "http://" + Sites::process->host(); }

  AnswerRig rig;
};

Text qaTranscript(std::string_view title, std::string_view answerMarkup) {
  return cleanMarkupText(gbk("问：") + gbk(title) + gbk("\r\n答：") + gbk(answerMarkup), false);
}

TEST_F(EndToEnd, FuzzySourceAnswersEveryCorpusQuestion) {
  for (const sites::QaEntry& asked : Sites::corpus.fuzzy) {
    const sites::QaEntry& e = asked;  // each entry answers its own question
    ASSERT_TRUE(rig.ask(gbk(asked.question), 0)) << rig.formState() << "; " << asked.question;
    // The page title is the escaped question followed by "_" and the site name.
    EXPECT_EQ(rig.model.content(ctl::kAnswerBox),
              qaTranscript(sites::escapeHtml(e.question) + "_", e.answer))
        << asked.question;
  }
}

TEST_F(EndToEnd, ExactSourceAnswersEveryCorpusQuestion) {
  for (const sites::QaEntry& asked : Sites::corpus.exact) {
    const sites::QaEntry& e = asked;
    ASSERT_TRUE(rig.ask(gbk(asked.question), 1)) << rig.formState() << "; " << asked.question;
    EXPECT_EQ(rig.model.content(ctl::kAnswerBox),
              qaTranscript(sites::escapeHtml(e.question), sites::escapeHtml(e.answer)))
        << asked.question;
  }
}

TEST_F(EndToEnd, SoftwareSourceAnswersEveryCorpusQuestion) {
  int openings = 0;
  for (const sites::Program& asked : Sites::corpus.software) {
    const sites::Program& p = asked;
    ASSERT_TRUE(rig.ask(gbk(asked.question), 2)) << rig.formState() << "; " << asked.question;

    const std::string ext = p.shot.format == sites::ShotSettings::Format::png ? "png" : "jpg";
    const Text shot = base() + "/shot/" + p.key + "." + ext;
    const Text download = base() + "/down/" + p.key + ".zip";
    // The description is cut at its first inner </div>.
    const std::string description = p.description.substr(0, p.description.find("</div>"));
    const Text raw = gbk("问：") + gbk(sites::escapeHtml(p.name)) + gbk("\r\n答：") +
                     trimSpaces(gbk(description)) + gbk("\r\n软件截图：") + shot +
                     gbk("\r\n下载地址：") + download;
    EXPECT_EQ(rig.model.content(ctl::kAnswerBox), cleanMarkupText(raw, true)) << asked.question;
    EXPECT_EQ(rig.model.content(ctl::kPictureAddressBox), shot);
    EXPECT_EQ(rig.state.downloadAddress, download);
    EXPECT_EQ(rig.pictureOpenings, ++openings) << "the picture window opens after each answer";
  }
}

TEST_F(EndToEnd, QuestionsTheCorpusLacksGetTheNoAnswerReply) {
  for (int source = 0; source < 3; ++source) {
    ASSERT_TRUE(rig.ask("qzxv9173 wqpt", source)) << rig.formState() << "; source " << source + 1;
    EXPECT_EQ(rig.model.content(ctl::kAnswerBox), noAnswerText()) << "source " << source + 1;
  }
  // A software search without a result leaves no picture behind.
  EXPECT_EQ(rig.model.content(ctl::kPictureAddressBox), "");
  EXPECT_EQ(rig.pictureOpenings, 0);
}

TEST_F(EndToEnd, SoftwareAddressesOutliveLaterAnswers) {
  const sites::Program& p = Sites::corpus.software.front();
  ASSERT_TRUE(rig.ask(gbk(p.question), 2)) << rig.formState();
  const Text shot = rig.model.content(ctl::kPictureAddressBox);
  const Text download = rig.state.downloadAddress;
  ASSERT_FALSE(shot.empty());
  ASSERT_FALSE(download.empty());
  ASSERT_EQ(rig.pictureOpenings, 1);

  // Another source's answer, a built-in answer and the time answer keep both addresses, and the
  // picture window opens again at the end of each.
  ASSERT_TRUE(rig.ask(gbk(Sites::corpus.fuzzy.front().question), 0)) << rig.formState();
  ASSERT_TRUE(rig.ask(gbk(Sites::corpus.exact.front().question), 1)) << rig.formState();
  ASSERT_TRUE(rig.ask(gbk("男人是什么"), 0)) << rig.formState();
  EXPECT_EQ(rig.model.content(ctl::kAnswerBox), gbk("问：男人是什么？\r\n答：") + menAnswer());
  ASSERT_TRUE(rig.ask(gbk("北京时间"), 0)) << rig.formState();
  EXPECT_EQ(
      rig.model.content(ctl::kAnswerBox).rfind(gbk("问：北京时间？\r\n答：现在是北京时间：2"), 0),
      0u);
  EXPECT_EQ(rig.model.content(ctl::kPictureAddressBox), shot);
  EXPECT_EQ(rig.state.downloadAddress, download);
  EXPECT_EQ(rig.pictureOpenings, 5);
  // Both built-in answers set the (recorded) clock from the time page.
  EXPECT_EQ(rig.clock->calls().size(), 2u);
}

}  // namespace
}  // namespace qelvora
