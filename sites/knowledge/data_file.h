// Reading the installed data files: opened without blocking, read only when they are regular files
// of a bounded size, and unpacked when their name says gzip (.gz) or bzip2 (.bz2).
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "sites/knowledge/document.h"

namespace qelvora::sites::knowledge {

// Larger data files (packed or unpacked) are not read: the largest the system ships is about 40 MB.
inline constexpr std::size_t kMaxDataFileBytes = std::size_t(256) << 20;

// The file's contents, unpacked; nothing (and one line in skipped naming the file and why) when it
// is missing, not a regular file, unreadable, too large or not packed as its name says.
std::optional<std::string> readDataFile(const std::filesystem::path& path, Skipped& skipped,
                                        std::size_t maxBytes = kMaxDataFileBytes);

}  // namespace qelvora::sites::knowledge
