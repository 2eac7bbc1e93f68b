// The drawing folder's own declarations beside draw/draw.h: its context
// record (the brush list and the output selection state) and the services
// that wait for other libraries. Used inside draw/ and by tests.
#pragma once

#include <cstdint>

#include "draw/draw.h"

struct DrawContext {
  ObjectHead* brushList = nullptr;  // registered with the object registry
  VmState* state = nullptr;         // the state the library was opened with
  // The combo parameter of the last SelectBrush (its mode is a gfx
  // setting), which the drawing routines read.
  int32_t selectionCombo = 0;
};
extern DrawContext drawContext;

// The bitmap flags of the wanted set that the display adapter supports for
// its video bitmaps (8 video bitmaps, 32 display-bound, 64 pixel access,
// 128 mask and alpha access, 256 double buffers, 512 hardware transforms,
// 1024 hardware fades); 0 without an adapter.
uint32_t BrushVideoBitmapFlags(uint32_t wanted);
// Whether the brush is the current output device of the current display.
int IsBrushOutputDevice(const BrushObject* brush);

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

// Inserts a layer showing the object on the current display (layers on).
ErrorCode CreateObjectLayer(VmState* L, int32_t type, ObjectId id, int32_t sx, int32_t sy,
                            int32_t x, int32_t y, int32_t width, int32_t height,
                            const DisplayTransform* transform, const ObjectStyle* style,
                            BitmapHandle* bitmap, int32_t layer, uint32_t flags, intptr_t extra);
