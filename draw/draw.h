// Service header of the brush and drawing libraries: display options, brush
// records and the brush list, brush transforms, output selections and
// double buffering, as other folders call them; what only draw/ calls is in
// draw/*_private.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "display/display.h"
#include "engine/engine.h"
#include "gfx/gfx.h"
#include "runtime/runtime.h"

// ---- Display options ----

enum : uint32_t {
  DISPOPT_DEFAULTS = 1,      // start from the default transform and style
  DISPOPT_NEEDTABLE = 2,     // a value other than a table is ERR_TABEXPECTED
  DISPOPT_NOSIZE = 4,        // "width" and "height" are not read
  DISPOPT_NOROTATE = 8,      // "rotate" is not read
  DISPOPT_SMOOTHROTATE = 16  // the default smoothscale only for rotated objects
};
// Reads the option table at index (only when it is the last argument) into
// a transform and, when style is given, a style. A requested size equal to
// the source size counts as none. Stops at the first error and returns it;
// the records then hold what was read before and are to be discarded.
// SetDrawTagsDefault's work: reads the option table at index 1 into a copy
// of the draw-option defaults and, when the whole table was read, makes the
// copy the defaults. The geometry (sizes, scales, rotation, matrix) and the
// name and insert position of one object are not defaults: only the
// anchors, smoothscale and the look are kept.
ErrorCode SetDrawOptionDefaults(VmState* L);
ErrorCode ParseDisplayOptions(VmState* L, int index, int32_t sourceWidth, int32_t sourceHeight,
                              int32_t requestedWidth, int32_t requestedHeight,
                              int32_t defaultSmooth, DisplayTransform* transform,
                              ObjectStyle* style, uint32_t flags);
// "shadow" and, when it is on, "shadowcolor", "shadowdir", "shadowsize",
// "shadowradius", "shadowsigma". *found is set when "shadow" was present.
ErrorCode ParseShadowOptions(VmState* L, int table, ShadowStyle* shadow, int* found);
// "border", "bordercolor", "bordersize"; with aliases also "edgecolor",
// "edgesize" and "outlinethickness".
ErrorCode ParseBorderOptions(VmState* L, int table, int aliases, BorderStyle* border, int* found);

// ---- Brushes ----

struct PictureHandle;

// A brush: the script's off-screen image. A deferred brush has only its
// picture (and the part of it to use) until the first display opens; a
// vector brush keeps its picture and is rendered again when transformed.
struct BrushObject {
  ObjectHead head;  // type OBJTYPE_BRUSH; next links the brush list
  PictureHandle* picture;
  BitmapHandle* bitmap;  // null only while deferred
  BitmapHandle* mask;
  BitmapHandle* alpha;
  int32_t width, height;  // while deferred: the whole picture's
  int32_t rowLength;      // pixels a row of the source's pixel data
  int32_t locked;         // busy count: operations running on the brush
  int32_t releasePending;
  int64_t keyColour;  // 0xRRGGBB, -1 none
  int32_t transformed;
  int32_t isVector;
  int32_t partX, partY, partWidth, partHeight;  // the deferred part
  int32_t video;                                // the bitmap is an adapter video bitmap
  int32_t smoothScale;
  int32_t videoContent;  // bit 0 a mask, bit 1 an alpha channel
  ObjectId displayId;    // the owning display of a video-memory brush
  DisplayRecord* display;
  uint32_t* savedPixels;  // ARGB copy while that display is closed
  uintptr_t link;
  int32_t pictureAlpha;  // the deferred picture has an alpha channel
  // The name of the loader that read the brush's picture ("inbuilt" or a
  // plug-in's module name, which lives as long as the program), or null.
  const char* loader;
};
constexpr int64_t BRUSH_MASK_KEY = 0xAFC0DE;  // the key of a made mask

// Look-up flags of GetBrushObject.
enum : uint32_t {
  BRUSH_MODIFY = 1,     // the caller changes the brush (busy: ERR_LOCKEDOBJ)
  BRUSH_PENDING = 2,    // find brushes whose release is pending
  BRUSH_NOCOPY = 4,     // with BRUSH_MODIFY: layers keep the brush itself
  BRUSH_NOVECTOR = 8,   // vector brushes are ERR_BRUSHTYPE
  BRUSH_HARDWARE = 16,  // video-memory brushes are found (else ERR_HWBRUSH)
};
ErrorCode GetBrushObject(VmState* L, ObjectId id, BrushObject** out, uint32_t flags);
// Appends a brush of the given parts (taken on success only). id may ask
// for an automatic identifier ({null, 0} with automatic set), which is
// then written back.
ErrorCode AddBrushObject(ObjectId* id, int automatic, int32_t isVector, int32_t width,
                         int32_t height, int32_t rowLength, int32_t transformed,
                         PictureHandle* picture, BitmapHandle* bitmap, int64_t keyColour,
                         BitmapHandle* mask, BitmapHandle* alpha, const ObjectId* displayId,
                         BrushObject** out);
