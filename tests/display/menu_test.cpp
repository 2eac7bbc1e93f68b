// Menus under a private Xvfb: the menu table's rules (bar labels,
// separators, depth, empty trees, toggle with radio), menus attached to a
// display through its "menu" option, the item commands' checks in their
// order and the item states they keep (radio runs, ids in any case), and
// menus left at shut-down (the sanitizer's leak check).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "display/display.h"
#include "display/display_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "tests/display/display_fixture.h"
#include "tests/support/harness.h"

namespace {

// A menu entry: label (null: nil), a submenu or leaf options.
struct Entry {
  const char* label;
  std::vector<Entry> submenu = {};
  uint32_t flags = 0;
  const char* id = nullptr;
  bool hasSubmenu = false;
};
Entry Sub(const char* label, std::vector<Entry> items) { return {label, items, 0, nullptr, true}; }
Entry Item(const char* label, const char* id, uint32_t flags = 0) {
  return {label, {}, flags, id, false};
}

void PushMenu(VmState* L, const std::vector<Entry>& entries) {
  VmNewTable(L);
  for (size_t i = 0; i < entries.size(); i++) {
    const Entry& e = entries[i];
    VmNewTable(L);
    if (e.label) {
      VmPushString(L, e.label);
      VmRawSetI(L, -2, 0);
    }
    if (e.hasSubmenu) {
      PushMenu(L, e.submenu);
      VmRawSetI(L, -2, 1);
    } else {
      SetTableFieldInt(L, "flags", static_cast<int32_t>(e.flags));
      if (e.id) SetTableFieldString(L, "id", e.id);
    }
    VmRawSetI(L, -2, static_cast<int>(i));
  }
}

// File (open, quit), View (radio run a b c, a separator, toggle grid).
const std::vector<Entry> MENU = {
    Sub("File", {Item("Open", "open"), Item("Quit", "quit")}),
    Sub("View", {Item("A", "a", MENUITEM_RADIO | MENUITEM_SELECTED), Item("B", "b", MENUITEM_RADIO),
                 Item("C", "c", MENUITEM_RADIO), Item("", nullptr), Item("Grid", "grid", 1)}),
};

class MenuTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { shared = new DisplayTestServer("640x480x24"); }
  static void TearDownTestSuite() {
    delete shared;
    shared = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(shared->running());
    setenv("DISPLAY", shared->name().c_str(), 1);
    SetNoPointerThread(1);
    ASSERT_EQ(OpenX11Connection(), ERR_NONE);
    VmPushValue(h.L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenDisplayLibrary(h.L), ERR_NONE);
    VmSetTop(h.L, 0);
  }
  void TearDown() override {
    CloseDisplayLibrary(h.L);
    CloseX11Connection();
    SetNoPointerThread(0);
    unsetenv("DISPLAY");
  }
  ErrorCode CreateMenu(int32_t id, const std::vector<Entry>& entries) {
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, id);
    PushMenu(h.L, entries);
    ErrorCode error = h.Call("CreateMenu", 2);
    VmSetTop(h.L, 0);
    return error;
  }
  ErrorCode CallWithNumber(const char* command, int32_t id) {
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, id);
    ErrorCode error = h.Call(command, 1);
    VmSetTop(h.L, 0);
    return error;
  }
  // An item command; *result is its number result, if any.
  ErrorCode ItemCommand(const char* command, int32_t display, const char* item,
                        double* result = nullptr) {
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, display);
    VmPushString(h.L, item);
    ErrorCode error = h.Call(command, 2);
    if (result) *result = error == ERR_NONE ? VmToNumber(h.L, -1) : -1;
    VmSetTop(h.L, 0);
    return error;
  }
  double Selected(const char* item) {
    double result = -1;
    EXPECT_EQ(ItemCommand("IsMenuItemSelected", 1, item, &result), ERR_NONE) << item;
    return result;
  }
  static DisplayTestServer* shared;
  PlayerHarness h;
};
DisplayTestServer* MenuTest::shared = nullptr;

TEST_F(MenuTest, MenuTablesFollowTheirRules) {
  struct Case {
    const char* name;
    std::vector<Entry> menu;
    ErrorCode error;
  } cases[] = {
      {"bar label empty", {Sub("", {Item("x", "x")})}, ERR_WRONGUSAGE},
      {"bar label nil", {Sub(nullptr, {Item("x", "x")})}, ERR_STRINGEXPECTED},
      {"separator in a submenu", {Sub("F", {Item("", nullptr), Item(nullptr, nullptr)})}, ERR_NONE},
      {"two submenu levels", {Sub("F", {Sub("G", {Item("x", "x")})})}, ERR_NONE},
      {"three submenu levels",
       {Sub("F", {Sub("G", {Sub("H", {Item("x", "x")})})})},
       ERR_MENUCOMPLEXITY},
      {"empty tree", {}, ERR_EMPTYMENUTREE},
      {"toggle and radio",
       {Sub("F", {Item("x", "x", MENUITEM_TOGGLE | MENUITEM_RADIO)})},
       ERR_RADIOTOGGLEMENU},
  };
  for (const Case& c : cases) EXPECT_EQ(CreateMenu(1, c.menu), c.error) << c.name;

  // A separator keeps its place in the tree with no label.
  ASSERT_EQ(CreateMenu(2, {Sub("F", {Item("A", "a"), Item("", nullptr)})}), ERR_NONE);
  MenuObject* menu = nullptr;
  ASSERT_EQ(FindMenuById(ObjectId{nullptr, 2}, &menu), ERR_NONE);
  ASSERT_NE(menu->tree->submenu->next, nullptr);
  EXPECT_EQ(menu->tree->submenu->next->label, nullptr);

  // An entry that is not a table, and a submenu slot that is neither a
  // table nor nil.
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 3);
  VmNewTable(h.L);
  VmPushNumber(h.L, 5);
  VmRawSetI(h.L, -2, 0);
  EXPECT_EQ(h.Call("CreateMenu", 2), ERR_TABLEORNIL);
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 3);
  VmNewTable(h.L);
  VmNewTable(h.L);
  VmPushString(h.L, "F");
  VmRawSetI(h.L, -2, 0);
  VmPushNumber(h.L, 7);
  VmRawSetI(h.L, -2, 1);
  VmRawSetI(h.L, -2, 0);
  EXPECT_EQ(h.Call("CreateMenu", 2), ERR_TABLEORNIL);
  VmSetTop(h.L, 0);
}

