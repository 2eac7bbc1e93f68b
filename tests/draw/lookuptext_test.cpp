// The look-up messages of the graphics, display and drawing libraries name
// the object the script asked for, even right after another error left a
// different number and text in the error arguments.
#include <string>

#include "tests/gfx/display_fixture.h"

namespace {

class LookupTextTest : public gfxtest::DisplayTest {
 protected:
  void SetUp() override {
    DisplayTest::SetUp();
    for (ErrorCode (*open)(VmState*) :
         {OpenLayersLibrary, OpenSpriteLibrary, OpenVectorGraphicsLibrary, OpenEventLibrary}) {
      VmPushValue(L, VM_GLOBALS_INDEX);
      ASSERT_EQ(open(L), ERR_NONE);
      VmSetTop(L, 0);
    }
    OpenDisplay(64, 48, true);
  }
  void TearDown() override {
    FreeAllSprites(L);
    FreeAllPaths(L);
    FreeAllEvents(L);
    DisplayTest::TearDown();
    FreeLayerSystem(L);
  }
  std::string Text(ErrorCode code) {
    char text[512];
    GetErrorText(code, text, sizeof text);
    return text;
  }
};

TEST_F(LookupTextTest, EveryLookupMessageNamesTheIdentifierAskedFor) {
  const int32_t LAYER = OBJTYPE_LAYER, SPRITE = OBJTYPE_SPRITE;
  struct Case {
    const char* command;
    std::vector<Value> args;
    ErrorCode code;
    const char* text;
  } cases[] = {
      // graphics
      {"FreeClipRegion", {4242}, ERR_FINDCLIPREGION, "Could not find clip region 4242!"},
      {"SetClipRegion", {4242}, ERR_FINDCLIPREGION, "Could not find clip region 4242!"},
      {"GetAttribute",
       {OBJTYPE_CLIPREGION, 4242, ATTRWIDTH},
       ERR_FINDCLIPREGION,
       "Could not find clip region 4242!"},
      {"SetPointer", {4242}, ERR_FINDPOINTER, "Could not find pointer 4242!"},
      {"FreePointer", {4242}, ERR_FINDPOINTER, "Could not find pointer 4242!"},
      {"GetAttribute",
       {OBJTYPE_POINTER, 4242, ATTRWIDTH},
       ERR_FINDPOINTER,
       "Could not find pointer 4242!"},
      {"CancelAsyncDraw", {4242}, ERR_FINDASYNCDRAW, "Could not find async draw object 4242!"},
      {"AsyncDrawFrame", {4242}, ERR_FINDASYNCDRAW, "Could not find async draw object 4242!"},
      {"GetAttribute",
       {OBJTYPE_ASYNCDRAW, 4242, ATTRTYPE},
       ERR_FINDASYNCDRAW,
       "Could not find async draw object 4242!"},
      // display, background pictures, events, layers, menus
      {"CloseDisplay", {4242}, ERR_FINDDISPLAY, "Could not find display 4242!"},
      {"GetAttribute",
       {OBJTYPE_DISPLAY, 4242, ATTRWIDTH},
       ERR_FINDDISPLAY,
       "Could not find display 4242!"},
      {"FreeBGPic", {4242}, ERR_FINDBGPIC, "Could not find BGPic 4242!"},
      {"GetAttribute",
       {OBJTYPE_BGPIC, 4242, ATTRWIDTH},
       ERR_FINDBGPIC,
       "Could not find BGPic 4242!"},
      {"ClearInterval", {4242}, ERR_FINDINTERVAL, "Could not find interval function 4242!"},
      {"ClearTimeout", {4242}, ERR_FINDTIMEOUT, "Could not find timeout function 4242!"},
      {"SendMessage", {"myport", "cmd"}, ERR_FINDPORT, "Could not find port myport!"},
      {"DeleteButton", {4242}, ERR_FINDBUTTON, "Could not find button 4242!"},
      {"FreeMenu", {4242}, ERR_FINDMENU, "Could not find menu 4242!"},
      {"ClearMove", {4242}, ERR_FINDMOVE, "Could not find move object 4242!"},
      {"GetAttribute",
       {OBJTYPE_MOVELIST, 4242, ATTRWIDTH},
       ERR_FINDMOVE,
       "Could not find move object 4242!"},
      {"GetAttribute",
       {LAYER, "nolayer", ATTRWIDTH},
       ERR_FINDLAYER,
       "Cannot find layer \"nolayer\" in current BGPic!"},
      {"Collision", {SPRITE, 4242, 4243}, ERR_SPRITEONSCREEN, "Sprite 4242 is not on screen!"},
      // brushes, sprites, paths
      {"FreeBrush", {4242}, ERR_FINDBRUSH, "Could not find brush 4242!"},
      {"GetAttribute",
       {OBJTYPE_BRUSH, 4242, ATTRWIDTH},
       ERR_FINDBRUSH,
       "Could not find brush 4242!"},
      {"FreeSprite", {4242}, ERR_FINDSPRITE, "Could not find sprite 4242!"},
      {"GetAttribute",
       {OBJTYPE_SPRITE, 4242, ATTRWIDTH},
       ERR_FINDSPRITE,
       "Could not find sprite 4242!"},
      {"FreePath", {4242}, ERR_FINDPATH, "Could not find path 4242!"},
      {"GetAttribute",
       {OBJTYPE_VECTORPATH, 4242, ATTRWIDTH},
       ERR_FINDPATH,
       "Could not find path 4242!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    // Another error first: it leaves the number 999 and the text "stale"
    // in the error arguments.
    ASSERT_EQ(CallWith("GetAttribute", {LAYER, "stale", ATTRWIDTH}), ERR_FINDLAYER);
    ASSERT_EQ(CallWith("FreeBrush", {999}), ERR_FINDBRUSH);
    ASSERT_EQ(CallWith(c.command, c.args), c.code);
    EXPECT_EQ(Text(c.code), c.text);
  }
}

// A transform option that is no table names the argument that holds the
// option table; one short of its four numbers names the field.
TEST_F(LookupTextTest, TransformErrorsNameTheFieldAndTheArgument) {
  ASSERT_EQ(CallWith("CreateBrush", {1, 8, 8}), ERR_NONE);
  struct Case {
    const char* name;
    Value transform;
    ErrorCode code;
    const char* text;
  } cases[] = {
      {"not a table", 5, ERR_TABEXPECTED, "Table expected in argument 4!"},
      {"three items", Value::List({1, 0, 0}), ERR_NUMTABLEARG,
       "Number expected in table argument \"transform\"!"},
      {"an item no number", Value::List({1, "x", 0, 1}), ERR_NUMTABLEARG,
       "Number expected in table argument \"transform\"!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(CallWith("FreeBrush", {999}), ERR_FINDBRUSH);
    EXPECT_EQ(CallWith("DisplayBrush", {1, 0, 0, Value::Table({{"transform", c.transform}})}),
              c.code);
    EXPECT_EQ(Text(c.code), c.text);
  }
}

}  // namespace
