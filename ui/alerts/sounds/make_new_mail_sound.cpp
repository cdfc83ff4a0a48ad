// Writes the default new-mail sound, a soft two-note piano-like chime, as a 16-bit mono
// wave file: make_new_mail_sound OUTPUT.wav
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <string>

namespace {

constexpr uint32_t kSampleRate = 44100;
constexpr double kSeconds = 1.1;

struct Note {
  double frequency;  // Hz
  double start;      // seconds
  double level;
};

// A struck string: a fast attack, an exponential decay, and overtones that fade sooner
// than the fundamental.
double NoteSample(const Note& note, double time) {
  const double t = time - note.start;
  if (t < 0)
    return 0;
  const double attack = std::min(1.0, t / 0.004);
  double value = 0;
  const double overtones[] = {1.0, 0.45, 0.22, 0.1};
  for (int k = 0; k < 4; ++k) {
    const double decay = std::exp(-t * (3.2 + 2.5 * k));
    value += overtones[k] * decay * std::sin(2 * std::numbers::pi * note.frequency * (k + 1) * t);
  }
  return note.level * attack * value;
}

void PutLittleEndian(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_new_mail_sound OUTPUT.wav\n");
    return 2;
  }
  const Note notes[] = {{659.26, 0.0, 0.32}, {987.77, 0.14, 0.28}};  // E5, B5
  const auto count = static_cast<uint32_t>(kSampleRate * kSeconds);
  std::string samples;
  samples.reserve(count * 2);
  for (uint32_t i = 0; i < count; ++i) {
    const double time = static_cast<double>(i) / kSampleRate;
    double value = 0;
    for (const Note& note : notes)
      value += NoteSample(note, time);
    // A short fade at the end so the file stops without a click.
    const double tail = (kSeconds - time) / 0.05;
    value *= std::min(1.0, std::max(0.0, tail));
    const auto sample = static_cast<int16_t>(std::lround(std::clamp(value, -1.0, 1.0) * 32767));
    PutLittleEndian(samples, static_cast<uint16_t>(sample), 2);
  }
  std::string file = "RIFF";
  PutLittleEndian(file, static_cast<uint32_t>(36 + samples.size()), 4);
  file += "WAVEfmt ";
  PutLittleEndian(file, 16, 4);
  PutLittleEndian(file, 1, 2);  // PCM
  PutLittleEndian(file, 1, 2);  // mono
  PutLittleEndian(file, kSampleRate, 4);
  PutLittleEndian(file, kSampleRate * 2, 4);
  PutLittleEndian(file, 2, 2);
  PutLittleEndian(file, 16, 2);
  file += "data";
  PutLittleEndian(file, static_cast<uint32_t>(samples.size()), 4);
  file += samples;
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(file.data(), static_cast<std::streamsize>(file.size()));
  return out.good() ? 0 : 1;
}
