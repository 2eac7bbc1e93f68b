// The graphics library's own declarations: its commands, one file per
// concern (clipregion.cpp, asyncdraw.cpp, ...), which graphics.cpp puts in
// the library's command table, and their attribute readers.
#pragma once

#include <cstdint>

#include "engine/engine.h"

// Clip-region kinds of CreateClipRegion (the shape constants BOX and MASK).
constexpr int32_t CLIPTYPE_BOX = 14;
constexpr int32_t CLIPTYPE_MASK = 28;

int CmdCreateClipRegion(VmState* L);
int CmdSetClipRegion(VmState* L);
int CmdFreeClipRegion(VmState* L);
int ReadClipRegionAttribute(VmState* L, int32_t attribute);