// A new brush filled with colour (unless unfilled), with an all-visible
// mask and an opaque alpha channel when wanted (cleared with clear).
ErrorCode CreateBrushObject(ObjectId* id, int automatic, int32_t width, int32_t height,
                            ArgbColor colour, int wantMask, int wantAlpha, int clear, int unfilled,
                            int videoWanted, int smoothScale, DisplayRecord* display,
                            BrushObject** out);
ErrorCode CopyBrushObject(VmState* L, BrushObject* source, ObjectId* id, int automatic,
                          int videoWanted, int smoothScale, DisplayRecord* display,
                          BrushObject** out);
// Pixels handed over by a plug-in or a test: 0xAARRGGBB rows rowLength
// pixels apart (null: an empty bitmap), flags bit 0 alpha from the top
// bytes, bit 1 a mask from the key colour.
struct BrushPixels {
  const uint32_t* pixels;
  int32_t rowLength;
  uint32_t keyColour;
  uint32_t flags;
};
ErrorCode CreateBrushFromPixels(VmState* L, ObjectId* id, int automatic, int32_t width,
                                int32_t height, const BrushPixels* description, BrushObject** out);
// A brush that shows a part of a picture (one more reference is taken);
// deferred until a display exists.
ErrorCode AddDeferredBrush(ObjectId* id, int automatic, PictureHandle* picture, int32_t partX,
                           int32_t partY, int32_t partWidth, int32_t partHeight, int64_t keyColour,
                           int32_t hasAlpha, int32_t isVector, BrushObject** out);
// reportMissing 0: a missing brush is no error.
ErrorCode FreeBrushObject(VmState* L, ObjectId id, int reportMissing);
void FreeAllBrushes(VmState* L);
void FreeDisplayBrushes(DisplayRecord* display);
void FreeReleasedBrushes();
ErrorCode RealizeDeferredBrushes(int forceSoftware, int skipAdapterOwned);
ErrorCode SaveHardwareBrushes(DisplayRecord* display);
void RestoreHardwareBrushes(DisplayRecord* display);
// An operation that works on the brush over a time marks it busy; the last
// release frees a brush that was freed meanwhile.
void HoldBrush(BrushObject* brush);
void ReleaseBrush(BrushObject* brush);
// Frees what the brush holds and puts the new bitmaps and size in place.
void ReplaceBrushBitmaps(BrushObject* brush, BitmapHandle* bitmap, BitmapHandle* mask,
                         BitmapHandle* alpha, int32_t width, int32_t height);

// The library opener "brush" and the GetAttribute reader of brushes.
ErrorCode OpenBrushLibrary(VmState* L);
int ReadBrushAttribute(VmState* L, int32_t attribute);

// ---- Brush transforms ----

// Size of width x height under the matrix (m11, m12, m21, m22).
void GetTransformedSize(const double matrix[4], int32_t width, int32_t height, int32_t* outWidth,
                        int32_t* outHeight);
void GetTransformedBounds(int32_t x, int32_t y, int32_t width, int32_t height, double anchorX,
                          double anchorY, const double matrix[4], int32_t* outX, int32_t* outY,
                          int32_t* outWidth, int32_t* outHeight);
ErrorCode TransformBitmapMatrix(VmState* L, int32_t isVector, PictureHandle* picture,
                                BitmapHandle* bitmap, BitmapHandle* mask, BitmapHandle* alpha,
                                int32_t sx, int32_t sy, int32_t x, int32_t y, int32_t width,
                                int32_t height, double anchorX, double anchorY,
                                const double matrix[4], int32_t smooth, DisplayRecord* display,
                                BitmapHandle** outBitmap, BitmapHandle** outMask,
                                BitmapHandle** outAlpha, int32_t* outX, int32_t* outY,
                                int32_t* outWidth, int32_t* outHeight);
