// The drawing folder's own declarations beside draw/draw.h: its context
// record (the brush list and the output selection state) and the services
// that wait for other libraries. Used inside draw/ and by tests.
#pragma once

#include <cstdint>

#include "draw/draw.h"

// The alpha channel made at a level for the last object drawn with a
// transparency from its mask or alpha channel (or from neither), and the
// write stamps that prove that neither that source nor the made channel
// changed since.
struct LevelAlphaCache {
  const BitmapHandle* from = nullptr;  // compared only, never read
  bool fromAlpha = false;
  uint64_t fromStamp = 0;
  int32_t width = 0, height = 0, level = 0;
  BitmapHandle* made = nullptr;  // owned
  uint64_t madeStamp = 0;
};

struct DrawContext {
  ObjectHead* brushList = nullptr;  // registered with the object registry
  VmState* state = nullptr;         // the state the library was opened with
  // The combo parameter of the last SelectBrush (its mode is a gfx
  // setting), which the drawing routines read.
  int32_t selectionCombo = 0;
  // The drawing library: its style and its angle tables. Entry i of the
  // tables holds the sine and cosine of (360 - i) degrees.
  DrawStyle style{};
  double sinTable[361]{};
  double cosTable[361]{};
  int32_t drawOpen = 0;
  AnimDrawHooks animHooks{};         // set by the anim library when it opens
  ObjectHead* spriteList = nullptr;  // SpriteObject records, appended at the tail
  SpriteBuildHook spriteBuild = nullptr;
  SpriteBuildHook spriteLoad = nullptr;   // set by the anim library when it opens
  IconEntrySource iconEntries = nullptr;  // set by the icon library when it opens
  LevelAlphaCache levelAlpha;
};
extern DrawContext drawContext;
// Frees the alpha channel the last drawing with a transparency kept.
void FreeLevelAlphaCache();

// Whether the brush is the current output device of the current display.
int IsBrushOutputDevice(const BrushObject* brush);
// Why what draws on the display itself is refused while the output is
// selected elsewhere: a brush (an anim's frame brush gives the anim's
// error, a selection made while double buffering the buffer's), an anim, a
// background picture, a mask or an alpha channel; ERR_NONE on the display.
ErrorCode SelectedOutputRefusal(const DisplayRecord* d);

// Script commands of the brush library, one table in brushlib.cpp.
int CmdScaleBrush(VmState* L);
int CmdRotateBrush(VmState* L);
int CmdTransformBrush(VmState* L);
int CmdSelectBrush(VmState* L);
int CmdSelectMask(VmState* L);
int CmdSelectAlphaChannel(VmState* L);
int CmdBeginDoubleBuffer(VmState* L);
int CmdFlip(VmState* L);
int CmdEndDoubleBuffer(VmState* L);
int CmdDisplayBrush(VmState* L);
int CmdDisplayBrushPart(VmState* L);
int CmdCreateBrush(VmState* L);
int CmdCopyBrush(VmState* L);
int CmdLoadBrush(VmState* L);

// Pixel and filter commands (brushpixels.cpp, brushfilters.cpp).
int CmdIsBrushEmpty(VmState* L);
int CmdReduceAlphaChannel(VmState* L);
int CmdWriteBrushPixel(VmState* L);
int CmdReadBrushPixel(VmState* L);
int CmdBrushToRGBArray(VmState* L);
int CmdRGBArrayToBrush(VmState* L);
int CmdChangeBrushTransparency(VmState* L);
int CmdRasterizeBrush(VmState* L);
int CmdTrimBrush(VmState* L);
int CmdDeleteMask(VmState* L);
int CmdDeleteAlphaChannel(VmState* L);
int CmdInvertAlphaChannel(VmState* L);
int CmdInvertMask(VmState* L);
int CmdFloodFill(VmState* L);
int CmdCropBrush(VmState* L);
int CmdSaveBrush(VmState* L);
int CmdSetBrushTransparency(VmState* L);
int CmdFlipBrush(VmState* L);
int CmdReplaceColors(VmState* L);
int CmdSetAlphaIntensity(VmState* L);
int CmdSetMaskMode(VmState* L);
int CmdQuantizeBrush(VmState* L);
int CmdBarrelDistortBrush(VmState* L);
int CmdPolarDistortBrush(VmState* L);
int CmdArcDistortBrush(VmState* L);
int CmdPerspectiveDistortBrush(VmState* L);
int CmdOilPaintBrush(VmState* L);
int CmdWaterRippleBrush(VmState* L);
int CmdBrushToMonochrome(VmState* L);
int CmdPixelateBrush(VmState* L);
int CmdSwirlBrush(VmState* L);
int CmdCharcoalBrush(VmState* L);
int CmdSepiaToneBrush(VmState* L);
int CmdModulateBrush(VmState* L);
int CmdContrastBrush(VmState* L);
int CmdGammaBrush(VmState* L);
int CmdSolarizeBrush(VmState* L);
int CmdSharpenBrush(VmState* L);
int CmdEdgeBrush(VmState* L);
int CmdEmbossBrush(VmState* L);
int CmdBlurBrush(VmState* L);
int CmdBrushToGray(VmState* L);
int CmdInvertBrush(VmState* L);
int CmdMixBrush(VmState* L);
int CmdTintBrush(VmState* L);
// The brush at index for a change: its busy, vector (with BRUSH_NOVECTOR)
// and video-memory checks, ERR_MODIFYABR while it is the output device;
// every refusal is returned.
ErrorCode GetModifiableBrush(VmState* L, int index, uint32_t flags, BrushObject** out);
// A level 0-255 or "N%" of 255 (other values are taken as they are; one
// beyond the 32-bit range is ERR_WRONGUSAGE).
ErrorCode ReadLevelArg(VmState* L, int index, int32_t* level);

