// Stand-ins for the layer services that layer buttons need.
#include "display/event_private.h"

// Waiting for the layers library: no picture has layers yet, so the layer a
// layer button names is never found.
ErrorCode FindButtonLayer(VmState*, int, BGPic*, void** layer) {
  *layer = nullptr;
  return ERR_LAYERRANGE;
}
