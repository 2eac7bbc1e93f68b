// Records shared inside the media folder: the Protracker player block.
// Invariant: every sample's data, length and loop lie inside the module
// image, and every index taken from the file was bounded at ModInit, so the
// mixer and the effects never read outside the image or the tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/media.h"

constexpr int MOD_SAMPLES = 31;
constexpr int MOD_CHANNELS = 4;
constexpr int MOD_ROWS = 64;
constexpr int MOD_ORDERS = 128;
constexpr int MOD_NOTES = 36;  // three octaves per finetune row
constexpr int MOD_FIX = 14;    // 18.14 fixed point
constexpr int32_t MOD_PERIOD_MIN = 113;
constexpr int32_t MOD_PERIOD_MAX = 856;
constexpr int32_t MOD_VOLUME_MAX = 63;
constexpr size_t MOD_HEADER_BYTES = 1084;
constexpr size_t MOD_PATTERN_FILE_BYTES = 1024;

// A note as converted from the file's four bytes; sample numbers above 31
// were turned into 0 (none).
struct ModNote {
  uint32_t period;
  uint32_t sample;
  uint8_t effect, x, y, param;
};
static_assert(sizeof(ModNote) == 12, "a converted note takes 12 bytes");

struct ModSample {
  char name[23];
  int8_t* data;        // null: no usable data, the sample is silent
  int64_t length;      // 18.14, inside the image
  int32_t finetune;    // 0..15
  int32_t volume;      // as in the file, taken as 63 above 63
  int64_t loopStart;   // 18.14
  int64_t loopLength;  // 18.14; 0 means no loop
  int64_t loopEnd;     // 18.14, at most length
};

struct ModChannel {
  int32_t sample;      // the sample playing, 0 none
  int32_t pending;     // a sample number swapped in at the next loop wrap
  int32_t instrument;  // the last sample number given, for new notes
  int64_t position;    // 18.14; -1 silent
  int32_t period;      // base period, 0 before the first note
  int32_t outPeriod;   // period played this tick (vibrato, arpeggio)
  uint32_t step;       // 18.14 per internal sample
  int32_t volume;      // 0..63
  int32_t outVolume;   // volume played this tick (tremolo)
  int32_t panning;     // 0..255: share of the left side
  int32_t finetune;
  int32_t slide, volSlide;
  int32_t portaTarget, portaSpeed;
  int32_t vibSpeed, vibDepth, vibPos, vibWave;
  int32_t tremSpeed, tremDepth, tremPos, tremWave;
  int32_t glissando;
  int32_t retrigger, cutTick, delayTick;
  uint32_t delayPeriod;
  int32_t loopRow, loopCount;
  int32_t funkSpeed, funkAcc, funkPos;
  int32_t offsetMemory;  // bytes of the last sample offset
  uint8_t effect, x, y, param;
};

struct ModPlayer {
  char title[21];
  int32_t patterns;
  int32_t songLength;                  // 1..128
  ModSample samples[MOD_SAMPLES + 1];  // numbered 1..31; entry 0 is empty
  ModChannel channels[MOD_CHANNELS];
  ModNote* notes;  // patterns x 64 rows x 4 channels, after this record
  uint8_t order[MOD_ORDERS];
  uint32_t flags;
  int32_t masterVolume;
  int32_t internalRate;
  uint32_t samplesPerTick;
  uint32_t samplesLeft;
  int32_t speed, tempo;
  int32_t songPos, row;  // read by other threads through atomic loads
  int32_t tick;          // ticks of the current row done so far
  int32_t patternDelay;  // repeats of the current row still to play
  int32_t repeating;     // playing a repeat of a delayed row
  int32_t breakFlag, breakRow;
  int32_t jumpFlag, jumpTarget;
  int32_t loopJump, loopJumpRow;
  int32_t filterOn;
  int32_t songEndCount;
  int32_t requestFlag;  // pending position request (atomic access)
  int32_t requestPos, requestRow;
  double filterA, filterGain;
  double filterIn[2][2], filterOut[2][2];  // [side][section]
  int32_t pairLeft, pairRight, pairCount;  // half of an output frame
  uint8_t* image;
  size_t imageSize;
};
