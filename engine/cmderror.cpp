// The error location record and the interpreter's handling of a command
// that returned an error code, in the minimal form the engine needs before
// the argument-check library exists.
//
// Waiting for the argument-check library: it replaces this file with the
// full forms (built-in error texts and catalogs, command names as spelled
// in the registered command tables). Until then GetErrorText gives a plain
// numbered text and RecordErrorLocation takes names from the call levels.
//
// Invariant: each part of the location is filled once per error; a part
// already known is never overwritten until ResetErrorLocation.
#include <cstdio>
#include <cstring>

#include "engine/vmcore.h"
#include "runtime/runtime.h"

VmErrorLocation vmErrorLocation = {"----", "", -1};

void ResetErrorLocation()
{
    std::snprintf(vmErrorLocation.function, sizeof vmErrorLocation.function, "----");
    vmErrorLocation.file[0] = '\0';
    vmErrorLocation.line = -1;
}

void RecordErrorLocation(VmState *L)
{
    if (L->ci == nullptr)
        return;
    bool needName = std::strcmp(vmErrorLocation.function, "----") == 0;
    VmDebugInfo ar;
    for (int level = 0; VmGetStack(L, level, &ar); level++) {
        VmGetInfo(L, "Snl", &ar);
        if (level == 0 && vmErrorLocation.file[0] == '\0' && ar.source[0] != '=' && ar.source[0] != '?') {
            const char *src = ar.source[0] == '@' ? ar.source + 1 : ar.source;
            std::snprintf(vmErrorLocation.file, sizeof vmErrorLocation.file, "%s", src);
        }
        if (level == 1 && vmErrorLocation.line == -1)
            vmErrorLocation.line = ar.currentline;
        if (!needName)
            continue;
        const char *name = nullptr;
        if (std::strcmp(ar.what, "C") == 0) {
            name = ar.name;
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

void RaiseCommandError(VmState *L, ErrorCode code)
{
    vmRun.lastError = code;
    if (GetCallbackDepth() != 0) {
        if (!GetErrorRaising())
            return;
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

void GetErrorText(ErrorCode code, char *buffer, size_t size)
{
    if (size == 0)
        return;
    std::snprintf(buffer, size, "Error %d", static_cast<int>(code));
}
