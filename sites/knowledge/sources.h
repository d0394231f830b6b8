// The installed data the sites read, each kind with its files and its reader, below a root folder
// ("/" for this system; tests give a folder of their own).
#pragma once

#include <filesystem>
#include <vector>

#include "sites/knowledge/cache.h"

namespace qelvora::sites::knowledge {

// Manual pages, the Debian FAQ and reference, poems and sayings, Unihan characters and the package
// catalogue. Each is optional: what is not installed gives no documents. Texts come out holding
// only characters GBK can hold (the program works in GBK).
std::vector<DataSource> installedSources(const std::filesystem::path& root);

}  // namespace qelvora::sites::knowledge
