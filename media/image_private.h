// The picture codecs as media/ and its tests use them, and the helpers they
// share: the checked size of a decoded picture and its allocation. Invariant: a buffer sized here holds exactly
// width x height words, and no width, height or product that fails the
// checks ever reaches an allocation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/media.h"

// ---- Image codecs ----
// Picture files to 32-bit pixels and back. Decoded pixel buffers hold
// width x height words 0xAARRGGBB, rows top to bottom without gaps, from
// AllocMemory; whoever receives one frees it with FreeMemory. The alpha byte
// is an opacity only where a decoder reports alpha, else 0. Every decoder
// refuses a width or height below 1, or a picture above the pixel limit,
// with ERR_LOADPICTURE2 before it allocates anything.

// Format codes, shared with the script constants of the same names.
enum : int32_t {
  IMGFMT_BMP = 0,
  IMGFMT_PNG = 1,
  IMGFMT_JPEG = 2,
  IMGFMT_GIF = 3,
  IMGFMT_ILBM = 4,
  IMGFMT_TIFF = 5,     // identified only
  IMGFMT_NATIVE = 6,   // the platform's native loader holds the pixels
  IMGFMT_PLUGIN = 7,   // set by the picture-handle chain
  IMGFMT_UNKNOWN = 8,  // not identified; also pixels replaced by the caller
};
// Largest pixel count a decoder accepts. The limit can be lowered (fuzzing,
// tests); 0 restores the default. Returns the old limit.
constexpr size_t IMAGE_DEFAULT_MAX_PIXELS = size_t{1} << 28;  // 1 GiB of ARGB words
size_t SetImagePixelLimit(size_t pixels);

// Format and size from the headers alone, read from the stream's current
// position. orientation must hold 0 on entry and receives the Exif
// orientation (1..8) of a JPEG that carries one. 0 or ERR_LOADPICTURE2;
// the stream position is undefined afterwards.
ErrorCode IdentifyImageFile(StreamHandle* stream, int32_t* format, int32_t* width, int32_t* height,
                            int32_t* hasAlpha, int32_t* hasTransparentColour, int32_t* orientation);
void ReleaseDecodedImagePixels(DecodedImage* image);  // the holder stays

// PNG through libpng: any PNG comes out as 8-bit RGB (alpha byte 0) or RGBA.
// The stream stays the caller's. 0, ERR_MEM or ERR_LOADPICTURE2.
ErrorCode ReadPng(StreamHandle* stream, int infoOnly, int32_t* width, int32_t* height,
                  uint32_t** pixels, int32_t* hasAlpha);
struct PngWriteRequest {
  const char* fileName;
  const uint32_t* pixels;  // first row
  size_t bytesPerRow;      // distance between source rows, at least width x 4
  int32_t width;
  int32_t height;
  int32_t alpha;     // non-zero writes RGBA, else RGB
  ErrorCode result;  // 0, ERR_MEM, ERR_WRITEFILE, ERR_WRITE, ERR_CLOSEFILE, ERR_WRONGUSAGE
};
void WritePng(PngWriteRequest* request);

// JPEG through libjpeg. The source is an open stream (memory null) or a
// memory block of memorySize bytes (stream null). orientation 0..8 (Exif;
// other values count as 1) is applied to RGB pictures; 5..8 swap the size.
ErrorCode DecodeJpegImage(StreamHandle* stream, const uint8_t* memory, size_t memorySize,
                          int infoOnly, int32_t orientation, int32_t* width, int32_t* height,
                          uint32_t** pixels);
struct JpegBuffer {
  uint8_t* data;
  size_t length;
};
struct JpegEncodeRequest {
  const void* pixels;  // first row
  size_t bytesPerRow;
  int32_t width;
  int32_t height;
  int32_t quality;      // 0..100, baseline forced
  int32_t byteOrder;    // 0: 0xAARRGGBB words; else bytes A, R, G, B in memory
  JpegBuffer* holder;   // result: pass to FreeJpegBuffer
  const uint8_t* data;  // result
  size_t length;        // result
  ErrorCode result;     // 0 or ERR_MEM (ERR_WRONGUSAGE for an empty picture)
};
void EncodeJpegToMemory(JpegEncodeRequest* request);
void FreeJpegBuffer(JpegBuffer* holder);  // null is ignored

// IFF ILBM. The stream is at offset 0 and stays the caller's. palette
// receives a 256-entry colour table (FreeMemory) for pictures of 8 planes or
// fewer that are not HAM.
ErrorCode ReadIlbmImage(StreamHandle* stream, int infoOnly, const int32_t* basePalette,
                        int32_t penColour, int modeOne, int modeTwo, int32_t* transparentColour,
                        int32_t* width, int32_t* height, uint32_t** pixels, uint32_t** palette);
// 24 planes with ByteRun1. 0, ERR_MEM, ERR_WRITE, ERR_WRITEFILE,
// ERR_CLOSEFILE, or ERR_WRONGUSAGE for a size its 16-bit fields cannot hold.
ErrorCode WriteIlbmImage(const char* fileName, const uint32_t* pixels, int32_t width,
                         int32_t height);
