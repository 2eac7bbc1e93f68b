// The one orderly end of every run: the libraries' objects are freed in
// the reverse of their opening order, the error (if any) is reported, then
// the registries, the player record, the plug-ins and the VM go, and last
// the folders' context records (the platform's, with the X connection,
// after every other).
//
// Invariant: ShutdownPlayer runs once per run and is the only place a
// start-up or run-time error reaches the user; a code of 0, a negative code
// or 1003 reports nothing. It always returns 0.
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "platform/linux/platform.h"
#include "runtime/player.h"
#include "runtime/context_private.h"
#include "runtime/runtime_private.h"

namespace {

constexpr int32_t FUNCTION_TEXT = 280;  // "In function"

void setAttrs(uint32_t a, uintptr_t av, uint32_t b, uintptr_t bv) {
  TagItem tags[] = {{a, av}, {b, bv}, {ATTR_DONE, 0}};
  SetGlobalAttrs(nullptr, tags);
}

void reportError(ErrorCode code, VmState* L, PlayerRunContext* context) {
  const char* file = nullptr;
  int32_t line = 0;
  GetErrorTextWithPosition(L, code, context->errorText, sizeof context->errorText, &file, &line);
  if (player.debugDevice) {
    // Attribute 16 of the bitmap layer is the platform's answer (1 here).
    if (GetPlatformBitmapAttr(nullptr, 16) == 0) PrintFailed();
    FILE* out = GetDebugDevice();
    EndConsoleLine(out);
    // The command that failed is named as the requester names it.
    const char* function = vmErrorLocation.function;
    if (!file)
      std::fprintf(out, "%s: %s\n", "Error", context->errorText);
    else if (std::strcmp(function, "----") != 0)
      std::fprintf(out, "%s:%d: %s (%s: %s)\n", file, line, context->errorText,
                   GetBuiltinString(FUNCTION_TEXT), function);
    else
      std::fprintf(out, "%s:%d: %s\n", file, line, context->errorText);
    std::fflush(out);
    return;
  }
  char report[PLAYER_ERROR_TEXT_SIZE];
  FormatErrorText(L, context->errorText, 0, report, sizeof report);
  int32_t answer = 0;
  NativeSystemRequester(L, "QuillmerePlayer", report, "OK", 2, &answer);
}

}  // namespace

int ShutdownPlayer(ErrorCode code, VmState* L, PlayerRunContext* context, PlayerRecord* record) {
  player.runEnding = 1;
  NoteShutdownBegun();
  FreeIconTable();
  setAttrs(ATTR_DEFERBITMAPS, 0, ATTR_QUIET, static_cast<uintptr_t>(context->quiet));
  NativeCleanupHook();
  NativeDisplayCleanupHook();
  // The libraries' objects, in the reverse of their opening order.
  FreePlayerLibraries(L);

  FreeUnmatchedOptions(context);
  FreeMemory(player.skipList);
  FreeMemory(player.requireList);
  FreeMemory(player.requiredTags);
  FreeMemory(player.constants);
  player.skipList = player.requireList = player.requiredTags = player.constants = nullptr;
  if (player.previousDirectory) {
    ErrorCode ignored = 0;
    FreeMemory(ChangeDirectoryNative(player.previousDirectory, &ignored));
    FreeMemory(player.previousDirectory);
    player.previousDirectory = nullptr;
  }

  if (code > 0 && code != ERR_USERABORT) reportError(code, L, context);

  FreeRegistries(L);
  FreeMemory(record->bytecode);
  FreeMemory(record->secondScript);
  FreeDeclaredResources(record->resources);
  record->resources = nullptr;
  FreeLineMap(record);
  FreeLinkedFiles(record);
  FreeMemory(record);
  player.record = nullptr;

  FreePlayerPluginLibraries(L);
  VmCloseState(L);
  player.state = nullptr;
  FreePlayerPlugins();
  DeletePlayerTempDirectory();
  FileOperationDoneHook();

  FreeMemory(context);
  player.context = nullptr;
  FreeFolderContexts();
  return 0;
}
