// The error location record and the interpreter's handling of a command
// that returned an error code; the run words that the system library's
// End and line-hook commands set.
//
// Invariant: each part of the location is filled once per error; a part
// already known is never overwritten until ResetErrorLocation.
#include <cstdio>
#include <cstring>

#include "engine/vmcore.h"
#include "engine/engine_private.h"

VmErrorLocation vmErrorLocation = {"----", "", -1};
int32_t vmExitValue = 0;
int32_t vmLineHookDisabled = 0;

// File and line come from one level, the innermost script level: the
// script itself when it raised, the script that called the command when a
// built-in command raised or returned an error (its own level has no file
// and no line). Taking them from different levels would pair one script's
// name with another's line, and the source line map would find nothing.
void RecordErrorLocation(VmState* L) {
  if (L->ci == nullptr) return;
  bool needName = std::strcmp(vmErrorLocation.function, "----") == 0;
  bool needPlace = true;
  VmDebugInfo ar;
  for (int level = 0; VmGetStack(L, level, &ar); level++) {
    VmGetInfo(L, "Snl", &ar);
    bool script = std::strcmp(ar.what, "C") != 0 && std::strcmp(ar.what, "tail") != 0;
    if (needPlace && script) {
      needPlace = false;
      if (vmErrorLocation.file[0] == '\0' && ar.source[0] != '=' && ar.source[0] != '?') {
        const char* src = ar.source[0] == '@' ? ar.source + 1 : ar.source;
        std::snprintf(vmErrorLocation.file, sizeof vmErrorLocation.file, "%s", src);
      }
      if (vmErrorLocation.line == -1) vmErrorLocation.line = ar.currentline;
    }
    if (!needName) continue;
    const char* name = nullptr;
    if (std::strcmp(ar.what, "C") == 0) {
      if (ar.name != nullptr) {
        const EngineRuntimeHooks& hooks = GetEngineRuntimeHooks();
        const char* spelled =
            hooks.commandSpelling != nullptr ? hooks.commandSpelling(ar.name) : nullptr;
        name = spelled != nullptr ? spelled : ar.name;
      }
    } else if (std::strcmp(ar.what, "tail") != 0) {
      if (ar.namewhat[0] == '\0')
        name = "<<unnamed>>";
      else
        name = ar.name != nullptr ? ar.name : "anonymous";
    }
    if (name != nullptr) {
      std::snprintf(vmErrorLocation.function, sizeof vmErrorLocation.function, "%s", name);
      needName = false;
    }
  }
}

void RaiseCommandError(VmState* L, ErrorCode code) {
  vmRun.lastError = code;
  if (GetCallbackDepth() != 0) {
    if (!GetErrorRaising()) return;
    RecordErrorLocation(L);
    VmRaiseError(L, code);
  }
  if (!GetErrorRaising()) {
    ResetErrorLocation();
    return;
  }
  RecordErrorLocation(L);
  vmRun.quit = 1;
  VmRaiseError(L, code);
}
