// Menus: a script describes a menu bar as nested tables, makes a menu object
// of it and attaches it to displays (the display option "menu"); the item
// commands query and change item states.
//
// The X11 back end has no menu bar, so an item's state lives in its own
// flags and is reported from there. Invariant: a tree has at most three
// levels (the bar and two submenu levels), and no item is both a toggle and
// a radio item.
#include <cstdlib>
#include <cstring>

#include "display/context_private.h"
#include "display/display.h"
#include "display/adapter_private.h"
#include "display/display_private.h"
#include "engine/engine.h"
#include "runtime/runtime.h"

namespace {

constexpr int MENU_DEEPEST_LEVEL = 2;  // the level whose items take no submenu

MenuObject* firstMenu() { return reinterpret_cast<MenuObject*>(displayContext.menuList); }

char* copyText(const char* text) {
  size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(AllocMemory(length + 1, 0));
  if (copy) std::memcpy(copy, text, length + 1);
  return copy;
}

// A text option of an entry table as a heap copy (null when absent).
ErrorCode readTextField(VmState* L, int table, const char* name, char** out) {
  VmPushString(L, name);
  VmGetTable(L, table);
  ErrorCode error = ERR_NONE;
  if (VmType(L, -1) == VM_TYPE_STRING) {
    *out = copyText(VmToString(L, -1));
    if (!*out) error = ERR_MEM;
  } else if (VmType(L, -1) != VM_TYPE_NIL) {
    error = ERR_STRINGEXPECTED;
  }
  VmSetTop(L, -2);
  return error;
}

// The item of entry `entry` (a table on the stack) at `level`; *out is null
// when the entry failed.
ErrorCode parseItem(VmState* L, int entry, int level, MenuItem** out);

// The entries of the table at `table`, indices 0, 1, ... up to the first
// nil, as a list of items.
ErrorCode parseMenuTable(VmState* L, int table, int level, MenuItem** out) {
  *out = nullptr;
  MenuItem** tail = out;
  ErrorCode error = ERR_NONE;
  for (int index = 0; error == ERR_NONE; index++) {
    VmRawGetI(L, table, index);
    int entry = VmGetTop(L);
    if (VmType(L, entry) == VM_TYPE_NIL) {
      VmSetTop(L, entry - 1);
      break;
    }
    if (VmType(L, entry) != VM_TYPE_TABLE) {
      error = ERR_TABLEORNIL;
    } else {
      error = parseItem(L, entry, level, tail);
      if (*tail) tail = &(*tail)->next;
    }
    VmSetTop(L, entry - 1);
  }
  if (error != ERR_NONE) {
    FreeMenuTree(*out, MENUTREE_RUNTIME);
    *out = nullptr;
  }
  return error;
}

ErrorCode parseItem(VmState* L, int entry, int level, MenuItem** out) {
  *out = nullptr;
  VmRawGetI(L, entry, 0);
  int labelType = VmType(L, -1);
  const char* label = labelType == VM_TYPE_STRING ? VmToString(L, -1) : nullptr;
  size_t length = label ? std::strlen(label) : 0;
  if (level == 0) {
    if (labelType != VM_TYPE_STRING) return ERR_STRINGEXPECTED;
    if (length == 0) return ERR_WRONGUSAGE;
  } else if (labelType != VM_TYPE_NIL && labelType != VM_TYPE_STRING) {
    return ERR_STRINGEXPECTED;
  }
  // The label text lies right behind the record; a nil or empty label
  // below the bar makes a separator.
  bool separator = label == nullptr || length == 0;
  auto* item =
      static_cast<MenuItem*>(AllocMemory(sizeof(MenuItem) + (separator ? 0 : length + 1), 1));
  if (!item) return ERR_MEM;
  if (!separator) {
    item->label = reinterpret_cast<char*>(item + 1);
    std::memcpy(item->label, label, length + 1);
  }
  *out = item;
  VmSetTop(L, -2);

  VmRawGetI(L, entry, 1);
  int sub = VmGetTop(L);
  ErrorCode error = ERR_NONE;
  if (VmType(L, sub) == VM_TYPE_TABLE) {
    error = level >= MENU_DEEPEST_LEVEL ? ERR_MENUCOMPLEXITY
                                        : parseMenuTable(L, sub, level + 1, &item->submenu);
  } else if (VmType(L, sub) != VM_TYPE_NIL) {
    error = ERR_TABLEORNIL;
  } else {
    // A leaf: its options stand in the entry table itself.
    int32_t flags = 0;
    const OptionField fields[] = {{.name = "flags", .type = OPTION_INT, .to = &flags}};
    error = ReadOptionTable(L, entry, fields);
    item->flags = static_cast<uint32_t>(flags);
    if (error == ERR_NONE) error = readTextField(L, entry, "id", &item->id);
    if (error == ERR_NONE) error = readTextField(L, entry, "hotkey", &item->hotkey);
    if (error == ERR_NONE && (item->flags & MENUITEM_TOGGLE) && (item->flags & MENUITEM_RADIO))
      error = ERR_RADIOTOGGLEMENU;
  }
  VmSetTop(L, sub - 1);
  return error;
}

// Depth first in item order, each item before its submenu; *run is the
// first item of the run of consecutive radio items the match stands in.
MenuItem* findItem(MenuItem* list, const char* id, MenuItem** run) {
  MenuItem* runStart = nullptr;
  for (MenuItem* item = list; item; item = item->next) {
    if (item->flags & MENUITEM_RADIO) {
      if (!runStart) runStart = item;
    } else {
      runStart = nullptr;
    }
    if (item->id && CompareNoCase(item->id, id) == 0) {
      *run = runStart;
      return item;
    }
    if (MenuItem* found = findItem(item->submenu, id, run)) return found;
  }
  return nullptr;
}

bool menuAttached(const MenuObject* menu) {
  for (DisplayRecord* d = GetDisplayList(); d; d = reinterpret_cast<DisplayRecord*>(d->head.next))
    if (d->menu == menu) return true;
  return false;
}

void unlinkAndFree(VmState* L, MenuObject* menu) {
  for (ObjectHead** p = &displayContext.menuList; *p; p = &(*p)->next) {
    if (*p == &menu->head) {
      *p = menu->head.next;
      break;
    }
  }
  if (menu->head.data) FreeObjectDataList(L, &menu->head.data);
  FreeMenuTree(menu->tree, MENUTREE_RUNTIME);
  FreeMemory(menu);
}

}  // namespace

