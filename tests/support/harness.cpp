// The in-process player of the tests (see harness.h).
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "display/context_private.h"
#include "display/display.h"
#include "display/event_private.h"
#include "draw/draw_private.h"
#include "libs/libs.h"
#include "media/media.h"
#include "plugins/plugins.h"
#include "runtime/context_private.h"
#include "runtime/player.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"
#include "text/text.h"
#include "tools/qmasm/qmasm.h"

namespace {

struct ChunkReader {
  const std::vector<uint8_t>* bytes;
  bool done = false;
  static const char* Read(VmState*, void* data, size_t* size) {
    auto* r = static_cast<ChunkReader*>(data);
    if (r->done) {
      *size = 0;
      return nullptr;
    }
    r->done = true;
    *size = r->bytes->size();
    return reinterpret_cast<const char*>(r->bytes->data());
  }
};

// Calls the command below its arguments unprotected and keeps the error
// code it returned, which a protected call would not report; the last-error
// word is put back first, since calling this trampoline cleared it.
ErrorCode trampolineCode;
ErrorCode trampolineLastError;
int trampolineArgs;

int trampoline(VmState* L) {
  vmRun.lastError = trampolineLastError;
  trampolineCode = VmCall(L, trampolineArgs, VM_MULTRET);
  return VmGetTop(L);
}

}  // namespace

void PlayerHarness::SetErrorRaising(int on) {
  TagItem t[] = {{ATTR_RAISEERRORS, static_cast<uintptr_t>(on)}, {ATTR_DONE, 0}};
  SetGlobalAttrs(nullptr, t);
}

void PlayerHarness::ResetRunWords() {
  VmResetRunState();
  ResetErrorLocation();
  SetErrorArgString("");
  SetErrorArgNumber(0);
  SetErrorRaising(1);
  while (GetCallbackDepth() > 0) {
    TagItem t[] = {{ATTR_CALLBACKDEPTH, 0}, {ATTR_DONE, 0}};
    SetGlobalAttrs(nullptr, t);
  }
  vmExitValue = 0;
  vmLineHookDisabled = 0;
}

PlayerHarness::PlayerHarness() {
  ResetRunWords();
  L = VmOpenState();
  if (L == nullptr) return;
  VmRegisterBaseFunctions(L);
  // The libraries tests call commands of, opened as start-up opens them:
  // each with the globals table pushed and the stack emptied after it.
  for (ErrorCode (*open)(VmState*) :
       {OpenStringLibrary, OpenGraphicsLibrary, OpenSystemLibrary, OpenTextLibrary, OpenDosLibrary,
        OpenBrushLibrary, OpenBGPicLibrary, OpenAnimLibrary}) {
    VmPushValue(L, VM_GLOBALS_INDEX);
    EXPECT_EQ(open(L), 0);
    VmSetTop(L, 0);
  }
}

PlayerHarness::~PlayerHarness() {
  FreeRunState(L);
  ResetRunWords();
}

void FreeRunState(VmState* L) {
  if (L != nullptr) FreePlayerLibraries(L);
  FreeRegistries(L);
  if (L != nullptr) {
    FreePluginLibraries(L);
    VmCloseState(L);
  }
  FreeAllPlugins();
  ExpectNoRunStateLeft();
  FreeFolderContexts();
  InitFolderContexts();
}

void ExpectNoRunStateLeft() {
  const RuntimeContext& r = runtimeContext;
  EXPECT_EQ(r.libraries, nullptr) << "command library left registered";
  EXPECT_EQ(r.objectTypes, nullptr) << "object list left registered";
  EXPECT_EQ(r.customErrors, nullptr) << "custom error left registered";
  EXPECT_EQ(r.hooks, nullptr) << "hook left";
  EXPECT_EQ(r.attrSetters, nullptr) << "attribute setter left";
  EXPECT_EQ(r.attrGetters, nullptr) << "attribute getter left";
  EXPECT_EQ(r.queueHead, nullptr) << "queued event left";
  EXPECT_EQ(r.virtualFiles, nullptr) << "virtual file left";
  const DisplayContext& d = displayContext;
  EXPECT_EQ(d.displayList, nullptr) << "display left";
  EXPECT_EQ(d.currentDisplay, nullptr) << "current display left";
  EXPECT_EQ(d.bgpicList, nullptr) << "background picture left";
  EXPECT_EQ(d.intervals, nullptr) << "interval left";
  EXPECT_EQ(d.timeouts, nullptr) << "time-out left";
  EXPECT_EQ(d.userTypes, nullptr) << "user event type left";
  EXPECT_TRUE(d.displayUserData.empty()) << "display handler data left";
  for (int32_t i = 0; i < GLOBAL_EVENT_NAMES; ++i) {
    EXPECT_EQ(d.globalHandler[i], VM_REF_NIL) << "global handler " << i << " left";
    EXPECT_EQ(d.globalUserData[i], VM_REF_NIL) << "global handler data " << i << " left";
  }
  EXPECT_EQ(drawContext.brushList, nullptr) << "brush left";
  EXPECT_EQ(GetPluginList(), nullptr) << "plug-in left";
}

ErrorCode PlayerHarness::Call(const char* name, int nargs) {
  std::string lower(name);
  StrToLower(lower.data());
  VmPushCClosure(L, trampoline, 0);
  VmPushString(L, lower.c_str());
  VmGetTable(L, VM_GLOBALS_INDEX);
  VmInsert(L, -(nargs + 2));
  VmInsert(L, -(nargs + 2));
  trampolineCode = 0;
  trampolineLastError = vmRun.lastError;
  trampolineArgs = nargs;
  ErrorCode status = VmPCall(L, nargs + 1, VM_MULTRET, 0);
  return status != 0 ? status : trampolineCode;
}

ErrorCode PlayerHarness::Run(const std::string& text, std::string* asmError) {
  std::vector<uint8_t> chunk;
  std::string error;
  // #NAME operands take the values of the constants of the libraries this
  // harness opened, as the running script would find them.
  VmState* state = L;
  auto lookup = [state](const std::string& name, qmasm::NamedValue* value) {
    const char* text = nullptr;
    double number = 0;
    if (!VmFindConstant(state, name.c_str(), &text, &number)) return false;
    value->isText = text != nullptr;
    value->text = text != nullptr ? text : "";
    value->number = number;
    return true;
  };
  if (!qmasm::AssembleChunk(text, &chunk, &error, lookup)) {
    if (asmError != nullptr) *asmError = error;
    ADD_FAILURE() << "qmasm: " << error;
    return -1;
  }
  ChunkReader reader{&chunk};
  ErrorCode err = VmLoad(L, ChunkReader::Read, &reader, "=test");
  if (err != 0) return err;
  return VmPCall(L, 0, 0, 0);
}

ErrorCode PlayerHarness::RunCapture(const std::string& text, std::string* out) {
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
  ErrorCode err = Run(text);
  std::fflush(stdout);
  *out = ::testing::internal::GetCapturedStdout();
  return err;
}
