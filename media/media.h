// Services of the media folder that other folders use: the image codecs
// for now, and the media libraries added later. Each concern keeps its own
// section and includes only service headers; what only media/ calls is in
// media/*_private.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/errors.h"
#include "platform/linux/platform.h"
#include "engine/engine.h"
#include "plugins/qmplugin.h"
#include "runtime/runtime.h"

// ---- Image codecs ----
// Picture files to 32-bit pixels and back. Decoded pixel buffers hold
// width x height words 0xAARRGGBB, rows top to bottom without gaps, from
// AllocMemory; whoever receives one frees it with FreeMemory. The alpha byte
// is an opacity only where a decoder reports alpha, else 0. Every decoder
// refuses a width or height below 1, or a picture above the pixel limit,
// with ERR_LOADPICTURE2 before it allocates anything.

// Largest side a decoder accepts.
constexpr int64_t IMAGE_MAX_SIDE = 1000000;  // libpng's own default limit

// A decoded picture: kind (IMGFMT_BMP..IMGFMT_ILBM, IMGFMT_NATIVE or
// IMGFMT_UNKNOWN), the pixel buffer (null for kind 6) and the native
// loader's handle (kind 6 only).
struct DecodedImage {
  int32_t kind;
  uint32_t* pixels;
  void* nativeHandle;
};
// Opens and decodes a picture file. image null makes it an information
// request that decodes nothing. loader admits "inbuilt" and/or "native"
// (null, "" or "default": both); adapter goes to the stream layer.
// basePalette (256 entries, -1 after the caller's colours), penColour and
// maskMode (0..2) are ILBM options; maskMode 2 also makes GIF report
// transparency (transparentColour -2). palette, transparentColour,
// hasAlpha, isNative and format may be null (hasAlpha not for an
// information request). Width and height are after the Exif orientation.
ErrorCode LoadImageFile(const char* fileName, const char* loader, const char* adapter,
                        const int32_t* basePalette, int32_t penColour, int32_t maskMode,
                        DecodedImage** image, uint32_t** palette, int32_t* transparentColour,
                        int32_t* width, int32_t* height, int32_t* hasAlpha, int32_t* isNative,
                        int32_t* format);
uint32_t* GetDecodedImagePixels(DecodedImage* image);
void SetDecodedImagePixels(DecodedImage* image, uint32_t* pixels);  // kind becomes 8
void FreeDecodedImage(DecodedImage* image);                         // null is ignored
// Writes width x height words 0xAARRGGBB (rows without gaps) as an 8-bit
// RGB PNG, or RGBA when alpha is set. The PNG writer's error, with the file
// name as error argument: ERR_WRITEFILE when the file cannot be opened.
ErrorCode SaveARGBAsPng(const char* fileName, const uint32_t* pixels, int32_t width, int32_t height,
                        int32_t alpha);
// The clipboard's pictures (the platform's ClipboardImageCodec): a
// record's bitmap with its mask or alpha channel as PNG bytes (AllocMemory;
// ERR_BITMAP without a bitmap), and PNG bytes into a record's bitmap and,
// for a picture with alpha, alpha channel (ERR_LOADPICTURE2 when they do
// not decode).
ErrorCode EncodeClipboardPicture(const ClipboardRecord* record, uint8_t** bytes, size_t* length);
ErrorCode DecodeClipboardPicture(const uint8_t* bytes, size_t length, ClipboardRecord* dest);

// ---- Audio engine ----
// The fixed table of output channels on which samples, modules, streams
// and video sound play, on the built-in ALSA output (one PCM per channel,
// fed by the platform's feed thread) or on an audio-adapter plug-in that
// pulls frames through AudioAdapterFeed. Channel numbers are 0-based here;
// -1 means any channel. End, loop and music-end notices reach the main
// thread through the cross-thread event list.
//
// Locks: the channel-table lock (recursive) guards the table; stopping a
// streamed channel takes it and then the channel's own lock; a decode
// thread holds its channel's lock only to read and clear its flags.

struct SoundStream;
struct ModPlayer;
struct PluginBase;

// The PCM of a sample. format: 0..5 (8-bit mono/stereo unsigned, 8-bit
// mono/stereo signed, 16-bit mono/stereo).
struct AudioDescriptor {
  uint8_t* data;
  uint32_t length;  // bytes
  uint32_t frames;
  int32_t bits;
  int32_t bytesPerFrame;
  int32_t channels;
  uint32_t flags;  // bit 0 big-endian, bit 1 signed
  int32_t formatCode;
  int32_t rate;
};