int CmdCreateMenu(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  VmCheckTable(L, 2);
  MenuObject* old = nullptr;
  if (!automatic && FindMenuById(id, &old) == ERR_NONE) {
    if (menuAttached(old)) return ERR_MENUATTACHED;
    unlinkAndFree(L, old);
  }
  MenuItem* tree = nullptr;
  ErrorCode error = parseMenuTable(L, 2, 0, &tree);
  if (error != ERR_NONE) return error;
  if (!tree) return ERR_EMPTYMENUTREE;
  auto* menu = static_cast<MenuObject*>(AllocMemory(sizeof(MenuObject), 1));
  if (!menu) {
    FreeMenuTree(tree, MENUTREE_RUNTIME);
    return ERR_MEM;
  }
  menu->head.type = OBJTYPE_MENU;
  menu->head.number = automatic ? 0 : id.number;
  menu->head.autoId = automatic ? menu : nullptr;
  menu->tree = tree;
  ObjectHead** tail = &displayContext.menuList;
  while (*tail) tail = &(*tail)->next;
  *tail = &menu->head;
  if (!automatic) return 0;
  VmPushLightUserdata(L, menu);
  return 1;
}

int CmdFreeMenu(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  MenuObject* menu = nullptr;
  ErrorCode error = FindMenuById(GetObjectIdArg(L, 1, nullptr), &menu);
  if (error != ERR_NONE) return error;
  if (menuAttached(menu)) return ERR_MENUATTACHED;
  unlinkAndFree(L, menu);
  return 0;
}

namespace {

// The item of an item command (display id, item id), after the checks in
// their order; *run as findItem gives it.
ErrorCode checkItemArgs(VmState* L, MenuItem** run, MenuItem** item) {
  CheckArgCount(L, 2, 2, 0, 0);
  ObjectId displayId = GetObjectIdArg(L, 1, nullptr);
  const char* itemId = VmCheckString(L, 2, nullptr);
  if (DisplayAdapterInUse()) return ERR_DISPLAYADAPTERSUPPORT;
  if (!displayId.autoId && displayId.number == 0) return ERR_NOCONTEXTMENU;
  DisplayRecord* d = nullptr;
  ErrorCode error = FindDisplayById(displayId, &d);
  if (error != ERR_NONE) return error;
  if (!d->menu) return ERR_NOMENU;
  if (d->state != DISPSTATE_OPEN) return ERR_CLOSEDDISPLAY;
  if (d->fullscreen) return ERR_FULLSCREEN;
  *item = findItem(static_cast<MenuObject*>(d->menu)->tree, itemId, run);
  if (!*item) {
    SetErrorArgString(itemId);
    return ERR_FINDMENUITEM;
  }
  return ERR_NONE;
}

bool isChoice(const MenuItem* item) {
  return (item->flags & (MENUITEM_TOGGLE | MENUITEM_RADIO)) != 0;
}

}  // namespace

