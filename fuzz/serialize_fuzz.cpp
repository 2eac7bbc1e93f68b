// libFuzzer target over saved tables and functions: any input, as a file,
// is read with ReadTable and with ReadFunction through the dos library's
// commands. Either gives a value or an error; nothing may crash, leak or
// allocate what the input's lengths claim beyond its size.
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/engine.h"
#include "fuzz/container_fuzz.h"
#include "libs/libs.h"
#include "runtime/runtime.h"

namespace {

std::string inputPath;

// Calls a global command with the arguments on the stack above it.
void callCommand(VmState* L, const char* name, int nargs) {
  VmPushString(L, name);
  VmGetTable(L, VM_GLOBALS_INDEX);
  VmInsert(L, -(nargs + 1));
  VmCall(L, nargs, 0);
}

// Opens the input as file 1, reads it in the mode given by upvalue-free
// global state, and closes it; raises go to the protected caller.
int readAs(VmState* L) {
  const char* command = VmToString(L, 1);
  VmSetTop(L, 0);
  VmPushNumber(L, 1);
  VmPushString(L, inputPath.c_str());
  callCommand(L, "openfile", 2);
  VmPushNumber(L, 1);
  callCommand(L, command, 1);
  return 0;
}

VmState* openPlayer() {
  VmState* L = VmOpenState();
  VmRegisterBaseFunctions(L);
  VmPushValue(L, VM_GLOBALS_INDEX);
  if (OpenDosLibrary(L) != 0) std::abort();
  VmSetTop(L, 0);
  return L;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static VmState* L = openPlayer();
  inputPath = std::string(containerfuzz::ScratchDirectory()) + "/input";
  FILE* f = std::fopen(inputPath.c_str(), "wb");
  if (!f) std::abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  for (const char* command : {"readtable", "readfunction"}) {
    VmSetTop(L, 0);
    VmPushCClosure(L, readAs, 0);
    VmPushString(L, command);
    VmPCall(L, 1, 0, 0);
    // Closes file 1 whether or not the read got that far.
    VmSetTop(L, 0);
    VmPushCClosure(
        L,
        [](VmState* S) {
          VmPushNumber(S, 1);
          callCommand(S, "closefile", 1);
          return 0;
        },
        0);
    VmPCall(L, 0, 0, 0);
  }
  VmSetTop(L, 0);
  VmSetGcThreshold(L, 0);
  std::remove(inputPath.c_str());
  return 0;
}