enum : int32_t {
  CHANNEL_FREE = 0,
  CHANNEL_PREPARED = 1,
  CHANNEL_SAMPLE = 2,
  CHANNEL_MODULE = 3,
  CHANNEL_STREAM = 4,
  CHANNEL_VIDEO = 5,
  CHANNEL_MUSICSTARTING = 6,
  CHANNEL_VIDEOSTARTING = 7,
  CHANNEL_ENDED = 8,
};
// What GetChannelState reports.
enum : int32_t {
  CHANNELSTATE_SAMPLE = 2,
  CHANNELSTATE_FREE = 7,
  CHANNELSTATE_MUSIC = 33,
  CHANNELSTATE_VIDEO = 50,
};

struct ChannelStreamState;

struct AudioChannel {
  AudioDescriptor* sample;
  SoundStream* stream;
  ModPlayer* module;
  // The built-in output's own copy of the module's player, which renders
  // ahead of what is heard; freed by ClearChannel.
  ModPlayer* renderer;
  int32_t kind;  // CHANNEL_
  ObjectId owner;
  int32_t loopTotal;  // 0 = forever
  int32_t loopNumber;
  uint32_t lastPassFrames;
  int64_t lastPassMs;
  int64_t passMs;
  uint32_t framePosition;
  int32_t volume;
  int32_t firstFeed;
  TimeValue startTime;
  int32_t timedEnd;
  TimeValue endTime;
  void* adapterChannel;
  void* music;                    // the music object a stream channel plays
  ChannelStreamState* streaming;  // buffers, thread and locks of a stream
  void* videoSound;
  AlsaChannelOutput output;  // the built-in output's part
};

// Engine time reads go through this clock (GetSysTime unless a test sets
// another; null restores it).
using AudioClock = void (*)(TimeValue* now);
void SetAudioClock(AudioClock clock);

// Creates the event list and the table lock, registers the feed hooks:
// 0 or ERR_SEMAPHORE. FreeThreadEventList frees what is queued and both.
ErrorCode InitThreadEventList();
void FreeThreadEventList();
// Opens the output once: the adapter's OpenAudio or the built-in output
// (later calls return 0). CloseAudioDevice stops nothing: ShutdownAudio
// first.
ErrorCode OpenAudioDevice(VmState* L, const char* device);
void CloseAudioDevice();
int IsAudioDeviceOpen();
int32_t GetAudioChannelCount();
// Stops every channel (ShutdownAudio) for shut-down and CloseAudio.
void ShutdownAudio(VmState* L);

ErrorCode AllocChannel(VmState* L, int32_t kind, ObjectId owner, int32_t* channel,
                       AudioChannel** record);
// State as a script sees it; ERR_CHANNELRANGE outside the table (state 7).
// With heldLock the table lock stays held for the caller, who calls
// UnlockAudioChannels after acting on the answer.
ErrorCode GetChannelState(int32_t channel, int32_t* state, ObjectId* owner, int heldLock);
void LockAudioChannels();
void UnlockAudioChannels();
AudioChannel* GetAudioChannel(int32_t channel);  // null outside the table
int IsSampleOnChannel(const AudioDescriptor* sample);
void GetSamplePlayPosition(const AudioDescriptor* sample, int64_t* ms, int32_t* passes);
// playTimeMs -1: times passes (0 = forever); else the play time decides.
ErrorCode StartSampleOnChannel(VmState* L, AudioDescriptor* sample, ObjectId owner, int32_t pitch,
                               int32_t volume, int32_t panning, int64_t playTimeMs, int32_t times,
                               int32_t* channel);
void StartPreparedSamples();
void StopSampleChannel(int32_t channel);
void StopSampleChannels(const AudioDescriptor* sample, int32_t channel);
// Stops whatever plays on the channel (sample, module, stream) and frees it.
void StopAudioChannel(int32_t channel);
void StopAllChannels(VmState* L);
void ApplyChannelAttributes(int32_t channel, int32_t pitch, int32_t volume, int32_t panning);
void CheckChannelTimeouts();
// Handler names "onsampleloop", "onsampleend", "onmusicend", "onvideoend".
void SetSoundEventFlag(const char* name, int flag);
// The sound library's option hook: codes 2 (no sound), 3 (output device),
// 12, 13, 18, 23 (handler flags), 33 (force sound); 0 for other codes.
int SetSoundOption(VmState* L, uint32_t code, uintptr_t value);

