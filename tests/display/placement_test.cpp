// A display with "rememberposition" writes where and how it was shown into
// the preferences' "__placement" table when its window closes, under its
// number; on the test display adapter, with the preferences file replaced
// by a table kept in the test.
#include <gtest/gtest.h>

#include <string>

#include "display/display.h"
#include "display/display_private.h"
#include "draw/draw.h"
#include "runtime/runtime.h"
#include "tests/draw/value.h"
#include "tests/plugins/plugin_fixture.h"

namespace {

// What the last save wrote: "number: key=value ..." per entry, keys in the
// order below.
std::string saved;
int saves = 0;

ErrorCode loadNothing(VmState*, int) { return ERR_READFILE; }
ErrorCode saveRefused(VmState*, int) {
  saves++;
  return ERR_WRITEFILE;
}

ErrorCode savePlacement(VmState* L, int table) {
  saves++;
  saved.clear();
  VmPushString(L, "__placement");
  VmGetTable(L, table);
  if (VmType(L, -1) != VM_TYPE_TABLE) {
    VmSetTop(L, -2);
    return ERR_NONE;
  }
  VmPushNil(L);
  while (VmNext(L, -2)) {
    saved += std::to_string(static_cast<int>(VmToNumber(L, -2))) + ":";
    for (const char* key : {"active", "x", "y", "width", "height", "scalefactor", "scalewidth",
                            "scaleheight", "autoscale", "layerscale", "sizeable", "osdata"}) {
      VmPushString(L, key);
      VmGetTable(L, -2);
      if (VmType(L, -1) == VM_TYPE_NUMBER)
        saved += std::string(" ") + key + "=" + std::to_string(static_cast<int>(VmToNumber(L, -1)));
      else if (VmType(L, -1) == VM_TYPE_STRING)
        saved += std::string(" ") + key + "='" + VmToString(L, -1) + "'";
      VmSetTop(L, -2);
    }
    VmSetTop(L, -2);
  }
  VmSetTop(L, -2);
  return ERR_NONE;
}

class PlacementTest : public plugintest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    setenv("DISPLAY", ":9999", 1);  // no X server may be reached
    Install("testdisplay");
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    for (ErrorCode (*open)(VmState*) : {OpenDisplayLibrary, OpenBrushLibrary, OpenBGPicLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    const PrefsFileHooks prefs = {loadNothing, savePlacement};
    SetPrefsFileHooks(&prefs);
    saved.clear();
    saves = 0;
  }
  void TearDown() override {
    SetPrefsFileHooks(nullptr);
    FreeAllBrushes(L);
    CloseDisplayLibrary(L);
    PluginTest::TearDown();
    unsetenv("DISPLAY");
  }
  // The display made by CreateDisplay with the identifier (a number, or
  // nil for an automatic one) and the options.
  DisplayRecord* Create(const Value* id, const Value& options) {
    VmPushString(L, "createdisplay");
    VmGetTable(L, VM_GLOBALS_INDEX);
    if (id)
      PushValue(L, *id);
    else
      VmPushNil(L);
    PushValue(L, options);
    if (VmPCall(L, 2, 1, 0) != ERR_NONE) return nullptr;
    DisplayRecord* d = nullptr;
    ObjectId found =
        id ? ObjectId{nullptr, static_cast<int32_t>(id->number)} : ObjectId{VmToUserdata(L, -1), 0};
    VmSetTop(L, 0);
    return FindDisplayById(found, &d) == ERR_NONE ? d : nullptr;
  }
};

TEST_F(PlacementTest, ClosingWritesThePlacementUnderTheNumberOnly) {
  const Value one(1);
  DisplayRecord* d = Create(&one, Value::Table({{"width", 200},
                                                {"height", 100},
                                                {"x", 30},
                                                {"y", 40},
                                                {"sizeable", true},
                                                {"rememberposition", true}}));
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(OpenFirstDisplay(L, 1), ERR_NONE);
  ASSERT_EQ(d->state, DISPSTATE_OPEN);
  int32_t x = d->x, y = d->y;
  ASSERT_EQ(CloseDisplayWindow(L, d, nullptr, 20), ERR_NONE);
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(saved, "1: active=1 x=" + std::to_string(x) + " y=" + std::to_string(y) +
                       " width=200 height=100 scalefactor=1 scalewidth=0 scaleheight=0"
                       " autoscale=0 layerscale=0 sizeable=1 osdata=''");
  EXPECT_EQ(d->restoreWidth, 200);
  EXPECT_EQ(d->restoreHeight, 100);

  // Without the flag, or with an automatic identifier, nothing is written.
  const Value two(2);
  DisplayRecord* plain = Create(&two, Value::Table({{"hidden", true}}));
  DisplayRecord* automatic =
      Create(nullptr, Value::Table({{"hidden", true}, {"rememberposition", true}}));
  ASSERT_NE(plain, nullptr);
  ASSERT_NE(automatic, nullptr);
  for (DisplayRecord* other : {plain, automatic}) {
    ASSERT_EQ(OpenDisplayWindow(L, other, 0), ERR_NONE);
    ASSERT_EQ(CloseDisplayWindow(L, other, nullptr, 20), ERR_NONE);
  }
  EXPECT_EQ(saves, 1);

  // Preferences that cannot be written do not fail the close.
  const PrefsFileHooks refusing = {loadNothing, saveRefused};
  SetPrefsFileHooks(&refusing);
  ASSERT_EQ(OpenDisplayWindow(L, d, 0), ERR_NONE);
  EXPECT_EQ(CloseDisplayWindow(L, d, nullptr, 20), ERR_NONE);
  EXPECT_EQ(d->state, DISPSTATE_CLOSED);
  EXPECT_EQ(saves, 2);
}

}  // namespace