// Bitplane helpers shared with the anim and video readers. Plane buffers of
// up to 8 planes hold plane after plane (height x rowBytes each); 24 planes
// are in file order (24 plane rows per picture row).
// Finds a chunk; on success the stream stands after its id (before its length).
bool FindIlbmChunk(StreamHandle* stream, const char* id);
bool ReadIlbmBodyRaw(StreamHandle* stream, uint8_t* planes, uint32_t bodySize, int32_t width,
                     int32_t height, int32_t planeCount, int32_t masking);
bool ReadIlbmBodyByteRun1(StreamHandle* stream, uint8_t* planes, uint32_t bodySize, int32_t width,
                          int32_t height, int32_t planeCount, int32_t masking);
// Whether `available` bytes (-1: not known, taken as enough) can hold a
// BODY of this size: unpacked plane rows are stored whole, and a ByteRun1
// run of 2 bytes unpacks to at most 128 bytes of its row's budget.
bool IlbmBodyFits(int64_t available, int32_t width, int32_t height, int32_t planeCount,
                  int32_t masking, int32_t compression);
// Up to 8 planes: pens ORed into output rows of outputRowBytes (zero them
// first); 24 planes: 4 bytes per pixel, in memory 0 and then the bits of
// planes 0-7, 8-15 and 16-23; other plane counts convert nothing.
void PlanarToChunky(const uint8_t* planes, int32_t width, int32_t height, int32_t planeCount,
                    size_t rowBytes, uint8_t* output, size_t outputRowBytes);
void DecodeHam6Pixels(const uint8_t* chunky, uint32_t* output, const uint32_t* colours,
                      int32_t width, int32_t height);
void DecodeHam8Pixels(const uint8_t* chunky, uint32_t* output, const uint32_t* colours,
                      int32_t width, int32_t height);
void ChunkyToArgb(const uint8_t* chunky, uint32_t* output, const uint32_t* colours, int32_t width,
                  int32_t height);

// BMP: 1, 4, 8 (also RLE8), 16 (5-6-5) and 24 bits. infoOnly reports the
// size as stored (the height may be negative). 0, ERR_MEM, ERR_READ or
// ERR_LOADPICTURE2.
ErrorCode ReadBmpImage(StreamHandle* stream, int infoOnly, int32_t* width, int32_t* height,
                       uint32_t** pixels);

// GIF reading, frames of anims included. The reader owns the stream.
// Opening decodes the whole file once to build its frame table; any failure
// closes the stream and gives null (so does infoOnly, after reporting the
// size). Frames are 0-based; -1 restarts.
struct GifReader;
GifReader* OpenGifReader(StreamHandle* stream, int32_t* width, int32_t* height, int32_t* frameCount,
                         int infoOnly, int clearCanvasAllowed, int reportTransparency);
// A new canvas copy (screen width x height words, caller frees) or null.
uint32_t* ReadGifFrame(GifReader* reader, int32_t index, int32_t* hasTransparency);
int32_t GetGifFrameDelay(GifReader* reader, int32_t index);  // milliseconds
// Frames decoded since the reader opened, the opening scan included.
int64_t GetGifFramesDecoded(const GifReader* reader);
void CloseGifReader(GifReader* reader);  // null is ignored

// GIF89a writing: one local colour table per frame, a "NETSCAPE2.0" loop.
struct GifWriter;
// 0, ERR_MEM, ERR_WRITEFILE, or ERR_WRONGUSAGE for a size its 16-bit
// fields cannot hold.
ErrorCode OpenGifWriter(const char* fileName, int32_t width, int32_t height, GifWriter** out);
// pens: width x height bytes (changed in place when optimize is set);
// palette: 256 words, entries from colourCount on are set to 0xFFFFFFFF.
// 0, ERR_MEM, ERR_WRONGUSAGE, or ERR_WRITE once a write has failed.
ErrorCode WriteGifAnimFrame(GifWriter* writer, uint8_t* pens, int32_t width, int32_t height,
                            int32_t delay, uint32_t* palette, int32_t colourCount,
                            int32_t transparentPen, int optimize, int animMode);
// Writes the trailer, closes and frees: 0, ERR_WRITE or ERR_CLOSEFILE.
ErrorCode CloseGifWriter(GifWriter* writer);

// The bytes from the stream's position to its end; -1 when the stream
// cannot tell its size. Readers check what a header claims against it
// before they allocate for the claim.
int64_t StreamBytesLeft(StreamHandle* stream);

// The pixel count of a width x height picture: ERR_LOADPICTURE2 for a side
// below 1 or above IMAGE_MAX_SIDE, or a count above the pixel limit.
ErrorCode ImagePixelCount(int64_t width, int64_t height, size_t* count);
// A width x height ARGB buffer after ImagePixelCount; null when it fails or
// memory runs out (*error tells which).
uint32_t* AllocImagePixels(int64_t width, int64_t height, int clear, ErrorCode* error);

// Hands the PNG, JPEG, GIF and ILBM writers to the graphics library's image
// writer (imagewriters.cpp); called when the media context is built.
void InstallImageFileWriters();
