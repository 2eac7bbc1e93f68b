// Stand-ins for the services that shapes need of libraries built later.
#include "draw/shape_private.h"

// Waiting for the layers library: no shape or line layer is inserted, and
// the display keeps what is drawn on it.
ErrorCode AddShapeLayer(VmState*, ShapeDescriptor*, int32_t) { return ERR_NONE; }
ErrorCode ClearShapeLayers(VmState*, DisplayRecord*) { return ERR_NONE; }

// Waiting for the system library's LegacyControl: "linebasedshapes" is off.
int LineBasedShapesSwitch() { return 0; }