ErrorCode TransformBrushCore(VmState* L, ObjectId id, const double matrix[4], int32_t smooth);

// ---- Drawing an object ----

// Object types that only drawing knows: a part of a brush, a part of a
// background picture.
constexpr int32_t DRAW_BRUSHPART = 12;
constexpr int32_t DRAW_BGPICPART = 13;
// What DrawObject draws. Flags: 1 never copy directly; 2 handed to layer
// creation; 4 with layers on an untransformed object is not copied
// directly; 8 the transform belongs to a layer, nothing is copied directly;
// 16 update the layer; 8 or 1024 find a brush whose release is pending.
// ---- Anims ----
// The anim library lives above this folder: it hands drawing its frames
// through hooks that it registers when it opens.
struct AnimFrameView {
  BitmapHandle *bitmap, *mask, *alpha;
  int32_t width, height;
  int32_t owned;   // 1: decoded copies the caller frees; 0: the anim's own handles
  int32_t smooth;  // the anim's smoothing flag
};
struct AnimDrawHooks {
  // The frame (from 0) at the anim's size. ERR_FINDANIM (ERR_FINDARRAY for
  // an automatic id), ERR_ANIMFRAME, or the decoder's error.
  ErrorCode (*getFrame)(VmState* L, ObjectId id, int32_t frame, AnimFrameView* out);
  // A moving anim is held (locked against change and freeing) from its
  // start to its end: *record is the anim's record, handed back to
  // release, which finds it by id again first (it may be gone at
  // shut-down). *frames is its frame count.
  ErrorCode (*hold)(VmState* L, ObjectId id, void** record, int32_t* frames);
  void (*release)(VmState* L, ObjectId id, void* record);
  // The delay of the frame (from 0) in milliseconds.
  int32_t (*frameDelay)(VmState* L, ObjectId id, int32_t frame);
};
void SetAnimDrawHooks(const AnimDrawHooks* hooks);  // null removes them
// Whether the anim is the output device of the current display (a frame
// selected by SelectAnim).
int IsAnimOutputDevice(ObjectId id);

struct DrawRequest {
  int32_t layer;  // handed to layer creation (-1 unless flag 8)
  int32_t type;   // OBJTYPE_BRUSH, DRAW_BRUSHPART, OBJTYPE_ANIM, DRAW_BGPICPART, OBJTYPE_VIDEO
  ObjectId id;
  int32_t frame;                      // anim frames from 0
  int32_t sx, sy;                     // the part's source position
  int32_t x, y;                       // the destination (position constants allowed)
  int32_t width, height;              // the part's size; 0 for a whole object
  int optionsIndex;                   // the option table's argument index, 0 none
  const DisplayTransform* transform;  // null: parsed or the defaults
  const ObjectStyle* style;
  intptr_t extra;  // handed to layer creation
  uint32_t flags;
  BitmapHandle* bitmap;  // a video's frame (type OBJTYPE_VIDEO); a layer made takes it
  // Flag 16: the layer whose transformed image is made again through the
  // transform (its own when null), and where SetLayerGeometry collects the
  // old area (null: shown again at once).
  qmLayer* updateLayer;
  LayerRect* collect;
};
ErrorCode DrawObject(VmState* L, const DrawRequest* request);
ErrorCode DisplayBrushCore(VmState* L, ObjectId id, int32_t x, int32_t y, int optionsIndex);
// A freshly drawn shape's look with layers off: the style's filters, then
// its transparency (EnsureAlphaLevel at 255 - transparency).
ErrorCode ApplyDrawEffects(const ObjectStyle* style, BitmapHandle* bitmap, BitmapHandle** mask,
                           BitmapHandle** alpha, int32_t width, int32_t height);
// Whether ApplyDrawEffects changes anything for the style (a filter on, or
// a transparency).
bool HasDrawEffects(const ObjectStyle* style);
// Owned bitmaps at a level: an alpha channel is scaled by level / 255;
// without one a new one is made from the mask (visible pixels at the
// level) or filled with the level, and the mask is freed.
ErrorCode EnsureAlphaLevel(BitmapHandle** mask, BitmapHandle** alpha, int32_t width, int32_t height,
                           int32_t level);

// ---- Output devices and double buffering ----

