// Services of the media folder that other folders use: the image codecs
// for now, and the media libraries added later. Each concern keeps its own
// section and includes only service headers; what only media/ calls is in
// media/*_private.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/errors.h"
#include "platform/linux/platform.h"
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

// ---- Sound library ----
// The sound library's opener: it opens the cross-thread event list (sample,
// music and video notices of the audio threads) and registers the library's
// name; its commands come later. Freeing it frees what is still queued.
ErrorCode OpenSoundLibrary(VmState* L);
void FreeSoundLibrary(VmState* L);

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

// ---- Anim library ----
// The "anim" opener: the deinterlace constants and IsAnim so far.
ErrorCode OpenAnimLibrary(VmState* L);
