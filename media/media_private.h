// Records shared inside the media folder: the sound readers and the module
// replayer as media/ and its tests use them, and the Protracker player block.
// Invariant: every sample's data, length and loop lie inside the module
// image, and every index taken from the file was bounded at ModInit, so the
// mixer and the effects never read outside the image or the tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/media.h"

struct PluginBase;

// ---- Sound readers and module replayer ----

// Reader kinds and what the source field holds for each.
enum : int32_t {
  SOUNDKIND_NONE = 0,
  SOUNDKIND_8SVX = 1,  // StreamHandle*
  SOUNDKIND_16SV = 2,  // StreamHandle*
  SOUNDKIND_WAVE = 3,  // StreamHandle*
  SOUNDKIND_NATIVE = 4,
  SOUNDKIND_PLUGIN = 5,  // the plug-in's stream handle
  SOUNDKIND_CUSTOM = 6,  // script-fed queue
  SOUNDKIND_MODULE = 8,  // the module image
};

// Flag bits of SoundStream::flags.
constexpr uint32_t SOUNDFLAG_BIGENDIAN = 1;  // 16-bit samples are big-endian
constexpr uint32_t SOUNDFLAG_SIGNED = 2;     // samples are signed

// A buffer of a script-fed stream: its frames follow the record.
struct QueuedSoundBuffer {
  QueuedSoundBuffer* next;
  uint32_t frames;
  uint32_t position;  // next frame to copy
  int32_t done;
};

struct SoundStream {
  void* source;
  int32_t bits;            // 8 or 16
  int32_t bytesPerFrame;   // 1, 2 or 4
  int32_t channels;        // 1 or 2
  uint32_t flags;          // SOUNDFLAG_
  int32_t rate;            // frames per second, never 0 after a parse
  uint32_t channelFrames;  // 8SVX/16SV: samples per channel block in the BODY
  uint32_t byteLength;     // frames x bytes per frame
  uint32_t frames;         // total frames (length queries)
  uint32_t streamFrames;   // total frames (streaming end test)
  uint32_t position;       // next frame to decode
  int64_t dataStart;       // file offset of the first sample byte
  uint32_t bytesLeft;
  int32_t outputBytesPerFrame;
  int32_t framesPerUnit;
  uint32_t lastBytes;   // bytes produced by the last decode call
  uint32_t lastFrames;  // frames produced by the last decode call
  int32_t readerKind;   // SOUNDKIND_
  int32_t formatCode;   // 0..5, or -1
  int32_t bitRate;
  TimeValue positionTime;
  TimeValue playStartTime;
  int64_t accumulatedMs;
  int32_t openFlag;
  int32_t seekable;
  int32_t subsongCount;
  QueuedSoundBuffer* queueHead;  // script-fed PCM, oldest first
  QueuedSoundBuffer* queueTail;
  PlatformMutex* queueLock;
  struct {
    int32_t rate, bits, channels, bytesPerFrame, formatCode;
  } queueFormat;
  uint32_t queuedFrames;
  int32_t flushRequest;
  PluginBase* plugin;
  uint8_t* scratch;  // 8SVX/16SV: one channel's samples for de-interleaving
  size_t scratchSize;
};

// One built-in reader: its format name and four operations.
//  parse: source holds an open StreamHandle; fills bits, bytesPerFrame,
//    channels, flags, rate, frames, streamFrames, byteLength, dataStart,
//    outputBytesPerFrame, framesPerUnit (1) and seekable. On failure the
//    file is closed, source is null, and the result is ERR_OPENSOUND2.
//  readBlock: decodes up to frames frames at the position into buffer and
//    returns the frames really produced; when fewer than asked for were
//    produced the rest of the buffer is silence and *done is 1 (else 0).
//    Advances the position and sets lastBytes and lastFrames.
//  seek: the position becomes frame when it is below the frame count.
//  close: frees the reader's memory and closes the file.
struct SoundReader {
  const char* formatName;
  ErrorCode (*parse)(SoundStream* stream);
  uint32_t (*readBlock)(SoundStream* stream, void* buffer, uint32_t frames, int32_t* done);
  void (*seek)(SoundStream* stream, uint32_t frame);
  void (*close)(SoundStream* stream);
};

// The reader of kinds 1 to 3; null for every other kind.
const SoundReader* GetBuiltinSoundReader(int32_t kind);

// Protracker "M.K." replayer: one block (its size from ModInit without a
// block) holds the state and the converted patterns; the sample data stays
// in the caller's module image, which must outlive the player and may be
// changed by the funk-repeat effect. Output is 16-bit stereo at the rate
// given to ModInit (the sound engine uses MOD_OUTPUT_RATE).
struct ModPlayer;
constexpr int32_t MOD_OUTPUT_RATE = 48000;
constexpr uint32_t MOD_FLAG_STOPATEND = 1;  // silent once the song has ended
constexpr uint32_t MOD_FLAG_ENDED = 8;      // the song reached its end

// Without a player: the bytes the player block needs, or 0 when the image is
// not a playable module. With a player: initialises it from the image and
// returns 1 (0 when not playable).
size_t ModInit(ModPlayer* player, uint8_t* image, size_t imageSize, int32_t rate);
// Renders frames. halfRate 1 writes one frame per two internal samples (the
// output rate), 0 one per internal sample; bits 8 or 16; channels 2 writes
// left and right, 1 their mean to left. Pointers advance by stride bytes.
void ModRender(ModPlayer* player, void* left, void* right, int32_t stride, uint32_t frames,
               int32_t halfRate, int32_t bits, int32_t channels);
// Applies a pending position request, then renders interleaved 16-bit
// stereo frames. Without a buffer the player only moves on by the frames:
// song position, rows, effects and sample positions as rendering would
// leave them, at a small part of rendering's cost (nothing is mixed, and
// the funk effect leaves the shared sample bytes alone).
void RenderModuleBlock(ModPlayer* player, int16_t* buffer, uint32_t frames);
// The bytes of the player's block, and a copy of it into `to` (a block of
// that size) that plays on from the same state over the same image. The
// copy carries no pending request.
size_t ModStateSize(const ModPlayer* player);
void ModCopyState(ModPlayer* to, const ModPlayer* from);
// Takes the pending position request (1, with its song position and row;
// 0 when there is none); ModRequestPosition makes one, applied before the
// next block; ModJumpTo moves there at once.
int ModTakeRequest(ModPlayer* player, int32_t* position, int32_t* row);
void ModRequestPosition(ModPlayer* player, int32_t position, int32_t row);
void ModJumpTo(ModPlayer* player, int32_t position, int32_t row);
// what 1: the pattern row, 2: the song position; 0: request song position
// value at row 0 (applied before the next block; returns 0). The audio
// engine passes null when no channel plays the module: the answer is -1.
int32_t ModulePositionControl(int32_t what, ModPlayer* module, int32_t value);
uint32_t ModGetFlags(const ModPlayer* player);
void ModSetFlags(ModPlayer* player, uint32_t flags);
// The image and size the player was initialised from, for a restart.
uint8_t* ModGetImage(const ModPlayer* player, size_t* size);

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
  int32_t counting;  // moving on without mixing (RenderModuleBlock without a buffer)
  double filterA, filterGain;
  double filterIn[2][2], filterOut[2][2];  // [side][section]
  int32_t pairLeft, pairRight, pairCount;  // half of an output frame
  uint8_t* image;
  size_t imageSize;
};