enum : int32_t { SELMODE_NORMAL = 0, SELMODE_COMBO = 1, SELMODE_LAYERS = 2 };
// Redirects drawing of the current display to the object's pixels (kind
// OBJECT_BRUSH), mask (OUTPUT_MASK) or alpha channel (OUTPUT_ALPHA).
// Selecting the same again does nothing; another selection is ended first;
// double buffering is suspended until the selection ends.
ErrorCode SelectOutputDevice(VmState* L, int32_t type, ObjectId id, int32_t kind, int32_t frame,
                             int32_t mode, int32_t combo);
// Before drawing into a selected mask or alpha channel: a missing one is
// made (all visible, or 255) and the other one freed, once per selection.
ErrorCode PrepareOutputTarget(VmState* L);
// (Re)makes the presentation buffer of a double-buffered display, black.
ErrorCode AllocBackBuffer(DisplayRecord* display, int32_t width, int32_t height);
// The software part of Flip: the back buffer's dirty rectangles (merged),
// or all of it when the list is full, copied into the presentation buffer;
// scaled into it when the display scales.
ErrorCode CopyBackBuffer(DisplayRecord* display);
// Ends double buffering: the back buffer becomes the window bitmap's
// content, drawing goes to the display again.
ErrorCode EndDoubleBufferCore(VmState* L, DisplayRecord* display);

// ---- Drawing style ----

enum : int32_t {
  FORM_NORMAL = 1,
  FORM_ANTIALIAS = 16,
  FORM_SHADOW = 32,
  FORM_EDGE = 64,
};
enum : int32_t {
  SHAPE_BOX = 14,
  SHAPE_CIRCLE = 15,
  SHAPE_ELLIPSE = 16,
  SHAPE_LINE = 17,
  SHAPE_PLOT = 18,
  SHAPE_POLYGON = 27,
  SHAPE_ARC = 31,
};
// A gradient as the gradient option reader fills it: type (2 linear, 3
// radial, 4 conical), start and end colour, angle, colour pairs, centre,
// balance and border; shapes fill their bodies with it.
using GradientDescription = GradientFill;
// The one drawing style of the program. Shapes and shape layers work on
// copies taken whole, so changing it never changes what is drawn already.
struct DrawStyle {
  int32_t fillStyle;
  int32_t formFlags;
  GradientDescription gradient;
  ObjectId textureBrush;
  int32_t borderSize;
  uint32_t borderColor;  // top byte: transparency
  int32_t shadowSize;
  int32_t shadowDirection;  // 0 north, clockwise to 7 north-west
  uint32_t shadowColor;     // top byte: transparency
  int32_t lineWidth;
  int32_t textureX, textureY;
};
DrawStyle* GetCurrentDrawStyle();
// Line width at least 1, shadow and border sizes 1..64, direction and fill
// style inside their ranges.
void ClampDrawStyle(DrawStyle* style);
ErrorCode OpenDrawLibrary(VmState* L);
void FreeDrawTables(VmState* L);

// ---- Vector paths ----

// What the vector-graphics library asks of the text library, which
// installs it when it opens: the current font (an opaque record, its type
// (4 TrueType), the size it was asked for and its FreeType face, null for
// other types) and the current text encoding (0 8-bit, 1 UTF-8).
struct PathFontHooks {
  void* (*currentFont)(int32_t* type, int32_t* size, void** face);
  int32_t (*currentEncoding)();
};
void SetPathFontHooks(const PathFontHooks* hooks);  // null removes them
// The text library closes a font: every engine's handle of it is released.
void ReleaseFontVectorHandles(void* font);
// The library opener "vectorgraphics" and its shut-down (every path, the
// dash pattern, then every font's vector handles).
ErrorCode OpenVectorGraphicsLibrary(VmState* L);
void FreeAllPaths(VmState* L);

// ---- Text objects ----
// The text library lives above this folder: it hands drawing copies of a
// text object's image, and shows one as a new layer at x, y on the current
// display (as DisplayTextObject does), through hooks that it registers
// when it opens.
struct TextObjectDrawHooks {
  ErrorCode (*copyImage)(VmState* L, ObjectId id, BitmapHandle** bitmap, BitmapHandle** mask,
                         BitmapHandle** alpha, int32_t* width, int32_t* height);
  ErrorCode (*showLayer)(VmState* L, ObjectId id, int32_t x, int32_t y);
};
void SetTextObjectDrawHooks(const TextObjectDrawHooks* hooks);  // null removes them

