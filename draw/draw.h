// Service header of the brush and drawing libraries: display options, brush
// records and the brush list, brush transforms, output selections and
// double buffering, as other folders call them; what only draw/ calls is in
// draw/*_private.h.
#pragma once

#include <cstddef>
#include <cstdint>

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
