// A fixture for interpreter, call and API tests: a fresh VM with the
// built-in next, functions assembled from qmasm text, commands registered
// as globals, and the engine's run state reset around every test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "runtime/runtime.h"
#include "tools/qmasm/qmasm.h"

class InterpFixture : public ::testing::Test {
 protected:
  VmState* L = nullptr;

  void SetUp() override {
    resetPolicy();
    L = VmOpenState();
    ASSERT_NE(L, nullptr);
    VmRegisterBaseFunctions(L);
  }

  void TearDown() override {
    VmCloseState(L);
    resetPolicy();
  }

  static void resetPolicy() {
    VmResetRunState();
    ResetErrorLocation();
    SetErrorArgString("");
    setErrorRaising(1);
    while (GetCallbackDepth() > 0) {
      TagItem t[] = {{ATTR_CALLBACKDEPTH, 0}, {ATTR_DONE, 0}};
      SetGlobalAttrs(nullptr, t);
    }
  }

  static void setErrorRaising(int on) {
    TagItem t[] = {{ATTR_RAISEERRORS, static_cast<uintptr_t>(on)}, {ATTR_DONE, 0}};
    SetGlobalAttrs(nullptr, t);
  }

  static const char* readAll(VmState*, void* data, size_t* size) {
    auto* bytes = static_cast<std::vector<uint8_t>*>(data);
    if (bytes->empty()) {
      *size = 0;
      return nullptr;
    }
    static std::vector<uint8_t> held;
    held.swap(*bytes);
    bytes->clear();
    *size = held.size();
    return reinterpret_cast<const char*>(held.data());
  }

  // Assembles text and pushes the main function.
  void load(const std::string& text) {
    std::vector<uint8_t> chunk;
    std::string error;
    ASSERT_TRUE(qmasm::AssembleChunk(".source \"=test\"\n" + text, &chunk, &error)) << error;
    ASSERT_EQ(VmLoad(L, readAll, &chunk, "=test"), 0);
  }

  // Loads and runs text protected; the results stay on the stack.
  ErrorCode run(const std::string& text, int nresults = VM_MULTRET) {
    int top = VmGetTop(L);
    load(text);
    if (VmGetTop(L) != top + 1) return -1;
    return VmPCall(L, 0, nresults, 0);
  }

  void setGlobalFunction(const char* name, VmCommandFunction fn, int nups = 0) {
    VmPushCClosure(L, fn, nups);
    setGlobal(name);
  }

  // Pops the top value into the global name.
  void setGlobal(const char* name) {
    VmPushString(L, name);
    VmInsert(L, -2);
    VmSetTable(L, VM_GLOBALS_INDEX);
  }

  std::string errorArg() const { return GetErrorArgString(); }
};