// ---- Icons ----
// The icon library lives above this folder: it hands a copy of the packed
// ARGB pixels of an icon's entry (from 1; second: the entry's selected
// image) through a hook that it registers when it opens. The hook returns
// the icon look-up's error, ERR_ICONENTRY for a missing entry,
// ERR_WRONGUSAGE for a missing selected image and ERR_MEM.
struct IconEntryPixels {
  uint32_t* pixels;  // the caller frees it (FreeMemory)
  int32_t width, height;
  int32_t transparent;  // the image has a mask or alpha channel
};
using IconEntrySource = ErrorCode (*)(ObjectId id, int32_t entry, int32_t second,
                                      IconEntryPixels* out);
void SetIconEntrySource(IconEntrySource source);  // null removes it

// ---- Context record ----
void InitDrawContext();
void FreeDrawContext();

// ---- Moving objects ----

// Motion effects of a move.
enum : int32_t {
  MOVEFX_NONE = 0,
  MOVEFX_BOUNCE = 1,
  MOVEFX_SMOOTHOUT = 2,
  MOVEFX_DAMPED = 3,
  MOVEFX_SINE = 4,
  MOVEFX_BIGSINE = 5,
  MOVEFX_LOWERCURVE = 6,
  MOVEFX_UPPERCURVE = 7,
};
// Speeds: pixels per frame 10, 15 and 5; DEFAULTSPEED keeps an anim's own
// frame delays.
enum : int32_t { NORMALSPEED = -1, FASTSPEED = -2, SLOWSPEED = -3, DEFAULTSPEED = -4 };
// What a move moves: the object types, and a picture (bitmaps the caller
// lends, as the transition effects move them).
enum : int32_t {
  MOVE_BRUSH = 3,
  MOVE_ANIM = 4,
  MOVE_PICTURE = 7,
  MOVE_TEXTOBJECT = 8,
  MOVE_LAYER = 22,
  MOVE_SPRITE = 32,
};
constexpr int32_t MOVE_SINE_VALUES = 79;
struct MoveState;
// One step (done set on the last one), and the release of what the move
// holds (the record itself is freed only when no async drawing owns it).
using MoveFrameFunc = ErrorCode (*)(MoveState* move, int32_t* done);
using MoveReleaseFunc = void (*)(MoveState* move);
// One running move. A caller that owns the move through an async drawing
// of its own (the transition effects) fills: state, type MOVE_PICTURE with
// bitmap, mask, alpha (lent) or MOVE_LAYER with layer, width, height,
// speed, effect, start and end, blitFlags and ownedByAsync = 1; then
// MoveObjectCore prepares it and sets drawFrame and release, which the
// owner calls for each frame and once at its end.
struct MoveState {
  VmState* state;
  BitmapHandle *bitmap, *mask, *alpha;  // the frame being drawn
  BitmapHandle *work, *background;      // layers off: the composing pair
  int32_t type;
  ObjectId id;  // MOVE_LAYER: number is the 1-based position
  int32_t effect;
  int32_t startX, startY, endX, endY, previousX, previousY;
  int32_t width, height;
  int32_t step, initialStep, speed;  // pixels a frame; speed: its magnitude
  int32_t animInterval;              // milliseconds a frame
  int32_t phase;                     // 0 running, 1-8 turning points, 9 the last settle
  int32_t slowDistance, slowDecrement;
  int32_t frame, frameCount;  // from 0; 0 frames for objects without
  int32_t direction;          // 0 up, clockwise to 7 up-left
  int32_t sineStep, sinePhase;
  double sineTable[MOVE_SINE_VALUES];  // a curve keeps its factor in the first slot
  void* anim;
  qmLayer* layer;
  int32_t layerPosition;
  int32_t async, ownedByAsync, animFile;
  TimeValue nextFrame;
  uint32_t blitFlags;
  MoveFrameFunc drawFrame;
  MoveReleaseFunc release;
  int32_t* useCounter;       // the moved object's busy count
  int32_t** linkedCounters;  // those of linked sprites, null-terminated
  int32_t frameChanged;
  int32_t* path;  // the minor-axis coordinate per major-axis pixel
  int64_t pathLength;
  int64_t pathIndex;
  int32_t majorIsY, reverse;
  // Internal: the current position, the layers-off picture size, the
  // object record.
  int32_t x, y;
  int32_t pictureWidth, pictureHeight;
  int32_t counter;
  int32_t ownsFrame;  // the frame bitmaps are copies the move frees
  void* object;
};
// Takes over a filled move: a synchronous move runs to its end here (the
// record is freed), an asynchronous one pushes its async drawing's handle,
// and an owned one is only prepared. On an error before the move runs the
// move is released.
ErrorCode MoveObjectCore(MoveState* move);
// The library opener "moveobject".
ErrorCode OpenMoveObjectLibrary(VmState* L);

