// X11 records shared by the back end's files: the connection record (one
// per X server name, in one process-wide list) and the X11 part of a
// display. Connection and display records are used by the main thread only;
// the pointer-watch thread touches just its stop flag and last position.
#pragma once

#include <atomic>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "platform/linux/platform.h"

constexpr size_t X11_SERVER_NAME_MAX = 256;
constexpr int X11_RESIZE_CURSORS = 8;

// The atoms that opening a window needs: interned for the whole connection
// by one XInternAtoms call when its first window opens, instead of one
// round trip per name per window.
#define X11_WINDOW_ATOMS(X) \
  X(X11_ATOM_WM_DELETE_WINDOW, "WM_DELETE_WINDOW") \
  X(X11_ATOM_WM_STATE, "_NET_WM_STATE") \
  X(X11_ATOM_WM_STATE_FULLSCREEN, "_NET_WM_STATE_FULLSCREEN") \
  X(X11_ATOM_WM_STATE_ABOVE, "_NET_WM_STATE_ABOVE") \
  X(X11_ATOM_WM_ICON, "_NET_WM_ICON") \
  X(X11_ATOM_NET_WM_NAME, "_NET_WM_NAME") \
  X(X11_ATOM_NET_WM_ICON_NAME, "_NET_WM_ICON_NAME") \
  X(X11_ATOM_MOTIF_WM_HINTS, "_MOTIF_WM_HINTS") \
  X(X11_ATOM_XDND_AWARE, "XdndAware") \
  X(X11_ATOM_XDND_ENTER, "XdndEnter") \
  X(X11_ATOM_XDND_LEAVE, "XdndLeave") \
  X(X11_ATOM_XDND_POSITION, "XdndPosition") \
  X(X11_ATOM_XDND_STATUS, "XdndStatus") \
  X(X11_ATOM_XDND_DROP, "XdndDrop") \
  X(X11_ATOM_XDND_SELECTION, "XdndSelection") \
  X(X11_ATOM_XDND_FINISHED, "XdndFinished") \
  X(X11_ATOM_XDND_ACTION_COPY, "XdndActionCopy") \
  X(X11_ATOM_XDND_TYPE_LIST, "XdndTypeList") \
  X(X11_ATOM_CLIPBOARD, "CLIPBOARD") \
  X(X11_ATOM_TARGETS, "TARGETS") \
  X(X11_ATOM_XCLIP_OUT, "XCLIP_OUT") \
  X(X11_ATOM_TEXT_PLAIN, "text/plain") \
  X(X11_ATOM_UTF8_STRING, "UTF8_STRING") \
  X(X11_ATOM_IMAGE_PNG, "image/png") \
  X(X11_ATOM_INCR, "INCR") \
  X(X11_ATOM_URI_LIST, "text/uri-list") \
  X(X11_ATOM_FRAME_EXTENTS, "_NET_FRAME_EXTENTS")

enum X11WindowAtom : int {
#define X11_ATOM_ID(id, name) id,
  X11_WINDOW_ATOMS(X11_ATOM_ID)
#undef X11_ATOM_ID
      X11_ATOM_COUNT
};

struct X11IncrSend;

struct X11ConnectionRecord {
  X11ConnectionRecord* next;
  char serverName[X11_SERVER_NAME_MAX];  // empty for the default display
  Display* display;
  int screen;
  int fd;
  Window root;
  Visual* argbVisual;  // 32-bit ARGB TrueColor, null when the server has none
  Colormap argbColormap;
  XIM inputMethod;             // null when none is usable (or not opened yet)
  int32_t inputMethodPending;  // opened by the first OpenX11InputMethod
  int rootDepth;
  int32_t pixelFormat;  // 10, 11, 12, 4, or -1 when the visual matches none
  int32_t frameLeft, frameTop, frameHorizontal, frameVertical;
  int xfixesEventBase, xfixesMajor, xfixesMinor;
  int32_t borderHoverCursor;                   // a border hover changed the pointer shape
  Cursor busyCursor, moveCursor, blankCursor;  // read through GetX11BusyCursor etc.
  Cursor resizeCursors[X11_RESIZE_CURSORS];
  int32_t cursorsPending;  // the cursors are made on first use
  int32_t hasVidMode;
  int32_t hasRandr13;
  pthread_t pointerThread;  // 0 when none runs
  std::atomic<int32_t> pointerStop;
  std::atomic<int32_t> lastPointerX, lastPointerY;
  std::atomic<int32_t> lost;   // the server connection broke
  Atom atoms[X11_ATOM_COUNT];  // by X11WindowAtom, once atomsInterned is set
  int32_t atomsInterned;
  X11IncrSend* incrSends;  // offers being sent piecewise to other windows
};

