// Build-time generator of the embedded sound: a short music-box tune in 6/8 (melody, a soft third
// below it and a bass line) that loops seamlessly, written as a RIFF/WAVE image of 16-bit stereo
// PCM at 44,100 Hz with exactly 1,890,000 data bytes, and emitted as a C++ source file that defines
// qelvora::embeddedSound().
//
// Usage: qelvora_sound_gen <output.cpp> [<output.wav>]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kDataBytes = 1890000;
constexpr int kFrames = kDataBytes / (kChannels * 2);  // 472,500 frames, about 10.7 s
// 6 bars of 6/8 = 36 eighth notes fill the sound exactly, so the loop keeps the beat.
constexpr int kEighths = 36;
constexpr int kEighthFrames = kFrames / kEighths;  // 13,125 frames
static_assert(kEighthFrames * kEighths == kFrames);

struct Note {
  int midi;    // 0 = rest
  int length;  // in eighths
};

// C - Am - F - G - C/F - G C
const std::vector<Note> kMelody = {
    {76, 2}, {74, 1}, {72, 2}, {76, 1},  // E D C E
    {81, 3}, {79, 2}, {76, 1},           // A G E
    {77, 2}, {81, 1}, {84, 2}, {81, 1},  // F A C A
    {79, 3}, {74, 2}, {77, 1},           // G D F
    {76, 2}, {79, 1}, {84, 2}, {83, 1},  // E G C B
    {74, 2}, {71, 1}, {72, 3},           // D B C
};
// The harmony voice: mostly a third or sixth under the melody, on the strong beats only.
const std::vector<Note> kHarmony = {
    {67, 3}, {67, 3},  //
    {72, 3}, {72, 3},  //
    {69, 3}, {72, 3},  //
    {71, 3}, {67, 3},  //
    {67, 3}, {72, 3},  //
    {67, 3}, {64, 3},  //
};
const std::vector<Note> kBass = {
    {48, 3}, {55, 3},  // C G
    {45, 3}, {52, 3},  // A E
    {41, 3}, {48, 3},  // F C
    {43, 3}, {50, 3},  // G D
    {48, 3}, {41, 3},  // C F
    {43, 3}, {48, 3},  // G C
};

double frequency(int midi) {
  return 440.0 * std::pow(2.0, (midi - 69) / 12.0);
}

// Adds one voice to the stereo mix. Notes ring on past their length and wrap around the end of
// the sound, so the last notes fade out under the first ones when the sound repeats.
void addVoice(std::vector<double>& left, std::vector<double>& right, const std::vector<Note>& notes,
              double gain, double pan, double decaySeconds, double brightness, double ringEighths) {
  const double leftGain = gain * std::cos(pan * M_PI / 2);
  const double rightGain = gain * std::sin(pan * M_PI / 2);
  int start = 0;
  for (const Note& note : notes) {
    if (note.midi > 0) {
      const double f = frequency(note.midi);
      const int frames = int((note.length + ringEighths) * kEighthFrames);
      const double attack = 0.006 * kRate;
      for (int i = 0; i < frames; ++i) {
        const double t = double(i) / kRate;
        double env = std::exp(-t / decaySeconds);
        if (i < attack) env *= i / attack;
        const int fadeFrames = kEighthFrames / 2;  // ends quietly instead of with a click
        if (i > frames - fadeFrames) env *= double(frames - i) / fadeFrames;
        const double phase = 2 * M_PI * f * t;
        const double tone = std::sin(phase) +
                            brightness * std::sin(2 * phase) * std::exp(-t / 0.15) +
                            0.5 * brightness * std::sin(3 * phase) * std::exp(-t / 0.08);
        const int at = (start * kEighthFrames + i) % kFrames;
        left[at] += leftGain * env * tone;
        right[at] += rightGain * env * tone;
      }
    }
    start += note.length;
  }
}

std::string waveImage() {
  std::vector<double> left(kFrames), right(kFrames);
  addVoice(left, right, kMelody, 0.55, 0.40, 0.45, 0.35, 2.0);
  addVoice(left, right, kHarmony, 0.22, 0.65, 0.60, 0.15, 1.0);
  addVoice(left, right, kBass, 0.40, 0.55, 0.90, 0.25, 1.0);

  // A soft echo three eighths later on the other side, also wrapping around.
  std::vector<double> wetLeft = left, wetRight = right;
  const int delay = 3 * kEighthFrames;
  for (int i = 0; i < kFrames; ++i) {
    const int from = (i + kFrames - delay) % kFrames;
    wetLeft[i] += 0.22 * right[from];
    wetRight[i] += 0.22 * left[from];
  }

  double peak = 0;
  for (int i = 0; i < kFrames; ++i) {
    peak = std::max({peak, std::abs(wetLeft[i]), std::abs(wetRight[i])});
  }
  const double scale = peak > 0 ? 0.7 * 32767 / peak : 0;

  std::string wav;
  auto put16 = [&](std::uint16_t v) {
    wav.push_back(char(v & 0xFF));
    wav.push_back(char(v >> 8));
  };
  auto put32 = [&](std::uint32_t v) {
    put16(std::uint16_t(v & 0xFFFF));
    put16(std::uint16_t(v >> 16));
  };
  wav += "RIFF";
  put32(4 + (8 + 16) + (8 + kDataBytes));
  wav += "WAVE";
  wav += "fmt ";
  put32(16);
  put16(1);  // PCM
  put16(kChannels);
  put32(kRate);
  put32(kRate * kChannels * 2);
  put16(kChannels * 2);
  put16(16);
  wav += "data";
  put32(kDataBytes);
  for (int i = 0; i < kFrames; ++i) {
    put16(std::uint16_t(std::int16_t(std::lround(wetLeft[i] * scale))));
    put16(std::uint16_t(std::int16_t(std::lround(wetRight[i] * scale))));
  }
  return wav;
}

// The image as adjacent string literals with octal escapes: compilers read a long literal far
// faster than an initializer list of a million and more numbers.
std::string cppSource(const std::string& wav) {
  std::string out;
  out.reserve(wav.size() * 4 + 4096);
  out +=
      "// Generated by qelvora_sound_gen at build time. Do not edit.\n"
      "#include \"resources/sound/embedded_sound.h\"\n\n"
      "namespace qelvora {\n\nnamespace {\n\nconst char kImage[] =\n";
  const int perLine = 32;
  char escape[8];
  for (std::size_t i = 0; i < wav.size(); i += perLine) {
    out += "    \"";
    for (std::size_t j = i; j < std::min(wav.size(), i + perLine); ++j) {
      std::snprintf(escape, sizeof escape, "\\%03o", unsigned(static_cast<unsigned char>(wav[j])));
      out += escape;
    }
    out += "\"\n";
  }
  out +=
      "    ;\n\n}  // namespace\n\n"
      "std::string_view embeddedSound() { return {kImage, sizeof kImage - 1}; }\n\n"
      "}  // namespace qelvora\n";
  return out;
}

bool writeFile(const char* path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), std::streamsize(bytes.size()));
  return bool(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <output.cpp> [<output.wav>]\n", argv[0]);
    return 2;
  }
  const std::string wav = waveImage();
  if (!writeFile(argv[1], cppSource(wav))) return 1;
  if (argc > 2 && !writeFile(argv[2], wav)) return 1;
  return 0;
}
