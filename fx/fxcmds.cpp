// The "transitionfx" library: its commands read positional arguments or an
// option table into a request and hand it to the runner; the opener
// registers them with the 145 effect constants.
#include "fx/fx.h"
#include "fx/fx_private.h"

namespace {

int cmdGetRandomFX(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t restricted = VmCheckNumber(L, 1) != 0;
  VmPushNumber(L, PickRandomFX(restricted));
  return 1;
}

const CommandTableEntry FX_COMMANDS[] = {
    {"GetRandomFX", cmdGetRandomFX},
    {nullptr, nullptr},
};

}  // namespace

ErrorCode OpenTransitionFXLibrary(VmState* L) {
  if (ErrorCode e = RegisterLibrary(FX_COMMANDS, "transitionfx")) return e;
  VmRegisterFunctions(L, nullptr, FX_COMMANDS, 0);
  VmRegisterConstants(L, GetFXConstants(), 0);
  return ERR_NONE;
}

void FreeTransitionFXLibrary(VmState*) {}
