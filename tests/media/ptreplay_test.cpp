// Tests of the Protracker replayer: image checks and bounds, song length and
// end detection against openmpt123 as an independent reference, note onset
// timing, pitch from the replayer's clock, channel sides, and the guards
// against file bytes that would index outside the tables or the image.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "media/media.h"
#include "media/media_private.h"
#include "tests/media/mod_builder.h"

namespace {

constexpr int RATE = MOD_OUTPUT_RATE;

struct Player {
  std::vector<uint8_t> image;
  std::vector<uint64_t> block;  // 8-byte aligned
  ModPlayer* p = nullptr;

  explicit Player(const std::vector<uint8_t>& bytes) : image(bytes) {
    size_t size = ModInit(nullptr, image.data(), image.size(), RATE);
    if (size == 0) return;
    block.assign((size + 7) / 8, 0xA5A5A5A5A5A5A5A5ull);  // garbage: init must clear
    p = reinterpret_cast<ModPlayer*>(block.data());
    if (ModInit(p, image.data(), image.size(), RATE) != 1) p = nullptr;
  }

  // Interleaved stereo frames.
  std::vector<int16_t> render(size_t frames) {
    std::vector<int16_t> pcm(frames * 2);
    size_t done = 0;
    while (done < frames) {
      uint32_t n = static_cast<uint32_t>(std::min<size_t>(4096, frames - done));
      RenderModuleBlock(p, pcm.data() + done * 2, n);
      done += n;
    }
    return pcm;
  }

