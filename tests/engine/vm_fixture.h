// A fresh VM per test and a helper that runs a lambda under a protected
// runner, returning the raised error code (0 when nothing was raised).
#pragma once

#include <gtest/gtest.h>

#include "engine/object.h"

template <typename F>
ErrorCode VmProtect(VmState* L, F f) {
  return VmRunProtected(
      L, [](VmState*, void* ud) { (*static_cast<F*>(ud))(); }, &f);
}

class VmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    L = VmOpenState();
    ASSERT_NE(L, nullptr);
  }
  void TearDown() override {
    VmSetAllocFailure(0, false);
    if (L != nullptr) VmCloseState(L);
  }

  VmTable* Registry() { return VmTableOf(&VmG(L)->registry); }
  VmString* Str(const char* s) { return VmNewStringZ(L, s); }
  VmValue StrValue(const char* s) {
    VmValue v;
    VmSetString(&v, Str(s));
    return v;
  }
  static VmValue Num(double n) {
    VmValue v;
    VmSetNumber(&v, n);
    return v;
  }
  // Keeps an object alive by storing it in the registry under name.
  void Anchor(const char* name, const VmValue& v) {
    VmValue k = StrValue(name);
    *VmTableSet(L, Registry(), &k) = v;
  }
  void Unanchor(const char* name) {
    VmValue k = StrValue(name);
    VmSetNil(VmTableSet(L, Registry(), &k));
  }

  VmState* L = nullptr;
};