struct X11DisplayRecord {
  X11ConnectionRecord* connection;
  Display* display;
  Visual* visual;
  int screen;
  Window window;  // 0 while closed
  Window root;
  GC gc;
  XIC inputContext;
  unsigned long shapeRegion;  // XFixes region, 0 when none
  int depth;
  void* alphaCopy;      // transparent windows: the script's alpha channel
  void* premultiplied;  // and the premultiplied window contents
  Atom wmDeleteWindow, xdndEnter, xdndLeave, xdndPosition, xdndStatus, xdndDrop, xdndSelection,
      xdndFinished, xdndActionCopy, xdndTypeList, xdndAcceptedType, primary, clipboard, targets,
      xclipOut, textPlain, utf8String, imagePng, incr, uriList;
  Window dragSource;
  uint8_t modifiers[8];  // Control, Alt, Shift, Super: left and right each
  int32_t moveDrag, sizeDrag;
  int32_t dragRootX, dragRootY, moveStartX, moveStartY;
  int32_t sizeZone, sizeStartLeft, sizeStartTop, sizeStartRight, sizeStartBottom;
  int32_t grabOffsetX, grabOffsetY;
  Cursor currentCursor;   // 0 = default
  int32_t clipOfferKind;  // 0 none, 1 text, 2 image
  uint8_t* clipOffer;
  size_t clipOfferLength;
  uint8_t* incrBuffer;
  size_t incrLength;
  int32_t clipRequestActive;
  Atom clipTarget;
  void* clipDestination;
  int32_t clipResult;
  int32_t incrActive;
  uint32_t clipProgress;  // counts replies and chunks of the running request
  int32_t inputGrabbed;
  uint8_t savedVidMode[36];
  unsigned long savedRandrMode;
  int savedSaverTimeout, savedSaverInterval, savedSaverBlanking, savedSaverExposures;
  // Window side (x11window.cpp).
  Colormap colormap;       // a transparent window's ARGB colormap, else 0
  int32_t saverSuspended;  // this window suspended the screen saver
  int32_t mapTimedOut;     // no MapNotify came within the bounded wait
  int32_t focusTaken;      // the server accepted the last focus request
  int32_t alphaWidth, alphaHeight;
  // Event side (x11events.cpp): what the pump saw of this window.
  int32_t leftHeld, rightHeld, middleHeld;
  int32_t pointerMoved;  // a newer pointer position waits to be taken
  int32_t pointerX, pointerY;
  TimeValue lastMotion;
  int32_t active;  // has the focus
};

// The head of the connection list (main thread only).
X11ConnectionRecord* GetX11ConnectionList();
// Installs the error handlers that turn X errors into codes and a lost
// connection into the record's lost flag (never the end of the program).
void WatchX11Display(Display* display, std::atomic<int32_t>* lost);

// The connection's cursors: busy (the watch), move (the fleur), blank,
// and resize by border zone (0-7, as HitTestWindowBorder numbers them). All
// are made on the first call; 0 where the server refused one.
Cursor GetX11BusyCursor(X11ConnectionRecord* c);
Cursor GetX11MoveCursor(X11ConnectionRecord* c);
Cursor GetX11BlankCursor(X11ConnectionRecord* c);
Cursor GetX11ResizeCursor(X11ConnectionRecord* c, int32_t zone);
// The connection's input method, opened on the first call (null when the
// locale or the server offers none that fits).
XIM OpenX11InputMethod(X11ConnectionRecord* c);
// The window's input context, made on the first call from the connection's
// input method and given the focus, since the caller holds a key press of
// the window; null when there is no input method. Later focus changes go
// to it directly.
XIC X11InputContext(X11DisplayRecord* rec);

// The window's _NET_FRAME_EXTENTS as left, top, left + right, top + bottom;
// all 0 unless the property is a list of exactly four 32-bit values.
void ReadFrameExtents(Display* display, Window window, int32_t* left, int32_t* top,
                      int32_t* horizontal, int32_t* vertical);

// The installed requester-parent slots (see SetRequesterParentHooks): the
// parent's X11 record or null, and the hand-back of its grab.
X11DisplayRecord* FindRequesterParent();
void SetRequesterParentGrab(int grab);
// The installed applet-title source's answer, null without one.
const char* QueryAppletTitle();

// ---- Clipboard and drag and drop (x11clipboard.cpp, x11dnd.cpp) ----

// Frees what the window offers on the clipboard (and stops its piecewise
// sends) and the buffer of a piecewise read.
void FreeOfferedClipboard(X11DisplayRecord* record);
void FreeIncrBuffer(X11DisplayRecord* record);
// Drops every piecewise send of the connection (it is being closed).
void FreeX11IncrSends(X11ConnectionRecord* connection);
// The property's whole value (AllocMemory, one zero byte past the end) and
// its length in bytes (format 32 items count as longs); null when it is
// empty or missing. With incr, a property of type INCR sets *incr and gives
// null; otherwise *incr is cleared.
uint8_t* ReadWindowProperty(X11DisplayRecord* record, Atom property, size_t* length, int32_t* incr);
// The pump's clipboard cases: a request to the owner window, the owner's
// reply to a request of ours, the property changes of a piecewise read,
// the loss of the selection. Each returns 1 when the event was its own.
int HandleX11SelectionRequest(X11DisplayRecord* record, XSelectionRequestEvent* event);
int HandleX11ClipboardReply(X11DisplayRecord* record, XSelectionEvent* event);
int HandleX11ClipboardProperty(X11DisplayRecord* record, XPropertyEvent* event);
// Events for windows of other programs: the property deletions that drive
// a piecewise send. 1 when the event belonged to one.
int HandleX11ForeignEvent(X11ConnectionRecord* connection, XEvent* event);
// XDnD client messages to the window and the data of a drop; 1 when the
// event was one of them. accepts tells whether the display takes drops.
int HandleX11DndMessage(X11DisplayRecord* record, XClientMessageEvent* event, int accepts);
// A drop's data arrived: *list is the drop list (AllocMemory) or null, x
// and y the pointer in the window. 1 when the event was the drop's.
int HandleX11DropData(X11DisplayRecord* record, XSelectionEvent* event, char** list, int32_t* x,
                      int32_t* y);

// ---- Window icon (x11icon.cpp) ----

// Sets the window's "_NET_WM_ICON" (the property's atom) to the window
// icon block.
void SetX11WindowIcon(Display* display, Window window, Atom property);
