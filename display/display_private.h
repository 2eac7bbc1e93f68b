// The display library's own declarations beside display/display.h: the
// position constants, background-picture records and their list, display
// look-up and option readers, window opening and closing, refresh, scaling
// and monitor helpers, resizing and test access. Used inside display/ and
// by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "display/display.h"

// ---- Constants ----

// The position constants (POS_*) are in gfx/gfx.h, which resolves them.
constexpr int32_t SIZE_NATIVE = -110000;  // a width or height: the monitor's

// ---- Background pictures ----

enum : uint32_t { BGPIC_WRITE = 1, BGPIC_FREEPENDING = 2, BGPIC_NOLAYERCOPY = 4 };

void InitBGPicRecord(BGPic* pic, int32_t selectionKind, void* selectionRecord,
                     int32_t selectionFrame, ObjectId id, BitmapHandle* bitmap, BitmapHandle* mask,
                     BitmapHandle* alpha, int32_t width, int32_t height, int clear);
// Takes the three images on success only; id may ask for an automatic one
// ({null, 0} with automatic set), which is then written back.
ErrorCode AddBGPicObject(ObjectId* id, int automatic, int32_t rerender, int32_t width,
                         int32_t height, int32_t widthAsMade, void* pictureHandle,
                         BitmapHandle* bitmap, uint32_t* palette, int64_t transparentColour,
                         BitmapHandle* mask, BitmapHandle* alpha, const BGPicFill* fill,
                         BGPic** out);
ErrorCode GetBGPicObject(VmState* L, ObjectId id, BGPic** out, uint32_t access);
ErrorCode DeleteBGPic(VmState* L, ObjectId id, int strict);
ErrorCode FreeBGPicRecord(VmState* L, ObjectId id);
void FreeBGPicContents(VmState* L, BGPic* pic, int withButtons);
// Unlinks and frees a record found by address (null is ignored).
void FreeBGPicByRecord(VmState* L, BGPic* pic);
void FreeAllBGPics(VmState* L);
void FreePendingBGPics(VmState* L);
void GetBGPicDisplaySize(const BGPic* pic, int32_t* width, int32_t* height);
// RescaleBGPic is in display.h (the transitions call it too).
// Drawing went into the picture's source images: its images at another
// (display) size are made again from them. Should that fail, the picture
// is left at its source size, to be scaled again when a display shows it.
ErrorCode RebuildScaledBGPicImages(BGPic* pic, int32_t smooth);
// Whether a layer shows the object (or, with clipRegion, draws through
// that region); the first such layer and its picture.
int FindLayerOfObject(int32_t type, ObjectId id, void** layer, BGPic** pic, void* clipRegion);
ErrorCode CopyObjectForLayers(VmState* L, int32_t type, ObjectId id, void* copyFunction,
                              void* record, void** copy);
// The "bgpic" library's command table (bgpiccmds.cpp).
const CommandTableEntry* GetBGPicCommands();
int CmdEndSelect(VmState* L);
// x and y of a DisplayBGPic option table at index when it is the last
// argument, else 200000 (centred).
void ReadXYOptions(VmState* L, int index, DisplayRecord* display, int32_t* x, int32_t* y);
// "fillstyle" 2: the gradient under its long names ("gradientstyle",
// "gradientstartcolor", ..., "gradientcolors").
ErrorCode ReadFillGradient(VmState* L, int table, GradientFill* gradient);
BGPic* GetBGPicList();
BGPic* GetCurrentBGPic();
void SetCurrentBGPic(BGPic* pic);

// ---- Display record ----

constexpr const char* DEFAULT_DISPLAY_TITLE = "Quillmere";
void SetCurrentDisplay(DisplayRecord* display);
// Frees the spare output display (context free).
void FreeSpareDisplay();

