// Pictures of the software site, drawn with libgd: a mock screenshot of each program's window and
// a small icon for the result list.
#pragma once

#include <string>

#include "sites/corpus.h"

namespace qelvora::sites {

struct Picture {
  std::string bytes;
  std::string mimeType;   // image/png or image/jpeg
  std::string extension;  // png or jpg
};

// The program's window as its corpus `shot` line asks (size, format, colour), with its Latin name
// in the title bar. Throws std::runtime_error when libgd cannot encode it.
Picture drawScreenshot(const Program& program);
// A 48x48 PNG icon in the program's colour with its initial.
Picture drawIcon(const Program& program);

}  // namespace qelvora::sites
