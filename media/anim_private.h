// The built-in anim readers behind the anim file layer, as media/ and its
// tests use them. Each reader owns the stream it is given from the moment
// it is called: a failed open closes it, and the close function closes it.
// Invariant: a frame a reader hands out holds exactly width x height words
// of the size it reported, and no size taken from a file reaches an
// allocation before it passed the picture limits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/media.h"

// ---- IFF ANIM ----
// Delta methods 5, 7, 8, 100 and 101 on bitplanes; interlaced anims of the
// methods 100 and 101 are woven or line-doubled (DEINTERLACE_).
struct IffAnimReader;
IffAnimReader* OpenIffAnimFile(StreamHandle* stream, int32_t deinterlace, int32_t* width,
                               int32_t* height, int32_t* frameCount, int32_t loadTransparency);
// A new ARGB frame (FreeMemory) or null; *hasTransparency (may be null) is
// set when the transparent colour was applied.
uint32_t* GetIffAnimFrame(IffAnimReader* reader, int32_t index, int32_t* hasTransparency);
// The frame's delay in 1/60 s; 0 for a frame whose delay is not known yet.
int32_t GetIffAnimFrameDelay(const IffAnimReader* reader, int32_t index);
// Deltas decoded since the reader opened (the opening scan included).
int64_t GetIffAnimDeltasDecoded(const IffAnimReader* reader);
void CloseIffAnimFile(IffAnimReader* reader);  // null is ignored

// ---- AVI ----
// Uncompressed 24-bit (DIB order, rows bottom to top) or MJPEG video.
struct AviAnimReader;
AviAnimReader* OpenAviAnimFile(StreamHandle* stream, int32_t* width, int32_t* height,
                               int32_t* frameCount);
uint32_t* GetAviAnimFrame(AviAnimReader* reader, int32_t index);  // FreeMemory, or null
void CloseAviAnimFile(AviAnimReader* reader);                     // null is ignored

// The standard Huffman tables of baseline JPEG as one DHT segment, marker
// included: what MJPEG frames leave out.
constexpr size_t MJPEG_DHT_BYTES = 420;
extern const uint8_t MJPEG_STANDARD_DHT[MJPEG_DHT_BYTES];