// Music: what 1 plays a stream, 2 a module.
ErrorCode PlayStreamOnChannel(VmState* L, int32_t what, void* source, ObjectId owner, int32_t times,
                              int32_t loopNumber, int32_t volume, int32_t* channel, void* music);
ErrorCode StopMusicPlayback(int32_t what, void* source, int pause, int32_t* pass,
                            uint32_t* position);

// The feeder an audio adapter calls: the frames supplied.
uint32_t AudioAdapterFeed(void* handle, void* adapterChannel, void* buffer, uint32_t frames,
                          void* hostChannel);
// Host API: makes base the audio adapter (tags: 1 buffer size, 2 channel
// count). ERR_OLDAPPLET, ERR_WRONGUSAGE, ERR_SETADAPTER as documented in
// plugins/qmplugin.h.
ErrorCode InstallAudioAdapter(PluginBase* base, uint32_t flags, const QmTagItem* tags);
PluginBase* GetAudioAdapter();
uintptr_t GetAudioAdapterBufferSize();

// ---- Sound streams ----
// Sound files opened for decoding: the built-in readers, sound plug-ins
// and Protracker modules; script-fed queues.
ErrorCode OpenSoundFile(const char* fileName, const char* loader, const char* adapter,
                        int32_t subsong, int32_t openFlag, SoundStream** stream,
                        PluginBase** plugin);
void CloseSoundFile(SoundStream* stream);
uint32_t DecodeSoundBlock(SoundStream* stream, void* buffer, uint32_t frames, int32_t* done);
void SeekSoundFile(SoundStream* stream, uint32_t frame);
void SeekSoundStreamMs(SoundStream* stream, int64_t ms);
// Queries 0 length ms, 1 position ms, 3 format code, 4 rate, 5 bit rate as
// numbers; query 2 (format name) through GetStreamFormatName. what 1 a
// stream, 2 a module player. -1 for what has no answer.
int64_t GetStreamInfo(int32_t query, int32_t what, void* source);
const char* GetStreamFormatName(int32_t what, void* source);
// 1 when it opened; the name is "Unknown" otherwise.
int GetSoundFormatName(const char* fileName, const char* loader, const char* adapter,
                       const char** name);
ErrorCode LoadSoundFileAsSample(const char* fileName, const char* loader, const char* adapter,
                                AudioDescriptor** sample, uint32_t* length, int32_t* rate,
                                int32_t* format, PluginBase** plugin);
void FreeAudioDescriptor(AudioDescriptor* sample);  // null is ignored
// what 1 a stream, 2 a module player (the file read whole).
ErrorCode OpenMusicStream(const char* fileName, const char* loader, const char* adapter,
                          int32_t subsong, int32_t* what, void** source, int32_t* seekable,
                          int32_t* subsongs, PluginBase** plugin);
void CloseMusicStream(int32_t what, void* source);
// A script-fed stream (script format code 2..5) and its queue: append
// copies frames; flush empties it.
ErrorCode CreateMusicStream(VmState* L, int32_t rate, int32_t format, int32_t* what, void** source);
ErrorCode QueueMusicFrames(SoundStream* stream, const void* data, uint32_t frames);

// ---- Sound library ----
// The "sound" library: samples (sounds held whole in memory), music
// (streams, plug-in streams, Protracker modules and script-fed music) and
// the audio device commands. Its opener registers the commands, the
// constants MONO8 ... SMPFMT_WAVE, the sample and music lists with their
// attribute readers, the cross-thread event list and the option hook.
// Freeing it stops every channel, frees every sample and music, closes the
// output and frees the event list.
ErrorCode OpenSoundLibrary(VmState* L);
void FreeSoundLibrary(VmState* L);
// The library's close: every sample, then every music, then the output.
void FreeAllMusic(VmState* L);
// CreateSample's "file" and "memory" sources, each handed over by the
// library that owns open files or memory blocks when it opens (null when it
// is freed): bytes bytes into buffer, from the file's current position
// (offset 0) or from offset in the block; the owner's look-up and read
// errors. Without a source the look-up fails.
using SampleDataSource = ErrorCode (*)(VmState* L, ObjectId id, size_t offset, void* buffer,
                                       size_t bytes);
void SetSampleFileSource(SampleDataSource file);
void SetSampleMemorySource(SampleDataSource memory);
// For plug-ins: the sample's format code, descriptor, length in bytes and
// pitch (each out may be null); 0 when the identifier names no sample.
int GetSampleInfoForPlugin(ObjectId id, int32_t* formatCode, AudioDescriptor** desc,
                           uint32_t* length, int32_t* pitch);
