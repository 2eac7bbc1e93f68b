// The graphics library's side of the tables that the folders above install
// (gfx.h): displays, brushes and sprites, picture files. Each accessor gives
// the installed table, or the defaults when none is installed.
#pragma once

#include "gfx/gfx.h"

const GfxDisplayHooks& DisplayHooks();
// What the installed table reads of a display.
inline GfxDisplayValues DisplayValuesOf(const DisplayRecord* display) {
  GfxDisplayValues values;
  DisplayHooks().values(display, &values);
  return values;
}
const GfxObjectHooks& ObjectHooks();
const GfxPictureFileHooks& PictureFileHooks();
