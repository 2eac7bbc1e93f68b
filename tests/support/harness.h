// An in-process player for tests: a fresh VM with the built-in next and the
// libraries opened so far, the run state reset around it, commands called
// by name and qmasm programs run under the protected runner. Its end frees
// every library and folder context as shut-down does and checks that no
// object, list or handler is left, so a test program can run twice.
#pragma once

#include <string>

#include "engine/engine.h"

class PlayerHarness {
 public:
  PlayerHarness();
  ~PlayerHarness();
  PlayerHarness(const PlayerHarness&) = delete;
  PlayerHarness& operator=(const PlayerHarness&) = delete;

  VmState* L = nullptr;

  // Calls the global command `name` (any case) protected with the values
  // already pushed as its nargs arguments; results stay on the stack (all
  // of them). Returns the raised code, else the code the command returned.
  ErrorCode Call(const char* name, int nargs);
  // Assembles the qmasm text (#NAME operands resolved through this VM's
  // constants), loads it and runs it protected with no arguments; on an
  // assembly error returns -1 and sets *asmError.
  ErrorCode Run(const std::string& text, std::string* asmError = nullptr);
  // Run() with standard output captured into *out.
  ErrorCode RunCapture(const std::string& text, std::string* out);

  // Puts the engine's and runtime's run words back to their start values.
  static void ResetRunWords();
  static void SetErrorRaising(int on);
};

// What shut-down does: the libraries (when a VM is given), the registries,
// the VM and the folders' context records are freed, and the contexts are
// built again for the next test. Before the contexts go, it checks (with
// ExpectNoRunStateLeft) that the frees left nothing behind.
void FreeRunState(VmState* L);
// Adds a test failure for each object, list, registry entry or handler
// that is still held.
void ExpectNoRunStateLeft();