// The layer kinds of brushes, brush parts and picture parts.
void RegisterBrushLayerKinds();
// Brush making commands beyond CreateBrush, CopyBrush and LoadBrush.
int CmdCreateBorderBrush(VmState* L);
int CmdCreateShadowBrush(VmState* L);
int CmdGrabDesktop(VmState* L);
int CmdConvertToBrush(VmState* L);
int CmdGetBrushLink(VmState* L);
int CmdCreateTexturedBrush(VmState* L);
int CmdCreateGradientBrush(VmState* L);
// A new brush of another object's current pixels (type 1 background
// picture, 3 brush, 4 anim frame, 8 text object, 22 layer, 32 sprite
// frame, 49 vector paths at argument index frame, 59 icon); the id follows
// the new-id rule. A brush copy keeps the source's link word.
ErrorCode ConvertObjectToBrush(VmState* L, int32_t type, ObjectId source, ObjectId* id,
                               int automatic, int32_t frame, int32_t extra);
// Copies of an object's bitmaps at its size, owned by the caller.
struct ObjectBitmaps {
  BitmapHandle *bitmap, *mask, *alpha;
  int32_t width, height;
};
// The background-picture library's images and makers (brushbgpic.cpp).
void InstallBGPicBrushHooks();
ErrorCode GetBGPicBitmaps(VmState* L, ObjectId id, ObjectBitmaps* out);
ErrorCode MakeTexturedPicture(VmState* L, int forBrush);
ErrorCode MakeGradientPicture(VmState* L, int forBrush);
// Copies of the frame (from 1) of an anim, through the anim library's hooks.
ErrorCode GetAnimFrameBitmaps(VmState* L, ObjectId id, int32_t frame, ObjectBitmaps* out);
// Copies of a text object's image, through the text library's hooks.
ErrorCode GetTextObjectBitmaps(VmState* L, ObjectId id, ObjectBitmaps* out);
// Shows a text object as a new layer at x, y, through the text library's
// hooks.
ErrorCode ShowTextObjectLayer(VmState* L, ObjectId id, int32_t x, int32_t y);
// Copies of a layer's image (the id's number is its position), of an anim
// layer the frame (from 1).
ErrorCode GetLayerBitmaps(VmState* L, ObjectId layer, int32_t frame, ObjectBitmaps* out);
// The sprite list's walk and the link test of flip and scale (sprite.cpp).
SpriteObject* FirstSpriteObject();
ObjectId SpriteIdOf(const SpriteObject* sprite);
bool SpriteIsLinked(const SpriteObject* sprite);
// Copies of a sprite's frame (from 1).
ErrorCode GetSpriteFrameBitmaps(VmState* L, ObjectId id, int32_t frame, ObjectBitmaps* out);
// A vector brush of the list of path entries at the argument index ("x",
// "y", "color", "id"): it keeps the list and renders it again when
// transformed.
ErrorCode MakePathListBrush(VmState* L, int index, ObjectId* id, int automatic);
// An icon entry's image (entry from 1; its selected image when second is
// set), through the icon library's hook.
ErrorCode GetIconBitmaps(VmState* L, ObjectId id, int32_t entry, int32_t second,
                         ObjectBitmaps* out);
