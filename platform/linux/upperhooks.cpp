// The tables through which the engine and the runtime, above the platform,
// serve it: the engine takes the arguments of the platform's errors and
// gives its built-in texts; the runtime parses linked-file names and reads
// catalog files through its streams. Each is installed once when the
// library above loads and is never part of a run's state.
// Invariant: a missing table or member does the least that keeps the
// caller correct: an error argument is dropped, a built-in text is null, a
// linked-file name does not parse and no catalog file opens.
#include "platform/linux/platform.h"
#include "platform/linux/files_private.h"

namespace {

const PlatformEngineHooks* engineHooks = nullptr;
const PlatformRuntimeHooks* runtimeHooks = nullptr;
constexpr PlatformRuntimeHooks NO_RUNTIME_HOOKS = {};

}  // namespace

void SetPlatformEngineHooks(const PlatformEngineHooks* hooks) { engineHooks = hooks; }

void SetPlatformRuntimeHooks(const PlatformRuntimeHooks* hooks) { runtimeHooks = hooks; }

void SetPlatformErrorArgString(const char* text) {
  if (engineHooks != nullptr && engineHooks->setErrorArgString != nullptr)
    engineHooks->setErrorArgString(text);
}

void SetPlatformErrorArgNumber(int32_t value) {
  if (engineHooks != nullptr && engineHooks->setErrorArgNumber != nullptr)
    engineHooks->setErrorArgNumber(value);
}

const char* GetPlatformBuiltinString(int32_t number) {
  if (engineHooks == nullptr || engineHooks->builtinString == nullptr) return nullptr;
  return engineHooks->builtinString(number);
}

const PlatformRuntimeHooks& GetPlatformRuntimeHooks() {
  return runtimeHooks != nullptr ? *runtimeHooks : NO_RUNTIME_HOOKS;
}
