// The engine's error state: the argument of the next error text (one text
// and one number that fill its "%s" and "%d"), the error policy words that
// are the global attributes 10 and 11 (the callback nesting and the
// error-raising switch), and the tables through which the engine reaches
// the runtime above it and the platform below reports to it.
//
// Invariants: the argument text is always terminated within its buffer;
// the callback depth never goes below 0. Used by the main thread only.
#include "engine/engine.h"
#include "engine/engine_private.h"
#include "platform/linux/platform.h"

namespace {

struct ErrorState {
  char errorArgText[ERROR_ARG_MAX + 1] = {};
  int32_t errorArgNumber = 0;
  int callbackDepth = 0;
  int errorRaising = 1;
};

ErrorState errorState;

// Set when the runtime loads and never part of a run's state.
const EngineRuntimeHooks* runtimeHooks = nullptr;
constexpr EngineRuntimeHooks NO_RUNTIME_HOOKS = {};

// The platform reports the arguments of its errors and reads the built-in
// texts through these, installed before any main starts (test programs
// among them), since every program that calls the platform links this
// file through the error argument.
const PlatformEngineHooks PLATFORM_HOOKS = {SetErrorArgString, SetErrorArgNumber, GetBuiltinString};
const bool platformHooksInstalled = (SetPlatformEngineHooks(&PLATFORM_HOOKS), true);

}  // namespace

void SetErrorArgString(const char* text) {
  StrCopyBounded(errorState.errorArgText, sizeof errorState.errorArgText, text ? text : "");
}

void SetErrorArgNumber(int32_t value) { errorState.errorArgNumber = value; }

const char* GetErrorArgString() { return errorState.errorArgText; }

int32_t GetErrorArgNumber() { return errorState.errorArgNumber; }

int GetCallbackDepth() { return errorState.callbackDepth; }

int GetErrorRaising() { return errorState.errorRaising; }

void StepCallbackDepth(int deeper) {
  // A lowering without a matching raise would leave the counter
  // negative, which reads as "inside a callback" for ever; stop at 0.
  if (deeper != 0) {
    ++errorState.callbackDepth;
  } else if (errorState.callbackDepth > 0) {
    --errorState.callbackDepth;
  }
}

void SetErrorRaising(int on) { errorState.errorRaising = on != 0 ? 1 : 0; }

void ResetErrorState() {
  static_cast<void>(platformHooksInstalled);
  errorState = ErrorState{};
}

void ResetErrorLocation() {
  StrCopyBounded(vmErrorLocation.function, sizeof vmErrorLocation.function, "----");
  vmErrorLocation.file[0] = '\0';
  vmErrorLocation.line = -1;
}

void SetEngineRuntimeHooks(const EngineRuntimeHooks* hooks) { runtimeHooks = hooks; }

const EngineRuntimeHooks& GetEngineRuntimeHooks() {
  return runtimeHooks != nullptr ? *runtimeHooks : NO_RUNTIME_HOOKS;
}
