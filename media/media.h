// Services of the media folder that other folders use: sound readers, the
// module replayer, and the media libraries added later. Each concern keeps
// its own section and includes only service headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/errors.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"

// ---- Sound readers and module replayer ----
// A SoundStream is an open sound source that yields PCM frames on request.
// The built-in readers (IFF 8SVX, IFF 16SV, RIFF WAVE) parse a file that the
// stream layer has opened and left in the source field, fill the format
// fields, and then serve block reads and seeks. Frame counts never exceed
// the sample bytes the file really holds when its size is known.

struct PluginBase;

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
  int32_t accumulatedMs;
  int32_t openFlag;
  int32_t seekable;
  int32_t subsongCount;
  List queue;
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
// stereo frames.
void RenderModuleBlock(ModPlayer* player, int16_t* buffer, uint32_t frames);
// what 1: the pattern row, 2: the song position; 0: request song position
// value at row 0 (applied before the next block; returns 0). The audio
// engine passes null when no channel plays the module: the answer is -1.
int32_t ModulePositionControl(int32_t what, ModPlayer* module, int32_t value);
uint32_t ModGetFlags(const ModPlayer* player);
void ModSetFlags(ModPlayer* player, uint32_t flags);
// The image and size the player was initialised from, for a restart.
uint8_t* ModGetImage(const ModPlayer* player, size_t* size);

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

// Largest side and pixel count a decoder accepts. The pixel limit can be
// lowered (fuzzing, tests); 0 restores the default. Returns the old limit.
constexpr int64_t IMAGE_MAX_SIDE = 1000000;                   // libpng's own default limit
constexpr size_t IMAGE_DEFAULT_MAX_PIXELS = size_t{1} << 28;  // 1 GiB of ARGB words
size_t SetImagePixelLimit(size_t pixels);

// A decoded picture: kind (IMGFMT_BMP..IMGFMT_ILBM, IMGFMT_NATIVE or
// IMGFMT_UNKNOWN), the pixel buffer (null for kind 6) and the native
// loader's handle (kind 6 only).
struct DecodedImage {
  int32_t kind;
  uint32_t* pixels;
  void* nativeHandle;
};

// Format and size from the headers alone, read from the stream's current
// position. orientation must hold 0 on entry and receives the Exif
// orientation (1..8) of a JPEG that carries one. 0 or ERR_LOADPICTURE2;
// the stream position is undefined afterwards.
ErrorCode IdentifyImageFile(StreamHandle* stream, int32_t* format, int32_t* width, int32_t* height,
                            int32_t* hasAlpha, int32_t* hasTransparentColour, int32_t* orientation);
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
void ReleaseDecodedImagePixels(DecodedImage* image);                // the holder stays
void SetDecodedImagePixels(DecodedImage* image, uint32_t* pixels);  // kind becomes 8
void FreeDecodedImage(DecodedImage* image);                         // null is ignored

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
