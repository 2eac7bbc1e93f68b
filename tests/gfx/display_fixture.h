// A display of the test display adapter with the graphics, display, brush
// and background-picture libraries open, for tests of the graphics
// library's commands: commands are called by name with script values.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "display/display_private.h"
#include "draw/draw_private.h"
#include "gfx/gfx.h"
#include "tests/draw/value.h"
#include "tests/support/adapter_display.h"
#include "tests/support/command_call.h"

namespace gfxtest {

constexpr uint32_t BACKGROUND = 0x336699;

class DisplayTest : public adaptertest::AdapterTest {
 protected:
  DisplayTest()
      : AdapterTest({OpenGraphicsLibrary, OpenDisplayLibrary, OpenBrushLibrary, OpenBGPicLibrary}) {
  }

  void OpenDisplay(int32_t width, int32_t height, bool layers = false) {
    OpenFirst(Value::Table({{"color", static_cast<double>(BACKGROUND)},
                            {"width", width},
                            {"height", height},
                            {"layers", layers}}));
  }

  // Calls a command protected; its results are kept in results (as
  // numbers, booleans as 0 and 1). Returns the raised code, else the code it returned.
  ErrorCode Call(const char* name, int nargs) {
    results.clear();
    lastTypes.clear();
    return testcall::CallCollecting(L, name, nargs, Collect);
  }
  static void Collect(VmState* L, int i) {
    results.push_back(VmType(L, i) == VM_TYPE_BOOLEAN ? VmToBoolean(L, i) : VmToNumber(L, i));
    lastTypes.push_back(VmType(L, i));
  }
  static inline std::vector<double> results;
  static inline std::vector<int> lastTypes;
  ErrorCode CallWith(const char* name, std::vector<Value> args) {
    for (const Value& a : args) PushValue(L, a);
    return Call(name, static_cast<int>(args.size()));
  }
};

}  // namespace gfxtest
