// Records shared inside the media folder by the audio engine: its context
// (channel table, adapter, listener flags, clock) and the streaming state
// of a music channel. Invariant: the table, the adapter and the output-open
// word change only on the main thread with the table lock held; audio
// threads read the listener flags without a lock (they are atomics).
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "media/media.h"

// The installed audio adapter and its entry points (a bridged plug-in's are
// null: the call bridge answers 0).
struct AudioAdapterRecord {
  PluginBase* base;
  uint32_t flags;
  uintptr_t bufferSize;
  int32_t channels;
  void* handle;  // OpenAudio's answer while the output is open
  QmOpenAudioFunc openAudio;
  QmCloseAudioFunc closeAudio;
  QmAllocAudioChannelFunc allocChannel;
  QmFreeAudioChannelFunc freeChannel;
  QmSetChannelAttributesFunc setAttributes;
};

// Listener flags, in SetSoundEventFlag's order.
enum : int {
  LISTEN_SAMPLELOOP = 0,
  LISTEN_SAMPLEEND = 1,
  LISTEN_MUSICEND = 2,
  LISTEN_VIDEOEND = 3
};

constexpr int32_t AUDIO_DEFAULT_CHANNELS = 8;
constexpr uintptr_t AUDIO_DEFAULT_BUFFER = 2048;  // frames an adapter asks for by default
constexpr size_t AUDIO_DEVICE_NAME_SIZE = 256;

struct MediaContext {
  AudioChannel* channels = nullptr;
  uint32_t* generations = nullptr;  // per channel, bumped at every allocation
  int32_t channelCount = AUDIO_DEFAULT_CHANNELS;
  int32_t tableSize = 0;  // records in channels
  int32_t outputOpen = 0;
  PlatformMutex* tableLock = nullptr;
  AudioAdapterRecord adapter = {};
  std::atomic<int> listen[4] = {};
  int32_t noSound = 0;
  int32_t forceSound = 0;
  char device[AUDIO_DEVICE_NAME_SIZE] = {};
  uintptr_t deviceSetting = 0;  // option 3, stored only
  AudioClock clock = nullptr;
  int32_t handlersRegistered = 0;
};
extern MediaContext mediaContext;

void AudioNow(TimeValue* now);
// Milliseconds from a to b (b later), 64-bit.
int64_t MsBetween(const TimeValue& a, const TimeValue& b);
void PostChannelEvent(const AudioChannel* c, int32_t kind, int64_t value1, int64_t value2);
int Listening(int which);
// Clears the record (and the stream state it owned must be gone already).
void ClearChannel(AudioChannel* c);
int32_t ChannelIndex(const AudioChannel* c);

// ---- Music streaming ----
// The streaming state of a music channel: two halves of one second each;
// one is played while a thread fills the other.
struct ChannelStreamState {
  uint8_t* buffer;
  uint32_t halfFrames;  // one second of frames
  int32_t bytesPerFrame;
  // Shared with the decode thread under lock.
  pthread_mutex_t lock;
  pthread_cond_t cond;
  int32_t refill;  // a half waits to be filled
  int32_t stop;
  // Written by the decode thread, read by the consumer: fill progress.
  std::atomic<int32_t> filled[2];  // the half holds its frames
  uint32_t halfValid[2];           // frames in each half (the last half may be short)
  std::atomic<int32_t> endHalf;    // the half in which the sound ends, -1 none
  int32_t fillHalf;                // the half the thread fills next
  // Consumer side.
  int32_t currentHalf;
  uint32_t halfPosition;  // frames of the current half already supplied
  uint32_t underruns;
  pthread_t thread;
  int32_t threadRunning;
  int32_t lockMade;
};

// Starts the stream of a channel whose stream, loop total and number are
// set: buffers, the first half decoded now, the decode thread for the rest.
ErrorCode StartChannelStream(AudioChannel* c);
// Stops the decode thread and frees the streaming state; with pause the
// stream keeps its place (pass and frame position reported).
void StopChannelStream(AudioChannel* c, int pause, int32_t* pass, uint32_t* position);
// Adapter feeding of a stream channel: frames supplied (silence and an
// under-run where a half is not filled yet).
uint32_t FeedStreamChannel(AudioChannel* c, uint8_t* out, uint32_t frames);
// Built-in output: the next filled half for the feed thread, 0 at the end
// (or when the half is not filled yet: *wait is then 1).
int NextStreamHalf(AudioChannel* c, int* wait);
// Test seam: waits (bounded) until no stream thread has a refill pending.
int WaitStreamThreadsIdle(int32_t milliseconds);
uint32_t CountStreamUnderruns();

// ---- Video sound ----
// The sound of a playing video on its channel (kind 5): the video's audio
// thread appends decoded 16-bit frames, the channel's output takes them
// and plays silence where none are there yet.
struct VideoSound;
// Main thread: a channel (*channel -1: any free one) for the video's
// sound, with its buffer: 0, ERR_NOCHANNEL, ERR_CHANNELRANGE, ERR_MEM,
// ERR_ALLOCCHANNEL (the adapter refused) or ERR_OPENAUDIO.
ErrorCode AllocVideoSoundChannel(VmState* L, ObjectId owner, void* video, int32_t channels,
                                 int32_t rate, int32_t volume, int32_t* channel, VideoSound** out);
// Any thread: appends what fits of the bytes; the count taken.
int32_t FeedVideoSound(VideoSound* sound, const uint8_t* data, int32_t bytes);
// Main thread: frees the channel when it still plays this sound, then the
// buffer. Null is ignored.
void FreeVideoSound(VideoSound* sound);
void SetVideoSoundVolume(VideoSound* sound, int32_t volume);
// The video (as given to AllocVideoSoundChannel) whose sound the channel
// plays; null for other channels.
void* VideoOfChannel(const AudioChannel* c);
// The built-in output's and the adapter's feed of a video channel.
uint32_t TakeVideoSoundFrames(AudioChannel* c, uint8_t* out, uint32_t frames);
// The built-in output's: up to frames of what waits, copied without taking
// them; then the frames written are dropped.
uint32_t PeekVideoSoundFrames(AudioChannel* c, uint8_t* out, uint32_t frames);
void DropVideoSoundFrames(AudioChannel* c, uint32_t frames);

// The video library's side of the sound commands: StopChannel of a video's
// channel stops the video, SetChannelVolume sets its volume, CloseAudio
// stops every video.
ErrorCode StopVideoOfChannel(VmState* L, void* video);
void SetVideoVolumeOfChannel(void* video, int32_t volume);
void StopAllVideos(VmState* L);

// The sound library's script-level stop of a channel (music by StopMusic's
// rules, a sample on every channel that plays it) and the bookkeeping of a
// music whose channel ended by itself (stopped, no longer current).
ErrorCode StopChannel(VmState* L, int32_t channel);
void ForgetCurrentModule(void* music);
