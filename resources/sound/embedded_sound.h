// The embedded sound: a RIFF/WAVE image (PCM, 2 channels, 44,100 Hz, 16 bits, 1,890,000 data
// bytes) synthesised at build time.
#pragma once

#include <string_view>

namespace qelvora {

std::string_view embeddedSound();

}  // namespace qelvora
