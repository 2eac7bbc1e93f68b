// Test plug-in "testtimer": a timer adapter whose timers fire only when a
// test says so. It records every RegisterTimer and FreeTimer in order and
// can be told to refuse the next registration.
#include <cstdint>
#include <string>
#include <vector>

#include "plugins/qmplugin.h"

namespace {

struct Timer {
  int32_t milliseconds;
  int32_t periodic;
  void* host;
  bool live;
};

struct State {
  const PluginHostApi* host = nullptr;
  std::vector<Timer> timers;  // handle = index + 1
  std::string log;            // "R<ms> " per registration, "F<handle> " per free
  bool refuseNext = false;
  int32_t installResult = -1;
};
State* state = nullptr;

}  // namespace

extern "C" {

int InitPlugin(PluginBase* base, const PluginHostApi* api, const char*) {
  delete state;
  state = new State;
  state->host = api;
  base->capabilities = PLUGINCAPS_TIMERADAPTER;
  base->version = 1;
  base->moduleName = "testtimer";
  state->installResult = api->system->installTimerAdapter(base, 0);
  return 1;
}

void ClosePlugin() {
  delete state;
  state = nullptr;
}

// ---- Test accessors ----

int32_t TestTimerInstallResult() { return state ? state->installResult : -1; }
const char* TestTimerLog() { return state->log.c_str(); }
void TestTimerRefuseNext() { state->refuseNext = true; }
int32_t TestTimerLiveCount() {
  int32_t n = 0;
  for (const Timer& t : state->timers) n += t.live;
  return n;
}
// Fires every live timer once, as the adapter's own clock would.
void TestTimerFireAll() {
  for (const Timer& t : state->timers)
    if (t.live) state->host->system->timerFired(t.host);
}

// ---- Timer hooks ----

uintptr_t RegisterTimer(int32_t milliseconds, int32_t periodic, void* host) {
  if (state->refuseNext) {
    state->refuseNext = false;
    return 0;
  }
  state->timers.push_back({milliseconds, periodic, host, true});
  state->log.append("R").append(std::to_string(milliseconds)).append(" ");
  return state->timers.size();
}
void FreeTimer(uintptr_t timer) {
  if (timer < 1 || timer > state->timers.size()) return;
  state->timers[timer - 1].live = false;
  state->log.append("F").append(std::to_string(timer)).append(" ");
}

}  // extern "C"
