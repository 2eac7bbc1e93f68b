// Test plug-in "testrequester": a requester adapter with scripted answers.
// It takes the message, file, path, string and list requesters, records
// the arguments of the last call and counts FreeRequest calls per kind;
// each result it hands out is allocated with malloc and freed only there.
#include <cstdlib>
#include <cstring>
#include <string>

#include "plugins/qmplugin.h"

namespace {

struct State {
  uint32_t flags = 0;
  uintptr_t defaultButton = 0;
  std::string buttons, pattern, title;
  bool patternNull = false;
  int32_t choice = 1;
  // The next file, path or string result: folder and names (names joined
  // with zero bytes), or cancelled when chosen is 0.
  int32_t chosen = 1;
  std::string folder, names;
  int32_t count = 0;
  int32_t frees[4] = {};
  int32_t outstanding = 0;
  int32_t installResult = -1;
  int32_t messageError = 0;  // what the next message requesters return
};
State* state = nullptr;

char* copyOf(const std::string& text) {
  auto* p = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(p, text.data(), text.size());
  p[text.size()] = '\0';
  return p;
}

void fill(QmRequestResult* r) {
  r->chosen = state->chosen;
  r->count = state->count;
  r->folder = copyOf(state->folder);
  r->text = copyOf(state->names);
  state->outstanding++;
}

}  // namespace

extern "C" {

int InitPlugin(PluginBase* base, const PluginHostApi* api, const char*) {
  delete state;
  state = new State;
  base->capabilities = PLUGINCAPS_REQUESTERADAPTER;
  base->version = 1;
  base->moduleName = "testrequester";
  state->installResult = api->requester->installRequesterAdapter(
      base, QM_REQADAPTER_MESSAGE | QM_REQADAPTER_FILE | QM_REQADAPTER_PATH | QM_REQADAPTER_STRING |
                QM_REQADAPTER_LIST);
  return 1;
}

void ClosePlugin() {
  delete state;
  state = nullptr;
}

// ---- Test accessors ----

int32_t TestRequesterInstallResult() { return state ? state->installResult : -1; }
// The next answers: the message choice, and the file, path or string result.
void TestRequesterScript(int32_t choice, int32_t chosen, const char* folder, const char* names,
                         size_t namesLength, int32_t count) {
  state->choice = choice;
  state->chosen = chosen;
  state->folder = folder ? folder : "";
  state->names.assign(names ? names : "", namesLength);
  state->count = count;
}
// The last call: flags, default button, custom buttons text ("" none),
// pattern ("(null)" for none).
uint32_t TestRequesterLast(uintptr_t* defaultButton, const char** buttons, const char** pattern) {
  *defaultButton = state->defaultButton;
  *buttons = state->buttons.c_str();
  *pattern = state->patternNull ? "(null)" : state->pattern.c_str();
  return state->flags;
}
// The code the message requesters return from now on (0: success), the
// choice still being stored.
void TestRequesterMessageError(int32_t code) { state->messageError = code; }
// FreeRequest calls of a kind, and results not yet given back.
int32_t TestRequesterFrees(int32_t kind) { return state->frees[kind]; }
int32_t TestRequesterOutstanding() { return state->outstanding; }

// ---- Requester hooks ----

int32_t SystemRequest(void*, const char* title, const char*, uint32_t flags, int32_t* choice,
                      const QmTagItem* tags) {
  state->title = title ? title : "";
  state->flags = flags;
  state->defaultButton = 0;
  state->buttons.clear();
  for (const QmTagItem* t = tags; t && t->tag; t++) {
    if (t->tag == QM_REQTAG_DEFAULT) state->defaultButton = t->data;
    if (t->tag == QM_REQTAG_BUTTONS)
      state->buttons = t->data ? reinterpret_cast<const char*>(t->data) : "";
  }
  *choice = state->choice;
  return state->messageError;
}
int32_t FileRequest(void*, const char*, const char* pattern, const char*, const char*,
                    uint32_t flags, QmRequestResult* result) {
  state->flags = flags;
  state->patternNull = !pattern;
  state->pattern = pattern ? pattern : "";
  fill(result);
  return 0;
}
int32_t PathRequest(void*, const char*, const char*, uint32_t flags, QmRequestResult* result) {
  state->flags = flags;
  fill(result);
  return 0;
}
int32_t StringRequest(void*, const char*, const char*, const char*, uint32_t flags, int32_t,
                      QmRequestResult* result) {
  state->flags = flags;
  fill(result);
  return 0;
}
int32_t ListRequest(void*, const char*, const char*, const char*, int32_t start, int32_t* index) {
  *index = start + 1;
  return 0;
}
// Not taken (no flag), but every requester adapter exports them.
int32_t FontRequest(void*, const char*, const char*, int32_t, QmRequestResult*) { return 0; }
int32_t ColorRequest(void*, const char*, int32_t, int32_t* colour) {
  *colour = -1;
  return 0;
}
void FreeRequest(int32_t kind, QmRequestResult* result) {
  if (kind >= 0 && kind < 4) state->frees[kind]++;
  std::free(result->folder);
  std::free(result->text);
  result->folder = result->text = nullptr;
  state->outstanding--;
}

}  // extern "C"
