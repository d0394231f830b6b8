// A minimal ZIP writer (stored entries, no compression) for the software site's downloads.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qelvora::sites {

struct ArchiveFile {
  std::string name;  // ASCII path inside the archive
  std::string data;
};

// The archive's bytes; every entry is stored with its CRC-32 and the given DOS date and time.
std::string makeZip(const std::vector<ArchiveFile>& files, int year = 2014, int month = 5,
                    int day = 13);

}  // namespace qelvora::sites
