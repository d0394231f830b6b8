// What the knowledge readers make of the data the system has installed, and what the search
// index stores: one document per manual page, document section, poem, character or package.
#pragma once

#include <string>
#include <vector>

namespace qelvora::sites::knowledge {

// The site a document answers on: 1 fuzzy (how-to), 2 exact (poems, characters), 3 software.
enum class Site { fuzzy = 1, exact = 2, software = 3 };

struct Document {
  Site site = Site::fuzzy;
  std::string key;    // unique within its site: letters, digits, '-', '_' and '.'; in addresses
  std::string title;  // UTF-8, one line
  std::string body;   // UTF-8 plain text, LF line ends, paragraphs separated by a blank line
  std::string link;  // where the whole text is, for a person: "man 1 cp", "Debian 参考手册 2.3"
  std::vector<std::string> names;  // exact names a question may use: command, package, title
  // Software site only.
  std::string version;
  std::string homepage;  // http or https address, or empty
  std::string picture;   // path of an icon file on this system, or empty
};

// One line for each data file a reader could not use ("path: why"); the rest is still read.
using Skipped = std::vector<std::string>;

}  // namespace qelvora::sites::knowledge
