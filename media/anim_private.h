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

struct BitmapHandle;

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

// ---- AVI writer ----
// MJPEG video and a silent 16-bit stereo PCM track at the video's pace,
// with idx1 and OpenDML indexes; past the RIFF limit the file goes on in
// "AVIX" chunks. The first failed write, seek or close sticks: every later
// frame and the finish report ERR_WRITE (ERR_CLOSEFILE for the close).
struct AviWriter;
// fps 1..1,000,000 (else ERR_WRONGUSAGE, also for a size outside
// 1..65535); ERR_MEM; ERR_WRITEFILE (the name as error argument) when the
// file or the temporary index file cannot be created. name is the title.
ErrorCode AviWriteHeader(const char* fileName, int32_t fps, uint32_t flags, int32_t width,
                         int32_t height, int32_t quality, int32_t smoothing, int32_t reserved,
                         const char* name, int32_t reserved2, AviWriter** out);
// Appends a frame; a bitmap of another size is scaled to the video's. A
// null bitmap repeats the last frame. A frame refused before anything was
// written (ERR_LOCKBMAP, ERR_MEM, the encoder's or scaler's error, and
// ERR_WRONGUSAGE once the 1,022 index segments are used up) leaves the
// file as it was, to be finished.
ErrorCode AviWriteVideoFrame(AviWriter* writer, BitmapHandle* bitmap, int32_t bitmapWidth,
                             int32_t bitmapHeight, int32_t reserved, int32_t keep);
// Completes the file with the frames written, closes it and frees the
// writer (null is ignored).
ErrorCode AviFinish(AviWriter* writer);
// Test accessors: the recorded time of the frames written, and the RIFF
// limits (0 restores 1,000,000,000 and 2,000,000,000 bytes).
TimeValue GetAviWriterClock(const AviWriter* writer);
void SetAviRiffLimits(int64_t first, int64_t later);
