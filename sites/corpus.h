// The corpus of the reference sites: the questions and answers of the two question-and-answer
// sites and the programs of the software site, read from the UTF-8 files in the data folder.
// The file format is described in sites/README.md.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qelvora::sites {

// One question with its accepted answer (both sites). All texts are UTF-8.
struct QaEntry {
  std::string key;                    // the page key in the answer address
  std::string question;               // the question title
  std::vector<std::string> keywords;  // exact site only: phrases that select this entry
  std::string asker;                  // optional, shown beside the question
  std::string answer;                 // fuzzy site: markup; exact site: plain text with LF lines
  std::string other;                  // optional second answer (plain text)
};

// Screenshot drawn for a program.
struct ShotSettings {
  enum class Format { png, jpeg } format = Format::png;
  int width = 0;
  int height = 0;
  std::uint32_t color = 0;  // 0xRRGGBB, the colour of the title bar and accents
};

struct Program {
  std::string key;    // page key: /soft/KEY.html, /shot/KEY.png, /down/KEY.zip
  std::string name;   // Chinese name as shown on the pages
  std::string latin;  // Latin name drawn into the screenshot (ASCII)
  std::string version;
  std::string size;
  std::string category;
  std::string date;
  std::vector<std::string> keywords;
  std::string question;  // a question a user would ask to find this program
  ShotSettings shot;
  std::string download;     // file name of the download archive
  std::string description;  // markup
};

struct Corpus {
  std::vector<QaEntry> fuzzy;     // site 1
  std::vector<QaEntry> exact;     // site 2
  std::vector<Program> software;  // site 3
};

// A fault in the corpus files, with file and line in the message.
class CorpusError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kFuzzyFile = "fuzzy.txt";
inline constexpr const char* kExactFile = "exact.txt";
inline constexpr const char* kSoftwareFile = "software.txt";

// Reads and checks the three files of the data folder; throws CorpusError.
Corpus loadCorpus(const std::filesystem::path& dir);
// The same checks on the three files' contents, given as bytes.
Corpus parseCorpus(std::string_view fuzzy, std::string_view exact, std::string_view software);

}  // namespace qelvora::sites
