// The display's options as start-up, the preload and the display library
// read them: display modes, style flags, scale modes and backfill kinds with
// their option names, declared once. Start-up maps its switches onto these
// codes and flags and keeps them in the player's records, the preload writes
// them into the tables of the displays an applet declares, and CreateDisplay
// reads the same names.
#pragma once

#include <cstdint>

#include "engine/optiontable.h"

// Display modes (the "mode" option).
enum : int32_t {
  DISPMODE_WINDOWED = 1,
  DISPMODE_FULLSCREEN = 2,
  DISPMODE_ASK = 3,
  DISPMODE_MODEREQUESTER = 4,
  DISPMODE_FAKEFULLSCREEN = 6,
  DISPMODE_FULLSCREENSCALE = 7,
  DISPMODE_SYSTEMSCALE = 8,
};

// Style flags of a display (one boolean option each).
enum : uint32_t {
  DSF_BORDERLESS = 0x1,
  DSF_SIZEABLE = 0x2,
  DSF_FIXED = 0x4,
  DSF_NOMODESWITCH = 0x8,
  DSF_HIDEPOINTER = 0x10,
  DSF_NOHIDE = 0x20,
  DSF_AUTOSCALE = 0x40,
  DSF_SMOOTHSCALE = 0x80,
  DSF_LAYERSCALE = 0x100,
  DSF_ACTIVE = 0x400,
  DSF_HIDDEN = 0x800,
  DSF_LAYERS = 0x1000,
  DSF_USEQUARTZ = 0x2000,
  DSF_NOCLOSE = 0x4000,
  DSF_KEEPPROPORTIONS = 0x8000,
  DSF_FITSCALE = 0x10000,
  DSF_NOLIVERESIZE = 0x20000,
  DSF_KEEPSCREENON = 0x40000,
  DSF_HIDEFROMTASKBAR = 0x80000,
  DSF_HIDEOPTIONSMENU = 0x100000,
  DSF_NOHARDWARESCALE = 0x200000,
  DSF_ALWAYSONTOP = 0x400000,
  DSF_SINGLEMENU = 0x800000,
  DSF_DISABLEBLANKER = 0x1000000,
  DSF_REMEMBERPOSITION = 0x8000000,
  DSF_MAXIMIZED = 0x10000000,
  DSF_TRAPRMB = 0x20000000,
  DSF_NOSCALEENGINE = 0x40000000,
  DSF_NATIVEUNITS = 0x80000000,
};
// The second flag word.
constexpr uint32_t DSF2_NOCYCLERMENU = 0x1;

// Values of the "scalemode" option.
enum : int32_t { SCALEMODE_NONE = 0, SCALEMODE_AUTO = 1, SCALEMODE_LAYER = 2 };
// Backfill kinds.
enum : int32_t {
  BACKFILL_NONE = 0,
  BACKFILL_COLOR = 1,
  BACKFILL_GRADIENT = 2,
  BACKFILL_TEXTURE = 3,
  BACKFILL_PICTURE = 4,
};

// The option names of the modes and backfill kinds.
inline constexpr OptionName DISPLAY_MODE_NAMES[] = {
    {"windowed", DISPMODE_WINDOWED},
    {"fullscreen", DISPMODE_FULLSCREEN},
    {"fullscreenscale", DISPMODE_FULLSCREENSCALE},
    {"ask", DISPMODE_ASK},
    {"fakefullscreen", DISPMODE_FAKEFULLSCREEN},
    {"moderequester", DISPMODE_MODEREQUESTER},
    {"systemscale", DISPMODE_SYSTEMSCALE},
    {nullptr, 0},
};
inline constexpr OptionName BACKFILL_KIND_NAMES[] = {
    {"color", BACKFILL_COLOR},
    {"gradient", BACKFILL_GRADIENT},
    {"texture", BACKFILL_TEXTURE},
    {"picture", BACKFILL_PICTURE},
    {nullptr, 0},
};
// The boolean style options in the order they are read. Word 0 is the
// style flag word, word 1 the second flag word.
inline constexpr OptionFlag DISPLAY_STYLE_FLAGS[] = {
    {"borderless", DSF_BORDERLESS, 0},
    {"sizeable", DSF_SIZEABLE, 0},
    {"fixed", DSF_FIXED, 0},
    {"nohide", DSF_NOHIDE, 0},
    {"nomodeswitch", DSF_NOMODESWITCH, 0},
    {"smoothscale", DSF_SMOOTHSCALE, 0},
    {"active", DSF_ACTIVE, 0},
    {"hidepointer", DSF_HIDEPOINTER, 0},
    {"usequartz", DSF_USEQUARTZ, 0},
    {"noclose", DSF_NOCLOSE, 0},
    {"keepproportions", DSF_KEEPPROPORTIONS, 0},
    {"fitscale", DSF_FITSCALE, 0},
    {"keepscreenon", DSF_KEEPSCREENON, 0},
    {"hidefromtaskbar", DSF_HIDEFROMTASKBAR, 0},
    {"hideoptionsmenu", DSF_HIDEOPTIONSMENU, 0},
    {"nohardwarescale", DSF_NOHARDWARESCALE, 0},
    {"disableblanker", DSF_DISABLEBLANKER, 0},
    {"rememberposition", DSF_REMEMBERPOSITION, 0},
    {"maximized", DSF_MAXIMIZED, 0},
    {"traprmb", DSF_TRAPRMB, 0},
    {"noscaleengine", DSF_NOSCALEENGINE, 0},
    {"nativeunits", DSF_NATIVEUNITS, 0},
    {"noliveresize", DSF_NOLIVERESIZE, 0},
    {"alwaysontop", DSF_ALWAYSONTOP, 0},
    {"singlemenu", DSF_SINGLEMENU, 0},
    {"nocyclermenu", DSF2_NOCYCLERMENU, 1},
    {nullptr, 0, 0},
};
// Style flags that only creating a display reads: true sets them, false
// leaves them clear.
inline constexpr OptionFlag DISPLAY_CREATION_FLAGS[] = {
    {"hidden", DSF_HIDDEN, 0},
    {"layers", DSF_LAYERS, 0},
    {nullptr, 0, 0},
};