ErrorCode FindDisplayById(ObjectId id, DisplayRecord** out);
DisplayRecord* FindDisplayByHandle(uintptr_t handle);
ErrorCode FreeDisplayById(VmState* L, ObjectId id, int strict);
// CreateDisplay as a C++ call: the option table at index table (0: none).
// An automatic id is written to *out's head; *out is the new record.
ErrorCode CreateDisplayCore(VmState* L, ObjectId id, int automatic, int table, DisplayRecord** out);
ErrorCode ReadDisplayTableOptions(VmState* L, int table, DisplayRecord* display, int creating,
                                  int* scaleSizeGiven, int* orientationGiven);
ErrorCode ReadDisplayModeOptions(VmState* L, int table, DisplayRecord* display);
ErrorCode ReadBackfillOptions(VmState* L, int table, DisplayRecord* display);
ErrorCode ReadRegionList(VmState* L, int table, const char* key, DisplayRegion* regions,
                         int32_t* count, int32_t* given);
const char* GetDisplayModeName(int32_t code);
const char* GetBackgroundKindName(int32_t code);
// Multiplies by the scale factor when one is active (values below 1,
// 100000 and 200000 stay).
void ScaleDisplaySize(const DisplayRecord* display, int32_t* a, int32_t* b, int applyA, int applyB);

// ---- Opening and closing ----

enum : uint32_t {
  CLOSE_KEEPBRUSHES = 1,
  CLOSE_KEEPSCREENMODE = 2,
  CLOSE_FREEBACKFILL = 4,
};
ErrorCode OpenDisplayWindowCore(VmState* L, DisplayRecord* display, int reposition,
                                int restoreBrushes);
ErrorCode CloseDisplayWindow(VmState* L, DisplayRecord* display, DisplayRecord* source,
                             uint32_t flags);
void FreeAllDisplays(VmState* L);
void ApplyFullscreenScale(DisplayRecord* display);
// The next opening prepares the pictures again (a new run).
void ResetFirstOpening();

// ---- Refresh, scaling, monitors ----

// Redraws and shows a rectangle of the current output.
void UpdateDisplayArea(VmState* L, int32_t sx, int32_t sy, DisplayRecord* display, int32_t dx,
                       int32_t dy, int32_t width, int32_t height);
void ComputeScaledFit(DisplayRecord* display, const BGPic* pic, int32_t targetWidth,
                      int32_t targetHeight);
void ClearDisplayBorders(DisplayRecord* display);
// Partial scaled refreshes instead of whole-bitmap ones (off at start).
void SetPartialScaledRefresh(int on);
// Frees the scaling scratch bitmap (shut-down).
void FreeRefreshScratch();

struct MonitorNode {
  MonitorNode* next;
  int32_t x, y, width, height;
};
MonitorNode* GetMonitorList(DisplayRecord* display);  // null display: default server
void FreeMonitorList(MonitorNode* list);
int32_t CountMonitors(DisplayRecord* display);
int32_t FindDisplayMonitor(DisplayRecord* display);
int32_t ResolveDisplayX(const DisplayRecord* display, int32_t monitorWidth);
int32_t ResolveDisplayY(const DisplayRecord* display, int32_t monitorHeight);
// A special coordinate resolved for an object of size within an area; other
// values are returned unchanged (the constants carry offsets of +-5000).
int32_t ResolveSpecialCoordinate(int32_t value, int32_t size, int32_t area, int vertical);

// ---- Resizing ----

enum : uint32_t {
  RESIZE_USER = 0x1,
  RESIZE_CLOSED = 0x2,
  RESIZE_NOCALLBACKS = 0x4,
  RESIZE_KEEPSOURCE = 0x8,
  RESIZE_SETUP = 0x10,
  RESIZE_FACTORUNITS = 0x20,
};
ErrorCode InitDisplayScaling(VmState* L, DisplayRecord* display);
// Makes the window bitmap anew at the picture's current size and fills it
// from the picture: 0 or ERR_BITMAP (the old one kept).
ErrorCode RebuildWindowBitmap(DisplayRecord* display);

// ---- Display callbacks ----

