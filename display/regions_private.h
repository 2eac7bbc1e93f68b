// What the display files share about a display's drag and size regions.
// Invariant: regions the script gave are never replaced; only the defaults
// follow the display's size.
#pragma once

#include "display/display.h"

// Sets the default drag region (a 15-pixel bar along the top) and size
// region (the 10 x 10 bottom-right corner) for the display's current size,
// wherever the script gave none of its own.
void RenewDefaultRegions(DisplayRecord* d);
