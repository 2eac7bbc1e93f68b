// The media folder's video internals: the decoder table that the playback
// back end dispatches through (a video plug-in's entry points or the
// built-in CDXL decoder's functions behind the same signatures), and the
// CDXL decoder itself.
#pragma once

#include <cstdint>

#include "platform/linux/errors.h"

#include "plugins/qmplugin.h"

// One decoder's operations. Every slot is set; the back end never tests
// for null.
struct VideoDecoderOps {
  const char* name;
  QmOpenVideoFunc open;
  QmCloseVideoFunc close;
  QmNextPacketFunc nextPacket;
  QmFreePacketFunc freePacket;
  QmDecodeVideoFrameFunc decodeVideo;
  QmDecodeAudioFrameFunc decodeAudio;
  QmSeekVideoFunc seek;
  QmFlushVideoFunc flushAudio;
  QmFlushVideoFunc flushVideo;
  QmGetVideoFramesFunc frameCount;
  QmGetVideoFormatFunc formatName;
};

// ---- CDXL ----
// Equal-sized chunks, each a 32-byte big-endian header, a 0x0RGB palette,
// the bitplanes of one frame and optional signed 8-bit mono sound. A chunk
// yields its frame first and its sound as the next packet. Frames are
// delivered as 32-bit big-endian A, R, G, B words (alpha 0), the sound as
// 16-bit samples s x 256. Seeking is by milliseconds.
const VideoDecoderOps* GetCdxlDecoderOps();

// Data rate of a chunk size (bytes per second): 153600 up to 13000 bytes,
// 307200 up to 40000, 614400 above.
double CdxlFramesPerSecond(int64_t chunkSize);

// ---- Playback back end ----
// One opened video: its decoder and, while it plays, its threads (see
// media/video.cpp). Every function runs on the main thread.
struct VideoPlayback;
struct DisplayRecord;
struct ObjectId;
// Called on the refresh thread once when a playing video reached its end.
using VideoEndHandler = void (*)(void* context);

// Offers the file to the video plug-ins the loader string admits (a
// plug-in that declares extensions only for those), then to the CDXL
// decoder when "inbuilt" is admitted: 0, ERR_MEM, or ERR_LOADVIDEO with
// the file name.
ErrorCode OpenVideoDecoder(const char* file, const char* loader, const char* adapter,
                           VideoPlayback** out, int32_t* width, int32_t* height, int32_t* duration,
                           int32_t* seekable);
int IsVideoFile(const char* file, const char* loader, const char* adapter);
void FreeVideoHandle(VideoPlayback* v);  // stops the threads first; null is ignored
int32_t QueryVideoFrameCount(VideoPlayback* v);
const char* QueryVideoFormat(VideoPlayback* v);
// "inbuilt" for the CDXL decoder, else the video plug-in's name.
const char* QueryVideoLoader(const VideoPlayback* v);
int VideoHasSound(const VideoPlayback* v);
// Starts three threads, four with sound: 0, ERR_MEM, ERR_THREAD or
// ERR_SEEKRANGE (a seek made while stopped failed).
ErrorCode StartVideoThreads(VideoPlayback* v, ObjectId owner, VideoEndHandler onEnd,
                            void* endContext, DisplayRecord* display, int32_t x, int32_t y,
                            int32_t width, int32_t height, int32_t volume, int32_t smooth,
                            int32_t channel);
// Joins every thread, drops the video's pending frames and rewinds.
void StopVideoThreads(VideoPlayback* v);
void PauseVideoPlayback(VideoPlayback* v);
void ResumeVideoPlayback(VideoPlayback* v);
// Playing: the reader seeks. Paused, finished or bound: the frame there is
// shown at once. Stopped: the next start seeks.
ErrorCode SeekVideoPlayback(VideoPlayback* v, int64_t ms);
void SetVideoRect(VideoPlayback* v, int32_t x, int32_t y, int32_t width, int32_t height,
                  int32_t smooth);
void SetVideoSuspended(VideoPlayback* v, int suspended);
// The channel that the sound of the next start goes to (null: none); only
// while no thread runs.
struct VideoSound;
void SetVideoSoundOutput(VideoPlayback* v, VideoSound* sound);
// While a layer shows the video, its frames go whole to apply (with
// target) on the main thread; null apply: to the window again.
struct PendingDisplayFrame;
struct VmState;
void SetVideoLayerTarget(VideoPlayback* v,
                         void (*apply)(VmState* L, const PendingDisplayFrame* frame), void* target);
void RedrawVideo(VideoPlayback* v);
int64_t GetVideoPositionMs(VideoPlayback* v);
// Test seams: frames presented and dropped, threads running.
void GetVideoStats(VideoPlayback* v, int64_t* presented, int64_t* dropped, int32_t* threads);
// One frame while stopped: mode 0 the frame from 0, mode 1 the time in
// ms. 0xAARRGGBB rows of rowLength words (FreeMemory); ERR_VIDEOFRAME when
// the stream has no such frame, ERR_SEEKRANGE, ERR_MEM.
ErrorCode FetchVideoFrame(VideoPlayback* v, int32_t position, int32_t mode, int32_t count,
                          uint32_t** pixels, int32_t* width, int32_t* height, int32_t* rowLength);
// Export: packets in file order after a rewind. ERR_USERABORT at the end.
int32_t VideoFormatChannels(const VideoPlayback* v);
int32_t VideoFormatRate(const VideoPlayback* v);
void RewindVideoForExport(VideoPlayback* v);
ErrorCode ReadVideoExportPacket(VideoPlayback* v, uint32_t* frame, int* isFrame, uint8_t* sound,
                                int32_t soundBytes, int32_t* soundGot);