struct QmDisplayCallback {
  QmDisplayCallback* next;
  QmDisplayCallbackFunc function;
  void* userData;
  int32_t callMode;  // 1: through the call bridge, never called here
  int32_t visited;
  int32_t wantsVWait;    // tag 3
  int32_t wantsBracket;  // tag 8
  DisplayRecord* display;
  uintptr_t tag4, tag5;
};
using DisplayCallback = QmDisplayCallback;

// Calls each of the display's callbacks once with the message and values
// (only the one a RefreshDisplayForCallback serves, while it runs).
void CallDisplayCallbacks(DisplayRecord* display, int32_t message, const intptr_t* values);
// Message 4 with the pair.
void NotifyDisplayCallbacks(DisplayRecord* display, int32_t x, int32_t y);
// Message 0 after a window copy: the copied bitmap area for the callbacks
// that take the scaled copy, and the unscaled source area for those that
// asked for it (tag 5).
struct WindowCopyArea {
  BitmapHandle* bitmap;
  int32_t sx, sy, dx, dy, width, height;
};
void NotifyWindowCopy(DisplayRecord* display, const WindowCopyArea& shown,
                      const WindowCopyArea& unscaled);
// Message 5 to the callbacks that want it; true when some callback lacks
// the flag (the caller then waits a second frame on a closed display).
bool OfferVBlankToCallbacks(DisplayRecord* display, int32_t frame);
// Applies a resize a callback asked for from another thread.
void ApplyPendingCallbackResize(VmState* L, DisplayRecord* display);
// Frees every callback of the display (it is being freed).
void FreeDisplayCallbacks(DisplayRecord* display);

// ---- Requesters ----

// Whether a requester is open (the displays then keep their mode).
int RequesterIsOpen();
// The platform's hand-back of the parent display's input grab.
void SetRequesterParentGrabbed(int grab);

// ---- Test access ----

// The window bitmap's pixel at (x, y) as 0xRRGGBB; -1 outside or without one.
int64_t ReadDisplayWindowPixel(DisplayRecord* display, int32_t x, int32_t y);
// The X window of an open display, 0 otherwise.
unsigned long GetDisplayWindowId(const DisplayRecord* display);

// ---- Menus ----
// One item of a menu tree; the label text lies right behind the record.
enum : uint32_t {
  MENUITEM_TOGGLE = 1,
  MENUITEM_SELECTED = 2,
  MENUITEM_DISABLED = 4,
  MENUITEM_RADIO = 8,
};
struct MenuItem {
  MenuItem* next;
  char* label;   // null for a separator
  char* id;      // heap copy, or null
  char* hotkey;  // heap copy, or null
  uint32_t flags;
  MenuItem* submenu;  // first item, or null
};
// A menu object (type 57) in the display context's menu list.
struct MenuObject {
  ObjectHead head;
  MenuItem* tree;
};
// Which allocator a tree was built with: the runtime's, or the C library's
// (trees that plug-ins build).
enum : int { MENUTREE_RUNTIME = 0, MENUTREE_CLIBRARY = 1 };
void FreeMenuTree(MenuItem* tree, int allocator);
// ERR_FINDMENU naming the number, or ERR_FINDARRAY for an automatic id.
ErrorCode FindMenuById(ObjectId id, MenuObject** out);
// The display option "menu": the value at stack index `value` names the
// menu to attach (ERR_DISPLAYADAPTERSUPPORT with an adapter installed).
ErrorCode ReadDisplayMenuOption(VmState* L, int value, DisplayRecord* display);
void FreeAllMenus(VmState* L);  // with their object data
ErrorCode RegisterMenuAttributeReader();
int CmdCreateMenu(VmState* L);
int CmdFreeMenu(VmState* L);
int CmdIsMenuItemDisabled(VmState* L);
int CmdIsMenuItemSelected(VmState* L);
int CmdEnableMenuItem(VmState* L);
int CmdDisableMenuItem(VmState* L);
int CmdSelectMenuItem(VmState* L);
int CmdDeselectMenuItem(VmState* L);