// 1 when a channel plays the sample (ended channels do not count).
int IsSampleInUse(const AudioDescriptor* sample);
// The PCM buffer, and bit 0 of the flags (16-bit data big-endian).
void* GetSampleRecordField(const AudioDescriptor* sample);
int32_t GetSampleDescFlag(const AudioDescriptor* sample);

// ---- Anim file layer ----
// Any anim file behind one handle: an anim plug-in's, or the built-in IFF
// ANIM, GIF and AVI readers' (the platform's native loader recognises
// nothing here). Frames are 0-based; a frame is width x height words
// 0xAARRGGBB, rows top to bottom, released with FreeAnimFileFrame.
struct PluginBase;
enum : uint32_t {
  ANIMFILE_NONE = 0,
  ANIMFILE_IFF = 1,
  ANIMFILE_GIF = 2,
  ANIMFILE_AVI = 3,
  ANIMFILE_NATIVE = 4,
  ANIMFILE_PLUGIN = 5,
};
// Deinterlace modes of interlaced IFF anims.
constexpr int32_t DEINTERLACE_DEFAULT = 0;  // weave the previous field in
constexpr int32_t DEINTERLACE_DOUBLE = 1;   // double the lines of the current field
struct AnimFile {
  void* reader;        // the reader's state or the plug-in's handle
  uint32_t kind;       // ANIMFILE_
  uint32_t flags;      // bit 0 goes to a plug-in's LoadFrame
  PluginBase* plugin;  // kind ANIMFILE_PLUGIN
};
// Opens an anim file. loader chooses and orders the loaders ("inbuilt",
// "native", "plugin", plug-in names; null, "" or "default": all); adapter
// goes to the stream layer and the plug-ins. On success *anim is the open
// file and *loaderIndex 0 (built-in reader), 1 (native) or 2 (the plug-in in
// *loaderPlugin, which may be null). Errors: ERR_READFILE (the name as
// error argument), ERR_SEEKFILE for a stream that cannot seek, ERR_READ for
// a file under 12 bytes, ERR_MEM, and ERR_OPENANIM2 (the name as error
// argument) when no loader takes the file; a failure leaves nothing open.
ErrorCode OpenAnimFile(const char* fileName, const char* loader, const char* adapter,
                       int32_t deinterlace, int32_t loadTransparency, AnimFile** anim,
                       int32_t* width, int32_t* height, int32_t* frameCount, int32_t* hasAlpha,
                       int32_t* loaderIndex, PluginBase** loaderPlugin);
// A new frame, or null. *hasTransparency (may be null) is cleared first and
// set when the frame carries a transparent colour.
uint32_t* GetAnimFileFrame(AnimFile* anim, int32_t index, int32_t loadAlpha,
                           int32_t* hasTransparency);
void FreeAnimFileFrame(AnimFile* anim, uint32_t* frame);       // null is ignored
int32_t GetAnimFileFrameDelay(AnimFile* anim, int32_t index);  // milliseconds
void CloseAnimFile(AnimFile* anim);                            // null is ignored
// 1 when the file opens as an anim and is not a GIF of one frame, else 0.
int32_t IsAnimFile(const char* fileName, const char* loader, const char* adapter);
bool IsIffAnimFile(const AnimFile* anim);

