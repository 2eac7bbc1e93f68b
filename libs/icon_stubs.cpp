// Stand-ins for the services of libraries that the icon library calls and
// that are not built yet.
#include "engine/engine.h"
#include "libs/libs_private.h"
#include "runtime/runtime.h"

// Waiting for the brush library: no brush exists yet, so an entry of type
// BRUSH names a brush that cannot be found (its "image" is still required).
ErrorCode AddBrushIconImages(VmState* L, int table, const IconImageEntry*, bool, IconImageEntry*) {
  VmPushString(L, "image");
  VmGetTable(L, table);
  if (VmType(L, -1) == VM_TYPE_NIL) {
    VmSetTop(L, -2);
    SetErrorArgString("Image");
    return ERR_MISSINGFIELD;
  }
  ObjectId id = GetObjectIdArg(L, VmGetTop(L), nullptr);
  VmSetTop(L, -2);
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDBRUSH;
}
