// How each site finds corpus entries for a question. The fuzzy site ranks by shared characters, the
// exact site wants a keyword or most of the title's characters, the software site goes by program
// names and keywords. Each returns indices into its corpus list, best first; empty for no match.
#pragma once

#include <string_view>
#include <vector>

#include "sites/corpus.h"

namespace qelvora::sites {

std::vector<size_t> matchFuzzy(const std::vector<QaEntry>& entries, std::string_view question);
std::vector<size_t> matchExact(const std::vector<QaEntry>& entries, std::string_view question);
std::vector<size_t> matchSoftware(const std::vector<Program>& programs, std::string_view question);

}  // namespace qelvora::sites
