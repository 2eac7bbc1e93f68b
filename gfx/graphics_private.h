// The graphics library's own declarations: its commands, one file per
// concern (clipregion.cpp, asyncdraw.cpp, ...), which graphics.cpp puts in
// the library's command table, and their attribute readers.
#pragma once

#include <cstdint>

#include "engine/engine.h"
#include "gfx/gfx.h"

// Clip-region kinds of CreateClipRegion (the shape constants BOX and MASK).
constexpr int32_t CLIPTYPE_BOX = 14;
constexpr int32_t CLIPTYPE_MASK = 28;

int CmdCreateClipRegion(VmState* L);
int CmdSetClipRegion(VmState* L);
int CmdFreeClipRegion(VmState* L);
int ReadClipRegionAttribute(VmState* L, int32_t attribute);

// The errors of an output selection that is not the display or a
// background picture (ERR_SELECTBRUSH, ERR_ENDDOUBLEBUFFER while double
// buffering, ERR_SELECTANIM, ERR_SELECTMASK, ERR_SELECTALPHACHANNEL).
ErrorCode CheckOutputIsDisplay(const DisplayRecord* display);
int CmdAsyncDrawFrame(VmState* L);
int CmdFinishAsyncDraw(VmState* L);
int CmdCancelAsyncDraw(VmState* L);
int ReadAsyncDrawAttribute(VmState* L, int32_t attribute);
