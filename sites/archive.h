// A minimal ZIP writer (stored entries, no compression) for the software site's downloads.
#pragma once

#include <string>
#include <vector>

namespace qelvora::sites {

struct ArchiveFile {
  std::string name;  // ASCII path inside the archive
  std::string data;
};

// The archive's bytes; every entry is stored with its CRC-32, dated 2014-05-13 12:00.
std::string makeZip(const std::vector<ArchiveFile>& files);

}  // namespace qelvora::sites