// ---- Window commands and attributes ----

// The window commands of the display library (displaycmds.cpp).
const CommandTableEntry* GetDisplayWindowCommands();
// Makes the display current: an output selection of the old current
// display ends first; an open window is activated unless noFocus.
ErrorCode SelectDisplayCore(VmState* L, DisplayRecord* display, int noFocus);
// Applies the display option table at index table to the display.
ErrorCode SetDisplayAttributesCore(VmState* L, DisplayRecord* display, int table);
// One screen mode: width, height, depth and two unused words.
struct ScreenModeEntry {
  int32_t width, height, depth, reserved1, reserved2;
};
// The screen modes of a monitor (0-based) as a runtime array the caller
// frees: ERR_NODISPMODES when there are none, ERR_MEM.
ErrorCode GetScreenModes(DisplayRecord* display, int32_t monitor, ScreenModeEntry** out,
                         int32_t* count);
// Makes the picture the display's background (the window follows its size).
ErrorCode ShowBGPicOnDisplay(VmState* L, DisplayRecord* display, BGPic* picture, int32_t x,
                             int32_t y);
// A width x height bitmap filled as the description says (a texture from
// its brush when one is named).
ErrorCode BuildDisplayFill(VmState* L, const BGPicFill& fill, int32_t width, int32_t height,
                           BitmapHandle** out);
// Fills the display's own picture again from the display's fill description.
ErrorCode RefillOwnBGPic(VmState* L, DisplayRecord* display);
// Copies a display title of length bytes, at most 255, never splitting a
// UTF-8 character; the copy is NUL-terminated.
void CopyDisplayTitle(char* to, const char* text, size_t length);
// Draws a brush (with its mask or alpha channel) into the picture's
// current bitmap at x, y (position constants resolved on the picture).
ErrorCode DrawBrushIntoBGPic(VmState* L, ObjectId brush, BGPic* picture, int32_t x, int32_t y);
// The backfill behind a full-screen display (backfill.cpp): a backfill
// picture of the monitor's size from the description, and a borderless
// display showing it, made through the script commands; freed again with
// the display's window.
ErrorCode CreateBackfillObjects(VmState* L, DisplayRecord* display, const DisplayBackfill* backfill,
                                int32_t width, int32_t height);
void FreeBackfillObjects(VmState* L, DisplayRecord* display);
// Builds the images of the pictures made while preloading (they hold a
// pixel picture until then); the first error ends the walk.
ErrorCode RealizeBGPicImages(VmState* L);
// The images of a loaded picture: its pixels keyed by *key (-1 none), with
// their alpha channel when withAlpha; with a fill the picture is drawn over
// it and the result has neither mask nor alpha channel (*key becomes -1).
ErrorCode BuildLoadedBGPicImages(PictureHandle* picture, int64_t* key, int32_t withAlpha,
                                 const BGPicFill& fill, BitmapHandle** bitmap, BitmapHandle** mask,
                                 BitmapHandle** alpha);
// Whether drawing goes into the picture (a layers selection of it, or the
// brush library's selection of its pixels, mask or alpha channel).
int IsBGPicOutputSelection(const BGPic* picture);

// Pixel shortcuts of opening and refreshing (refresh.cpp). A fresh software
// bitmap (AllocBitmap with no adapter bitmaps) holds zero pixels; these let
// callers skip work that would write only what is already there, which for
// a new window-sized picture means faulting in every page of memory that
// nothing else would touch.
// True when the bitmap is a software one whose solid fill of the colour
// writes zero pixels (black in the X11 formats).
bool FillWritesZeroPixels(BitmapHandle* bitmap, ArgbColor colour);
// True when every pixel of the rectangle (inside the bitmap, 32-bit
// pixels) holds one value, which is stored in *value; reads up to the
// first pixel that differs.
bool BitmapRectHoldsOnePixel(BitmapHandle* bitmap, int32_t x, int32_t y, int32_t width,
                             int32_t height, uint32_t* value);
