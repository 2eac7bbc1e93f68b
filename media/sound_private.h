// Records shared inside the media folder by the sound library: the sample
// and music objects, the library's state and the helpers its command files
// share. Invariant: a sample or music object is in its list, or it is
// unlinked with its free pending while a wait holds it (busy above 0); a
// pending object is freed by the wait that held it last.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/audio_private.h"
#include "media/media.h"

struct SampleObject {
  ObjectHead head;  // type OBJTYPE_SAMPLE
  AudioDescriptor* desc;
  int32_t volume;  // 0..64
  int32_t pitch;   // frames per second
  int32_t formatCode;
  uint32_t length;  // bytes
  int32_t panning;  // 0..255
  PluginBase* plugin;
  int32_t busy;  // waits that hold the record
  int32_t freePending;
};

constexpr size_t MUSIC_ADAPTER_SIZE = 256;

enum : int32_t { MUSIC_STOPPED = 0, MUSIC_PLAYING = 1, MUSIC_PAUSED = 2 };

struct MusicObject {
  ObjectHead head;  // type OBJTYPE_MUSIC
  char* fileName;   // null for script-fed music
  void* source;     // SoundStream or ModPlayer
  int32_t what;     // 1 stream, 2 module
  int32_t state;    // MUSIC_
  int32_t volume;   // 0..64
  int32_t times;
  int32_t pass;
  uint32_t position;
  int32_t scriptFed;
  int32_t seekable;
  int32_t subsongs;
  int32_t currentSubsong;
  int32_t channel;  // 1-based, 0 = any
  PluginBase* plugin;
  char adapter[MUSIC_ADAPTER_SIZE];
  int32_t busy;
  int32_t freePending;
};

struct SoundContext {
  ObjectHead* samples = nullptr;
  ObjectHead* music = nullptr;
  MusicObject* current = nullptr;
  MusicObject* lastPaused = nullptr;
  int32_t openFailed = 0;
  int32_t inFillHandler = 0;  // the "FillMusicBuffer" handler runs
  int32_t pollHeld = 0;       // the audio client of the poll timer is registered
  VmState* state = nullptr;
};
extern SoundContext soundContext;

// What a command that needs the output does first: 0 and *skip 0 when it
// is open; *skip 1 (and 0) in no-sound mode or after a failed open, which
// is an error only in force-sound mode.
ErrorCode EnsureSoundOutput(VmState* L, int* skip);
// No-sound mode or a failed open: the commands do nothing.
int SoundDisabled();

// Look-ups: ERR_FINDARRAY for an automatic identifier, ERR_FINDSAMPLE /
// ERR_FINDMUSIC (the number as error argument) for a number.
ErrorCode FindSample(ObjectId id, SampleObject** out);
ErrorCode FindMusic(ObjectId id, MusicObject** out);
// Appends a new sample over desc (which it owns from then on, also on
// failure); *id receives an automatic id when automatic is set.
ErrorCode AddSampleObject(ObjectId* id, int automatic, AudioDescriptor* desc, int32_t pitch,
                          PluginBase* plugin, SampleObject** out);
// Stops its channels and frees it (deferred while a wait holds it); a
// missing sample is no error when report is 0.
ErrorCode FreeSampleObject(VmState* L, ObjectId id, int report);
void FreeAllSamples(VmState* L);
// Drops a hold that a wait took; frees the record when its free is pending.
void ReleaseSampleHold(VmState* L, SampleObject* s);
void ReleaseMusicHold(VmState* L, MusicObject* m);

// Format codes 0..5: bytes per frame, 0 for any other code.
int32_t GetSoundFrameSize(int32_t code);
// A new descriptor of frames frames in format code with room for their
// bytes, which the caller writes as they are kept: codes 2 and 3 (signed
// 8-bit) are kept as 0 and 1 with 128 added to each byte.
ErrorCode NewSampleDescriptor(size_t frames, int32_t code, int32_t rate, AudioDescriptor** out);
// A new descriptor over a copy of frames x frame size bytes of data in
// format code; codes 2 and 3 (signed 8-bit) are stored as 0 and 1 with 128
// added to each byte. swap16 swaps the bytes of 16-bit values.
ErrorCode CreateSampleDescriptor(const void* data, size_t frames, int32_t code, int32_t rate,
                                 int swap16, AudioDescriptor** out);
// Replaces the sample's PCM (which it takes) and its frame count and length.
void ReplaceSamplePcm(SampleObject* s, uint8_t* data, uint32_t frames);

// Percentages: a number, or a text "<n>%" with n in 0..100 as a share of
// 64 (ERR_PERCENTFORMAT otherwise); the result is clamped to 0..64.
int32_t CheckVolumeArg(VmState* L, int index);
// Panning with its special values: -90000 left (0), -80000 right (255),
// -100000 centre (128); others are clamped to 0..255.
int32_t ResolvePanning(double value);

// Frame conversion: the source is a raw buffer in format code (and its
// big-endian flag); the option table (0: none) gives start, end, offset and
// loop. Writes frames frames of bits/signedness/channels into out.
struct ConvertSource {
  const uint8_t* data;
  uint32_t frames;
  int32_t formatCode;
  int32_t bigEndian;
};
struct ConvertRange {
  uint32_t start = 0, end = 0, offset = 0;
  int32_t loop = 1;
};
// Reads "start", "end", "offset" and "loop" of the table at index and
// checks them against the source's frames: ERR_SMPRANGE.
ErrorCode ReadConvertRange(VmState* L, int table, uint32_t sourceFrames, ConvertRange* range);
void ConvertSampleFrames(const ConvertSource& source, const ConvertRange& range, uint8_t* out,
                         uint32_t frames, int32_t bits, int32_t isSigned, int32_t channels);

// Script format (MONO8..STEREO16) to format code (2, 4, 3, 5); -1 else.
int32_t ScriptFormatToCode(int32_t format);
// Format code to script format (0, 2, 0, 2, 1, 3); -1 else.
int32_t CodeToScriptFormat(int32_t code);

// Music services the sample and device commands use.
ErrorCode StopMusicObject(VmState* L, MusicObject* m, int pause);
void FreeAllMusicObjects(VmState* L);
MusicObject* MusicOfSource(void* music);

// The fill poll of script-fed music and the handler-running word.
struct MusicFillNotice;
int PollMusicBufferEvents(MusicFillNotice* out);
void SetFillHandlerRunning(int on);

// Attribute readers of samples and music.
int ReadSampleAttribute(VmState* L, int32_t attribute);
int ReadMusicAttribute(VmState* L, int32_t attribute);

// Sample formats above 0 for SaveSample.
ErrorCode SaveSampleThroughPlugin(const SampleObject* s, const char* file, int32_t format);
// CreateSample's "file" and "memory" sources: bytes bytes from the open
// file's position, or from offset in the memory block.
ErrorCode ReadSampleSourceFile(VmState* L, ObjectId id, uint8_t* buffer, size_t bytes);
ErrorCode ReadSampleSourceMemory(VmState* L, ObjectId id, size_t offset, uint8_t* buffer,
                                 size_t bytes);

// The command tables of the sample commands, the playing and device
// commands and the music commands, each ending with a null row.
extern const CommandTableEntry SAMPLE_MAKE_COMMANDS[];
extern const CommandTableEntry SAMPLE_PLAY_COMMANDS[];
extern const CommandTableEntry MUSIC_COMMANDS[];