// ---- Sprites ----

// A sprite (object type 32): frames shown over the background picture of
// a display without layers. A linked sprite takes its frames, in order,
// from the sprites of its null-terminated link array.
struct SpriteObject {
  ObjectHead head;  // type OBJTYPE_SPRITE; next links the sprite list
  int32_t width, height, frameCount;
  int32_t useCount;       // moves and other users that hold it
  int32_t copyForLayers;  // a hidden copy; lookups pass it over
  SpriteObject** links;
  int64_t keyColour;  // -1 none
  void* animFile;
  BitmapHandle** bitmaps;
  BitmapHandle** masks;
  BitmapHandle** alphas;
  uint32_t** saved;  // 0xAARRGGBB copies kept until a display exists
};
// GetSpriteObject flags.
enum : uint32_t { SPRITE_MODIFY = 1, SPRITE_COPIES = 2, SPRITE_NOCOPY = 4 };
ErrorCode GetSpriteObject(ObjectId id, SpriteObject** out, uint32_t flags);
// The frame (from 0) of a sprite: its own, or a linked sprite's.
ErrorCode GetSpriteFrame(SpriteObject* sprite, int32_t frame, BitmapHandle** bitmap,
                         BitmapHandle** mask, BitmapHandle** alpha);
// Appends a sprite whose frames (taken on success) are given as bitmaps,
// or as 0xAARRGGBB copies while no display exists (bitmaps null). A
// numeric id frees a sprite of that id first (ERR_LOCKEDOBJ while in use);
// an automatic id is written back.
struct SpriteFrames {
  int32_t count;
  BitmapHandle **bitmaps, **masks, **alphas;  // arrays of count (AllocMemory)
  uint32_t** saved;
};
ErrorCode AddSpriteObject(VmState* L, ObjectId* id, int automatic, int32_t width, int32_t height,
                          int64_t keyColour, SpriteFrames* frames, SpriteObject** out);
// Frees a sprite (and the sprites linked to it); reportMissing 0: a
// missing one is no error.
ErrorCode FreeSpriteById(VmState* L, ObjectId id, int reportMissing);
void FreeAllSprites(VmState* L);
// Shows or moves a sprite (frame 0: the next one).
ErrorCode DisplaySpriteCore(VmState* L, ObjectId id, int32_t x, int32_t y, int32_t frame);
// Builds the frames of sprites made before any display from their saved
// copies (the first display's opening).
ErrorCode RestoreSpriteBitmaps();
// The anim library builds sprites from brushes, brush strips, text
// objects and sprite lists through this hook (CreateSprite's arguments
// from index 1, target type 32); null: the sprite library's own builder.
using SpriteBuildHook = int (*)(VmState* L);
void SetSpriteBuildHook(SpriteBuildHook hook);
// LoadSprite goes to the anim library's loader through this hook
// (LoadSprite's arguments from index 1); null: no file becomes a sprite.
void SetSpriteLoadHook(SpriteBuildHook hook);
// The library opener "sprite".
ErrorCode OpenSpriteLibrary(VmState* L);

// The coverage of a filled polygon over a box of width x height, one byte
// a pixel (255 inside), rows of width bytes; points are x, y pairs in the
// box's coordinates, anti-aliased or 8-connected. ERR_WRONGUSAGE for an
// empty box, ERR_MEM for one above 1 GiB.
ErrorCode PolygonCoverage(const int32_t* points, int32_t count, int32_t width, int32_t height,
                          int antialias, std::vector<uint8_t>* out);

// ---- What the graphics library reads of brushes and sprites ----
// Installed into the graphics library (GfxObjectHooks) by the composition
// root (draw/gfxhooks.cpp): a brush's pixels as GetBrushObject finds it,
// and a frame (from 1) of a sprite as GetSpriteObject (no flags) and
// GetSpriteFrame give it, ERR_ANIMFRAME for a frame it does not have.
ErrorCode GetBrushPicture(VmState* L, ObjectId id, GfxPicture* out, uint32_t flags);
ErrorCode GetSpriteFramePicture(ObjectId id, int32_t frame, GfxPicture* out);
