// The graphics library's own declarations: its commands, one file per
// concern (clipregion.cpp, asyncdraw.cpp, ...), which graphics.cpp puts in
// the library's command table, and their attribute readers.
#pragma once

#include <cstdint>

#include "engine/engine.h"
#include "gfx/gfx.h"
#include "platform/linux/platform.h"

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

// Colour and frame commands (graphicscmds.cpp).
int CmdRed(VmState* L);
int CmdGreen(VmState* L);
int CmdBlue(VmState* L);
int CmdRGB(VmState* L);
int CmdARGB(VmState* L);
int CmdGetPen(VmState* L);
int CmdVWait(VmState* L);
int CmdSetFPSLimit(VmState* L);
int CmdGetFPSLimit(VmState* L);
int CmdIsPicture(VmState* L);
int CmdGetRealColor(VmState* L);
int CmdMixRGB(VmState* L);
int CmdDumpVideoTime(VmState* L);
int CmdGetRandomColor(VmState* L);
int CmdBeginRefresh(VmState* L);
int CmdEndRefresh(VmState* L);
int CmdIntersection(VmState* L);
int CmdSetDrawTagsDefault(VmState* L);
// The handlers of global attributes 4 (mask mode) and 6 (alpha intensity).
ErrorCode RegisterGraphicsAttrHandlers();
// The clock the frame-rate limit reads and sleeps with (null: the system's).
void SetFrameClock(void (*now)(TimeValue* out), void (*sleep)(int32_t milliseconds));

// Pointers (pointer.cpp).
int CmdMovePointer(VmState* L);
int CmdHidePointer(VmState* L);
int CmdSetPointer(VmState* L);
int CmdShowPointer(VmState* L);
int CmdCreatePointer(VmState* L);
int CmdFreePointer(VmState* L);
int ReadPointerAttribute(VmState* L, int32_t attribute);
// Frees every pointer (shut-down).
void FreeAllPointers(VmState* L);

// Snapshots (snapshot.cpp).
int CmdSaveSnapshot(VmState* L);
