// The media folder's video internals: the decoder table that the playback
// back end dispatches through (a video plug-in's entry points or the
// built-in CDXL decoder's functions behind the same signatures), and the
// CDXL decoder itself.
#pragma once

#include <cstdint>

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
