// Stand-ins for the services that shapes need of libraries built later.
#include "draw/shape_private.h"

// Waiting for the system library's LegacyControl: "linebasedshapes" is off.
int LineBasedShapesSwitch() { return 0; }