// ---- Anim objects ----
// The script's anims (object type 4): equally sized frames, each a pixel
// bitmap with an optional mask or alpha channel and a delay, held in memory
// or, for a disk anim, decoded from its open file when needed. Frame
// indexes are 0-based here and 1-based in the commands.
struct BitmapHandle;
// The per-frame arrays of an anim, one entry per frame, owned with their
// contents. delays: milliseconds, -1 none set.
struct AnimFrameArrays {
  BitmapHandle** bitmaps;
  BitmapHandle** masks;
  BitmapHandle** alphas;
  uint32_t** raw;  // ARGB frames not yet turned into bitmaps, or null
  int32_t* delays;
  int32_t count;
};
constexpr size_t ANIM_ADAPTER_MAX = 256;
struct AnimObject {
  ObjectHead head;        // type OBJTYPE_ANIM
  int32_t width, height;  // the size at which frames are shown and saved
  int32_t frameCount;
  int32_t fromDisk;
  int32_t storedWidth, storedHeight;  // the frames as held or decoded
  int32_t smooth;                     // of the last ScaleAnim
  int32_t useCount;                   // running playbacks: locked above 0
  int32_t freePending;
  int64_t keyColour;  // -1 none
  int32_t loadAlpha;
  AnimFile* file;
  AnimFrameArrays frames;  // no bitmap arrays for a disk anim (delays only)
  char* fileName;          // of a disk anim
  int32_t deinterlace;
  int32_t loaderIndex;  // 0 built-in, 1 native, 2 plug-in
  PluginBase* loaderPlugin;
  char adapter[ANIM_ADAPTER_MAX];
  int32_t loadTransparency;
};
// Look-up flags of GetAnimObject.
enum : uint32_t {
  ANIM_MODIFY = 1,   // the caller changes the anim (locked: ERR_LOCKEDOBJ)
  ANIM_PENDING = 2,  // find anims whose free is pending
  ANIM_NOCOPY = 4,   // with ANIM_MODIFY: layers keep the anim itself
};
// ERR_FINDARRAY for an automatic id, ERR_FINDANIM (the number as error
// argument) for a number.
ErrorCode GetAnimObject(VmState* L, ObjectId id, AnimObject** out, uint32_t flags);
// The frame's bitmap, mask and alpha channel (the latter two may be null).
// copy 0 of an in-memory anim gives the anim's own handles; otherwise the
// caller owns new ones. noScale leaves a disk frame at its decoded size.
// ERR_LOADFRAME, ERR_NOTRANSPARENCY (the file name as error argument) and
// the allocation errors.
ErrorCode GetAnimFrameBitmap(AnimObject* anim, int32_t index, int copy, int noScale,
                             BitmapHandle** bitmap, BitmapHandle** mask, BitmapHandle** alpha);
// The stored delay; else the file's for a disk anim; else 0.
int32_t GetAnimFrameDelay(AnimObject* anim, int32_t index);
// Arrays for count frames, zeroed, delays -1: 0 or ERR_MEM. withBitmaps 0
// makes the delays only (disk anims).
ErrorCode AllocAnimFrames(int32_t count, int withBitmaps, AnimFrameArrays* frames);
// Frees the arrays and what they hold; raw frames of a file go back
// through file (may be null).
void FreeAnimFrames(AnimFrameArrays* frames, AnimFile* file);
// Appends a new anim of width x height that takes frames (and file, when
// given) on success; *id receives an automatic id when automatic is set.
ErrorCode AddAnimObject(ObjectId* id, int automatic, int32_t width, int32_t height,
                        AnimFrameArrays* frames, int64_t keyColour, int32_t loadAlpha,
                        int32_t fromDisk, int32_t deinterlace, AnimObject** out);
// report 0: a missing anim is no error (a locked one still is).
ErrorCode FreeAnimObject(VmState* L, ObjectId id, int report);
// Inserts (count > 0) or removes (count < 0) frames at position (1-based;
// 0: at the end). The anim is unchanged on every error.
ErrorCode ChangeAnimFrames(AnimObject* anim, int32_t count, int32_t position);
// Frees the anims whose free was deferred and that nothing uses any more.
void FlushPendingAnimFrees(VmState* L);
// Shut-down: every anim, then every anim stream (finished first).
void FreeAllAnims(VmState* L);

// ---- Anim library ----
// The "anim" opener: commands, the deinterlace constants, the lists of
// anims and anim streams and the GetAttribute reader of anims.
ErrorCode OpenAnimLibrary(VmState* L);

// ---- Video library ----
// The "video" library: video objects (type 50) played by the back end's
// threads on the current display.
struct DisplayRecord;
ErrorCode OpenVideoLibrary(VmState* L);
void FreeAllVideos(VmState* L);  // stops and frees every video
// 1 when the video (hidden copies included) plays (state 1).
int IsVideoIdPlaying(ObjectId id);
// 1 when a playing, paused or finished video is bound to the display
// (with excludeLayers, one not shown as a layer); with includePictureLayers
// also one that a layer of the display's background picture shows.
int IsVideoOnDisplay(const DisplayRecord* display, int excludeLayers, int includePictureLayers);
// 1 when a playing, paused or finished video that is not shown as a layer
// covers the display's point x, y (in the display's scaled pixels).
int IsVideoAtPosition(const DisplayRecord* display, int32_t x, int32_t y);
// Test seam: a video's library state and volume, and its playback's
// presented and dropped frames and running threads.
struct VideoTestStats {
  int64_t presented, dropped;
  int32_t threads, state, volume;
};
ErrorCode GetVideoTestStats(ObjectId id, VideoTestStats* out);

// ---- Context record ----
// The folder's mutable state (the audio engine's) lives in one record. Init
// puts it in its start state; Free stops and releases whatever it still
// holds. The library table calls both.
void InitMediaContext();
void FreeMediaContext();
