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

// ---- Anim library ----
// The library's lists: anims and anim streams (each appended at the tail).
struct AnimContext {
  ObjectHead* anims;
  ObjectHead* streams;
  VmState* state;  // the state the library was opened with
};
extern AnimContext animContext;
void InitAnimContext();
void FreeAnimContext();  // the VM may be gone: object data is not released

// The request of the anim builder. Source kinds: 3 a bitmap (a brush or a
// loaded picture), 4 an anim file (file set) or an anim (sourceId). Target
// kinds: 4 an anim, 20 a disk anim for playback. layoutArgs below 4: the
// source is one frame; 7: it is cut into frames.
struct AnimBuildSpec {
  ObjectId id;
  int automatic;
  ObjectId sourceId;
  int32_t sourceKind, targetKind;
  int32_t frameWidth, frameHeight, frameCount, framesPerRow, x, y;
  int32_t sourceWidth, sourceHeight;
  int32_t layoutArgs;
  int32_t fromDisk;
  int64_t keyColour;
  // Source bitmaps. With ownsSource, a one-frame build takes them (the
  // fields are cleared); otherwise they are copied.
  BitmapHandle* bitmap;
  BitmapHandle* mask;
  BitmapHandle* alpha;
  int32_t ownsSource;
  AnimFile* file;  // a disk anim takes it (the field is cleared)
  const char* fileName;
  int32_t loadAlpha;
  int32_t deinterlace;
  const char* adapter;
  int32_t loaderIndex;
  PluginBase* loaderPlugin;
  int32_t loadTransparency;
  // While preloading: the frames of an anim stay raw ARGB words until a
  // display opens, and a picture comes as its pixels (sourceWidth words a
  // row) instead of bitmaps.
  int32_t keepRaw;
  const uint32_t* pixels;
};
// Builds the anim and pushes its automatic id: the number of results or
// an error (everything made so far freed).
int BuildAnimObject(VmState* L, AnimBuildSpec* spec);
// The commands of media/anim.cpp and media/animload.cpp.
int CmdLoadAnim(VmState* L);
int CmdCreateAnim(VmState* L);
int CmdLoadAnimFrame(VmState* L);
int CmdCopyAnim(VmState* L);
int CmdFreeAnim(VmState* L);
int CmdScaleAnim(VmState* L);
int CmdModifyAnimFrames(VmState* L);
int CmdSetAnimFrameDelay(VmState* L);
int CmdGetAnimFrame(VmState* L);
int CmdSaveAnim(VmState* L);
int CmdBeginAnimStream(VmState* L);
int CmdWriteAnimFrame(VmState* L);
int CmdFinishAnimStream(VmState* L);
int CmdPlayAnim(VmState* L);
int CmdPlayAnimDisk(VmState* L);
int CmdDisplayAnimFrame(VmState* L);
int CmdSelectAnim(VmState* L);
// LoadAnim's worker: target ANIM_TARGET_ANIM reads id, file and options;
// ANIM_TARGET_DISK (PlayAnimDisk) the file, the key colour as argument 6,
// and makes a disk anim with an automatic id. Returns the number of
// results (the automatic id pushed) or an error.
constexpr int32_t ANIM_TARGET_ANIM = 4;
constexpr int32_t ANIM_TARGET_DISK = 20;
constexpr int32_t ANIM_TARGET_SPRITE = 32;  // LoadSprite: id, file, options
int LoadAnimObject(VmState* L, int32_t target);
// The drawing library's view of a frame (from 0): the anim's own handles,
// or decoded copies of a disk anim's frame.
struct AnimFrameView;
ErrorCode GetAnimDrawFrame(VmState* L, ObjectId id, int32_t frame, AnimFrameView* out);
// What the moving objects ask of an anim: a hold on it for the move, its
// release, and a frame's delay (milliseconds, 0 for none).
ErrorCode HoldAnimForMove(VmState* L, ObjectId id, void** record, int32_t* frames);
void ReleaseAnimOfMove(VmState* L, ObjectId id, void* record);
int32_t GetAnimDelayOfMove(VmState* L, ObjectId id, int32_t frame);
// A copy of the anim under an automatic id, hidden from scripts and freed
// once no layer shows it: what the layers that showed the anim keep when
// it changes.
ErrorCode CopyAnimObject(AnimObject* source, AnimObject** out);
// Registers the anim layer kind, its style fields and what the layer
// commands ask of anims (media/animlayer.cpp).
void RegisterAnimLayerKind();
// The lists and attribute readers of anims and anim streams.
ErrorCode RegisterAnimObjectLists();
// Finishes and frees every anim stream (their errors are dropped).
void FreeAnimStreams();
// Frames kept as raw ARGB words since the preload (the anim's file, when
// it has one, lent them) become bitmaps and masks with the anim's key
// colour: one frame, or all of them, after which the file is closed.
// Disk anims are left alone. ERR_BITMAP, ERR_ALLOCMASK; a frame that
// failed stays raw.
ErrorCode RealizeAnimFrame(AnimObject* anim, int32_t index);
ErrorCode RealizeAnimFrames(AnimObject* anim);
// When the first display opens: the frames of every anim loaded during the
// preload become bitmaps (the first error is returned, the rest still run).
ErrorCode RealizeDeferredAnims();
