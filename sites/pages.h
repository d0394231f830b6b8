// The HTML pages of the time service and the three sites, as UTF-8 text (the software site's pages
// are converted to GBK when they are sent). Each page carries the markers the program cuts by
// exactly once, and first, where the wanted item is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sites/corpus.h"

namespace qelvora::sites {

std::string timePage(std::int64_t millisecondsSinceEpoch);
std::string homePage(const Corpus& corpus);
std::string errorPage(int status, std::string_view message);

// Fuzzy site. The result list puts a sponsored link (index="1") before the matches, which follow
// best first from index="2" on.
std::string fuzzySearchPage(std::string_view question, const std::vector<QaEntry>& entries,
                            const std::vector<size_t>& matches);
std::string fuzzyAnswerPage(const QaEntry& entry);
std::string sponsoredPage(std::string_view id);
bool hasSponsor(std::string_view id);

// Exact site. A featured heading with a non-empty pid comes before the results (pid="").
std::string exactSearchPage(std::string_view question, const std::vector<QaEntry>& entries,
                            const std::vector<size_t>& matches);
std::string exactAnswerPage(const QaEntry& entry, std::string_view searchedFor);

// Software site; base is "http://host:port", for the absolute addresses the pages carry.
std::string softwareSearchPage(std::string_view question, const std::vector<Program>& programs,
                               const std::vector<size_t>& matches, std::string_view base);
// shot is the screenshot's address (empty: the page shows none), download the download's.
std::string softwareDetailPage(const Program& program, std::string_view base, std::string_view shot,
                               std::string_view download);
// The text file packed into a program's download archive.
std::string softwareReadme(const Program& program);

}  // namespace qelvora::sites
