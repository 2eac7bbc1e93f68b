// The "anim" command library. Built so far: the deinterlace constants and
// IsAnim, the anim-file query over the anim file layer. The anim objects,
// their list, loading, playback and the rest of the commands are not here
// yet; nothing this file opens needs freeing.
#include "engine/engine.h"
#include "engine/optiontable.h"
#include "media/media.h"
#include "runtime/runtime.h"

namespace {

constexpr size_t LOADER_TEXT_MAX = 256;  // a loader or adapter string, cut there

// IsAnim(file$[, {loader, adapter}]): 1 when the anim file layer opens the
// file and it is not a GIF of one frame, else 0.
int cmdIsAnim(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  const char* file = VmCheckString(L, 1, nullptr);
  char loader[LOADER_TEXT_MAX] = "", adapter[LOADER_TEXT_MAX] = "";
  if (VmType(L, 2) != VM_TYPE_NONE && VmType(L, 2) != VM_TYPE_NIL) {
    VmCheckTable(L, 2);
    OptionField rows[] = {{"loader", OPTION_STRING, loader, sizeof loader},
                          {"adapter", OPTION_STRING, adapter, sizeof adapter}};
    ErrorCode error = ReadOptionTable(L, 2, rows);
    if (error) return error;
  }
  VmPushNumber(L, IsAnimFile(file, loader[0] ? loader : nullptr, adapter[0] ? adapter : nullptr));
  return 1;
}

const CommandTableEntry animCommands[] = {
    {"IsAnim", cmdIsAnim},
    {nullptr, nullptr},
};

const ConstantTableEntry animConstants[] = {
    {"DEINTERLACE_DEFAULT", nullptr, DEINTERLACE_DEFAULT},
    {"DEINTERLACE_DOUBLE", nullptr, DEINTERLACE_DOUBLE},
    {nullptr, nullptr, 0},
};

}  // namespace

ErrorCode OpenAnimLibrary(VmState* L) {
  ErrorCode error = RegisterLibrary(animCommands, "anim");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, animCommands, 0);
  VmRegisterConstants(L, animConstants, 0);
  return 0;
}