TEST_F(MenuTest, AttachedMenusAndItemCommands) {
  ASSERT_EQ(CreateMenu(1, MENU), ERR_NONE);
  // Item commands before a display has the menu.
  EXPECT_EQ(ItemCommand("EnableMenuItem", 0, "open"), ERR_NOCONTEXTMENU);
  EXPECT_EQ(ItemCommand("EnableMenuItem", 1, "open"), ERR_FINDDISPLAY);

  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 2);
  PushOptions(h.L, {{"width", 64}, {"height", 48}, {"menu", 9}});
  EXPECT_EQ(h.Call("CreateDisplay", 2), ERR_FINDMENU);
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 2);
  PushOptions(h.L, {{"width", 64}, {"height", 48}});
  ASSERT_EQ(h.Call("CreateDisplay", 2), ERR_NONE);
  VmSetTop(h.L, 0);
  VmPushNumber(h.L, 1);
  PushOptions(h.L, {{"width", 64}, {"height", 48}, {"menu", 1}});
  ASSERT_EQ(h.Call("CreateDisplay", 2), ERR_NONE);
  VmSetTop(h.L, 0);

  EXPECT_EQ(ItemCommand("EnableMenuItem", 2, "open"), ERR_NOMENU);
  EXPECT_EQ(ItemCommand("EnableMenuItem", 1, "open"), ERR_CLOSEDDISPLAY);
  ASSERT_EQ(OpenFirstDisplay(h.L, 1), ERR_NONE);

  EXPECT_EQ(CallWithNumber("FreeMenu", 1), ERR_MENUATTACHED);
  EXPECT_EQ(CreateMenu(1, MENU), ERR_MENUATTACHED);
  EXPECT_EQ(CallWithNumber("FreeMenu", 5), ERR_FINDMENU);

  struct Case {
    const char* command;
    const char* item;
    ErrorCode error;
  } cases[] = {
      {"DisableMenuItem", "OPEN", ERR_NONE},  // ids match in any case
      {"IsMenuItemSelected", "open", ERR_WRONGUSAGE},
      {"SelectMenuItem", "quit", ERR_WRONGUSAGE},
      {"DeselectMenuItem", "b", ERR_WRONGUSAGE},  // radio items are not deselected
      {"DeselectMenuItem", "grid", ERR_NONE},
      {"EnableMenuItem", "missing", ERR_FINDMENUITEM},
  };
  for (const Case& c : cases) EXPECT_EQ(ItemCommand(c.command, 1, c.item), c.error) << c.command;
  // The message names the item asked for, not what an earlier error left.
  EXPECT_EQ(ItemCommand("EnableMenuItem", 1, "other"), ERR_FINDMENUITEM);
  ASSERT_EQ(ItemCommand("EnableMenuItem", 1, "missing"), ERR_FINDMENUITEM);
  char text[256];
  GetErrorText(ERR_FINDMENUITEM, text, sizeof text);
  EXPECT_STREQ(text, "Could not find menu item missing!");
  double disabled = -1;
  ASSERT_EQ(ItemCommand("IsMenuItemDisabled", 1, "open", &disabled), ERR_NONE);
  EXPECT_EQ(disabled, 1);
  ASSERT_EQ(ItemCommand("EnableMenuItem", 1, "Open"), ERR_NONE);
  ASSERT_EQ(ItemCommand("IsMenuItemDisabled", 1, "open", &disabled), ERR_NONE);
  EXPECT_EQ(disabled, 0);

  // Selecting a radio item clears the others of its run; a toggle item
  // goes on and off by itself.
  EXPECT_EQ(Selected("a"), 1);
  ASSERT_EQ(ItemCommand("SelectMenuItem", 1, "c"), ERR_NONE);
  EXPECT_EQ(Selected("a"), 0);
  EXPECT_EQ(Selected("b"), 0);
  EXPECT_EQ(Selected("c"), 1);
  ASSERT_EQ(ItemCommand("SelectMenuItem", 1, "grid"), ERR_NONE);
  EXPECT_EQ(Selected("grid"), 1);
  EXPECT_EQ(Selected("c"), 1);

  // The menu of an unattached id is freed, and the attached one stays for
  // the shut-down to free.
  ASSERT_EQ(CreateMenu(4, MENU), ERR_NONE);
  EXPECT_EQ(CallWithNumber("FreeMenu", 4), ERR_NONE);
}

}  // namespace
