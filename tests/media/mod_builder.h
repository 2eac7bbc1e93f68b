// Builds small Protracker "M.K." module images for the replayer tests and
// the fuzz seeds: samples, an order table and patterns of 64 rows x 4
// channels, written in the file layout (big-endian words).
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

struct ModBuilderSample {
  std::vector<int8_t> data;  // even length
  int volume = 64;
  int finetune = 0;
  int loopStartWords = 0;
  int loopLengthWords = 1;  // 1 word: no loop
  int lengthWords = -1;     // -1: data.size() / 2; others claim any length
};

struct ModBuilder {
  std::vector<ModBuilderSample> samples;  // sample 1 first
  std::vector<std::vector<uint8_t>> patterns;
  std::vector<uint8_t> order;
  int songLength = -1;  // -1: order.size()

  // Pattern p (created on demand), row, channel 0..3.
  void note(int p, int row, int channel, int period, int sample, int effect, int param) {
    while (static_cast<int>(patterns.size()) <= p) patterns.emplace_back(1024, 0);
    uint8_t* b = &patterns[p][(row * 4 + channel) * 4];
    b[0] = static_cast<uint8_t>((sample & 0xF0) | ((period >> 8) & 15));
    b[1] = static_cast<uint8_t>(period & 255);
    b[2] = static_cast<uint8_t>(((sample & 15) << 4) | (effect & 15));
    b[3] = static_cast<uint8_t>(param);
  }

  std::vector<uint8_t> build() const {
    std::vector<uint8_t> out(1084, 0);
    const char title[] = "builder";
    for (size_t i = 0; i < sizeof(title) - 1; i++) out[i] = static_cast<uint8_t>(title[i]);
    for (size_t i = 0; i < 31; i++) {
      uint8_t* h = &out[20 + i * 30];
      int length = 0, fine = 0, vol = 0, ls = 0, ll = 1;
      if (i < samples.size()) {
        const ModBuilderSample& s = samples[i];
        length = s.lengthWords >= 0 ? s.lengthWords : static_cast<int>(s.data.size() / 2);
        fine = s.finetune;
        vol = s.volume;
        ls = s.loopStartWords;
        ll = s.loopLengthWords;
      }
      h[22] = static_cast<uint8_t>(length >> 8);
      h[23] = static_cast<uint8_t>(length);
      h[24] = static_cast<uint8_t>(fine);
      h[25] = static_cast<uint8_t>(vol);
      h[26] = static_cast<uint8_t>(ls >> 8);
      h[27] = static_cast<uint8_t>(ls);
      h[28] = static_cast<uint8_t>(ll >> 8);
      h[29] = static_cast<uint8_t>(ll);
    }
    out[950] = static_cast<uint8_t>(songLength >= 0 ? songLength : static_cast<int>(order.size()));
    out[951] = 127;
    for (size_t i = 0; i < order.size() && i < 128; i++) out[952 + i] = order[i];
    out[1080] = 'M';
    out[1081] = '.';
    out[1082] = 'K';
    out[1083] = '.';
    int count = 0;
    for (int i = 0; i < 128; i++) count = std::max(count, out[952 + i] + 1);
    for (int p = 0; p < count; p++) {
      if (p < static_cast<int>(patterns.size())) {
        out.insert(out.end(), patterns[p].begin(), patterns[p].end());
      } else {
        out.insert(out.end(), 1024, 0);
      }
    }
    for (const ModBuilderSample& s : samples) {
      for (int8_t v : s.data) out.push_back(static_cast<uint8_t>(v));
    }
    return out;
  }
};

// A looping square wave: half a cycle of +amp, half of -amp.
inline ModBuilderSample SquareSample(int cycleBytes, int cycles, int amp = 100) {
  ModBuilderSample s;
  for (int c = 0; c < cycles; c++) {
    for (int i = 0; i < cycleBytes; i++)
      s.data.push_back(static_cast<int8_t>(i < cycleBytes / 2 ? amp : -amp));
  }
  s.loopStartWords = 0;
  s.loopLengthWords = static_cast<int>(s.data.size() / 2);
  return s;
}