int CmdIsMenuItemDisabled(VmState* L) {
  MenuItem* run = nullptr;
  MenuItem* item = nullptr;
  if (ErrorCode e = checkItemArgs(L, &run, &item)) return e;
  VmPushNumber(L, (item->flags & MENUITEM_DISABLED) ? 1 : 0);
  return 1;
}

int CmdIsMenuItemSelected(VmState* L) {
  MenuItem* run = nullptr;
  MenuItem* item = nullptr;
  if (ErrorCode e = checkItemArgs(L, &run, &item)) return e;
  if (!isChoice(item)) return ERR_WRONGUSAGE;
  VmPushNumber(L, (item->flags & MENUITEM_SELECTED) ? 1 : 0);
  return 1;
}

int CmdEnableMenuItem(VmState* L) {
  MenuItem* run = nullptr;
  MenuItem* item = nullptr;
  if (ErrorCode e = checkItemArgs(L, &run, &item)) return e;
  item->flags &= ~MENUITEM_DISABLED;
  return 0;
}

int CmdDisableMenuItem(VmState* L) {
  MenuItem* run = nullptr;
  MenuItem* item = nullptr;
  if (ErrorCode e = checkItemArgs(L, &run, &item)) return e;
  item->flags |= MENUITEM_DISABLED;
  return 0;
}

int CmdSelectMenuItem(VmState* L) {
  MenuItem* run = nullptr;
  MenuItem* item = nullptr;
  if (ErrorCode e = checkItemArgs(L, &run, &item)) return e;
  if (!isChoice(item)) return ERR_WRONGUSAGE;
  // Selecting a radio item deselects the others of its run.
  if (item->flags & MENUITEM_RADIO)
    for (MenuItem* other = run; other && (other->flags & MENUITEM_RADIO); other = other->next)
      other->flags &= ~MENUITEM_SELECTED;
  item->flags |= MENUITEM_SELECTED;
  return 0;
}

int CmdDeselectMenuItem(VmState* L) {
  MenuItem* run = nullptr;
  MenuItem* item = nullptr;
  if (ErrorCode e = checkItemArgs(L, &run, &item)) return e;
  if (!(item->flags & MENUITEM_TOGGLE)) return ERR_WRONGUSAGE;
  item->flags &= ~MENUITEM_SELECTED;
  return 0;
}

namespace {

int readMenuAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(displayContext.menuList));
    return 1;
  }
  MenuObject* menu = nullptr;
  ErrorCode error = FindMenuById(GetObjectIdArg(L, 2, nullptr), &menu);
  if (error != ERR_NONE) return error;
  return ERR_UNKNOWNATTR;
}

}  // namespace

void FreeMenuTree(MenuItem* tree, int allocator) {
  while (tree) {
    MenuItem* next = tree->next;
    FreeMenuTree(tree->submenu, allocator);
    if (allocator == MENUTREE_CLIBRARY) {
      std::free(tree->id);
      std::free(tree->hotkey);
      std::free(tree);
    } else {
      FreeMemory(tree->id);
      FreeMemory(tree->hotkey);
      FreeMemory(tree);
    }
    tree = next;
  }
}

ErrorCode FindMenuById(ObjectId id, MenuObject** out) {
  for (MenuObject* m = firstMenu(); m; m = reinterpret_cast<MenuObject*>(m->head.next)) {
    if (id.autoId ? m->head.autoId == id.autoId
                  : (m->head.autoId == nullptr && m->head.number == id.number)) {
      *out = m;
      return ERR_NONE;
    }
  }
  *out = nullptr;
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDMENU;
}

ErrorCode ReadDisplayMenuOption(VmState* L, int value, DisplayRecord* d) {
  if (DisplayAdapterInUse()) return ERR_DISPLAYADAPTERSUPPORT;
  MenuObject* menu = nullptr;
  ErrorCode error = FindMenuById(GetObjectIdArg(L, value, nullptr), &menu);
  if (error != ERR_NONE) return error;
  d->menu = menu;
  return ERR_NONE;
}

void FreeAllMenus(VmState* L) {
  while (MenuObject* menu = firstMenu()) unlinkAndFree(L, menu);
}

ErrorCode RegisterMenuAttributeReader() {
  return RegisterAttributeReader(OBJTYPE_MENU, readMenuAttribute);
}
