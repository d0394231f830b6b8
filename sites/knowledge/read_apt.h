// The software site's documents: one per package name in the APT catalogue, read through
// libapt-pkg, with the Chinese description where a zh_CN translation has been fetched.
#pragma once

#include <filesystem>
#include <vector>

#include "sites/knowledge/document.h"

namespace qelvora::sites::knowledge {

struct AptSource {
  // Empty: the system's own APT configuration, lists and dpkg status. Otherwise a folder that
  // holds etc/apt/, var/lib/apt/lists/, var/lib/dpkg/status and var/cache/apt/ of its own; icons
  // are then looked for under it too.
  std::filesystem::path root;
};

// One document per package name, from its candidate version. The package cache is built in
// memory: nothing is written. Lists APT cannot read are named in skipped; the rest is read.
// Calls are serialized (libapt-pkg's configuration is process-wide); the caller's locale is
// left as it was.
std::vector<Document> readAptCatalogue(const AptSource& source, Skipped& skipped);

}  // namespace qelvora::sites::knowledge