  // Milliseconds of playing until the song's end is reported; -1 when it
  // does not end within limitMs.
  double msToEnd(double limitMs) {
    ModSetFlags(p, ModGetFlags(p) | MOD_FLAG_STOPATEND);
    std::vector<int16_t> pcm(2);
    for (size_t frame = 0; frame < static_cast<size_t>(limitMs * RATE / 1000); frame++) {
      RenderModuleBlock(p, pcm.data(), 1);
      if (ModGetFlags(p) & MOD_FLAG_ENDED) return frame * 1000.0 / RATE;
    }
    return -1;
  }
};

std::string makeTempDir() {
  char dir[] = "/tmp/qm_ptreplay_XXXXXX";
  EXPECT_NE(mkdtemp(dir), nullptr);
  return dir;
}

std::string runCommand(const std::string& command) {
  std::string out;
  FILE* f = popen(command.c_str(), "r");
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  pclose(f);
  return out;
}

// The duration openmpt123 reports for a module file, in milliseconds.
double referenceDurationMs(const std::vector<uint8_t>& image, const std::string& dir,
                           const std::string& name) {
  std::string path = dir + "/" + name + ".mod";
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return -1;
  fwrite(image.data(), 1, image.size(), f);
  fclose(f);
  std::string out = runCommand("openmpt123 --info '" + path + "' 2>&1");
  size_t at = out.find("Duration");
  if (at == std::string::npos) return -1;
  at = out.find(": ", at);
  int h = 0, m = 0;
  double s = 0;
  std::string text = out.substr(at + 2, out.find('\n', at) - at - 2);
  if (std::sscanf(text.c_str(), "%d:%d:%lf", &h, &m, &s) == 3)
    return ((h * 60 + m) * 60 + s) * 1000;
  if (std::sscanf(text.c_str(), "%d:%lf", &m, &s) == 2) return (m * 60 + s) * 1000;
  return -1;
}

ModBuilder oneNoteSong() {
  ModBuilder b;
  b.samples.push_back(SquareSample(32, 8));
  b.order = {0};
  b.note(0, 0, 0, 428, 1, 0, 0);
  return b;
}

bool silent(const std::vector<int16_t>& pcm) {
  for (int16_t v : pcm) {
    if (v != 0) return false;
  }
  return true;
}

TEST(ModInitTest, ImageSizeAndPatternCount) {
  ModBuilder b = oneNoteSong();
  b.order = {0, 3, 1};
  std::vector<uint8_t> img = b.build();
  img.resize(1084 + 4 * 1024);  // patterns 0..3, no sample data
  size_t four = ModInit(nullptr, img.data(), img.size(), RATE);
  ASSERT_GT(four, 0u);
  std::vector<uint8_t> shorter(img.begin(), img.end() - 1);
  EXPECT_EQ(ModInit(nullptr, shorter.data(), shorter.size(), RATE), 0u)
      << "one byte short of the patterns";
  std::vector<uint8_t> header(img.begin(), img.begin() + 1083);
  EXPECT_EQ(ModInit(nullptr, header.data(), header.size(), RATE), 0u);
  EXPECT_EQ(ModInit(nullptr, img.data(), img.size(), 0), 0u) << "no output rate";

  // Each further pattern needs 3,072 bytes of converted notes; order
  // entries past the song length still count.
  img[952 + 127] = 4;
  img.resize(1084 + 5 * 1024);
  EXPECT_EQ(ModInit(nullptr, img.data(), img.size(), RATE), four + 3072);
}

// Song lengths, jumps and breaks against openmpt123's duration: the song's
// end must fall within one tick (20 ms) of the reference.
TEST(ModReplayTest, DurationMatchesReference) {
  ASSERT_EQ(system("command -v openmpt123 >/dev/null"), 0)
      << "openmpt123 is needed (scripts/setup installs it)";
  struct Case {
    const char* name;
    ModBuilder song;
  };
  std::vector<Case> cases;
  cases.push_back({"speed6", oneNoteSong()});
  {
    ModBuilder b = oneNoteSong();
    b.note(0, 0, 1, 0, 0, 15, 3);
    cases.push_back({"speed3", b});
  }
  {
    ModBuilder b = oneNoteSong();
    b.note(0, 0, 1, 0, 0, 15, 31);  // below 32: speed 31
    b.note(0, 3, 2, 0, 0, 13, 0);
    cases.push_back({"speed31", b});
  }
  {
    ModBuilder b = oneNoteSong();
    b.note(0, 0, 1, 0, 0, 15, 32);  // 32 and above: tempo
    b.note(0, 5, 2, 0, 0, 13, 0);
    cases.push_back({"tempo32", b});
  }
  {
    ModBuilder b = oneNoteSong();
    b.note(0, 2, 1, 0, 0, 15, 200);
    b.note(0, 9, 1, 0, 0, 15, 2);
    b.note(0, 20, 1, 0, 0, 15, 90);
    cases.push_back({"tempoAndSpeedChanges", b});
  }
  {
    ModBuilder b = oneNoteSong();
    b.order = {0, 1};
    b.note(0, 0, 3, 0, 0, 13, 0x64);  // row 64 is out of range: row 0
    b.note(1, 0, 0, 428, 1, 0, 0);
    cases.push_back({"breakTo64", b});
  }
  {
    ModBuilder b = oneNoteSong();
    b.order = {0, 1};
    b.note(1, 5, 2, 0, 0, 11, 0);  // backward jump: the song's end
    cases.push_back({"jumpBack", b});
  }
  {
    ModBuilder b = oneNoteSong();
    b.order = {0, 0};
    b.note(0, 1, 1, 0, 0, 14, 0xE3);  // row 1 lasts four times
    cases.push_back({"patternDelay", b});
  }
  {
    ModBuilder b = oneNoteSong();
    b.note(0, 4, 1, 0, 0, 14, 0x60);
    b.note(0, 8, 1, 0, 0, 14, 0x62);  // rows 4..8 three times
    cases.push_back({"patternLoop", b});
  }
  std::string dir = makeTempDir();
  for (Case& c : cases) {
    std::vector<uint8_t> img = c.song.build();
    double reference = referenceDurationMs(img, dir, c.name);
    ASSERT_GT(reference, 0) << c.name;
    Player pl(img);
    ASSERT_NE(pl.p, nullptr) << c.name;
    double ours = pl.msToEnd(reference + 2000);
    EXPECT_NEAR(ours, reference, 20.0) << c.name;
  }
  runCommand("rm -rf '" + dir + "'");
}

// Breaks and jumps that leave rows unplayed: the reference player counts
// unplayed rows in its duration, so these are checked against row counts
// (speed 6 at tempo 125: 120 ms a row).
TEST(ModReplayTest, BreaksAndJumpsEndTheSong) {
  struct Case {
    const char* name;
    ModBuilder song;
    int rows;
  };
  std::vector<Case> cases;
  {
    ModBuilder b = oneNoteSong();
    b.order = {0, 1};
    b.note(0, 10, 3, 0, 0, 13, 0x21);  // decimal digits: row 21 of order 1
    b.note(1, 30, 3, 0, 0, 13, 0x05);  // break past the last order: the end
    cases.push_back({"breakRowsAreDecimal", b, 11 + 10});
  }
  {
    ModBuilder b = oneNoteSong();
    b.order = {0, 1, 0};
    b.note(0, 7, 2, 0, 0, 11, 2);  // forward jump; in order 2 a jump to itself ends
    cases.push_back({"jumpForwardThenToSelf", b, 8 + 8});
  }
  {
    ModBuilder b = oneNoteSong();
    b.order = {0, 1};
    b.note(0, 3, 2, 0, 0, 11, 0x7F);  // past the song length: wraps and ends
    cases.push_back({"jumpPastLength", b, 4});
  }
  {
    ModBuilder b = oneNoteSong();
    b.order = {0, 1};
    b.note(0, 3, 2, 0, 0, 11, 1);  // jump and break together: order 1, row 60
    b.note(0, 3, 1, 0, 0, 13, 0x60);
    cases.push_back({"jumpWithBreakRow", b, 4 + 4});
  }
  for (Case& c : cases) {
    Player pl(c.song.build());
    ASSERT_NE(pl.p, nullptr) << c.name;
    EXPECT_NEAR(pl.msToEnd(20000), c.rows * 120.0, 1.0) << c.name;
  }
}

// First non-zero output frame at or after frame from, per side.
size_t onset(const std::vector<int16_t>& pcm, size_t from, int side) {
  for (size_t f = from; f * 2 + side < pcm.size(); f++) {
    if (pcm[f * 2 + side] != 0) return f;
  }
  return SIZE_MAX;
}

TEST(ModReplayTest, NoteOnsetsFollowRowTiming) {
  // Short one-shot notes (silence between them) at rows whose times are
  // known: speed 6 at tempo 125 is 120 ms a row; then speed 3 (60 ms);
  // then tempo 250 (30 ms); a note delay of 2 ticks adds 2 ticks.
  ModBuilder b;
  ModBuilderSample s;
  s.data.assign(64, 90);
  b.samples.push_back(s);
  b.order = {0};
  b.note(0, 0, 0, 214, 1, 0, 0);
  b.note(0, 2, 0, 214, 1, 0, 0);
  b.note(0, 4, 1, 214, 1, 15, 3);
  b.note(0, 7, 1, 214, 1, 0, 0);
  b.note(0, 8, 2, 214, 1, 15, 250);
  b.note(0, 10, 2, 214, 1, 0, 0);
  b.note(0, 12, 3, 214, 1, 14, 0xD2);
  struct Onset {
    size_t fromMs;
    int side;  // 0 left, 1 right
    double expectMs;
  };
  const Onset expected[] = {
      {0, 1, 0},                                 // row 0, channel 1 (right)
      {10, 1, 240},                              // row 2
      {250, 0, 480},                             // row 4, channel 2 (left), speed 3 from here
      {490, 0, 480 + 3 * 60},                    // row 7
      {670, 0, 480 + 4 * 60},                    // row 8, channel 3: tempo 250, 30 ms rows
      {730, 0, 480 + 4 * 60 + 2 * 30},           // row 10
      {790, 1, 480 + 4 * 60 + 4 * 30 + 2 * 10},  // row 12, delayed two 10 ms ticks
  };
  Player pl(b.build());
  ASSERT_NE(pl.p, nullptr);
  std::vector<int16_t> pcm = pl.render(RATE);
  for (const Onset& e : expected) {
    size_t f = onset(pcm, e.fromMs * RATE / 1000, e.side);
    ASSERT_NE(f, SIZE_MAX) << e.expectMs;
    EXPECT_NEAR(f * 1000.0 / RATE, e.expectMs, 2.0) << "note expected at " << e.expectMs << " ms";
  }
}

// Frequency of the right side from its rising zero crossings.
double measureHz(const std::vector<int16_t>& pcm, int side) {
  long first = -1, last = -1, count = 0;
  for (size_t f = 1; f * 2 + side < pcm.size(); f++) {
    if (pcm[(f - 1) * 2 + side] <= 0 && pcm[f * 2 + side] > 0) {
      if (first < 0) first = static_cast<long>(f);
      last = static_cast<long>(f);
      count++;
    }
  }
  if (count < 2) return 0;
  return (count - 1) * static_cast<double>(RATE) / (last - first);
}

TEST(ModReplayTest, PitchFollowsClock) {
  // A 32-byte square cycle sounds at clock / period / 32 Hz, where the
  // clock is 1,172,874,197 x 50 / 2^14 (the step formula's constant).
  const double clock = 1172874197.0 * 50 / 16384;
  struct Case {
    int period;
    int finetune;
    int expectPeriod;
  };
  const Case cases[] = {
      {856, 0, 856}, {428, 0, 428},  {214, 0, 214},  {113, 0, 113},
      {856, 1, 850}, {428, 15, 431}, {856, 15, 856},  // 862 in the table, clamped to the lowest pitch
      {430, 0, 428}};                                 // not in the table: the nearest note
  for (const Case& c : cases) {
    ModBuilder b;
    b.samples.push_back(SquareSample(32, 4));
    b.samples[0].finetune = c.finetune;
    b.order = {0};
    b.note(0, 0, 0, c.period, 1, 0, 0);
    Player pl(b.build());
    ASSERT_NE(pl.p, nullptr);
    std::vector<int16_t> pcm = pl.render(RATE / 2);
    double want = clock / c.expectPeriod / 32;
    EXPECT_NEAR(measureHz(pcm, 1), want, want * 0.002)
        << "period " << c.period << " finetune " << c.finetune;
  }
}

TEST(ModReplayTest, ChannelSides) {
  // Channels 1 and 4 sound on the right output, channels 2 and 3 on the left.
  const int rightSide[4] = {1, 0, 0, 1};
  for (int c = 0; c < 4; c++) {
    ModBuilder b;
    b.samples.push_back(SquareSample(32, 4));
    b.order = {0};
    b.note(0, 0, c, 428, 1, 0, 0);
    Player pl(b.build());
    ASSERT_NE(pl.p, nullptr);
    std::vector<int16_t> pcm = pl.render(RATE / 10);
    bool left = false, right = false;
    for (size_t f = 0; f < pcm.size() / 2; f++) {
      left |= pcm[f * 2] != 0;
      right |= pcm[f * 2 + 1] != 0;
    }
    EXPECT_EQ(right, rightSide[c] == 1) << "channel " << c + 1;
    EXPECT_EQ(left, rightSide[c] == 0) << "channel " << c + 1;
  }
}

// File bytes that would index outside the tables or the image: each case
// must render without a sanitizer report and with the stated result.
TEST(ModReplayTest, HostileValuesStaySilentOrBounded) {
  struct Case {
    const char* name;
    ModBuilder song;
    bool expectSilent;
  };
  std::vector<Case> cases;
  {
    ModBuilder b;  // nothing plays: every channel starts silent
    b.samples.push_back(SquareSample(32, 4));
    b.order = {0};
    cases.push_back({"emptyPatterns", b, true});
  }
  {
    ModBuilder b = oneNoteSong();
    b.note(0, 0, 0, 428, 0x25, 0, 0);  // sample 37 means none
    cases.push_back({"sampleAbove31", b, true});
  }
  {
    ModBuilder b = oneNoteSong();
    b.note(0, 0, 0, 428, 1, 9, 0x10);  // offset 4096 past the 256-byte sample
    cases.push_back({"offsetPastSample", b, true});
  }
  {
    ModBuilder b = oneNoteSong();
    b.note(0, 0, 0, 428, 2, 0, 0);  // sample 2 has no data
    cases.push_back({"sampleWithoutData", b, true});
  }
  {
    ModBuilder b = oneNoteSong();
    b.samples[0].lengthWords = 30000;  // claims far more than the image holds
    b.samples[0].loopStartWords = 20000;
    b.samples[0].loopLengthWords = 9000;
    cases.push_back({"sampleAndLoopPastImage", b, false});
  }
  {
    ModBuilder b = oneNoteSong();
    b.samples[0].loopStartWords = 100;  // loop runs past the sample's end
    b.samples[0].loopLengthWords = 200;
    b.note(0, 1, 0, 0, 0, 14, 0xFF);  // funk repeat on the cut loop
    cases.push_back({"loopPastSample", b, false});
  }
  {
    ModBuilder b = oneNoteSong();
    b.note(0, 0, 1, 0xFFF, 1, 0, 0x7F);  // period far off the table, arpeggio
    b.note(0, 1, 2, 1, 1, 4, 0xFF);      // tiny period, deepest vibrato
    b.note(0, 2, 3, 428, 1, 14, 0x9F);   // retrigger, cut, delay beyond speed
    b.note(0, 3, 3, 428, 1, 14, 0xDF);
    b.note(0, 4, 0, 0, 0, 7, 0xFF);
    cases.push_back({"extremeParameters", b, false});
  }
  for (Case& c : cases) {
    Player pl(c.song.build());
    ASSERT_NE(pl.p, nullptr) << c.name;
    std::vector<int16_t> pcm = pl.render(RATE / 2);
    EXPECT_EQ(silent(pcm), c.expectSilent) << c.name;
  }
}

TEST(ModReplayTest, SongPositionLimits) {
  struct Case {
    const char* name;
    int songLength;
    std::vector<uint8_t> order;
    int jumpParam;  // B effect on row 0 of pattern 0, or -1
    int expectPos;  // song position and row after the first row
    int expectRow;
    bool expectEnded;
  };
  const Case cases[] = {
      {"lengthZeroIsOne", 0, {0, 0}, -1, 0, 1, false},
      {"jumpPastLengthWrapsAndEnds", 2, {0, 0}, 0x7F, 0, 0, true},
      {"jumpForward", 3, {0, 0, 0}, 2, 2, 0, false},
      {"jumpToSelfEnds", 2, {0, 0}, 0, 0, 0, true},
      {"lengthAbove128Clamped", 200, {0}, 127, 127, 0, false},
  };
  for (const Case& c : cases) {
    ModBuilder b = oneNoteSong();
    b.order = c.order;
    b.songLength = c.songLength;
    if (c.jumpParam >= 0) b.note(0, 0, 3, 0, 0, 11, c.jumpParam);
    Player pl(b.build());
    ASSERT_NE(pl.p, nullptr) << c.name;
    pl.render(RATE * 120 / 1000 + 10);  // one row at speed 6, then a little
    EXPECT_EQ(ModulePositionControl(2, pl.p, 0), c.expectPos) << c.name;
    EXPECT_EQ(ModulePositionControl(1, pl.p, 0), c.expectRow) << c.name;
    EXPECT_EQ((ModGetFlags(pl.p) & MOD_FLAG_ENDED) != 0, c.expectEnded) << c.name;
  }

  // Speed 0 ends the song; with stop-at-end set the output then falls silent.
  ModBuilder b = oneNoteSong();
  b.note(0, 1, 1, 0, 0, 15, 0);
  Player pl(b.build());
  ModSetFlags(pl.p, ModGetFlags(pl.p) | MOD_FLAG_STOPATEND);
  std::vector<int16_t> pcm = pl.render(RATE / 2);
  EXPECT_TRUE(ModGetFlags(pl.p) & MOD_FLAG_ENDED);
  EXPECT_FALSE(silent(std::vector<int16_t>(pcm.begin(), pcm.begin() + 2 * RATE / 10)));
  EXPECT_TRUE(silent(std::vector<int16_t>(pcm.begin() + 2 * RATE * 13 / 100, pcm.end())));
}

// Channel 1's state after a number of ticks at speed 6 (960 frames a tick):
// the effects' arithmetic, caps and clamps.
TEST(ModReplayTest, EffectArithmetic) {
  struct Case {
    const char* name;
    int effect, param;                      // on row 0 with the note 428 and sample 1
    int row1Period, row1Effect, row1Param;  // row 1 (period 0: none)
    int sampleVolume;
    int ticks;
    int period, outPeriod, volume, outVolume;  // -1: not checked
    bool playing;
  };
  const Case cases[] = {
      {"volumeSlideDown", 10, 0x03, 0, 0, 0, 64, 6, 428, 428, 48, 48, true},
      {"volumeSlideUpCapped", 10, 0x40, 0, 0, 0, 60, 6, -1, -1, 63, 63, true},
      {"setVolumeCapped", 12, 0x40, 0, 0, 0, 10, 1, -1, -1, 63, 63, true},
      {"slideUpClamped", 1, 0x40, 0, 0, 0, 64, 6, 113, 113, -1, -1, true},
      {"slideDown", 2, 0x10, 0, 0, 0, 64, 6, 508, 508, -1, -1, true},
      {"tonePortamentoPartWay", 0, 0, 214, 3, 0x20, 64, 12, 268, 268, -1, -1, true},
      {"tonePortamentoStopsAtTarget", 0, 0, 214, 3, 0x40, 64, 12, 214, 214, -1, -1, true},
      {"fineSlideOnce", 14, 0x13, 0, 0, 0, 64, 6, 425, 425, -1, -1, true},
      {"noteCut", 14, 0xC2, 0, 0, 0, 64, 3, -1, -1, 0, 0, true},
      {"arpeggioCountsDown", 0, 0x47, 0, 0, 0, 64, 5, 428, 339, -1, -1, true},
      {"vibrato", 4, 0x8F, 0, 0, 0, 64, 2, 428, 449, -1, -1, true},
      {"tremolo", 7, 0x8F, 0, 0, 0, 32, 2, -1, -1, 32, 53, true},
      {"noteDelayBeforeItsTick", 14, 0xD3, 0, 0, 0, 64, 3, -1, -1, -1, -1, false},
      {"noteDelayAtItsTick", 14, 0xD3, 0, 0, 0, 64, 4, 428, 428, -1, -1, true},
      {"glissandoRoundsToNote", 14, 0x31, 0, 2, 0x03, 64, 12, 428, 428, -1, -1, true},
      {"slideWithoutGlissando", 0, 0, 0, 2, 0x03, 64, 12, 443, 443, -1, -1, true},
  };
  for (const Case& c : cases) {
    ModBuilder b;
    b.samples.push_back(SquareSample(32, 32));
    b.samples[0].volume = c.sampleVolume;
    b.order = {0};
    b.note(0, 0, 0, 428, 1, c.effect, c.param);
    b.note(0, 1, 0, c.row1Period, 0, c.row1Effect, c.row1Param);
    Player pl(b.build());
    ASSERT_NE(pl.p, nullptr) << c.name;
    pl.render(static_cast<size_t>(c.ticks) * 960);
    const ModChannel& ch = pl.p->channels[0];
    if (c.period >= 0) {
      EXPECT_EQ(ch.period, c.period) << c.name;
    }
    if (c.outPeriod >= 0) {
      EXPECT_EQ(ch.outPeriod, c.outPeriod) << c.name;
    }
    if (c.volume >= 0) {
      EXPECT_EQ(ch.volume, c.volume) << c.name;
    }
    if (c.outVolume >= 0) {
      EXPECT_EQ(ch.outVolume, c.outVolume) << c.name;
    }
    EXPECT_EQ(ch.position >= 0, c.playing) << c.name;
  }
}

// The filter switch: the same note with the filter on carries far less
// high-frequency energy (sample-to-sample change) than with it off.
TEST(ModReplayTest, FilterSwitch) {
  double energy[2];
  for (int on = 0; on < 2; on++) {
    ModBuilder b;
    b.samples.push_back(SquareSample(4, 64));
    b.order = {0};
    b.note(0, 0, 0, 113, 1, 14, on ? 0x00 : 0x01);
    Player pl(b.build());
    std::vector<int16_t> pcm = pl.render(RATE / 10);
    energy[on] = 0;
    for (size_t f = 2; f < pcm.size() / 2; f++)
      energy[on] += std::abs(pcm[f * 2 + 1] - pcm[(f - 1) * 2 + 1]);
  }
  EXPECT_GT(energy[0], 0);
  EXPECT_LT(energy[1], energy[0] * 0.5);
}

TEST(ModReplayTest, PositionRequestAndRestart) {
  ModBuilder b = oneNoteSong();
  b.order = {0, 0, 0};
  Player pl(b.build());
  ASSERT_NE(pl.p, nullptr);
  EXPECT_EQ(ModulePositionControl(2, nullptr, 0), -1) << "no channel plays it";
  pl.render(RATE);  // into row 8
  EXPECT_EQ(ModulePositionControl(1, pl.p, 0), 8);
  EXPECT_EQ(ModulePositionControl(0, pl.p, 2), 0);
  std::vector<int16_t> first = pl.render(1);
  EXPECT_EQ(ModulePositionControl(2, pl.p, 0), 2);
  EXPECT_EQ(ModulePositionControl(1, pl.p, 0), 0);
  ModulePositionControl(0, pl.p, 99);  // past the song: position 0
  pl.render(1);
  EXPECT_EQ(ModulePositionControl(2, pl.p, 0), 0);

  // A restart from the kept image plays the song from the top again, the
  // same samples as a fresh player.
  size_t size = 0;
  uint8_t* image = ModGetImage(pl.p, &size);
  ASSERT_EQ(ModInit(pl.p, image, size, RATE), 1u);
  Player fresh(b.build());
  EXPECT_EQ(pl.render(RATE / 4), fresh.render(RATE / 4));
}

// A player moved on without a buffer stands where rendering the same frames
// would leave it: song position, row, effects and every sample position,
// so that it renders the same sound from there. A copy of the state plays
// on like the original. Each song is moved on in blocks of several sizes.
TEST(ModReplayTest, MovingOnWithoutMixingMatchesRendering) {
  struct Case {
    const char* name;
    ModBuilder song;
    bool stopAtEnd = false;
  };
  std::vector<Case> cases;
  {
    // Notes on all channels, a sample that ends, speed and tempo changes,
    // a sample offset, a retrigger, a note delay and a note cut.
    ModBuilder b;
    b.samples.push_back(SquareSample(32, 8));
    ModBuilderSample oneShot;
    for (int i = 0; i < 600; i++) oneShot.data.push_back(int8_t(i * 37));
    b.samples.push_back(oneShot);
    b.order = {0, 1, 0};
    b.note(0, 0, 0, 428, 1, 0xF, 4);
    b.note(0, 0, 1, 214, 2, 0, 0);
    b.note(0, 1, 2, 856, 2, 9, 1);  // from byte 256
    b.note(0, 2, 3, 300, 1, 0xF, 140);
    b.note(0, 3, 1, 381, 1, 0xE, 0x92);
    b.note(0, 4, 2, 113, 2, 0xE, 0xD2);
    b.note(0, 5, 0, 0, 0, 0xE, 0xC1);
    b.note(0, 6, 1, 0, 0, 0xD, 0);
    b.note(1, 0, 0, 320, 1, 4, 0x46);
    b.note(1, 1, 1, 254, 2, 0, 0x37);
    b.note(1, 2, 2, 160, 1, 3, 0x08);
    b.note(1, 3, 3, 600, 1, 0xA, 0x02);
    cases.push_back({"effects", b});
  }
  {
    // Loops, delays, jumps: the song's flow.
    ModBuilder b;
    b.samples.push_back(SquareSample(16, 4));
    b.order = {0, 1};
    b.note(0, 0, 0, 428, 1, 0xF, 1);
    b.note(0, 2, 1, 0, 0, 0xE, 0x60);
    b.note(0, 5, 1, 0, 0, 0xE, 0x62);
    b.note(0, 6, 2, 0, 0, 0xE, 0xE2);
    b.note(0, 9, 3, 0, 0, 0xB, 1);
    b.note(1, 3, 3, 0, 0, 0xD, 0x10);
    cases.push_back({"flow", b});
  }
  {
    // A sample number without a note on a looping sample: the new sample
    // takes over at the loop's end, so a position crosses a swap.
    ModBuilder b;
    b.samples.push_back(SquareSample(64, 1));
    b.samples.push_back(SquareSample(20, 3));
    b.order = {0};
    b.note(0, 0, 0, 113, 1, 0, 0);
    b.note(0, 1, 0, 0, 2, 0, 0);
    cases.push_back({"pendingSample", b});
  }
  {
    ModBuilder b = oneNoteSong();
    b.note(0, 3, 1, 0, 0, 0xF, 0);  // the end, then silence
    cases.push_back({"stopAtEnd", b, true});
  }
  const uint32_t total = RATE * 3 + 123;
  for (Case& c : cases) {
    for (uint32_t block : {1u, 7u, 960u, 4096u, total}) {
      SCOPED_TRACE(std::string(c.name) + ", blocks of " + std::to_string(block));
      Player rendered(c.song.build()), moved(c.song.build());
      ASSERT_NE(rendered.p, nullptr);
      if (c.stopAtEnd) {
        ModSetFlags(rendered.p, ModGetFlags(rendered.p) | MOD_FLAG_STOPATEND);
        ModSetFlags(moved.p, ModGetFlags(moved.p) | MOD_FLAG_STOPATEND);
      }
      rendered.render(total);
      for (uint32_t done = 0; done < total; done += block)
        RenderModuleBlock(moved.p, nullptr, std::min(block, total - done));
      EXPECT_EQ(ModulePositionControl(2, moved.p, 0), ModulePositionControl(2, rendered.p, 0));
      EXPECT_EQ(ModulePositionControl(1, moved.p, 0), ModulePositionControl(1, rendered.p, 0));
      for (int k = 0; k < MOD_CHANNELS; k++) {
        EXPECT_EQ(moved.p->channels[k].position, rendered.p->channels[k].position) << k;
        EXPECT_EQ(moved.p->channels[k].sample, rendered.p->channels[k].sample) << k;
      }
      EXPECT_EQ(moved.render(RATE / 2), rendered.render(RATE / 2));
    }
  }

  // The copy: a second block that plays on from the same moment.
  Player original(cases[0].song.build());
  original.render(RATE + 17);
  std::vector<uint64_t> block((ModStateSize(original.p) + 7) / 8);
  auto* copy = reinterpret_cast<ModPlayer*>(block.data());
  ModCopyState(copy, original.p);
  std::vector<int16_t> fromCopy(RATE * 2);
  RenderModuleBlock(copy, fromCopy.data(), RATE);
  EXPECT_EQ(original.render(RATE), fromCopy);
}

// Moving on leaves the sample bytes alone: the funk effect inverts them in
// the image that a rendering player shares.
TEST(ModReplayTest, MovingOnLeavesTheSampleBytes) {
  ModBuilder b;
  b.samples.push_back(SquareSample(32, 2));
  b.order = {0};
  b.note(0, 0, 0, 428, 1, 0xE, 0xFF);
  Player rendered(b.build()), moved(b.build());
  const std::vector<uint8_t> image = moved.image;
  rendered.render(RATE);
  RenderModuleBlock(moved.p, nullptr, RATE);
  EXPECT_NE(rendered.image, image) << "the funk effect inverts loop bytes";
  EXPECT_EQ(moved.image, image);
}

}  // namespace
