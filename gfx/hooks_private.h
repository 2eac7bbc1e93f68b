// The graphics library's side of the tables that the folders above install
// (gfx.h): displays, brushes and sprites, picture files. Each accessor gives
// the installed table, or the defaults when none is installed.
#pragma once

#include "gfx/gfx.h"

const GfxDisplayHooks& DisplayHooks();
const GfxObjectHooks& ObjectHooks();
const GfxPictureFileHooks& PictureFileHooks();
